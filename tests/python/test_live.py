"""Blocking live following: arguments, events of a real folder, faults, and
the end of the live thread however the Live object goes."""
import contextlib
import errno
import os
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import bramwex
from bramwex import Event, Reason
from live_helpers import eventually, held, until

pytestmark = pytest.mark.timeout(120)

NEGATIVE = "cannot convert float seconds to Duration: value is negative"
TOO_BIG = "cannot convert float seconds to Duration: value is either too big or NaN"


@pytest.mark.parametrize("given, error, text", [
    (dict(interval=-1), ValueError, f"^{NEGATIVE}$"),
    *[(dict(interval=v), ValueError, f"^{TOO_BIG}$") for v in (float("nan"), 2.0**64)],
    (dict(interval="1"), TypeError, "interval"),
    (dict(shown_only=1), TypeError, "shown_only"),
    (dict(threads=-1), OverflowError, "^argument 'threads': "),
    (dict(path=b"/tmp"), TypeError, "path"),
    (dict(speed=1), TypeError, "speed"),
])
def test_bad_arguments_raise_before_any_thread_starts(tree_dir, given, error, text):
    before = held()[0]
    with pytest.raises(error, match=text):
        bramwex.live(**{"path": tree_dir, **given})
    assert held()[0] == before


@pytest.mark.parametrize("method, arg, error, text", [
    ("follow", "ab", TypeError, "Can't extract `str` to `Vec`"), ("follow", 5, TypeError, "ids"),
    ("relist", ["a"], TypeError, "ids"), ("follow", [2**32], OverflowError, "argument 'ids': "),
    ("rescan", 2**32, OverflowError, "argument 'id': "), ("rescan", -1, OverflowError, "'id'"),
])
def test_steering_arguments_are_checked(tree_dir, method, arg, error, text):
    with bramwex.live(tree_dir) as live, pytest.raises(error, match=re.escape(text)):
        getattr(live, method)(arg)


def test_extreme_intervals_are_taken_and_a_closed_live_ignores_steering(tree_dir):
    for interval in (0, -0.0, 1e-9, 2.0**63):
        bramwex.live(tree_dir, interval=interval).close()
    live = bramwex.live(tree_dir)
    assert live.close() is None and live.close() is None
    assert (live.follow([]), live.relist([0]), live.rescan(0)) == (None, None, None)
    assert not live.follows_all() and list(live) == []


def sizes(tree):
    folders = [0]
    for folder in folders:
        folders.extend(tree.children(folder))
    return {tree.path(f): tree.size(f) for f in folders}


def test_events_of_a_real_folder(tree_dir):
    (tree_dir / "alpha" / "b-link.bin").unlink()  # either parallel scan may count a hard link
    with bramwex.live(tree_dir, interval=0.01) as live:
        before, ready = until(live, Event.Ready)
        assert all(type(event) is Event.Scanning for event in before)
        assert sizes(ready.tree) == sizes(bramwex.scan(tree_dir))
        (tree_dir / "beta" / "new.bin").write_bytes(b"n" * 50_000)
        grown, deltas, changed = os.stat(tree_dir / "beta" / "new.bin").st_blocks * 512, {}, None
        while changed is None or changed.tree.size(0) != ready.tree.size(0) + grown:
            before, changed = until(live, Event.Changed)  # the write may be seen in steps
            assert Event.Ready not in map(type, before)
            for path, delta in changed.changes:
                deltas[path] = deltas.get(path, 0) + delta
        assert deltas == {tree_dir / "beta": grown} and live.follows_all()
        live.rescan(changed.tree.find("beta"))
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
        # A write may be seen half done; its end comes with a later event.
        seen = 0
        while seen < grown:
            changes = until(live, Event.Changed)[1].changes
            assert [path for path, _ in changes] == [tree_dir / "empty"], changes
            seen += changes[0][1]
        assert seen == grown


def test_with_no_inotify_instance_left_the_root_is_missed_and_follow_polls(tree_dir):
    # Instances are the user's, and other tests run beside this one: a child
    # takes every one left, for the moment it takes to start following.
    code = textwrap.dedent("""
        import ctypes, errno, os, sys, threading, bramwex
        from bramwex import Event, Reason
        root, libc = sys.argv[1], ctypes.CDLL(None, use_errno=True)
        limit = int(open("/proc/sys/fs/inotify/max_user_instances").read())
        taken, seen = [], []
        try:
            while len(taken) <= limit and (fd := libc.inotify_init1(os.O_CLOEXEC)) >= 0:
                taken.append(fd)
            if ctypes.get_errno() != errno.EMFILE:
                sys.exit(print("skip: instances do not run out"))
            live = bramwex.live(root, interval=0.01)
            stop = threading.Timer(10, live.close)
            stop.start()
            for event in live:
                seen.append(event)
                if isinstance(event, Event.Missed):
                    break
            stop.cancel()
        finally:
            for fd in taken:
                os.close(fd)
        assert [type(e) for e in seen][-2:] == [Event.Ready, Event.Missed], seen
        assert (seen[-1].reason, str(seen[-1].path)) == (Reason.Dropped, root)
        assert not live.follows_all()
        live.follow([0])
        open(os.path.join(root, "new.bin"), "wb").write(b"n" * 30_000)
        stop = threading.Timer(30, live.close)
        stop.start()
        for event in live:
            if isinstance(event, Event.Changed) and root in [str(p) for p, _ in event.changes]:
                break
        else:
            raise AssertionError("no change seen")
        stop.cancel()
        live.close()
        print("followed")
    """)
    done = subprocess.run([sys.executable, "-c", code, str(tree_dir)],
                          capture_output=True, text=True, timeout=90)
    if done.stdout.startswith("skip:"):
        pytest.skip(done.stdout)
    assert (done.returncode, done.stdout) == (0, "followed\n"), done.stderr


@pytest.mark.parametrize("lost", ["watches", "instances"])
def test_a_lasting_loss_is_missed_once_so_the_readme_recipe_rescans_once(tree_dir, lost):
    # The README's recipe scans everything again at each Missed: a loss that
    # outlasts the scan (no watch, or no inotify instance, to be had) is told
    # once, or the recipe scans for ever. Following polls meanwhile.
    for k in range(200):
        (tree_dir / "many" / str(k // 20) / str(k)).mkdir(parents=True)
    code = textwrap.dedent("""
        import ctypes, errno, os, sys, threading, bramwex
        from bramwex import Event
        lost, root, libc = sys.argv[1], sys.argv[2], ctypes.CDLL(None, use_errno=True)
        taken, readies, missed = [], 0, 0
        def release():
            while taken:
                os.close(taken.pop())
        if lost == "instances":  # held by a child, as other tests run beside
            limit = int(open("/proc/sys/fs/inotify/max_user_instances").read())
            while len(taken) <= limit and (fd := libc.inotify_init1(os.O_CLOEXEC)) >= 0:
                taken.append(fd)
            if ctypes.get_errno() != errno.EMFILE:
                release()
                sys.exit(print("skip: instances do not run out"))
        live = bramwex.live(root, interval=0.01)
        stop = threading.Timer(60, live.close)
        stop.start()
        try:
            for event in live:
                if isinstance(event, Event.Missed):
                    missed += 1
                    live.rescan(0)
                elif isinstance(event, Event.Ready):
                    readies += 1
                    if readies > 2:
                        break
                    if readies == 1 and lost == "watches":  # the stream runs out of them
                        live._fault("watches")
                        os.mkdir(os.path.join(root, "new"))
                    if readies == 2:  # the rescan's: the loss lasts, told already
                        release()
                        live.follow([0])
                        open(os.path.join(root, "new.bin"), "wb").write(b"n" * 30_000)
                elif isinstance(event, Event.Changed) and readies == 2 and (
                        root in [str(path) for path, _ in event.changes]):
                    break
        finally:
            stop.cancel()
            release()
            live.close()
        print(readies, missed, live.follows_all())
    """)
    done = subprocess.run([sys.executable, "-c", code, lost, str(tree_dir)],
                          capture_output=True, text=True, timeout=90)
    if done.stdout.startswith("skip:"):
        pytest.skip(done.stdout)
    assert (done.returncode, done.stdout) == (0, "2 1 False\n"), done.stderr


def test_shown_only_never_follows_all(tree_dir):
    with bramwex.live(tree_dir, interval=0.01, shown_only=True) as live:
        until(live, Event.Ready)
        live.follow([0])
        time.sleep(0.1)
        assert not live.follows_all()


@pytest.mark.parametrize("name, error", [("missing", errno.ENOENT), ("top.txt", errno.ENOTDIR),
                                         (".", None)])  # None: a fatal error on the live thread
def test_an_error_is_raised_once_then_the_iteration_ends(tree_dir, name, error):
    with bramwex.live(tree_dir / name, interval=0.01) as live:
        if error is None:
            until(live, Event.Ready)
            live._fault("fatal")
        with pytest.raises(BaseException) as raised:
            # Events told before the failure come first: a Missed when no
            # inotify instance is left (they are the user's, shared with
            # every program), or a change seen since the scan.
            for _ in live:
                pass
        if error is None:
            assert type(raised.value).__name__ == "PanicException"
            assert "failure injected" in str(raised.value)
        else:
            assert (raised.value.errno, raised.value.filename) == (error, tree_dir / name)
        assert list(live) == []


def test_the_error_comes_to_a_reader_kept_waiting_for_the_lock(tree_dir):
    # A busy thread keeps next() waiting for the interpreter lock after each
    # empty wait: the loop may fail and end meanwhile, and its error must
    # still come rather than the end of the iteration.
    previous, stop = sys.getswitchinterval(), threading.Event()

    def spin():
        while not stop.is_set():
            pass

    for _ in range(3):
        with bramwex.live(tree_dir, interval=0.3) as live:
            until(live, Event.Ready)
            spinner = threading.Thread(target=spin)
            stop.clear()
            sys.setswitchinterval(0.2)
            spinner.start()
            try:
                live._fault("fatal")
                with pytest.raises(BaseException) as raised:
                    for _ in live:
                        pass
            finally:
                stop.set()
                spinner.join()
                sys.setswitchinterval(previous)
            assert type(raised.value).__name__ == "PanicException"


@pytest.mark.parametrize("ctrl_c", [False, True])
def test_close_from_another_thread_or_ctrl_c_ends_a_blocked_next(tree_dir, ctrl_c):
    # Nothing changes in the folder: only the close or the signal can end
    # the iteration (else the test's timeout does). Python leaves SIGINT
    # ignored when the run was started with it ignored.
    with contextlib.ExitStack() as undo:
        undo.callback(signal.signal, signal.SIGINT,
                      signal.signal(signal.SIGINT, signal.default_int_handler))
        live = undo.enter_context(bramwex.live(tree_dir))
        until(live, Event.Ready)
        timer = threading.Timer(0.2, os.kill if ctrl_c else live.close,
                                (os.getpid(), signal.SIGINT) if ctrl_c else ())
        timer.start()
        with pytest.raises(KeyboardInterrupt) if ctrl_c else contextlib.nullcontext():
            assert list(live) == []
        timer.join()


def test_unread_snapshots_coalesce_but_not_across_a_ready(tmp_path):
    for k in range(6000):  # a scan long enough to take several ticks
        os.makedirs(tmp_path / "wide" / str(k // 100) / str(k % 100))
    with bramwex.live(tmp_path / "wide", interval=0, threads=1) as live:
        for scan in range(3):  # three full scans, none read while it runs
            assert eventually(live.follows_all)
            if scan < 2:
                live.rescan(0)
                eventually(lambda: not live.follows_all(), 5)  # a fast rescan may end unseen
        kinds = []
        while kinds.count(Event.Ready) < 3:
            kinds.append(type(next(live)))
    # How many snapshots a scan shows depends on its speed; never two in a row.
    text = "".join(k.__name__[0] for k in kinds)
    assert re.fullmatch("(S?R){3}", text), text


def test_a_thousand_lives_leave_no_thread_descriptor_or_memory_behind(tree_dir):
    def cycles(count):
        for k in range(count):
            live = bramwex.live(tree_dir, interval=0.001, threads=2)
            if k % 10 == 0:
                until(live, Event.Ready)  # following too
            if k % 2 == 0:
                live.close()
            del live  # the rest closed by finalisation

    def rss_kb():
        with open("/proc/self/status") as status:
            return int(next(line for line in status if line.startswith("VmRSS")).split()[1])

    before = held()
    cycles(100)
    rss = rss_kb()
    cycles(1000)
    # Live threads end a little after their close: wait for them, not for a time.
    assert eventually(lambda: all(n <= b for n, b in zip(held(), before)), 60), (held(), before)
    assert rss_kb() - rss < 16_000


@pytest.mark.parametrize("mode", ["plain", "async", "daemon", "fork"])
def test_a_live_open_at_exit_is_closed_without_a_hang_or_abort(tree_dir, mode):
    code = textwrap.dedent("""
        import asyncio, os, sys, threading, time, bramwex
        live = bramwex.live(sys.argv[1], interval=0.001)
        next(live)
        for child in range(100 if sys.argv[2] == "fork" else 0):
            pid = os.fork()
            if pid == 0:  # the live thread stays behind, maybe holding a lock
                sys.exit(list(live) != [])  # ends at once; the exit hook passes it by
            deadline = time.monotonic() + 10
            while (done := os.waitpid(pid, os.WNOHANG)) == (0, 0) and time.monotonic() < deadline:
                time.sleep(0.001)
            if done[0] == 0:
                os.kill(pid, 9)
            assert done == (pid, 0), f"child {child} hung or failed: {done}"
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
                          capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout) == (0, "leaving\n"), done.stderr
