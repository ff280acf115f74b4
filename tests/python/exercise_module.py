"""Runs every part of the module once, for a run under AddressSanitizer and
UBSan (test_sanitized.py): memory errors, undefined behaviour and leaks of the
module's own allocations show in that run's report.

    python exercise_module.py MODULE_DIR TREE_DIR SCRATCH_DIR
"""
import asyncio
import contextlib
import gc
import os
import signal
import sys
import threading

sys.path.insert(0, sys.argv[1])
sys.path.insert(1, os.path.dirname(os.path.abspath(__file__)))

import bramwex  # noqa: E402

from arrow_consumer import (ReleaseCounter, get_next, get_schema, move_stream,  # noqa: E402
                            read_columns, release, stream_in)
from live_helpers import async_until, first  # noqa: E402

tree_dir, scratch = sys.argv[2], sys.argv[3]
assert bramwex.__file__.startswith(sys.argv[1])

tree = bramwex.scan(tree_dir, threads=4)
folders = [0]
for folder in folders:
    folders.extend(tree.children(folder))
    tree.name(folder), tree.path(folder), tree.size(folder), tree.own(folder)
    tree.error(folder), tree.partial(folder), tree.other_device(folder)
    tree.files(folder), repr(tree.label(folder))
tree.find("alpha/deep"), tree.find("/nowhere"), tree.largest_files(3), repr(tree)


def failing(call, *args, **kwargs):
    with contextlib.suppress(OSError, ValueError, OverflowError, IndexError, TypeError):
        call(*args, **kwargs)
        raise AssertionError(f"{call} {args} {kwargs} did not fail")


for bad in (-1, 2**40, len(folders), "x"):
    failing(tree.size, bad)
failing(bramwex.scan, os.path.join(scratch, "missing"))


# A scan stopped by a signal handler's exception: stopped, joined, raised.
signal.signal(signal.SIGALRM, signal.default_int_handler)
signal.setitimer(signal.ITIMER_REAL, 0.001)
with contextlib.suppress(KeyboardInterrupt):
    bramwex.scan("/usr", threads=2)
signal.setitimer(signal.ITIMER_REAL, 0)
signal.signal(signal.SIGALRM, signal.SIG_DFL)

saved = os.path.join(scratch, "saved.scan")
tree.save(saved)
assert bramwex.load(saved).size(0) == tree.size(0)
with open(saved, "r+b") as damaged:
    damaged.write(b"\0" * 64)
failing(bramwex.load, saved)
[repr(m) for m in bramwex.mounts()], [str(r) for r in (bramwex.Reason.Dropped, bramwex.Reason.MustScan)]

# Arrow: a capsule dropped unconsumed, and a moved stream read to its end
# with one column moved out of the batch before the batch is released.
capsule = tree.__arrow_c_stream__(requested_schema=object())
dropped = ReleaseCounter(stream_in(capsule))
del capsule
gc.collect()
assert dropped.calls == 1

stream = move_stream(tree.__arrow_c_stream__())
schema, array = get_schema(stream), get_next(stream)
assert not get_next(stream).release
release(stream)
columns = read_columns(array, schema)
assert columns["size"][0] == tree.size(0)
names = type(array.children[2].contents).from_buffer_copy(array.children[2].contents)
array.children[2].contents.release = None
release(array)
release(schema)
assert names.length == len(folders)
release(names)

# Live following: blocking and asyncio iteration, steering, the injected
# faults, a close from another thread, and Lives dropped unclosed (one in a
# cycle with its drain callback), one left open for the exit hook.
Event = bramwex.Event
live = bramwex.live(tree_dir, interval=0.001, threads=2)
ready = first(live, Event.Ready)
ready.tree.size(0), repr(ready.tree)
with open(os.path.join(tree_dir, "beta", "live.bin"), "wb") as new:
    new.write(b"l" * 20000)
changed = first(live, Event.Changed)
changed.changes, changed.tree.size(0)
live.follow([0, 1]), live.relist([0]), live.rescan(1), live.follows_all()
first(live, Event.Changed)
live._fault("overflow")
first(live, Event.Missed).path
live._fault("fatal")
with contextlib.suppress(BaseException):  # the panic exception
    list(live)
live.close()

for bad in (dict(interval=-1), dict(threads=-1), dict(shown_only=1)):
    failing(bramwex.live, tree_dir, **bad)
failing(next, bramwex.live(os.path.join(scratch, "missing")))
Event.Changed(tree, [("/a", -1)]).changes, Event.Missed(bramwex.Reason.Dropped, "/b").path
failing(Event.Changed, tree, [("a", 1, 2)])

blocked = bramwex.live(tree_dir, interval=0.001)
first(blocked, Event.Ready)
if (child := os.fork()) == 0:  # the Lives of the parent, closed in the child
    os._exit(list(blocked) != [])  # no leak check: the parent's live threads are gone
assert os.waitpid(child, 0)[1] == 0
threading.Timer(0.05, blocked.close).start()
assert list(blocked) == []


async def follow_async(close):
    live = bramwex.live(tree_dir, interval=0.001)
    await asyncio.wait_for(async_until(live, Event.Ready), 30)
    waiting = asyncio.ensure_future(live.__anext__())
    await asyncio.sleep(0.01)
    waiting.cancel()
    with contextlib.suppress(asyncio.CancelledError):
        await waiting
    if close:
        await asyncio.to_thread(live.close)
        with contextlib.suppress(StopAsyncIteration):
            await live.__anext__()


asyncio.run(follow_async(True))
asyncio.run(follow_async(False))  # dropped unclosed: collected with its cycle
gc.collect()
bramwex.live(tree_dir, interval=0.001)  # dropped at once
left_open = bramwex.live(tree_dir, interval=0.001)

print("exercised")
