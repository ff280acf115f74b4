"""The full-screen app in a pseudo-terminal, its screen read back with pyte."""
import os
import random
import re
import signal
import subprocess
import threading
import json
import time

import pexpect
import pyte
import pytest

from conftest import binary

ALT_ON = b"\x1b[?1049h"
ALT_OFF = b"\x1b[?1049l"
MOUSE_ON = b"\x1b[?1000h\x1b[?1002h\x1b[?1003h\x1b[?1015h\x1b[?1006h"
MOUSE_OFF = b"\x1b[?1006l\x1b[?1015l\x1b[?1003l\x1b[?1002l\x1b[?1000l"


class Tui:
    """One run of the app on a pseudo-terminal of a fixed size."""

    def __init__(self, cache, *args, rows=30, columns=100, command=None, env=None):
        self.screen = pyte.Screen(max(columns, 1), max(rows, 1))
        self.stream = pyte.ByteStream(self.screen)
        self.raw = bytearray()
        run = command or [binary(), *map(str, args)]
        self.child = pexpect.spawn(run[0], run[1:], dimensions=(rows, columns),
                                   env=dict(os.environ, BRAMWEX_CACHE_DIR=str(cache),
                                            TERM="xterm-256color", **(env or {})))

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

    def wait_for(self, predicate, timeout=10):
        deadline = time.monotonic() + timeout
        while not predicate(self.rows()):
            assert time.monotonic() < deadline, "\n".join(self.rows())
            assert self.child.isalive(), "the app ended early"
            self.pump(0.05)

    def press(self, keys, then=None):
        self.child.send(keys)
        if then:
            self.wait_for(then)

    def wait_exit(self, timeout=10):
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


def test_volume_list_help_units_quit_and_modes_restored(cache):
    # The shell prints the terminal modes before and after the app.
    app = Tui(cache, env={"NO_COLOR": "1"}, command=[
        "/bin/sh", "-c", 'stty -g; "$0"; status=$?; stty -g; exit $status', binary()])
    app.wait_for(lambda rows: rows[0] == "volumes" and any(r.endswith("  /") for r in rows))
    root = next(i for i, row in enumerate(app.rows()) if row.endswith("  /"))
    assert app.screen.buffer[root][0].reverse and app.screen.buffer[root][99].reverse
    assert app.rows()[-1] == "arrows/jk move  enter scan  ? help  q quit"

    for close in ("?", "\x1b"):
        app.press("?", lambda rows: rows[0] == "keys" and rows[-1] == "? or esc close")
        app.press(close, lambda rows: rows[0] == "volumes")

    assert " GiB" in app.rows()[root]
    app.press("u", lambda rows: " GB " in rows[root] and " GiB" not in rows[root])
    app.press("u", lambda rows: " GiB" in rows[root])

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


def test_missing_path_fails_before_touching_the_terminal(bramwex):
    result = bramwex.run("/missing")
    assert (result.returncode, result.stdout, result.stderr) == (
        1, b"", b"bramwex: /missing: No such file or directory (os error 2)\n")


def test_no_controlling_terminal_is_fatal(bramwex, tree):
    result = subprocess.run([binary(), str(tree)], stdin=subprocess.DEVNULL,
                            capture_output=True, env=bramwex.env, start_new_session=True,
                            timeout=20)
    assert (result.returncode, result.stdout) == (101, b"")
    assert b"bramwex: fatal: failed to initialize terminal" in result.stderr


def test_standard_input_not_a_terminal_uses_the_controlling_one(cache, tree):
    app = Tui(cache, command=["/bin/sh", "-c", 'exec "$0" "$1" </dev/null', binary(), str(tree)])
    app.wait_for(lambda rows: rows[0].startswith(str(tree)))
    app.quit()


@pytest.mark.parametrize("rows,columns", [(1, 1), (0, 0), (1, 100), (30, 1)])
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
    assert app.wait_exit(timeout=20) == 0
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


def test_browse_a_tree_moves_filters_and_quits(bramwex, cache, tree):
    # A hard link is counted in whichever of its folders a parallel scan
    # reaches first, so folder sizes are compared without one.
    (tree / "alpha" / "b-link.bin").unlink()
    report = json.loads(bramwex.run("scan", "--json", tree).stdout)
    sizes = {child["name"]: child["size"] for child in report["children"]}
    app = browse(cache, tree)
    rows = app.rows()
    assert rows[0].startswith(f"{tree}  {size_text(report['size'])} | ")
    assert rows[1].startswith(f"{size_text(sizes['alpha']):>10}  ") and "alpha/" in rows[1]
    assert summary(rows).startswith(f"alpha/ | {size_text(sizes['alpha'])}  own ")
    assert app.screen.buffer[1][0].reverse

    app.press("l", lambda rows: summary(rows).startswith("big.bin | ") and "deep/" in rows[2])
    app.press("jh", lambda rows: summary(rows).startswith("alpha/ | "))
    app.press("/bet", lambda rows: rows[-1] == "/bet  enter keep  esc clear")
    rows = app.rows()
    assert summary(rows).startswith("beta/ | ") and "alpha/" not in rows[1] + rows[2]
    app.press("\r", lambda rows: rows[-1] == "/bet  esc clear")
    app.press("/x", lambda rows: "no matches for 'betx'" in rows[1])
    app.press("\x1b", lambda rows: rows[-1].startswith("hjkl move ") and "alpha/" in rows[1])
    app.quit()


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


def test_new_file_shows_its_size_and_change(cache, tree):
    (tree / "huge.bin").write_bytes(b"h" * (8 << 20))
    app = browse(cache, tree, columns=200)
    assert "huge.bin" in app.rows()[1]
    (tree / "new.bin").write_bytes(b"n" * (5 << 20))
    # The write may be seen half done; its last part comes with a later event.
    app.wait_for(lambda rows: "new.bin" in rows[2] and "+5.0 MiB" in rows[2])
    assert app.rows()[1].split()[:2] == ["8.0", "MiB"] and "+" not in app.rows()[1]
    assert "+5.0 MiB since opened" in app.rows()[0]
    app.press("c", lambda rows: "new.bin" in rows[1] and "sorted by change" in rows[0])
    app.press("c", lambda rows: "huge.bin" in rows[1])
    app.quit()
