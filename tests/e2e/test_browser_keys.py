"""The browser's keys and mouse in a pseudo-terminal: picks across restarts,
the largest files, open and reveal through a stub opener, the unreadable list,
rescans and SGR mouse reports."""
import json
import os
import shutil
import stat
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

from conftest import binary, make_tree
from test_browser import Tui, cache, scanned, size_text, summary, titles_drawn  # noqa: F401


def allocated(path):
    return os.lstat(path).st_blocks * 512


def test_picks_survive_a_restart_with_their_sizes(bramwex, cache, tree):
    report = json.loads(bramwex.run("scan", "--json", tree).stdout)
    alpha = next(child["size"] for child in report["children"] if child["name"] == "alpha")
    app = Tui(cache, tree, env={"NO_COLOR": "1"})
    app.wait_for(scanned)
    app.press(" j ", lambda rows: summary(rows).startswith("top.txt | "))
    app.press("q")
    assert app.wait_exit() == 0

    again = Tui(cache, tree, env={"NO_COLOR": "1"})
    again.wait_for(scanned)
    total = size_text(alpha + allocated(tree / "top.txt"))
    again.press("p", lambda rows: rows[1] == f"2 picked, {total} in all:")
    rows = again.rows()
    assert rows[2] == f"{size_text(alpha):>10}  alpha"
    assert rows[3] == f"{size_text(allocated(tree / 'top.txt')):>10}  top.txt"
    again.press(" ", lambda rows: rows[1].startswith("1 picked, "))
    again.press("q")
    assert again.wait_exit() == 0


@pytest.fixture
def opener(tmp_path):
    """A stub xdg-open first on PATH that appends its argument to a file."""
    folder = tmp_path / "bin"
    folder.mkdir()
    record = tmp_path / "opened"
    script = folder / "xdg-open"
    script.write_text(f'#!/bin/sh\nprintf "%s\\n" "$1" >> "{record}"\n')
    script.chmod(0o755)
    return {"PATH": f"{folder}:{os.environ['PATH']}", "NO_COLOR": "1"}, record


def recorded(record, count):
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        if record.exists() and len(record.read_text().splitlines()) >= count:
            return record.read_text().splitlines()
        time.sleep(0.05)
    raise AssertionError("the opener was not run")


def test_largest_files_open_and_reveal(cache, tree, opener, monkeypatch):
    monkeypatch.delenv("SSH_CONNECTION", raising=False)
    env, record = opener
    app = Tui(cache, tree, env=env)
    app.wait_for(scanned)
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
    app.press("q")
    assert app.wait_exit() == 0


def test_missing_opener_is_reported(cache, tree, monkeypatch):
    monkeypatch.delenv("SSH_CONNECTION", raising=False)
    app = Tui(cache, tree, env={"PATH": "/nonexistent", "NO_COLOR": "1"})
    app.wait_for(scanned)
    app.press("o", lambda rows: rows[-1] == "cannot run xdg-open: No such file or directory "
                                           "(os error 2)")
    app.press("q")
    assert app.wait_exit() == 0


def test_unreadable_folder_listed_with_its_reason(tmp_path):
    """Run as a user other than root, for whom a folder of mode 000 is denied."""
    command = [binary()]
    if os.geteuid() == 0:
        if not shutil.which("setpriv"):
            pytest.skip("running as root without setpriv: no other user to deny")
        command = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", binary()]
        probe = subprocess.run([*command, "--version"], capture_output=True)
        if probe.returncode != 0:
            pytest.skip("the binary cannot run as nobody here")
    top = Path(tempfile.mkdtemp(prefix="bramwex-denied-"))
    try:
        top.chmod(0o755)
        root = make_tree(top / "data")
        for folder in [root, *root.rglob("*")]:
            if folder.is_dir() and not folder.is_symlink():
                folder.chmod(0o755)
        (root / "beta").chmod(0)
        cache_dir = top / "cache"
        cache_dir.mkdir(mode=0o777)
        cache_dir.chmod(0o777)
        app = Tui(cache_dir, command=[*command, str(root)], env={"NO_COLOR": "1"})
        app.wait_for(lambda rows: "1 folder unreadable (d)" in rows[0])
        app.press("d", lambda rows: rows[1] == "1 directory could not be read, so its "
                                               "contents are not counted:")
        assert app.rows()[2] == f"{root}/beta  permission denied (try sudo)"
        app.press("d", lambda rows: summary(rows).startswith("alpha/ | "))
        app.press("q")
        assert app.wait_exit() == 0
    finally:
        (top / "data" / "beta").chmod(0o755)
        shutil.rmtree(top)


def test_rescan_of_everything_shows_progress_then_the_new_total(bramwex, cache, tree):
    app = Tui(cache, tree, columns=120)
    app.wait_for(scanned)
    # alpha/deep is neither shown nor followed: only a rescan finds the new file.
    (tree / "alpha" / "deep" / "new.bin").write_bytes(b"n" * (3 << 20))
    report = json.loads(bramwex.run("scan", "--json", tree).stdout)
    before = len(titles_drawn(app.raw, 120))
    app.press("S", lambda rows: rows[0].startswith(f"{tree}  {size_text(report['size'])} | "))
    titles = titles_drawn(app.raw, 120)[before:]
    assert any(f"{tree}  scanning " in title for title in titles), titles
    app.press("q")
    assert app.wait_exit() == 0


def sgr(button, column, row, release=False):
    """An SGR mouse report; column and row count from 1."""
    return f"\x1b[<{button};{column};{row}{'m' if release else 'M'}"


def test_mouse_clicks_and_wheel_as_bytes(cache, tree):
    app = Tui(cache, tree, env={"NO_COLOR": "1"})
    app.wait_for(scanned)
    # Rows of the root from screen row 2: alpha, top.txt, beta, empty.
    app.press(sgr(0, 5, 3) + sgr(0, 5, 3, True), lambda rows: summary(rows).startswith("top.txt"))
    app.press(sgr(65, 5, 3), lambda rows: summary(rows).startswith("beta/"))
    app.press(sgr(64, 5, 3), lambda rows: summary(rows).startswith("top.txt"))
    app.press(sgr(0, 500, 900) + sgr(0, 5, 1))  # off the screen, then the title line
    app.pump()
    assert summary(app.rows()).startswith("top.txt")
    double = sgr(0, 5, 2) + sgr(0, 5, 2, True)
    app.press(double + double, lambda rows: summary(rows).startswith("big.bin | "))
    app.press("q")
    assert app.wait_exit() == 0
