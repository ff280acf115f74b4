#!/usr/bin/env python3
"""Scan time per entry of files with two names at the foot of a deep chain of
folders, against the same number of files with one name each: settling
where a linked file counts must not grow with the depth it lies at.

    python3 bench/deep_links.py [--bin build/app/bramwex] [--dir DIR]
                                [--depths 1000,20000] [--files N] [--runs N]

Per depth, two trees below a chain of folders "d" that deep: "linked" has
--files one-block files in the folder "a" at the foot, each with a second
name in its sibling "b"; "plain" has as many files in "a" and as many other
files in "b". Prints, for each, the best of --runs wall times of
`bramwex scan --json --depth 0` and that per entry (folders plus names),
and the ratio of linked to plain per depth, which should stay flat as the
chain deepens (the goal is under 1.5; the chain itself costs both trees
alike). Trees are built once under --dir and reused.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from deep_chain import run_scan  # noqa: E402

FILE_BYTES = b"x" * 4096


def open_chain_foot(root: Path, depth: int) -> int:
    """Makes folder "d" inside "d", depth times, below root and returns a
    descriptor of the last: built through descriptors, as the chain's paths
    outgrow PATH_MAX."""
    root.mkdir(parents=True)
    fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
    for _ in range(depth):
        os.mkdir("d", dir_fd=fd)
        child = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
        os.close(fd)
        fd = child
    return fd


def write_files(folder_fd: int, count: int, prefix: str) -> None:
    for k in range(count):
        file_fd = os.open(f"{prefix}{k:05}", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=folder_fd)
        os.write(file_fd, FILE_BYTES)
        os.close(file_fd)


def build_tree(root: Path, depth: int, files: int, linked: bool) -> None:
    done = root / ".complete"
    if done.exists():
        return
    if root.exists():
        subprocess.run(["rm", "-rf", str(root)], check=True)
    foot = open_chain_foot(root, depth)
    os.mkdir("a", dir_fd=foot)
    os.mkdir("b", dir_fd=foot)
    a = os.open("a", os.O_RDONLY | os.O_DIRECTORY, dir_fd=foot)
    b = os.open("b", os.O_RDONLY | os.O_DIRECTORY, dir_fd=foot)
    write_files(a, files, "f")
    if linked:
        for k in range(files):
            os.link(f"f{k:05}", f"f{k:05}", src_dir_fd=a, dst_dir_fd=b)
    else:
        write_files(b, files, "f")
    for fd in (a, b, foot):
        os.close(fd)
    done.touch()


def best_scan(binary: str, root: Path, cache: Path, runs: int) -> float:
    return min(run_scan(binary, root, cache)[0] for _ in range(runs))


def main() -> None:
    top = Path(__file__).resolve().parent.parent
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", default=str(top / "build/app/bramwex"))
    parser.add_argument("--dir", default="/tmp/bramwex-bench/deep-links")
    parser.add_argument("--depths", default="1000,20000")
    parser.add_argument("--files", type=int, default=10000)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    depths = [int(depth) for depth in args.depths.split(",")]
    base = Path(args.dir)
    for depth in depths:
        entries = depth + 2 + 2 * args.files
        seconds = {}
        for kind in ("plain", "linked"):
            root = base / f"{kind}-{depth}-{args.files}"
            build_tree(root, depth, args.files, kind == "linked")
            seconds[kind] = best_scan(args.bin, root, base / "cache", args.runs)
            print(
                f"{kind}, {depth} deep: {seconds[kind]:.3f} s, "
                f"{seconds[kind] / entries * 1e6:.2f} us per entry",
                flush=True,
            )
        print(f"{depth} deep: linked / plain = {seconds['linked'] / seconds['plain']:.2f}")


if __name__ == "__main__":
    main()
