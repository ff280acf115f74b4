#!/usr/bin/env python3
"""Scan time per entry of one deep chain of folders, each holding one 4 KiB
file: the cost of an entry should not grow with its depth.

    python3 bench/deep_chain.py [--bin build/app/bramwex] [--dir DIR]
                                [--depths 10000,80000] [--runs N]

Two chains per depth, since the depth of a tie decides which side of the
largest files it lands on: files named "f" sort after the folder name "d"
(so every deeper file displaces a kept one) and files named "a" sort before
it (so every deeper file loses against the kept ones). Prints, for each, the
best of --runs wall times of `bramwex scan --json --depth 0` per entry
(folders plus files), its peak resident size, and the ratio of the deepest
chain's time per entry to the shallowest's (the goal is under 1.5).
Chains are built once under --dir and reused.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
from pathlib import Path

FILE_BYTES = b"x" * 4096


def build_chain(root: Path, depth: int, file_name: str) -> None:
    """Folder "d" inside "d", depth times, one file in each: built through
    folder descriptors, as the chain's paths outgrow PATH_MAX."""
    done = root / ".complete"
    if done.exists():
        return
    if root.exists():
        subprocess.run(["rm", "-rf", str(root)], check=True)
    root.mkdir(parents=True)
    fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
    for _ in range(depth):
        os.mkdir("d", dir_fd=fd)
        child = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
        os.close(fd)
        fd = child
        file_fd = os.open(file_name, os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
        os.write(file_fd, FILE_BYTES)
        os.close(file_fd)
    os.close(fd)
    done.touch()


def run_scan(binary: str, root: Path, cache: Path) -> tuple[float, int]:
    """Wall time of one scan and its peak resident size (KiB), measured in a
    child of its own so that no earlier scan's peak counts."""
    env = dict(os.environ, BRAMWEX_CACHE_DIR=str(cache))
    code = (
        "import resource, subprocess, sys, time\n"
        "start = time.perf_counter()\n"
        "rc = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL).returncode\n"
        "elapsed = time.perf_counter() - start\n"
        "print(elapsed, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, rc)\n"
    )
    out = subprocess.run(
        [sys.executable, "-c", code, binary, "scan", "--json", "--depth", "0", str(root)],
        env=env,
        capture_output=True,
        text=True,
        check=True,
    ).stdout.split()
    if out[2] != "0":
        sys.exit(f"deep_chain: the scan of {root} failed (status {out[2]})")
    return float(out[0]), int(out[1])


def main() -> None:
    top = Path(__file__).resolve().parent.parent
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", default=str(top / "build/app/bramwex"))
    parser.add_argument("--dir", default="/tmp/bramwex-bench/deep")
    parser.add_argument("--depths", default="10000,80000")
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    depths = [int(depth) for depth in args.depths.split(",")]
    base = Path(args.dir)
    for file_name in ("f", "a"):
        per_entry = {}
        for depth in depths:
            root = base / f"{file_name}{depth}"
            build_chain(root, depth, file_name)
            runs = [run_scan(args.bin, root, base / "cache") for _ in range(args.runs)]
            best = min(seconds for seconds, _ in runs)
            peak = max(rss for _, rss in runs)
            per_entry[depth] = best / (2 * depth)
            print(
                f"files {file_name!r}, {depth} deep: {best:.3f} s, "
                f"{per_entry[depth] * 1e6:.2f} us per entry, peak {peak / 1024:.1f} MB",
                flush=True,
            )
        ratio = per_entry[depths[-1]] / per_entry[depths[0]]
        print(f"files {file_name!r}: {depths[-1]} deep per entry / {depths[0]} deep = {ratio:.2f}")


if __name__ == "__main__":
    main()
