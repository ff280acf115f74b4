"""The browser's keys and mouse in a pseudo-terminal: picks, the largest
files, a stub opener, the unreadable list, rescans and SGR mouse reports."""
import json
import os
import shutil
import subprocess
import time

import pytest

from conftest import _fixtures, binary, make_tree
from test_browser import Tui, browse, cache, size_text, summary, titles_drawn  # noqa: F401

open_tmp = _fixtures.open_tmp


def allocated(path):
    return os.lstat(path).st_blocks * 512


def test_picks_survive_a_restart_with_their_sizes(bramwex, cache, tree):
    report = json.loads(bramwex.run("scan", "--json", tree).stdout)
    alpha = next(child["size"] for child in report["children"] if child["name"] == "alpha")
    app = browse(cache, tree)
    app.press(" j ", lambda rows: summary(rows).startswith("top.txt | "))
    app.quit()
    again = browse(cache, tree)
    total = size_text(alpha + allocated(tree / "top.txt"))
    again.press("p", lambda rows: rows[1] == f"2 picked, {total} in all:")
    rows = again.rows()
    assert rows[2] == f"{size_text(alpha):>10}  alpha"
    assert rows[3] == f"{size_text(allocated(tree / 'top.txt')):>10}  top.txt"
    again.press(" ", lambda rows: rows[1].startswith("1 picked, "))
    again.quit()


def recorded(record, count):
    deadline = time.monotonic() + 10
    while not record.exists() or len(record.read_text().splitlines()) < count:
        assert time.monotonic() < deadline, "the opener was not run"
        time.sleep(0.05)
    return record.read_text().splitlines()


def test_largest_files_open_and_reveal(cache, tree, tmp_path, monkeypatch):
    monkeypatch.delenv("SSH_CONNECTION", raising=False)
    record, stub = tmp_path / "opened", tmp_path / "bin" / "xdg-open"  # appends its argument
    stub.parent.mkdir()
    stub.write_text(f'#!/bin/sh\nprintf "%s\\n" "$1" >> "{record}"\n')
    stub.chmod(0o755)
    app = browse(cache, tree, env={"PATH": f"{stub.parent}:{os.environ['PATH']}", "NO_COLOR": "1"})
    big = tree / "alpha" / "big.bin"
    app.press("t", lambda rows: rows[1] == f"{size_text(allocated(big)):>10}  alpha/big.bin")
    assert "  alpha/deep/mid.bin" in app.rows()[2]
    app.press("o")
    assert recorded(record, 1) == [str(big)]
    app.press("r")
    assert recorded(record, 2) == [str(big), str(big.parent)]
    app.press("t", lambda rows: summary(rows).startswith("alpha/ | "))
    time.sleep(0.3)  # the openers have ended: each has been reaped
    children = subprocess.run(["ps", "--ppid", str(app.child.pid), "-o", "stat="],
                              capture_output=True, text=True).stdout
    assert "Z" not in children
    app.quit()


def test_unreadable_folder_listed_with_its_reason(open_tmp):
    """Run as a user other than root, for whom a folder of mode 000 is denied."""
    command = [binary()]
    if os.geteuid() == 0:
        command = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", binary()]
        if not shutil.which("setpriv") or subprocess.run([*command, "--version"],
                                                         capture_output=True).returncode:
            pytest.skip("running as root with no way to run as nobody")
    root = make_tree(open_tmp / "data")
    (root / "beta").chmod(0)
    (open_tmp / "cache").mkdir()
    (open_tmp / "cache").chmod(0o777)
    app = Tui(open_tmp / "cache", command=[*command, str(root)], env={"NO_COLOR": "1"})
    app.wait_for(lambda rows: "1 folder unreadable (d)" in rows[0])
    app.press("d", lambda rows: rows[1] == "1 directory could not be read, so its "
                                           "contents are not counted:")
    assert app.rows()[2] == f"{root}/beta  permission denied (try sudo)"
    app.press("d", lambda rows: summary(rows).startswith("alpha/ | "))
    app.quit()


def test_rescan_of_everything_shows_progress_then_the_new_total(bramwex, cache, tree):
    app = browse(cache, tree, columns=120)
    # alpha/deep is neither shown nor followed: only a rescan finds the new file.
    (tree / "alpha" / "deep" / "new.bin").write_bytes(b"n" * (3 << 20))
    report = json.loads(bramwex.run("scan", "--json", tree).stdout)
    before = len(titles_drawn(app.raw, 120))
    app.press("S", lambda rows: rows[0].startswith(f"{tree}  {size_text(report['size'])} | "))
    titles = titles_drawn(app.raw, 120)[before:]
    assert any(f"{tree}  scanning " in title for title in titles), titles
    app.quit()


def sgr(button, column, row, release=False):
    """An SGR mouse report; column and row count from 1."""
    return f"\x1b[<{button};{column};{row}{'m' if release else 'M'}"


def test_mouse_clicks_and_wheel_as_bytes(cache, tree):
    app = browse(cache, tree)
    # Rows of the root from screen row 2: alpha, top.txt, beta, empty.
    app.press(sgr(0, 5, 3) + sgr(0, 5, 3, True), lambda rows: summary(rows).startswith("top.txt"))
    app.press(sgr(65, 5, 3), lambda rows: summary(rows).startswith("beta/"))
    app.press(sgr(64, 5, 3), lambda rows: summary(rows).startswith("top.txt"))
    app.press(sgr(0, 500, 900) + sgr(0, 5, 1))  # off the screen, then the title line
    app.pump()
    assert summary(app.rows()).startswith("top.txt")
    double = sgr(0, 5, 2) + sgr(0, 5, 2, True)
    app.press(double + double, lambda rows: summary(rows).startswith("big.bin | "))
    app.quit()
