#!/usr/bin/env python3
"""Compares the peak memory of live following with an unread queue to that of
a plain scan: a consumer that reads nothing while the tree is scanned should
hold one unread snapshot at most, not one per tick.

    .venv/bin/python bench/live_memory.py [--tree DIR] [--interval S]

Each way runs in a process of its own; its peak resident size (VmHWM) is
printed, then the ratio live / scan.
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import textwrap
from pathlib import Path

WAYS = {
    "scan": """
        tree = bramwex.scan(root)
    """,
    "live": """
        live = bramwex.live(root, interval=interval)
        while not live.follows_all():
            time.sleep(0.05)
        unread = 0
        for event in live:
            unread += 1
            if isinstance(event, bramwex.Event.Ready):
                break
        live.close()
        print("unread events:", unread, file=sys.stderr)
    """,
}


def peak_kb(way: str, root: Path, interval: float) -> int:
    code = "import sys, time, bramwex\nroot, interval = sys.argv[1], float(sys.argv[2])\n"
    code += textwrap.dedent(WAYS[way])
    code += "print(next(l for l in open('/proc/self/status') if l.startswith('VmHWM')).split()[1])\n"
    done = subprocess.run([sys.executable, "-c", code, str(root), str(interval)],
                          capture_output=True, text=True, check=True)
    sys.stderr.write(done.stderr)
    return int(done.stdout.split()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tree", type=Path, default=Path("/tmp/bramwex-bench/full"))
    parser.add_argument("--interval", type=float, default=0.01)
    args = parser.parse_args()
    scan, live = (peak_kb(way, args.tree, args.interval) for way in ("scan", "live"))
    print(f"peak RSS: scan {scan / 1024:.0f} MiB, live {live / 1024:.0f} MiB, "
          f"ratio {live / scan:.2f}")


if __name__ == "__main__":
    main()
