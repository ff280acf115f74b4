#!/usr/bin/env python3
"""Times the Python module against the native command on a benchmark tree.

    .venv/bin/python bench/python_bench.py [--tree DIR] [--runs N] [--threads N]

1. scan: `bramwex.scan(tree)` timed in the running interpreter, against the
   the `bramwex
   scan` command (which also prints and saves its report), each a process
   timed from outside; runs are interleaved, with a warm page cache. The
   ratio of medians is printed; the module's cost is the binding's, since
   both run the same engine.
2. Arrow: `tree.__arrow_c_stream__()` on the scanned tree (one row per
   folder), then the stream taken over by a ctypes consumer: schema, the one
   batch, every release.

The tree defaults to the benchmark tree of scripts/bench (1,000,000 files in
100,000 folders under /tmp/bramwex-bench/full), built by bench/make_tree.py
when missing.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

TOP = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(TOP / "tests" / "python"))

import bramwex  # noqa: E402
from arrow_consumer import get_next, get_schema, move_stream, release  # noqa: E402


def parse_args() -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--tree", default="/tmp/bramwex-bench/full")
    p.add_argument("--runs", type=int, default=10)
    p.add_argument("--threads", type=int, default=None,
                   help="worker threads for every scan (default: automatic)")
    return p.parse_args()


def timed_process(command: list[str], env: dict) -> float:
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, env=env)
    return time.perf_counter() - start


def timed_scan(tree: str, threads) -> float:
    start = time.perf_counter()
    bramwex.scan(tree, threads)
    return time.perf_counter() - start


def line(name: str, times: list[float], baseline: float | None = None) -> str:
    median = statistics.median(times)
    text = f"  {name:<34} median {median * 1000:9.1f} ms   min {min(times) * 1000:9.1f} ms"
    if baseline:
        text += f"   x{median / baseline:.3f}"
    return text


def bench_scan(tree: str, runs: int, threads) -> None:
    command = TOP / "build" / "app" / "bramwex"
    cache = tempfile.mkdtemp(prefix="bramwex-bench-cache-")
    env = dict(os.environ, BRAMWEX_CACHE_DIR=cache)
    env.pop("BRAMWEX_LOG", None)
    thread_args = ["--threads", str(threads)] if threads else []
    variants = {"bramwex.scan (in process)": lambda: timed_scan(tree, threads)}
    if command.exists():
        variants["native `bramwex scan` (process)"] = lambda: timed_process(
            [str(command), "scan", *thread_args, tree], env)
    variants["python -c 'bramwex.scan' (process)"] = lambda: timed_process(
        [sys.executable, "-c", f"import bramwex; bramwex.scan({tree!r}, {threads!r})"], env)
    for measure in variants.values():  # warm-up: page cache, inode cache
        measure()
    times = {name: [] for name in variants}
    for _ in range(runs):
        for name, measure in variants.items():
            times[name].append(measure())
    baseline_name = next((n for n in variants if n.startswith("native")), None)
    baseline = statistics.median(times[baseline_name]) if baseline_name else None
    print(f"scan of {tree}, {runs} runs each (x = ratio to the native command)")
    for name in variants:
        print(line(name, times[name], baseline))


def bench_arrow(tree_path: str, runs: int, threads) -> None:
    tree = bramwex.scan(tree_path, threads)
    rows = 0
    export, consume = [], []
    for _ in range(runs):
        start = time.perf_counter()
        capsule = tree.__arrow_c_stream__()
        made = time.perf_counter()
        stream = move_stream(capsule)
        del capsule
        schema, array = get_schema(stream), get_next(stream)
        rows = array.length
        release(array)
        release(schema)
        release(stream)
        done = time.perf_counter()
        export.append(made - start)
        consume.append(done - start)
    print(f"Arrow export of {rows} folders, {runs} runs")
    print(line("__arrow_c_stream__()", export))
    print(line("... and consumed, released", consume))


def main() -> int:
    args = parse_args()
    if not Path(args.tree, ".bramwex-tree.json").exists():
        subprocess.run([sys.executable, str(TOP / "bench" / "make_tree.py"), args.tree],
                       check=True)
    bench_scan(args.tree, args.runs, args.threads)
    bench_arrow(args.tree, max(args.runs, 20), args.threads)
    return 0


if __name__ == "__main__":
    sys.exit(main())
