"""What the live-following tests share: what a process holds, and reading
events until one of a class comes."""
import os
import time

import bramwex


def threads() -> int:
    return len(os.listdir("/proc/self/task"))


def settled_threads() -> int:
    """The thread count once it has not changed for 0.3 s: the scan pool's
    idle workers are retired by their library a little after a scan."""
    count, steady_since = threads(), time.monotonic()
    deadline = steady_since + 5
    while time.monotonic() - steady_since < 0.3 and time.monotonic() < deadline:
        time.sleep(0.05)
        now = threads()
        if now != count:
            count, steady_since = now, time.monotonic()
    return count


def descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


def rss_kb() -> int:
    with open("/proc/self/status") as status:
        return int(next(line for line in status if line.startswith("VmRSS")).split()[1])


def until(live, kind):
    """The events before the first of class kind, and that event."""
    before = []
    for event in live:
        if isinstance(event, kind):
            return before, event
        before.append(event)
    raise AssertionError(f"the iteration ended before {kind.__name__}")


def first(live, kind):
    return until(live, kind)[1]


async def async_until(live, kind):
    async for event in live:
        if isinstance(event, kind):
            return event
    raise AssertionError(f"the iteration ended before {kind.__name__}")


def sizes_by_path(tree: bramwex.Tree) -> dict:
    folders = [0]
    for folder in folders:
        folders.extend(tree.children(folder))
    return {tree.path(f): tree.size(f) for f in folders}


def make_wide_tree(root, count: int):
    """count folders in two levels, so a scan of it takes several ticks."""
    for k in range(count):
        os.makedirs(root / str(k // 100) / str(k % 100), exist_ok=True)
    return root
