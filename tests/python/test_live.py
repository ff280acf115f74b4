"""Blocking live following: arguments, events of a real folder, faults, and
the end of the live thread however the Live object goes."""
import contextlib
import errno
import os
import re
import shutil
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import bramwex
from bramwex import Event, Reason
from conftest import make_tree
from live_helpers import (descriptors, make_wide_tree, rss_kb, settled_threads, sizes_by_path,
                          threads, until)

pytestmark = pytest.mark.timeout(120)

NEGATIVE = "cannot convert float seconds to Duration: value is negative"
TOO_BIG = "cannot convert float seconds to Duration: value is either too big or NaN"


@pytest.mark.parametrize("given, error, text", [
    *[(dict(interval=v), ValueError, f"^{NEGATIVE}$") for v in (-1, float("-inf"))],
    *[(dict(interval=v), ValueError, f"^{TOO_BIG}$") for v in (float("nan"), float("inf"),
                                                                2.0**64)],
    (dict(interval="1"), TypeError, "interval"),
    (dict(shown_only=1), TypeError, "shown_only"),
    (dict(threads=-1), OverflowError, ""),
    (dict(threads=5000), ValueError, "threads must be at most 1024"),
    (dict(path=b"/tmp"), TypeError, "path"),
    (dict(speed=1), TypeError, "speed"),
])
def test_bad_arguments_raise_before_any_thread_starts(tree_dir, given, error, text):
    before = threads()
    with pytest.raises(error, match=text):
        bramwex.live(**{"path": tree_dir, **given})
    assert threads() == before


@pytest.mark.parametrize("method, arg, error, text", [
    ("follow", "ab", TypeError, "Can't extract `str` to `Vec`"), ("follow", 5, TypeError, "ids"),
    ("relist", ["a"], TypeError, "ids"), ("relist", [2**32], OverflowError, ""),
    ("rescan", 2**32, OverflowError, ""), ("rescan", -1, OverflowError, ""),
])
def test_steering_arguments_are_checked(tree_dir, method, arg, error, text):
    with bramwex.live(tree_dir) as live, pytest.raises(error, match=re.escape(text)):
        getattr(live, method)(arg)


@pytest.mark.parametrize("interval", [0, -0.0, 1e-9, 2.0**63])
def test_zero_and_extreme_intervals_are_taken(tree_dir, interval):
    bramwex.live(tree_dir, interval=interval).close()


def test_a_closed_live_ignores_steering_and_ends_every_loop(tree_dir):
    live = bramwex.live(tree_dir)
    assert live.close() is None and live.close() is None
    assert (live.follow([]), live.relist([0]), live.rescan(0)) == (None, None, None)
    assert not live.follows_all() and list(live) == []


def test_events_of_a_real_folder(tree_dir):
    with bramwex.live(tree_dir, interval=0.01) as live:
        before, ready = until(live, Event.Ready)
        assert all(type(event) is Event.Scanning for event in before)
        assert sizes_by_path(ready.tree) == sizes_by_path(bramwex.scan(tree_dir))
        new = tree_dir / "beta" / "new.bin"
        new.write_bytes(b"n" * 50_000)
        before, changed = until(live, Event.Changed)
        assert not [event for event in before if isinstance(event, Event.Ready)]
        assert (tree_dir / "beta", os.stat(new).st_blocks * 512) in changed.changes
        assert changed.tree.size(0) == ready.tree.size(0) + os.stat(new).st_blocks * 512
        assert live.follows_all()

        beta = changed.tree.find("beta")
        live.rescan(beta)
        assert until(live, Event.Changed)[1].changes == []
        live.rescan(0)
        until(live, Event.Ready)

        live._fault("overflow")
        missed = until(live, Event.Missed)[1]
        assert (missed.reason, missed.path) == (Reason.Dropped, tree_dir)


def test_once_watches_run_out_follows_all_turns_false_and_follow_polls(tree_dir):
    with bramwex.live(tree_dir, interval=0.01) as live:
        tree = until(live, Event.Ready)[1].tree
        live._fault("watches")
        (tree_dir / "new").mkdir()  # its watch is refused
        assert until(live, Event.Missed)[1].reason == Reason.Dropped
        assert not live.follows_all()
        live.follow([tree.find("empty")])
        (tree_dir / "empty" / "more.bin").write_bytes(b"m" * 30_000)
        grown = os.stat(tree_dir / "empty" / "more.bin").st_blocks * 512
        assert until(live, Event.Changed)[1].changes == [(tree_dir / "empty", grown)]


def test_shown_only_never_follows_all(tree_dir):
    with bramwex.live(tree_dir, interval=0.01, shown_only=True) as live:
        until(live, Event.Ready)
        live.follow([0])
        time.sleep(0.1)
        assert not live.follows_all()


@pytest.mark.parametrize("name, error", [("missing", errno.ENOENT), ("top.txt", errno.ENOTDIR)])
def test_a_root_that_cannot_be_scanned_raises_once_then_ends(tree_dir, name, error):
    with bramwex.live(tree_dir / name) as live:
        with pytest.raises(OSError) as raised:
            next(live)
        assert (raised.value.errno, raised.value.filename) == (error, tree_dir / name)
        assert list(live) == []


def test_a_root_deleted_while_followed_is_missed_and_following_goes_on(tree_dir):
    with bramwex.live(tree_dir, interval=0.01) as live:
        until(live, Event.Ready)
        shutil.rmtree(tree_dir)
        event = None
        while not isinstance(event, Event.Missed):
            with contextlib.suppress(FileNotFoundError):
                event = next(live)
        assert (event.reason, event.path) == (Reason.RootMoved, tree_dir)
        tree_dir.mkdir()
        assert until(live, Event.Missed)[1].reason == Reason.RootMoved


def test_unreadable_folders_as_a_user_who_cannot_read_them(open_tmp, as_nobody):
    root = make_tree(open_tmp / "data")
    (root / "beta").chmod(0)
    (open_tmp / "shut").mkdir(mode=0)
    out = as_nobody(textwrap.dedent("""
        import sys, bramwex
        with bramwex.live(sys.argv[1]) as live:
            ready = next(e for e in live if isinstance(e, bramwex.Event.Ready))
            print(ready.tree.error(ready.tree.find("beta")))
        with bramwex.live(sys.argv[2]) as live:
            try:
                next(live)
            except PermissionError as error:
                print(error.errno, list(live))
    """), root, open_tmp / "shut")
    assert out.splitlines() == ["EACCES", "13 []"]


def test_a_fatal_error_on_the_live_thread_ends_the_iteration(tree_dir):
    with bramwex.live(tree_dir, interval=0.01) as live:
        until(live, Event.Ready)
        live._fault("fatal")
        with pytest.raises(BaseException, match="failure injected") as raised:
            next(live)
        assert type(raised.value).__name__ == "PanicException"
        assert list(live) == []


@pytest.mark.parametrize("ctrl_c", [False, True])
def test_close_from_another_thread_or_ctrl_c_ends_a_blocked_next_at_once(tree_dir, ctrl_c):
    with bramwex.live(tree_dir) as live:
        until(live, Event.Ready)
        timer = threading.Timer(0.2, os.kill if ctrl_c else live.close,
                                (os.getpid(), signal.SIGINT) if ctrl_c else ())
        started = time.monotonic()
        timer.start()
        with pytest.raises(KeyboardInterrupt) if ctrl_c else contextlib.nullcontext():
            assert list(live) == []
        assert time.monotonic() - started < 0.2 + 0.1
        timer.join()


def test_unread_snapshots_coalesce_but_not_across_a_ready(tmp_path):
    root = make_wide_tree(tmp_path / "wide", 6000)
    with bramwex.live(root, interval=0, threads=1) as live:
        for scan in range(3):  # three full scans, none read while it runs
            while not live.follows_all():
                time.sleep(0.001)
            if scan < 2:
                live.rescan(0)
                while live.follows_all():
                    time.sleep(0.001)
        kinds = []
        while kinds.count(Event.Ready) < 3:
            kinds.append(type(next(live)))
    text = "".join(k.__name__[0] for k in kinds)
    assert "SS" not in text and text.count("S") >= 2, text


def test_a_thousand_lives_leave_no_thread_descriptor_or_memory_behind(tree_dir):
    def cycles(count):
        for k in range(count):
            live = bramwex.live(tree_dir, interval=0.001, threads=2)
            if k % 10 == 0:
                until(live, Event.Ready)  # following too
            if k % 2 == 0:
                live.close()
            del live  # the rest closed by finalisation

    cycles(100)
    held = settled_threads(), descriptors(), rss_kb()
    cycles(1000)
    assert (settled_threads(), descriptors()) == held[:2]
    assert rss_kb() - held[2] < 16_000


@pytest.mark.parametrize("mode", ["plain", "async", "daemon"])
def test_a_live_open_at_exit_is_closed_without_a_hang_or_abort(tree_dir, mode):
    code = textwrap.dedent("""
        import asyncio, sys, threading, time, bramwex
        live = bramwex.live(sys.argv[1], interval=0.001)
        next(live)
        async def bind():  # the loop bound, then closed with the Live still open
            try:
                await asyncio.wait_for(live.__anext__(), 0.1)
            except asyncio.TimeoutError:
                pass
        if sys.argv[2] == "async":
            asyncio.run(bind())
        if sys.argv[2] == "daemon":  # still waiting in next() as the interpreter ends
            threading.Thread(target=lambda: list(live), daemon=True).start()
            threading.Thread(target=lambda: list(bramwex.live(sys.argv[1])), daemon=True).start()
            time.sleep(0.1)
        print("leaving")
    """)
    done = subprocess.run([sys.executable, "-c", code, str(tree_dir), mode],
                          capture_output=True, text=True, timeout=30)
    assert (done.returncode, done.stdout) == (0, "leaving\n"), done.stderr
