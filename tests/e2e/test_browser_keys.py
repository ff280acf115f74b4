"""The browser's keys and mouse in a pseudo-terminal: picks, the largest
files, a stub opener, rescans and SGR mouse reports."""
import json
import os
import subprocess
import time

from test_browser import Tui, browse, cache, size_text, summary, titles_drawn  # noqa: F401


def allocated(path):
    return os.lstat(path).st_blocks * 512


def test_picks_survive_a_restart_with_their_sizes(bramwex, cache, tree):
    # A parallel scan counts a hard link in whichever of its folders it reaches
    # first, which moves the sizes and the order of alpha and beta.
    (tree / "alpha" / "b-link.bin").unlink()
    report = json.loads(bramwex.run("scan", "--json", tree).stdout)
    alpha = next(child["size"] for child in report["children"] if child["name"] == "alpha")
    top = allocated(tree / "top.txt")
    app = browse(cache, tree)
    app.press(" jj ", lambda rows: summary(rows).startswith("top.txt | "))
    app.quit()
    again = browse(cache, tree)
    again.press("p", lambda rows: rows[1] == f"2 picked, {size_text(alpha + top)} in all:")
    assert again.rows()[2:4] == [f"{size_text(alpha):>10}  alpha", f"{size_text(top):>10}  top.txt"]
    again.press(" ", lambda rows: rows[1].startswith("1 picked, "))
    again.quit()


def waited(check, what):
    deadline = time.monotonic() + 20
    while not check():
        assert time.monotonic() < deadline, what
        time.sleep(0.05)


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
    app.press("or")  # the two openers may write in either order
    waited(lambda: record.exists() and len(record.read_text().splitlines()) == 2, "no opener run")
    assert sorted(record.read_text().splitlines()) == sorted([str(big), str(big.parent)])
    # Both openers end and are reaped: no zombie is left behind.
    waited(lambda: "Z" not in subprocess.run(["ps", "--ppid", str(app.child.pid), "-o", "stat="],
                                             capture_output=True, text=True).stdout, "a zombie")
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
