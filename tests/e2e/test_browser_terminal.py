"""The terminal taken from the browser and given back: stopped from outside
and continued, and a terminal that goes away."""
import os
import signal
import subprocess
import time
from pathlib import Path

import pytest

from conftest import binary
from held_opens import HeldOpens
from test_browser import Tmux, Tui, cache, modes, scanned  # noqa: F401


def until(condition, timeout=20):
    deadline = time.monotonic() + timeout
    while not (found := condition()):
        assert time.monotonic() < deadline, "the condition was not met in time"
        time.sleep(0.02)
    return found


def stopped(pid):
    # The state follows the name in parentheses, which may hold spaces.
    return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] == "T"


def tty_words(pane):
    """The pane's terminal modes, as stty names them."""
    tty = pane("display", "-p", "#{pane_tty}").strip()
    return subprocess.run(["stty", "-a", "-F", tty], capture_output=True, text=True,
                          check=True).stdout.split()


def test_stopped_from_outside_gives_the_terminal_back_until_continued(tmp_path, cache, tree):
    # An interactive shell in the pane runs the browser as a job: it stops
    # with the shell's job control, and `fg` continues it.
    pane = Tmux(tmp_path, 100, 30, "env", f"BRAMWEX_CACHE_DIR={cache}", "NO_COLOR=1", "PS1=$ ",
                "/bin/sh", "-i")
    try:
        until(lambda: pane.rows()[0].startswith("$"))
        pane("send-keys", "-l", f"'{binary()}' '{tree}'")
        pane("send-keys", "Enter")
        assert scanned(pane.wait_for(scanned))
        shell = pane("display", "-p", "#{pane_pid}").strip()
        app = int(until(lambda: Path(f"/proc/{shell}/task/{shell}/children").read_text())
                  .split()[0])
        for _ in range(2):
            assert modes(pane) == ["1", "1", "1", "0"]
            os.kill(app, signal.SIGTSTP)
            until(lambda: stopped(app))
            assert modes(pane) == ["0", "0", "0", "1"]
            words = tty_words(pane)
            assert "icanon" in words and "echo" in words, words
            pane("send-keys", "-l", "fg")
            pane("send-keys", "Enter")
            # The whole screen drawn again, keys read one at a time.
            assert scanned(pane.wait_for(scanned))
            assert not stopped(app)
            assert modes(pane) == ["1", "1", "1", "0"]
            words = tty_words(pane)
            assert "-icanon" in words and "-echo" in words, words
            pane("send-keys", "?")
            assert pane.wait_for(lambda rows: rows[0] == "keys")[0] == "keys"
            pane("send-keys", "Escape")
            assert scanned(pane.wait_for(scanned))
        pane("send-keys", "q")
        until(lambda: not Path(f"/proc/{app}").exists())
        assert modes(pane) == ["0", "0", "0", "1"]
    finally:
        pane("kill-server")


# How the browser meets the hangup: as the terminal's controlling process with
# SIGHUP at its default or ignored (nohup), or under a shell that keeps the
# SIGHUP to itself, so that only the terminal's end of input and its errors
# tell. The shell writes the status it saw.
HANGUPS = {
    "default": 'exec "$0" "$1" 2>"$2"',
    "ignored": 'trap "" HUP; exec "$0" "$1" 2>"$2"',
    "unsent": 'trap : HUP; "$0" "$1" 2>"$2"; echo $? >"$2.status"; exit 0',
}


@pytest.mark.parametrize("hangup", HANGUPS)
def test_a_terminal_that_goes_away_ends_the_browser_as_a_hangup(tmp_path, cache, hangup):
    root = tmp_path / "data"
    (root / "held").mkdir(parents=True)
    for attempt in range(6):
        errors = tmp_path / f"stderr{attempt}"
        # The scan cannot end while it waits to open the held folder.
        with HeldOpens(root / "held") as opens:
            # A saved scan would be shown, and its folders listed, at once.
            app = Tui(cache / str(attempt), command=["/bin/sh", "-c", HANGUPS[hangup], binary(),
                                                     str(root), str(errors)])
            opens.wait()
            app.wait_for(lambda rows: "scanning" in rows[0])
            app.child.ptyproc.fileobj.close()  # the terminal's other end
        app.child.wait()
        status = (int(Path(f"{errors}.status").read_text()) if hangup == "unsent"
                  else app.child.exitstatus)
        assert (status, errors.read_bytes()) == (129, b""), attempt
