#!/usr/bin/env python3
"""Measures how long a change takes to reach Python through live following:
from the write of one file to the `Changed` event naming its folder, with
`interval=0.01`, by plain and by asyncio iteration.

    .venv/bin/python bench/live_latency.py [--tree DIR] [--writes N]

The tree defaults to the benchmark tree of scripts/bench (100,000 folders
under /tmp/bramwex-bench/full; bench/make_tree.py builds it). Each write goes
to another folder picked from the first tree, one at a time; the file is
removed afterwards, and the next write waits for that removal's event and
then for 60 ms of quiet, longer than the event source's 50 ms gathering of
events that follow one another closely. Prints the median and the 99th
percentile per way.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import random
import statistics
import time
from pathlib import Path

import bramwex
from bramwex import Event


def ready_tree(live):
    for event in live:
        if isinstance(event, Event.Ready):
            return event.tree
    raise SystemExit("live following ended before its first tree")


def picked_folders(tree, count: int, seed: int = 1) -> list[Path]:
    folders = [0]
    for folder in folders:
        folders.extend(tree.children(folder))
    chosen = random.Random(seed).sample(folders, min(count, len(folders)))
    return [tree.path(f) for f in chosen if not tree.error(f) and not tree.other_device(f)]


# After the first tree the stream replays what changed during the scan and
# waits for quiet before it settles; writes are timed from then on.
SETTLE = 1.0


def write_probe(folder: Path) -> tuple[Path, float]:
    probe = folder / ".bramwex-live-probe"
    start = time.perf_counter()
    probe.write_bytes(b"p" * 10_000)
    return probe, start


QUIET = 0.06


def names(event, folder: Path) -> bool:
    return isinstance(event, Event.Changed) and any(p == folder for p, _ in event.changes)


def plain(tree_dir: Path, writes: int) -> list[float]:
    latencies = []
    with bramwex.live(tree_dir, interval=0.01) as live:
        folders = picked_folders(ready_tree(live), writes)
        time.sleep(SETTLE)
        for folder in folders:
            time.sleep(QUIET)
            probe, start = write_probe(folder)
            next(e for e in live if names(e, folder))
            latencies.append(time.perf_counter() - start)
            probe.unlink()
            next(e for e in live if names(e, folder))
    return latencies


async def asynchronous(tree_dir: Path, writes: int) -> list[float]:
    latencies = []
    with bramwex.live(tree_dir, interval=0.01) as live:
        async for event in live:
            if isinstance(event, Event.Ready):
                tree = event.tree
                break
        folders = picked_folders(tree, writes)
        await asyncio.sleep(SETTLE)
        for folder in folders:
            await asyncio.sleep(QUIET)
            probe, start = write_probe(folder)
            async for event in live:
                if names(event, folder):
                    break
            latencies.append(time.perf_counter() - start)
            probe.unlink()
            async for event in live:
                if names(event, folder):
                    break
    return latencies


def report(way: str, latencies: list[float]) -> None:
    ms = sorted(1000 * x for x in latencies)
    p99 = ms[min(len(ms) - 1, round(0.99 * (len(ms) - 1)))]
    print(f"{way:6} writes={len(ms)} median={statistics.median(ms):.1f} ms p99={p99:.1f} ms "
          f"max={ms[-1]:.1f} ms")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tree", type=Path, default=Path("/tmp/bramwex-bench/full"))
    parser.add_argument("--writes", type=int, default=200)
    args = parser.parse_args()
    if not args.tree.is_dir():
        raise SystemExit(f"{args.tree}: no tree; build it with bench/make_tree.py")
    started = time.perf_counter()
    report("plain", plain(args.tree, args.writes))
    report("async", asyncio.run(asynchronous(args.tree, args.writes)))
    print(f"total {time.perf_counter() - started:.0f} s on {args.tree}")


if __name__ == "__main__":
    main()
