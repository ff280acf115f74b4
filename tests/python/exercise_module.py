"""Runs every part of the module once, for a run under AddressSanitizer and
UBSan (test_sanitized.py): memory errors, undefined behaviour and leaks of the
module's own allocations show in that run's report.

    python exercise_module.py MODULE_DIR TREE_DIR SCRATCH_DIR
"""
import gc
import os
import signal
import sys

sys.path.insert(0, sys.argv[1])
sys.path.insert(1, os.path.dirname(os.path.abspath(__file__)))

import bramwex  # noqa: E402

from arrow_consumer import (ReleaseCounter, get_next, get_schema, move_stream,  # noqa: E402
                            read_columns, release, stream_in)

tree_dir, scratch = sys.argv[2], sys.argv[3]
assert bramwex.__file__.startswith(sys.argv[1])

tree = bramwex.scan(tree_dir, threads=4)
folders = [0]
for folder in folders:
    folders.extend(tree.children(folder))
for folder in folders:
    tree.name(folder), tree.path(folder), tree.size(folder), tree.own(folder)
    tree.error(folder), tree.partial(folder), tree.other_device(folder)
    tree.files(folder), repr(tree.label(folder))
tree.find("alpha/deep"), tree.find("/nowhere"), tree.largest_files(3), repr(tree)
for bad in (-1, 2**40, len(folders), "x"):
    try:
        tree.size(bad)
    except (OverflowError, IndexError, TypeError):
        pass
try:
    bramwex.scan(os.path.join(scratch, "missing"))
except FileNotFoundError:
    pass

# A scan stopped by a signal handler's exception: stopped, joined, raised.
def interrupt(*_):
    raise KeyboardInterrupt


signal.signal(signal.SIGALRM, interrupt)
signal.setitimer(signal.ITIMER_REAL, 0.001)
try:
    bramwex.scan("/usr", threads=2)
except KeyboardInterrupt:
    pass
signal.setitimer(signal.ITIMER_REAL, 0)
signal.signal(signal.SIGALRM, signal.SIG_DFL)

saved = os.path.join(scratch, "saved.scan")
tree.save(saved)
assert bramwex.load(saved).size(0) == tree.size(0)
with open(saved, "r+b") as damaged:
    damaged.write(b"\0" * 64)
try:
    bramwex.load(saved)
except ValueError:
    pass

[repr(m) for m in bramwex.mounts()]
[str(r) for r in (bramwex.Reason.Dropped, bramwex.Reason.MustScan)]

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

print("exercised")
