"""What the live-following tests share: waiting for a condition, what a
process holds, and reading events until one of a class comes."""
import os
import time


def eventually(condition, seconds=30):
    """condition() once it is true, or its last value after `seconds`."""
    deadline = time.monotonic() + seconds
    while not (value := condition()) and time.monotonic() < deadline:
        time.sleep(0.01)
    return value


def held():
    """Threads and descriptors of this process."""
    return len(os.listdir("/proc/self/task")), len(os.listdir("/proc/self/fd"))


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
