#!/usr/bin/env python3
"""Memory of live following with a consumer that does not read: it should
hold a bounded number of trees, not one per event.

    .venv/bin/python bench/live_memory.py [--tree DIR] [--interval S] [--seconds S]

Two comparisons, each way in a process of its own:
  * during the first scan: the peak resident size (VmHWM) of a Live whose
    snapshots nobody reads, against that of a plain scan;
  * during --seconds of writes into the followed tree: the resident size
    (VmRSS) at the end of the writes of a reader that sleeps through them,
    against that of one that reads every event (the goal is under 1.3x).
    Each then reads on until its tree has the size of a fresh scan, and
    checks that the deltas it was given add up to the change of each
    folder's own bytes.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import textwrap
from pathlib import Path

PROLOGUE = """
    import json, os, sys, threading, time, bramwex
    root, interval, seconds, way = sys.argv[1], float(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
    def status(key):
        return int(next(l for l in open("/proc/self/status") if l.startswith(key)).split()[1])
"""

SCAN = """
    tree = bramwex.scan(root)
    print(json.dumps({"peak": status("VmHWM")}))
"""

UNREAD_SNAPSHOTS = """
    live = bramwex.live(root, interval=interval)
    while not live.follows_all():  # the scan ran with nobody reading
        time.sleep(0.05)
    events = 0
    for event in live:
        events += 1
        if isinstance(event, bramwex.Event.Ready):
            break
    live.close()
    print(json.dumps({"peak": status("VmHWM"), "events": events}))
"""

# The writer appends to one file in each of 200 folders spread over the
# tree, round after round, so that every tick has changes; the files go at
# the end, so the tree can be used again.
WRITES = """
    live = bramwex.live(root, interval=interval)
    ready = next(e for e in live if isinstance(e, bramwex.Event.Ready))
    folders = [0]
    for folder in folders:
        folders.extend(ready.tree.children(folder))
    spread = [ready.tree.path(f) for f in folders[:: max(1, len(folders) // 200)]]
    files = [os.path.join(p, ".live-memory.bin") for p in spread]
    written = threading.Event()
    def write():
        end, k = time.monotonic() + seconds, 0
        while time.monotonic() < end:
            with open(files[k % len(files)], "ab") as out:
                out.write(b"m" * 4096)
            k += 1
            time.sleep(0.002)
        written.set()
    threading.Thread(target=write).start()
    events, sums, last = 0, {}, ready.tree
    def take(event):
        global events, last
        events += 1
        if isinstance(event, bramwex.Event.Changed):
            last = event.tree
            for path, delta in event.changes:
                sums[path] = sums.get(path, 0) + delta
    if way == "reading":
        while not written.is_set():
            take(next(live))
    written.wait()
    rss, peak = status("VmRSS"), status("VmHWM")
    expected = bramwex.scan(root).size(0)
    threading.Timer(120, live.close).start()  # a watchdog: the loop below ends
    while last.size(0) != expected:
        take(next(live))
    live.close()
    before = {ready.tree.path(f): ready.tree.own(f) for f in folders}
    agree = all(last.own(last.find(p)) - before[p] == d for p, d in sums.items())
    for name in files:
        os.remove(name)
    print(json.dumps({"rss": rss, "peak": peak, "events": events, "agree": agree}))
    os._exit(0)  # the watchdog timer is not waited for
"""


def run(body: str, root: Path, interval: float, seconds: float, way: str = "") -> dict:
    code = textwrap.dedent(PROLOGUE) + textwrap.dedent(body)
    done = subprocess.run([sys.executable, "-c", code, str(root), str(interval), str(seconds), way],
                          capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(done.stderr)
    return json.loads(done.stdout.splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tree", type=Path, default=Path("/tmp/bramwex-bench/full"))
    parser.add_argument("--interval", type=float, default=0.5)
    parser.add_argument("--seconds", type=float, default=30)
    args = parser.parse_args()
    scan = run(SCAN, args.tree, 0.01, 0)
    unread = run(UNREAD_SNAPSHOTS, args.tree, 0.01, 0)
    print(f"first scan, peak RSS: scan {scan['peak'] / 1024:.0f} MiB, live with "
          f"{unread['events']} unread events {unread['peak'] / 1024:.0f} MiB, "
          f"ratio {unread['peak'] / scan['peak']:.2f}")
    ways = {way: run(WRITES, args.tree, args.interval, args.seconds, way)
            for way in ("reading", "sleeping")}
    for way, got in ways.items():
        print(f"{args.seconds:.0f} s of writes, {way} reader: RSS {got['rss'] / 1024:.0f} MiB "
              f"(peak {got['peak'] / 1024:.0f} MiB), {got['events']} events, deltas "
              f"{'add up' if got['agree'] else 'DO NOT ADD UP'}")
    print(f"ratio sleeping / reading: {ways['sleeping']['rss'] / ways['reading']['rss']:.2f}")


if __name__ == "__main__":
    main()
