"""The full-screen app in a pseudo-terminal, its screen read back with pyte."""
import os
import random
import re
import signal
import subprocess
import threading
import time
from pathlib import Path

import pexpect
import pyte
import pytest

from conftest import binary

ALT_ON = b"\x1b[?1049h"
ALT_OFF = b"\x1b[?1049l"
MOUSE_ON = b"\x1b[?1000h\x1b[?1002h\x1b[?1003h\x1b[?1015h\x1b[?1006h"
MOUSE_OFF = b"\x1b[?1006l\x1b[?1015l\x1b[?1003l\x1b[?1002l\x1b[?1000l"
SCAN_INSTEAD = b"bramwex: the browser needs a terminal; use `bramwex scan PATH` to print the sizes"


def default_exit_signals():
    """An app ignores an exit signal it was started with ignored; the tests
    send them, whatever the test run itself was started with."""
    for signum in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT, signal.SIGQUIT):
        signal.signal(signum, signal.SIG_DFL)


class Tui:
    """One run of the app on a pseudo-terminal of a fixed size."""

    def __init__(self, cache, *args, rows=30, columns=100, command=None, env=None):
        self.screen = pyte.Screen(max(columns, 1), max(rows, 1))
        self.stream = pyte.ByteStream(self.screen)
        self.raw = bytearray()
        run = command or [binary(), *map(str, args)]
        self.child = pexpect.spawn(run[0], run[1:], dimensions=(rows, columns),
                                   env=dict(os.environ, BRAMWEX_CACHE_DIR=str(cache),
                                            TERM="xterm-256color", **(env or {})),
                                   preexec_fn=default_exit_signals)

    def pump(self, quiet=0.1):
        """Reads until the app has been quiet for `quiet` seconds or ended."""
        while True:
            try:
                data = self.child.read_nonblocking(65536, timeout=quiet)
            except (pexpect.TIMEOUT, pexpect.EOF):
                return
            self.raw += data
            self.stream.feed(data)

    def rows(self):
        return [row.rstrip() for row in self.screen.display]

    def wait_for(self, predicate, timeout=30):
        deadline = time.monotonic() + timeout
        while not predicate(self.rows()):
            assert time.monotonic() < deadline, "\n".join(self.rows())
            assert self.child.isalive(), "the app ended early"
            self.pump(0.05)

    def press(self, keys, then=None):
        self.child.send(keys)
        if then:
            self.wait_for(then)

    def wait_exit(self, timeout=30):
        """The exit status, after reading everything the app wrote."""
        deadline = time.monotonic() + timeout
        while self.child.isalive():
            assert time.monotonic() < deadline, "the app did not end"
            self.pump(0.05)
        self.pump(0.05)
        self.child.wait()
        return self.child.exitstatus

    def quit(self):
        self.press("q")
        assert self.wait_exit() == 0
        assert restored(self.raw)


def restored(raw):
    """Mouse capture on after entering the alternate screen, off before leaving it."""
    raw = bytes(raw)
    return (ALT_ON in raw and raw.index(ALT_ON) < raw.index(MOUSE_ON)
            and raw.rindex(MOUSE_ON) < raw.rindex(MOUSE_OFF) < raw.rindex(ALT_OFF))


@pytest.fixture
def cache(tmp_path):
    return tmp_path / "cache"


def test_volume_list_help_quit_and_modes_restored(cache):
    # The shell prints the terminal modes before and after the app.
    app = Tui(cache, env={"NO_COLOR": "1"}, command=[
        "/bin/sh", "-c", 'stty -g; "$0"; status=$?; stty -g; exit $status', binary()])
    app.wait_for(lambda rows: rows[0] == "volumes" and any(r.endswith("  /") for r in rows))
    root = next(i for i, row in enumerate(app.rows()) if row.endswith("  /"))
    assert app.screen.buffer[root][0].reverse and app.screen.buffer[root][99].reverse
    assert app.rows()[-1] == "arrows/jk move  enter scan  ? help  q quit"

    app.press("?", lambda rows: rows[0] == "keys" and rows[-1] == "? or esc close")
    app.press("\x1b", lambda rows: rows[0] == "volumes")
    app.quit()
    raw = bytes(app.raw)
    before = raw[:raw.index(ALT_ON)].strip()
    assert before and before == raw[raw.rindex(ALT_OFF) + len(ALT_OFF):].strip()


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP])
def test_exit_signals_restore_the_terminal(cache, signum):
    app = Tui(cache)
    app.wait_for(lambda rows: rows[0] == "volumes")
    app.child.kill(signum)
    assert app.wait_exit() == 128 + signum
    assert restored(app.raw)


def test_out_of_memory_ends_with_one_line_and_the_terminal_restored(tmp_path):
    root = tmp_path / "wide"
    for k in range(60_000):
        (root / f"d{k // 300}" / f"e{k}").mkdir(parents=True, exist_ok=True)

    def settled(rows):
        return scanned(rows) or "cannot scan" in rows[-1]

    # From too little address space to start, through running out while
    # scanning, to enough; the browser's own failures show on its screen.
    # Where memory runs out depends on how many workers have started by then,
    # so the limits are tried in fine steps until one runs out while scanning.
    endings = set()
    for limit in range(24_000, 136_000, 4_000):
        if (True, "bramwex: out of memory\r\n") in endings:
            break
        app = Tui(tmp_path / f"cache{limit}", command=[
            "bash", "-c", f'ulimit -v {limit}; exec "$0" "$1"', binary(), str(root)])
        deadline = time.monotonic() + 60
        while app.child.isalive() and not settled(app.rows()):
            assert time.monotonic() < deadline, "\n".join(app.rows())
            app.pump(0.05)
        if app.child.isalive():
            app.quit()
            continue
        status, raw = app.wait_exit(), bytes(app.raw)
        ending = raw[raw.rfind(ALT_OFF) + len(ALT_OFF) if ALT_ON in raw else 0:].decode()
        # A thread the browser cannot start is its own fatal error.
        fatal = ending.startswith("bramwex: fatal: ")
        assert (status, ending.count("\n")) == (101 if fatal else 1, 1), ending
        assert ending.startswith("bramwex: "), ending
        assert ALT_ON not in raw or restored(raw)
        endings.add((ALT_ON in raw, ending))
    assert (True, "bramwex: out of memory\r\n") in endings, endings


def test_missing_path_fails_before_touching_the_terminal(bramwex):
    result = bramwex.run("/missing")
    assert (result.returncode, result.stdout, result.stderr) == (
        1, b"", b"bramwex: /missing: No such file or directory (os error 2)\n")


def test_no_controlling_terminal_is_fatal(bramwex, tree):
    result = subprocess.run([binary(), str(tree)], stdin=subprocess.DEVNULL,
                            capture_output=True, env=dict(bramwex.env, TERM="xterm"),
                            start_new_session=True, timeout=20)
    assert (result.returncode, result.stdout) == (101, b"")
    assert result.stderr.splitlines()[-2:] == [b"bramwex: fatal: failed to initialize terminal",
                                               SCAN_INSTEAD]


@pytest.mark.parametrize("term", [["-u", "TERM"], ["TERM="], ["TERM=dumb"]])
def test_a_terminal_that_cannot_draw_is_refused_untouched(cache, tree, term):
    app = Tui(cache, command=["/usr/bin/env", *term, binary(), str(tree)])
    assert app.wait_exit() == 1
    refusal = rb"bramwex: TERM is [^\r\n\x1b]+; use `bramwex scan PATH` to print the sizes\r\n"
    assert re.fullmatch(refusal, app.raw), app.raw


def test_standard_input_not_a_terminal_uses_the_controlling_one(cache, tree):
    app = Tui(cache, command=["/bin/sh", "-c", 'exec "$0" "$1" </dev/null', binary(), str(tree)])
    app.wait_for(lambda rows: rows[0].startswith(str(tree)))
    app.quit()


@pytest.mark.parametrize("rows,columns", [(0, 0), (30, 1)])
def test_tiny_terminal(cache, rows, columns):
    app = Tui(cache, rows=rows, columns=columns)
    app.pump(0.5)
    assert app.child.isalive()
    for keys in ("?", "\x1b[B", "?", "j"):  # the help drawn, then closed
        app.press(keys)
        app.pump()
    app.quit()


def test_pasted_burst_of_keys_and_sequences(cache):
    units = ["j", "k", "g", "G", "u", "?", "\r", "l", "h", "\x7f", " ", "x", "é", "\x1b[A",
             "\x1b[B", "\x1b[5~", "\x1b[6~", "\x1bOH", "\x1b[1;5B", "\x1b[<0;5;2M",
             "\x1b[<0;5;2m", "\x1b[<64;9;3M", "\x1b[<65;9;3M", "\x1b[<35;40;9M", "\x1b[M !!",
             "\x1b[200~", "\x1b[999;999R", "\x1b]0;title\x07"]
    burst = "".join(random.Random(7).choices(units, k=3000)).encode()
    assert b"q" not in burst and b"\x03" not in burst
    app = Tui(cache)
    app.wait_for(lambda rows: rows[0] == "volumes")
    # Read while the burst goes in, so neither side blocks.
    writer = threading.Thread(target=app.child.send, args=(burst,))
    writer.start()
    while writer.is_alive():
        app.pump(0.05)
    app.pump(0.3)
    # A read ending right after an ESC is the Esc key, which may quit the app.
    if app.child.isalive():
        app.press("q")
    assert app.wait_exit() == 0
    assert restored(app.raw)


def size_text(size):
    """The size as the app writes it: powers of 1024, one decimal."""
    for power, unit in enumerate(("B", "KiB", "MiB", "GiB", "TiB")):
        if size < 1024 ** (power + 1) or unit == "TiB":
            return f"{size} B" if power == 0 else f"{size / 1024 ** power:.1f} {unit}"


def scanned(rows):
    return " | scanned " in rows[0]


def summary(rows):
    return rows[-2]


def browse(cache, tree, columns=100, env={"NO_COLOR": "1"}):
    """The app on tree, once its scan is shown."""
    app = Tui(cache, tree, columns=columns, env=env)
    app.wait_for(scanned)
    return app


def titles_drawn(raw, columns):
    """Every title line the screen showed, replaying the output one sequence at a time."""
    screen = pyte.Screen(columns, 30)
    stream = pyte.ByteStream(screen)
    titles = []
    for piece in bytes(raw).split(b"\x1b["):
        stream.feed(b"\x1b[" + piece if titles else piece)
        title = screen.display[0].rstrip()
        if not titles or titles[-1] != title:
            titles.append(title)
    return titles


def test_saved_scan_is_shown_at_once(cache, tree):
    browse(cache, tree, columns=200).quit()
    again = browse(cache, tree, columns=200)
    titles = titles_drawn(again.raw, 200)
    saved = r" of ~532.0 KiB \(\d+%\) \| showing the scan saved \d+ s ago$"
    assert any(re.search(saved, title) for title in titles), titles
    again.quit()


# Clusters terminals give different widths (a skin tone, joiners, a variation
# selector, a flag, a combining accent), between plain and wide letters.
PIECES = ["a", "x", "-", "日", "👍🏽", "👨‍👩‍👧", "❤️", "🇺🇸", "e\u0301", "👍", "x🏽"]


class Tmux:
    """The app in a real terminal: a tmux pane, read back with capture-pane."""

    def __init__(self, tmp_path, columns, rows, *command):
        self.tmux = ["tmux", "-S", str(tmp_path / "tmux.sock"), "-f", "/dev/null"]
        self("new-session", "-d", "-c", tmp_path, "-x", columns, "-y", rows, "--", *command)

    def __call__(self, *args):
        return subprocess.run([*self.tmux, *map(str, args)], capture_output=True,
                              text=True).stdout

    def rows(self):
        # Ages tick while the screen is compared (and cut texts differently).
        return [re.sub(r"since .*ago|\d+ s ago", "~", row.rstrip())
                for row in self("capture-pane", "-p").splitlines()]

    def wait_for(self, predicate, timeout=10):
        """The rows once they satisfy predicate, or the last rows at the deadline."""
        deadline = time.monotonic() + timeout
        while not predicate(rows := self.rows()) and time.monotonic() < deadline:
            time.sleep(0.02)
        return rows


@pytest.mark.parametrize("columns", [44, 81, 120])
def test_moves_leave_the_screen_a_full_redraw_shows(tmp_path, cache, columns):
    rng = random.Random(columns)
    root = tmp_path / "e"
    for k in range(6):
        name = "".join(rng.choices(PIECES, k=rng.randint(2, 12)))
        folder = root / f"{name}{k}" / "".join(rng.choices(PIECES, k=5))
        folder.mkdir(parents=True)
        (folder.parent / f"{k}{name}").write_bytes(b"f" * rng.randint(2000, 90_000))
    app = Tmux(tmp_path, columns, 12, "env", f"BRAMWEX_CACHE_DIR={cache}", "NO_COLOR=1",
               binary(), "e")
    try:
        assert " | scanned " in app.wait_for(lambda rows: " | scanned " in rows[0])[0]
        for key in rng.choices("jjjkklliitt", k=12):
            before = app.rows()
            app("send-keys", "-l", key)  # drawn one key at a time where the app keeps up
            app.wait_for(lambda rows: rows != before, timeout=0.5)
        # Units there and back: the frame drawn after every key before them.
        for units, other in (("kB", "KiB"), ("KiB", "kB")):
            app("send-keys", "u")
            shown = "".join(app.wait_for(lambda rows: units in "".join(rows)
                                         and other not in "".join(rows)))
            assert units in shown and other not in shown
        moved = app.rows()
        app("resize-window", "-x", columns, "-y", 15)
        assert app.wait_for(lambda rows: len(rows) == 15 and rows[-1])[-1]
        app("resize-window", "-x", columns, "-y", 12)
        assert app.wait_for(lambda rows: rows == moved) == moved
    finally:
        app("kill-server")


def modes(pane):
    """Alternate screen, any-motion and SGR mouse reporting, cursor shown."""
    return pane("display", "-p", "#{alternate_on} #{mouse_any_flag} #{mouse_sgr_flag} "
                "#{cursor_flag}").split()


@pytest.mark.parametrize("signum", [signal.SIGSEGV, signal.SIGABRT, signal.SIGBUS,
                                    signal.SIGFPE, signal.SIGILL], ids=lambda s: s.name)
def test_a_crash_gives_the_terminal_back(tmp_path, cache, tree, signum):
    # The pane's shell reports how the app ended and the modes it left behind;
    # the core file the crash would write is turned off.
    script = 'ulimit -c 0; "$0" "$1"; echo "status $?"; stty -a; echo end; exec sleep 60'
    pane = Tmux(tmp_path, 100, 30, "env", f"BRAMWEX_CACHE_DIR={cache}", "NO_COLOR=1",
                "/bin/sh", "-c", script, binary(), tree)
    try:
        assert scanned(pane.wait_for(scanned))
        assert modes(pane) == ["1", "1", "1", "0"]
        shell = pane("display", "-p", "#{pane_pid}").strip()
        app = Path(f"/proc/{shell}/task/{shell}/children").read_text().split()
        assert len(app) == 1
        os.kill(int(app[0]), signum)
        rows = pane.wait_for(lambda rows: "end" in rows)
        assert modes(pane) == ["0", "0", "0", "1"]
        assert f"status {128 + signum}" in rows
        words = " ".join(rows).split()
        assert "icanon" in words and "echo" in words, rows
    finally:
        pane("kill-server")
    assert not list(tmp_path.glob("core*"))
