#!/usr/bin/env python3
"""Builds a synthetic folder tree for timing scanners against each other.

The tree is a pure function of (--files, --folders, --seed): the same
parameters always give the same names, sizes, links and layout, so timings
taken on different days or machines compare. Building is spread over worker
processes; a finished tree carries a marker with its parameters and is reused
as it is by the next call with the same ones.

Shape, chosen to look like a real disk rather than a uniform grid:
  * folder depth 1..12 with most folders in the middle levels, and a
    heavy-tailed number of subfolders per folder (many leaves, a few folders
    with hundreds of subfolders);
  * a heavy-tailed number of files per folder, a few folders with 10,000+
    files, and some empty folders;
  * file sizes mostly under one block, a tail of larger ones and a few
    MB-sized ones, all written with real bytes (a truncated file would have
    no blocks, and scanners would have nothing to add up);
  * hard links (same folder and across folders, one of them to a large file),
    symbolic links to files, to folders, dangling, looping and absolute ones,
    a few FIFOs, and names with spaces, non-ASCII letters, bytes that are not
    UTF-8, a newline, and the longest length ext4 allows.
"""

from __future__ import annotations

import argparse
import json
import math
import multiprocessing
import os
import random
import shutil
import subprocess
import sys
import time

GENERATOR_VERSION = 1
MARKER = ".bramwex-tree.json"
BUILDING = ".bramwex-tree-building"
BLOCK = 4096
CREATE_FLAGS = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC

# Share of folders at each depth (1 = directly under the root), shaped after
# real trees: a handful of top-level folders, most folders 5..8 levels down.
LEVEL_PROFILE = [12, 150, 1200, 6000, 14000, 20000, 20000, 16000, 11000, 7000, 3500, 1150]

# Folders that hold far more files than the rest (caches, mail spools, photo
# dumps): the file counts for a 1,000,000-file tree, scaled for other sizes.
CROWDED_FOLDERS = [10_000, 12_000, 15_000, 20_000, 30_000]

FOLDER_WORDS = (
    "src lib include test tests docs build cache assets images img node_modules vendor pkg "
    "cmd internal util utils core api models views data config scripts tools bin share man "
    "locale fonts icons themes plugins modules components static public private tmp logs "
    "backup archive photos music videos downloads projects work notes drafts reports "
    "releases dist out target objects refs hooks .git .cache .config .local site-packages "
    "python3 java go rust web app server client common shared fixtures samples examples"
).split()

FILE_STEMS = (
    "index main utils helpers config settings README LICENSE Makefile setup test_main "
    "module parser lexer server client handler model view controller schema types "
    "constants errors logger cache store router app package report invoice photo IMG "
    "DSC notes todo changelog data dump export backup thumbnail icon logo style theme"
).split()

EXTENSIONS = {
    "tiny": ".py .c .h .js .ts .json .txt .md .yml .toml .cfg .html .css .go .rs .sh .xml".split(),
    "small": ".py .js .json .png .svg .html .css .txt .c .cpp .java .xml .log".split(),
    "medium": ".png .jpg .so .pdf .o .a .woff2 .db .log .jar".split(),
    "large": ".tar.gz .zip .mp4 .iso .sqlite .bin .mkv .tar".split(),
}

# Odd names every real disk has somewhere; "\udcff" becomes the byte 0xff
# through the file system encoding, so that name is not valid UTF-8.
ODD_NAMES = [
    "Résumé 2021.pdf",
    "naïve café.txt",
    "日本語のファイル.txt",
    "emoji 🎉 party.png",
    "with  two  spaces .txt",
    "trailing space ",
    "-starts-with-dash",
    "latin1 caf\udce9.txt",
    "raw \udcff\udcfe bytes",
    "new\nline.txt",
    "tab\there.txt",
    "'quotes' and \"doubles\"",
    "x" * 255,
]

PLAN: dict = {}  # built in the parent, read by the forked workers


def parse_args() -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    p.add_argument("dest", help="folder to build the tree in (created if missing)")
    p.add_argument("--files", type=int, default=1_000_000, help="regular files (inodes)")
    p.add_argument("--folders", type=int, default=100_000, help="folders, the root included")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--jobs", type=int, default=os.cpu_count() or 4, help="worker processes")
    p.add_argument("--quiet", action="store_true", help="print only the summary line")
    args = p.parse_args()
    if args.files < 100 or args.folders < 20:
        p.error("need at least 100 files and 20 folders")
    return args


def level_counts(folders: int) -> list[int]:
    """Folders per depth, summing to folders - 1 (the root is not counted)."""
    total = sum(LEVEL_PROFILE)
    want = folders - 1
    counts = [max(1, round(share * want / total)) for share in LEVEL_PROFILE]
    # Absorb rounding in the widest level so the total is exact.
    widest = max(range(len(counts)), key=lambda i: counts[i])
    counts[widest] += want - sum(counts)
    while counts[widest] < 1:  # tiny trees: drop the deepest levels
        counts.pop()
        widest = max(range(len(counts)), key=lambda i: counts[i])
        counts[widest] += want - sum(counts)
    return [c for c in counts if c > 0]  # an emptied middle level just moves the rest up


def unique_name(rng: random.Random, taken: set, make) -> str:
    name = make()
    if name in taken:
        base, n = name, 2
        stem, dot, ext = base.partition(".") if not base.startswith(".") else (base, "", "")
        while name in taken:
            name = f"{stem}-{n}{dot}{ext}"
            n += 1
    taken.add(name)
    return name


def folder_name(rng: random.Random) -> str:
    word = rng.choice(FOLDER_WORDS)
    r = rng.random()
    if r < 0.45:
        return word
    if r < 0.75:
        return f"{word}{rng.randrange(100)}"
    if r < 0.9:
        return f"{word}_{rng.choice(FOLDER_WORDS).lstrip('.')}"
    return f"{rng.getrandbits(32):08x}"  # hash-named folders, as in caches


def file_size(rng: random.Random) -> tuple[str, int]:
    """Skewed sizes: empty, under a block, a few blocks, tens of KB, MBs."""
    r = rng.random()
    if r < 0.15:
        return "tiny", 0
    if r < 0.93:
        return "tiny", int(math.exp(rng.uniform(0.0, math.log(BLOCK))))
    if r < 0.985:
        return "small", int(math.exp(rng.uniform(math.log(BLOCK + 1), math.log(16 * 1024))))
    return "medium", int(math.exp(rng.uniform(math.log(16 * 1024), math.log(64 * 1024))))


def file_name(rng: random.Random, kind: str) -> str:
    r = rng.random()
    stem = rng.choice(FILE_STEMS)
    if r < 0.35:
        stem = f"{stem}_{rng.randrange(10000)}"
    elif r < 0.45:
        stem = f"{rng.getrandbits(40):010x}"
    elif r < 0.47:
        return "." + rng.choice(["gitignore", "DS_Store", "env", "npmrc", "bashrc", "keep"])
    return stem + rng.choice(EXTENSIONS[kind])


def build_plan(files: int, folders: int, seed: int) -> dict:
    rng = random.Random(seed)

    # Folders, level by level; a parent's share of the next level is heavy
    # tailed and a third of the parents get no subfolders at all.
    paths = [""]
    depth = [0]
    children: list[list[int]] = [[]]
    names: list[set] = [set()]
    previous = [0]
    for count in level_counts(folders):
        weights = [
            0.0 if rng.random() < 0.35 else min(rng.paretovariate(1.1), 500.0) for _ in previous
        ]
        if not any(weights):
            weights[0] = 1.0
        parents = rng.choices(previous, weights=weights, k=count)
        current = []
        for parent in parents:
            name = unique_name(rng, names[parent], lambda: folder_name(rng))
            index = len(paths)
            paths.append(os.path.join(paths[parent], name))
            depth.append(depth[parent] + 1)
            children.append([])
            names.append(set())
            children[parent].append(index)
            current.append(index)
        previous = current

    n = len(paths)
    # Files per folder: lognormal weights; some leaves stay empty and a third
    # of the inner folders hold only subfolders.
    weights = []
    for i in range(n):
        if children[i]:
            weights.append(0.0 if rng.random() < 0.33 else rng.lognormvariate(0.0, 1.4))
        else:
            weights.append(0.0 if rng.random() < 0.05 else rng.lognormvariate(0.0, 1.4))
    counts = [0] * n
    scale = files / 1_000_000
    crowded = [c for c in (round(c * scale) for c in CROWDED_FOLDERS) if c >= 1000] or [
        max(1, files // 10)
    ]
    candidates = [i for i in range(n) if depth[i] >= 2 and weights[i] > 0] or [0]
    crowded_folders = rng.sample(candidates, min(len(crowded), len(candidates)))
    for folder, count in zip(crowded_folders, crowded):
        counts[folder] = count
        weights[folder] = 0.0
    rest = files - sum(counts)
    total_weight = sum(weights) or 1.0
    for i in range(n):
        counts[i] = counts[i] or int(weights[i] / total_weight * rest)
    short = files - sum(counts)
    pool = [i for i in range(n) if weights[i] > 0] or [0]
    for i in rng.choices(pool, k=short):
        counts[i] += 1

    # Names and sizes, folder by folder.
    folder_files: list[list[tuple[str, int]]] = []
    for i in range(n):
        entries = []
        for _ in range(counts[i]):
            kind, size = file_size(rng)
            name = unique_name(rng, names[i], lambda: file_name(rng, kind))
            entries.append((name, size))
        folder_files.append(entries)

    # A few MB-sized files in random folders (about 60 in a 1M-file tree).
    non_empty = [i for i in range(n) if folder_files[i]]
    for _ in range(max(2, round(60 * scale))):
        i = rng.choice(non_empty)
        j = rng.randrange(len(folder_files[i]))
        name = unique_name(rng, names[i], lambda: file_name(rng, "large"))
        size = int(math.exp(rng.uniform(math.log(1 << 20), math.log(8 << 20))))
        folder_files[i][j] = (name, size)

    # The odd names, replacing ordinary files in a few folders.
    for odd in ODD_NAMES:
        i = rng.choice(non_empty)
        j = rng.randrange(len(folder_files[i]))
        if odd not in names[i]:
            names[i].add(odd)
            folder_files[i][j] = (odd, folder_files[i][j][1])

    def random_file() -> tuple[int, int]:
        i = rng.choice(non_empty)
        return i, rng.randrange(len(folder_files[i]))

    # Hard links: 1% of the files get one to three more names; most in the
    # same folder, some elsewhere (as a backup or a package store would).
    links = []  # (source path, link path)
    largest = max(
        ((i, j) for i in non_empty for j in range(len(folder_files[i]))),
        key=lambda ij: folder_files[ij[0]][ij[1]][1],
    )
    sources = [largest] + [random_file() for _ in range(max(5, files // 100))]
    for i, j in sources:
        source = os.path.join(paths[i], folder_files[i][j][0])
        for _ in range(1 if rng.random() < 0.8 else rng.randint(2, 3)):
            target = i if rng.random() < 0.7 else rng.randrange(n)
            base = folder_files[i][j][0] if target != i else "link-of-" + folder_files[i][j][0]
            name = unique_name(rng, names[target], lambda: base[:240])
            links.append((source, os.path.join(paths[target], name)))

    # Symbolic links: 0.5% of the files; to files and folders (relative),
    # dangling ones, plus a handful that would loop or leave the tree.
    symlinks = []  # (target text, link path)
    for _ in range(max(10, files // 200)):
        where = rng.randrange(n)
        r = rng.random()
        if r < 0.5:
            i, j = random_file()
            target = os.path.join(paths[i], folder_files[i][j][0])
            target = os.path.relpath(target, paths[where] or ".")
            base = "to-" + folder_files[i][j][0]
        elif r < 0.8:
            k = rng.randrange(n)
            target = os.path.relpath(paths[k] or ".", paths[where] or ".")
            base = "to-" + (os.path.basename(paths[k]) or "root")
        else:
            target = f"missing/{rng.getrandbits(32):08x}.txt"
            base = "dangling"
        name = unique_name(rng, names[where], lambda: base[:240])
        symlinks.append((target, os.path.join(paths[where], name)))
    # Links a scanner must not follow: loops, the tree's own parents, and
    # absolute ones that lead out of the tree.
    specials = [("..", "up"), (".", "self-dir"), ("self-link", "self-link")]
    specials += [("/", "to-filesystem-root"), ("/usr", "to-usr")]
    specials += [("/nonexistent/bramwex", "absolute-dangling")]
    for group in [specials[:1], specials[1:2], specials[2:3], specials[3:]]:
        where = rng.randrange(n)
        for target, base in group:
            if base not in names[where]:
                names[where].add(base)
                symlinks.append((target, os.path.join(paths[where], base)))
    where = rng.randrange(n)
    if not {"loop-a", "loop-b"} & names[where]:
        names[where] |= {"loop-a", "loop-b"}
        symlinks += [("loop-b", os.path.join(paths[where], "loop-a"))]
        symlinks += [("loop-a", os.path.join(paths[where], "loop-b"))]

    fifos = []
    for k in range(3):
        where = rng.randrange(n)
        name = unique_name(rng, names[where], lambda: f"pipe{k}")
        fifos.append(os.path.join(paths[where], name))

    return {
        "paths": paths,
        "subfolders": [len(c) for c in children],
        "depth": depth,
        "files": folder_files,
        "links": links,
        "symlinks": symlinks,
        "fifos": fifos,
        "data": rng.randbytes(1 << 20),
    }


def estimate_bytes(plan: dict) -> int:
    blocks = sum((size + BLOCK - 1) // BLOCK for entries in plan["files"] for _, size in entries)
    # One block per folder, and roughly 40 bytes per entry in large folders.
    for entries in plan["files"]:
        blocks += max(1, len(entries) * 40 // BLOCK)
    return blocks * BLOCK


def empty_folders(plan: dict) -> int:
    occupied = set()
    for _, link in plan["links"] + plan["symlinks"]:
        occupied.add(os.path.dirname(link))
    occupied.update(os.path.dirname(f) for f in plan["fifos"])
    return sum(
        1
        for path, files, subfolders in zip(plan["paths"], plan["files"], plan["subfolders"])
        if not files and not subfolders and path not in occupied
    )


# ---- workers (forked; they read PLAN) ----


def make_folders(indices: list[int]) -> None:
    root = PLAN["root"]
    for i in indices:
        os.mkdir(os.path.join(root, PLAN["paths"][i]))


def write_files(unit: tuple[int, int, int]) -> int:
    folder, start, end = unit
    data = memoryview(PLAN["data"])
    written = 0
    dfd = os.open(os.path.join(PLAN["root"], PLAN["paths"][folder]), os.O_RDONLY | os.O_DIRECTORY)
    try:
        for name, size in PLAN["files"][folder][start:end]:
            fd = os.open(name, CREATE_FLAGS, 0o644, dir_fd=dfd)
            try:
                left = size
                while left:
                    left -= os.write(fd, data[: min(left, len(data))])
            finally:
                os.close(fd)
            written += size
    finally:
        os.close(dfd)
    return written


def make_links(unit: tuple[int, int]) -> None:
    root = PLAN["root"]
    start, end = unit
    for source, link in PLAN["links"][start:end]:
        os.link(os.path.join(root, source), os.path.join(root, link))
    for target, link in PLAN["symlinks"][start:end]:
        os.symlink(target, os.path.join(root, link))


def chunks(items: list, size: int) -> list[list]:
    return [items[k : k + size] for k in range(0, len(items), size)]


# ---- driver ----


def prepare_dest(dest: str, params: dict) -> bool:
    """True when a finished tree with these parameters is already there."""
    marker = os.path.join(dest, MARKER)
    if os.path.isfile(marker):
        try:
            with open(marker) as f:
                if json.load(f).get("params") == params:
                    return True
        except (OSError, ValueError):
            pass
    if os.path.isdir(dest) and os.listdir(dest):
        ours = os.path.exists(marker) or os.path.exists(os.path.join(dest, BUILDING))
        if not ours:
            sys.exit(f"make_tree: {dest} is not empty and was not built here; refusing to touch it")
        # rm is several times faster than shutil.rmtree on a million files.
        subprocess.run(["rm", "-rf", "--one-file-system", "--", dest], check=True)
    os.makedirs(dest, exist_ok=True)
    return False


def main() -> None:
    args = parse_args()
    dest = os.path.abspath(args.dest)
    params = {
        "files": args.files,
        "folders": args.folders,
        "seed": args.seed,
        "version": GENERATOR_VERSION,
    }
    say = (lambda *a: None) if args.quiet else (lambda *a: print("make_tree:", *a, flush=True))

    if prepare_dest(dest, params):
        with open(os.path.join(dest, MARKER)) as f:
            stats = json.load(f)["stats"]
        print(f"make_tree: reusing {dest}: " + json.dumps(stats))
        return

    started = time.monotonic()
    plan = build_plan(args.files, args.folders, args.seed)
    estimate = estimate_bytes(plan)
    free = shutil.disk_usage(dest).free
    if free < estimate + (1 << 30):
        sys.exit(
            f"make_tree: needs about {estimate >> 20} MiB plus 1 GiB spare; {free >> 20} MiB free"
        )
    say(f"plan ready in {time.monotonic() - started:.1f}s, about {estimate / 1e9:.2f} GB to write")

    with open(os.path.join(dest, BUILDING), "w"):
        pass
    PLAN.update(plan)
    PLAN["root"] = dest
    ctx = multiprocessing.get_context("fork")
    with ctx.Pool(args.jobs) as pool:
        by_depth: dict[int, list[int]] = {}
        for i, d in enumerate(plan["depth"]):
            if d:
                by_depth.setdefault(d, []).append(i)
        for d in sorted(by_depth):
            pool.map(make_folders, chunks(by_depth[d], 500))
        say(f"folders made at {time.monotonic() - started:.1f}s")

        units = []
        for i, entries in enumerate(plan["files"]):
            for k in range(0, len(entries), 2000):
                units.append((i, k, min(k + 2000, len(entries))))
        units.sort(key=lambda u: u[1] - u[2])  # biggest first for an even finish
        written = sum(pool.imap_unordered(write_files, units, chunksize=16))
        say(f"files written at {time.monotonic() - started:.1f}s")

        longest = max(len(plan["links"]), len(plan["symlinks"]))
        pool.map(make_links, [(k, k + 500) for k in range(0, longest, 500)])
    for fifo in plan["fifos"]:
        os.mkfifo(os.path.join(dest, fifo))

    stats = {
        "files": sum(len(e) for e in plan["files"]),
        "folders": len(plan["paths"]),
        "max_depth": max(plan["depth"]),
        "largest_folder": max(len(e) for e in plan["files"]),
        "folders_10k_plus": sum(1 for e in plan["files"] if len(e) >= 10_000),
        "empty_folders": empty_folders(plan),
        "hard_links": len(plan["links"]),
        "symlinks": len(plan["symlinks"]),
        "fifos": len(plan["fifos"]),
        "apparent_bytes": written,
        "estimated_disk_bytes": estimate,
    }
    with open(os.path.join(dest, MARKER + ".tmp"), "w") as f:
        json.dump({"params": params, "stats": stats}, f, indent=1, sort_keys=True)
    os.rename(os.path.join(dest, MARKER + ".tmp"), os.path.join(dest, MARKER))
    os.unlink(os.path.join(dest, BUILDING))
    print(f"make_tree: built {dest} in {time.monotonic() - started:.1f}s: " + json.dumps(stats))


if __name__ == "__main__":
    main()
