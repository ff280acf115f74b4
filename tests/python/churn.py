"""Churn against a followed tree: seeded writer processes create, grow,
truncate, link, rename and delete files, move folders deep and back up,
bring whole subtrees in from outside only to move them on at once, replace a
folder by one of the same name and shape built beside it, and exchange two
folders in one step; when they stop, the followed tree must come to what a
fresh scan and du count.

The suite runs a short round (test_churn.py). For a long run:

    .venv/bin/python tests/python/churn.py --rounds 40 --seconds 30

which prints one line per round and ends non-zero when a round did not come
to the fresh scan within two intervals or the reader's heap grew.
"""
import argparse
import ctypes
import errno
import json
import os
import random
import shutil
import subprocess
import sys
import threading
import time
from dataclasses import dataclass
from pathlib import Path

# --- the writers: one process each, so that they race each other and the reader

NAMES = ["n", "name with spaces", "é", "tab\tin", "x" * 60]


def new_name(rnd: random.Random, tag: str) -> str:
    return f"{rnd.choice(NAMES)}-{tag}-{rnd.getrandbits(32):08x}"


def pick_folder(rnd: random.Random, root: str, stay: float = 0.3) -> str:
    """A folder reached by a random walk down from root; a lower stay goes deeper."""
    folder = root
    for _ in range(64):
        if rnd.random() < stay:
            break
        try:
            below = [e.path for e in os.scandir(folder) if e.is_dir(follow_symlinks=False)]
        except OSError:
            break
        if not below:
            break
        folder = rnd.choice(below)
    return folder


def pick_file(rnd: random.Random, root: str) -> str | None:
    for _ in range(8):
        try:
            files = [e.path for e in os.scandir(pick_folder(rnd, root))
                     if e.is_file(follow_symlinks=False)]
        except OSError:
            continue
        if files:
            return rnd.choice(files)
    return None


def write_bytes(path: str, count: int, mode: str = "ab") -> None:
    # Synchronous, so that the blocks a write takes are allocated before its
    # event: left to writeback, a file system may allocate later (ext4 adds
    # an extent block) and change the allocated size with no event at all.
    flags = os.O_WRONLY | os.O_CREAT | os.O_DSYNC | (os.O_APPEND if mode == "ab" else os.O_TRUNC)
    fd = os.open(path, flags, 0o644)
    try:
        os.write(fd, b"c" * count)
    finally:
        os.close(fd)


def subtree(rnd: random.Random, top: str, tag: str, depth: int) -> None:
    os.mkdir(top)
    for _ in range(rnd.randint(1, 3)):
        write_bytes(os.path.join(top, new_name(rnd, tag)), rnd.choice([0, 100, 5000, 70_000]))
    if depth > 0:
        for _ in range(rnd.randint(1, 2)):
            subtree(rnd, os.path.join(top, new_name(rnd, tag)), tag, depth - 1)


def exchange_paths(a: str, b: str) -> None:
    """Swaps two names in one step; OSError when the kernel or the file
    system cannot (EINVAL, ENOSYS) or one holds the other."""
    renameat2 = getattr(ctypes.CDLL(None, use_errno=True), "renameat2", None)
    if renameat2 is None:
        raise OSError(errno.ENOSYS, "no renameat2")
    renameat2.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p,
                          ctypes.c_uint]
    at_fdcwd, rename_exchange = -100, 2
    if renameat2(at_fdcwd, os.fsencode(a), at_fdcwd, os.fsencode(b), rename_exchange) != 0:
        code = ctypes.get_errno()
        raise OSError(code, os.strerror(code), a, None, b)


def remove_outside(path: str) -> None:
    """Removes a folder taken out of the root, if there. A writer that
    reached into it before it left may still add to it while it goes, so a
    removal that finds it not empty is tried again."""
    for _ in range(100):
        if not os.path.lexists(path):
            return
        shutil.rmtree(path, ignore_errors=True)
    shutil.rmtree(path)


def within(path: str, folder: str) -> bool:
    return path == folder or path.startswith(folder + os.sep)


class Writer:
    def __init__(self, root: str, outside: str, seed: int, interval: float, shrink: bool,
                 only=()):
        self.root, self.outside, self.shrink, self.only = root, outside, shrink, only
        self.settled_age = 20 * interval
        self.rnd = random.Random(seed)
        self.tag = f"w{seed}"
        self.pairs: list[tuple[str, str]] = []  # folders made to be exchanged, again later
        self.staged: list[tuple[str, str]] = []  # a folder, and one built to replace it later

    def file(self) -> str:
        path = pick_file(self.rnd, self.root)
        if path is None:
            raise FileNotFoundError
        return path

    def new_path(self, stay: float = 0.3) -> str:
        return os.path.join(pick_folder(self.rnd, self.root, stay), new_name(self.rnd, self.tag))

    def some_folder(self) -> str:
        folder = pick_folder(self.rnd, self.root, stay=0.2)
        if folder == self.root:
            raise FileNotFoundError
        return folder

    # The operations, by weight below.
    def create(self):
        write_bytes(self.new_path(), self.rnd.choice([0, 1, 4096, 9000, 60_000, 300_000]), "wb")

    def writable(self) -> str:
        """A file to write to. A file of several names is written only when
        none of them is new, that is when its inode's change time, which
        making or moving a name sets, is older than the settled age: written
        through a name made and removed within one tick, it would change
        unseen, as no event tells the folders of its older names."""
        path = self.file()
        found = os.lstat(path)
        if found.st_nlink > 1 and time.time() - found.st_ctime < self.settled_age:
            raise FileNotFoundError
        return path

    def append(self):
        write_bytes(self.writable(), self.rnd.randint(1, 100_000))

    def truncate(self):
        os.truncate(self.writable(), self.rnd.randint(0, 20_000))

    def delete(self):
        os.unlink(self.file())

    def rename_file(self):
        os.rename(self.file(), self.new_path())

    def link(self):
        os.link(self.file(), self.new_path())

    def link_grown_and_unlinked(self):
        # A file of several names grows through one, which then goes, within
        # one tick: the names left must count the new size.
        try:
            known = self.writable()
        except FileNotFoundError:
            known = None
        if known and os.lstat(known).st_nlink > 1:
            write_bytes(known, self.rnd.randint(10_000, 400_000))
            os.unlink(known)
            return
        # Else a file of one name gains another, grows through one of them
        # and loses the other.
        first, second = self.file(), self.new_path()
        if os.lstat(first).st_nlink > 1:
            raise FileNotFoundError
        os.link(first, second)
        grown, other = (first, second) if self.rnd.random() < 0.5 else (second, first)
        write_bytes(grown, self.rnd.randint(10_000, 400_000))
        os.unlink(other)

    def folder_chain(self):
        path = self.new_path()
        for _ in range(self.rnd.randint(1, 4)):
            os.mkdir(path)
            path = os.path.join(path, new_name(self.rnd, self.tag))
        write_bytes(path, self.rnd.choice([0, 3000, 50_000]), "wb")

    def move_deep(self):
        # Into itself fails (EINVAL), as for any user.
        os.rename(self.some_folder(), self.new_path(stay=0.05))

    def move_up(self):
        os.rename(pick_folder(self.rnd, self.root, stay=0.05), os.path.join(
            self.root, new_name(self.rnd, self.tag)))

    def rename_in_place(self):
        folder = self.some_folder()
        os.rename(folder, os.path.join(os.path.dirname(folder), new_name(self.rnd, self.tag)))

    def move_in_and_on(self):
        staged = os.path.join(self.outside, new_name(self.rnd, self.tag))
        try:
            subtree(self.rnd, staged, self.tag, self.rnd.randint(1, 2))
            arrived = self.new_path()
            os.rename(staged, arrived)
        finally:  # nothing is left outside the root
            remove_outside(staged)
        for _ in range(self.rnd.randint(1, 3)):  # on again before its watches are all in
            if self.rnd.random() < 0.5:
                time.sleep(self.rnd.random() / 100)
            moved = self.new_path(stay=0.1)
            os.rename(arrived, moved)
            arrived = moved
            if self.rnd.random() < 0.3:
                write_bytes(os.path.join(pick_folder(self.rnd, arrived, 0.3), "late"), 30_000)

    def move_out(self):
        away = os.path.join(self.outside, new_name(self.rnd, self.tag))
        os.rename(self.some_folder(), away)
        remove_outside(away)

    def remove_folder(self):
        shutil.rmtree(self.some_folder())

    def beside(self, folder: str, *avoid: str) -> str:
        """A new path next to folder or elsewhere in the root, never inside
        it nor in the folders to avoid."""
        for _ in range(8):
            parent = (os.path.dirname(folder) if self.rnd.random() < 0.5
                      else pick_folder(self.rnd, self.root))
            if not any(within(parent, other) for other in (folder, *avoid)):
                return os.path.join(parent, new_name(self.rnd, self.tag))
        raise FileNotFoundError

    def same_shape(self, old: str, new: str, limit: int = 60) -> None:
        """new gets old's folders under the same names (a few left out) and
        files of other sizes, under old names or new ones."""
        os.mkdir(new)
        folders = [("", 0)]
        for relative, depth in folders:
            if len(folders) > limit:
                break
            with os.scandir(os.path.join(old, relative)) as found:
                entries = sorted(((e.name, e.is_dir(follow_symlinks=False)) for e in found))
            for name, is_folder in entries:
                if is_folder and depth < 4 and self.rnd.random() < 0.9:
                    os.mkdir(os.path.join(new, relative, name))
                    folders.append((os.path.join(relative, name), depth + 1))
                elif not is_folder and self.rnd.random() < 0.7:
                    write_bytes(os.path.join(new, relative, name),
                                self.rnd.choice([0, 2000, 30_000, 150_000]), "wb")
            if self.rnd.random() < 0.3:
                write_bytes(os.path.join(new, relative, new_name(self.rnd, self.tag)),
                            self.rnd.choice([500, 80_000]), "wb")

    def replace_folder(self):
        # As a deployment replaces a folder: the new one is built aside, in
        # the root or beside it, the old one goes away (kept in the root, or
        # taken out and removed) and the new one takes its name. One built in
        # the root is sometimes left for a later call, to be followed by then.
        if self.staged and self.rnd.random() < 0.5:
            old, staged = self.staged.pop(self.rnd.randrange(len(self.staged)))
        else:
            old = self.some_folder()
            staged = (self.beside(old) if self.rnd.random() < 0.5
                      else os.path.join(self.outside, new_name(self.rnd, self.tag)))
        keep = self.rnd.random() < 0.5 and not self.shrink  # a second copy grows the tree
        away = (self.beside(old, staged) if keep
                else os.path.join(self.outside, new_name(self.rnd, self.tag)))
        try:
            if not os.path.lexists(staged):
                self.same_shape(old, staged)
                if not within(staged, self.outside) and self.rnd.random() < 0.5:
                    self.staged = [*self.staged[-15:], (old, staged)]
                    return
            os.rename(old, away)
            os.rename(staged, old)
        finally:  # nothing is left outside the root
            for path in (staged, away):
                if within(path, self.outside):
                    remove_outside(path)

    def exchanged_pair(self) -> tuple[str, str]:
        """Two new folders, in one parent or two, each with a chain of
        subfolders: of the same names (sub/deep) holding other sizes, or of
        names of their own."""
        first = pick_folder(self.rnd, self.root)
        parents = (first, first if self.rnd.random() < 0.5 else pick_folder(self.rnd, self.root))
        same = self.rnd.random() < 0.5
        pair = []
        for parent, size in zip(parents, self.rnd.sample([0, 3000, 40_000, 250_000], 2)):
            top = os.path.join(parent, new_name(self.rnd, self.tag))
            path = top
            os.mkdir(path)
            names = ["sub", "deep"] if same else [new_name(self.rnd, "x") for _ in "ab"]
            for name in names:
                path = os.path.join(path, name)
                os.mkdir(path)
                write_bytes(os.path.join(path, new_name(self.rnd, self.tag)), size, "wb")
            pair.append(top)
        self.pairs = [*self.pairs[-15:], (pair[0], pair[1])]
        return pair[0], pair[1]

    def exchange(self):
        chance = self.rnd.random()
        if chance < 0.35 or not self.pairs:
            first, second = self.exchanged_pair()
        elif chance < 0.7:
            first, second = self.rnd.choice(self.pairs)  # made earlier, followed by now
        else:
            first = self.some_folder()
            if self.rnd.random() < 0.5:
                second = self.some_folder()
            else:
                with os.scandir(os.path.dirname(first)) as found:
                    siblings = sorted(e.path for e in found
                                      if e.is_dir(follow_symlinks=False) and e.path != first)
                if not siblings:
                    raise FileNotFoundError
                second = self.rnd.choice(siblings)
            if within(first, second) or within(second, first):
                raise FileNotFoundError
        exchange_paths(first, second)
        if self.rnd.random() < 0.2:  # and back, within one tick
            exchange_paths(first, second)

    def weights(self):
        # Roughly as many entries go as come, fewer come once the tree is large.
        grow = 1 if self.shrink else 3
        weights = [
            (self.create, grow * 4), (self.append, grow * 3), (self.truncate, 9 - grow * 2),
            (self.delete, 10),
            (self.rename_file, 6), (self.link, 2), (self.link_grown_and_unlinked, 3),
            (self.folder_chain, grow), (self.move_deep, 4), (self.move_up, 2),
            (self.rename_in_place, 2), (self.move_in_and_on, grow), (self.move_out, 2),
            (self.remove_folder, 2), (self.replace_folder, 2), (self.exchange, grow),
        ]
        return [(op, w) for op, w in weights if not self.only or op.__name__ in self.only]

    def run(self, seconds: float) -> int:
        operations, weights = zip(*self.weights())
        end, done = time.monotonic() + seconds, 0
        while time.monotonic() < end:
            try:
                self.rnd.choices(operations, weights)[0]()
            except OSError:
                pass  # another writer got there first, or a folder into itself
            done += 1
        return done


# --- what the tree holds on disk and in a tree object


def folder_sizes(tree) -> dict[bytes, int]:
    sizes, folders = {}, [0]
    for folder in folders:
        folders.extend(tree.children(folder))
        sizes[os.fsencode(tree.path(folder))] = tree.size(folder)
    return sizes


FRESH_SCAN = """
import json, os, sys, bramwex
sys.path.insert(0, os.path.dirname(sys.argv[2]))
from churn import folder_sizes
print(json.dumps({p.decode("utf-8", "surrogateescape"): s
                  for p, s in folder_sizes(bramwex.scan(sys.argv[1])).items()}))
"""


def fresh_scan(root: str) -> dict[bytes, int]:
    """Per-folder sizes of a fresh scan, in another process: its memory is not the reader's."""
    done = subprocess.run([sys.executable, "-c", FRESH_SCAN, root, __file__],
                          capture_output=True, text=True, check=True, timeout=600)
    return {p.encode("utf-8", "surrogateescape"): s for p, s in json.loads(done.stdout).items()}


def du(root: str) -> int:
    done = subprocess.run(["du", "-s", "-B1", root], capture_output=True, check=True, timeout=600)
    return int(done.stdout.split()[0])


def folders_with_links(root: str) -> set[bytes]:
    """Folders holding, at any depth, a file of several names: where such a
    file is counted may differ between two scans, only its total may not."""
    linked, top = set(), os.fsencode(root)
    for folder, _, files, at in os.fwalk(top):  # paths may pass PATH_MAX
        if any(os.stat(f, dir_fd=at, follow_symlinks=False).st_nlink > 1 for f in files):
            while folder not in linked:
                linked.add(folder)
                if folder == top:
                    break
                folder = os.path.dirname(folder)
    return linked


def differences(followed: dict, fresh: dict, linked: set) -> list[str]:
    lines = [f"only followed: {p!r}" for p in followed.keys() - fresh.keys()]
    lines += [f"only on disk: {p!r}" for p in fresh.keys() - followed.keys()]
    root = min(fresh, key=len)
    lines += [f"{p!r}: followed {followed[p]}, fresh {fresh[p]}"
              for p in sorted(fresh.keys() & followed.keys())
              if followed[p] != fresh[p] and (p == root or p not in linked)]
    return lines


def rss_kb() -> int:
    with open("/proc/self/status") as status:
        return int(next(line for line in status if line.startswith("VmRSS")).split()[1])


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def heap_kb() -> int:
    """Bytes the process's heap holds in use now (resident memory keeps its
    peak, so it cannot tell a leak from a tree that was larger before)."""
    mallinfo2 = ctypes.CDLL(None).mallinfo2
    mallinfo2.restype = MallInfo2
    info = mallinfo2()
    return (info.uordblks + info.hblkhd) // 1024


# --- the reader


class Reader:
    """Reads the Live on a thread of its own; the latest tree and when it came."""

    def __init__(self, live):
        self.live, self.lock = live, threading.Lock()
        self.tree, self.arrived, self.missed, self.error = None, 0.0, 0, None
        self.ready = threading.Event()
        self.thread = threading.Thread(target=self.read, daemon=True)
        self.thread.start()

    def read(self):
        from bramwex import Event

        try:
            for event in self.live:
                if isinstance(event, Event.Missed):
                    with self.lock:
                        self.missed += 1
                    self.live.rescan(0)  # as the browser does: changes may be lost
                elif isinstance(event, (Event.Ready, Event.Changed)):
                    with self.lock:
                        self.tree, self.arrived = event.tree, time.monotonic()
                    if isinstance(event, Event.Ready):
                        self.ready.set()
        except BaseException as error:  # noqa: BLE001 - reported by the round
            self.error = error

    def latest(self):
        with self.lock:
            return self.tree, self.arrived


@dataclass
class Round:
    number: int
    writers: int
    operations: int
    folders: int
    size: int
    settled: float | None  # seconds from the writers' end to the matching tree
    missed: int
    rss_kb: int
    heap_kb: int
    differences: list[str]


def seed_tree(root: str, seed: int, folders: int) -> None:
    rnd = random.Random(seed)
    os.makedirs(root)
    made, files = [root], []
    for _ in range(folders):
        made.append(os.path.join(rnd.choice(made), new_name(rnd, "s")))
        os.mkdir(made[-1])
        for _ in range(rnd.randint(0, 6)):
            files.append(os.path.join(made[-1], new_name(rnd, "s")))
            write_bytes(files[-1], rnd.choice([0, 700, 9000]), "wb")
    for _ in range(folders // 4):  # files of several names from the start
        os.link(rnd.choice(files), os.path.join(rnd.choice(made), new_name(rnd, "s")))


def run_writers(root, outside, seed, count, seconds, interval, shrink, only) -> int:
    writers = [subprocess.Popen([sys.executable, __file__, "--write", root, outside,
                                 str(seed * 100 + k), str(seconds), str(interval),
                                 str(int(shrink)), *only],
                                stdout=subprocess.PIPE, text=True) for k in range(count)]
    return sum(int(w.communicate(timeout=seconds + 600)[0] or 0) for w in writers)


def churn(workdir: Path, *, rounds: int, seconds: float, writers: tuple[int, int], seed: int,
          interval: float, folders: int = 200, settle_limit: float = 120, cap: int = 20_000,
          cap_bytes: int = 2 << 30,
          only=(), report=None):
    """Rounds of churn against one Live; a Round for each."""
    import bramwex

    root, outside = str(workdir / "root"), str(workdir / "outside")
    seed_tree(root, seed, folders)
    os.makedirs(outside)
    rnd = random.Random(seed)
    results, size = [], 0
    with bramwex.live(root, interval=interval) as live:
        reader = Reader(live)
        if not reader.ready.wait(settle_limit):
            raise AssertionError("the first scan did not end")
        for number in range(1, rounds + 1):
            count = rnd.randint(*writers)
            entries = sum(len(d) + len(f) for _, d, f in os.walk(root))
            missed = reader.missed
            operations = run_writers(root, outside, seed * 1000 + number, count, seconds,
                                     interval, entries > cap or size > cap_bytes, only)
            stopped = time.monotonic()
            fresh = fresh_scan(root)
            linked = folders_with_links(root)
            size = fresh[os.fsencode(root)]
            wrong = [] if du(root) == size else ["a fresh scan is not du"]
            for left in os.listdir(outside):  # a writer's fault, not the reader's
                wrong.append(f"left outside the root: {left!r}")
                shutil.rmtree(os.path.join(outside, left))
            settled, followed = None, None
            deadline = time.monotonic() + settle_limit
            while reader.error is None and time.monotonic() < deadline:
                tree, arrived = reader.latest()
                followed = folder_sizes(tree)
                if not differences(followed, fresh, linked):
                    settled = max(0.0, arrived - stopped)
                    break
                time.sleep(interval / 4)
            if settled is None:
                wrong += differences(followed, fresh, linked)[:20] or [f"reader: {reader.error!r}"]
            results.append(Round(number, count, operations, len(fresh), size,
                                 settled, reader.missed - missed, rss_kb(), heap_kb(), wrong))
            if report:
                report(results[-1])
            if reader.error is not None:
                break
    return results


def main() -> int:
    if sys.argv[1:2] == ["--write"]:
        root, outside, seed, seconds, interval, shrink, *only = sys.argv[2:]
        writer = Writer(root, outside, int(seed), float(interval), shrink == "1", only)
        print(writer.run(float(seconds)))
        return 0
    parser = argparse.ArgumentParser(description="Churn against a followed tree.")
    parser.add_argument("--rounds", type=int, default=40)
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--writers", type=int, nargs=2, default=(2, 8), metavar=("MIN", "MAX"))
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--interval", type=float, default=0.5)
    parser.add_argument("--folders", type=int, default=400)
    parser.add_argument("--only", nargs="*", default=(), help="writer operations to use")
    parser.add_argument("--workdir", type=Path, help="an empty folder (default: a new one in /tmp)")
    args = parser.parse_args()

    import tempfile

    workdir = args.workdir or Path(tempfile.mkdtemp(prefix="bramwex-churn-"))

    def report(r: Round):
        when = "never" if r.settled is None else f"{r.settled:.2f} s"
        print(f"round {r.number:3}: {r.writers} writers, {r.operations} operations, "
              f"{r.folders} folders, {r.size} bytes, settled {when}, {r.missed} missed, "
              f"reader {r.rss_kb} KiB resident, {r.heap_kb} KiB heap", flush=True)
        for line in r.differences:
            print("   ", line, flush=True)

    results = churn(workdir, rounds=args.rounds, seconds=args.seconds, writers=args.writers,
                    seed=args.seed, interval=args.interval, folders=args.folders,
                    only=args.only, report=report)
    late = [r.number for r in results if r.settled is None or r.settled > 2 * args.interval]
    # A leak shows as a round holding more heap than an earlier one that
    # followed as many folders or more.
    grew = [later.number for k, later in enumerate(results) for earlier in results[:k]
            if earlier.folders >= later.folders and later.heap_kb > earlier.heap_kb * 1.25 + 4096]
    heaps = [r.heap_kb for r in results]
    print(f"{len(results)} rounds, {len(late)} late or wrong {late}, heap {min(heaps, default=0)} "
          f"to {max(heaps, default=0)} KiB, {len(set(grew))} rounds holding more than an earlier "
          f"larger tree {sorted(set(grew))}; in {workdir}")
    if not late and not grew and not args.workdir:
        shutil.rmtree(workdir)
    return 1 if late or grew or len(results) < args.rounds else 0


if __name__ == "__main__":
    sys.exit(main())
