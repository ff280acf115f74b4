"""Fixtures of the module's tests: real trees in temporary folders."""
import os
import shutil
import stat
import subprocess
import tempfile
from pathlib import Path

import pytest


def disk_usage(root: Path) -> int:
    """What a scan should count below root: the allocated bytes of every entry,
    folders included, a file with several links once."""
    seen = {}
    for folder, subfolders, files in os.walk(root):
        for name in [folder, *(os.path.join(folder, n) for n in subfolders + files)]:
            st = os.lstat(name)
            if name == folder or not stat.S_ISDIR(st.st_mode):  # a folder once, as itself
                seen[(st.st_dev, st.st_ino)] = st.st_blocks * 512
    return sum(seen.values())


def make_tree(root: Path) -> Path:
    """Nested folders with files of several sizes, a hard link, a symbolic
    link, a folder that holds only folders and an empty one."""
    for name, size in (("alpha/big.bin", 300_000), ("alpha/deep/mid.bin", 120_000),
                       ("alpha/deep/er/small.txt", 5000), ("beta/b.bin", 70_000), ("top.txt", 9000)):
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_bytes(b"x" * size)
    (root / "empty").mkdir()
    os.link(root / "beta" / "b.bin", root / "alpha" / "b-link.bin")
    os.symlink("big.bin", root / "alpha" / "to-big")
    return root


@pytest.fixture
def tree_dir(tmp_path) -> Path:
    return make_tree(tmp_path / "data")


@pytest.fixture
def mounted(tmp_path):
    """mount(folder) puts a tmpfs on folder (another device), or skips."""
    points = []

    def mount(folder: Path) -> Path:
        folder.mkdir(parents=True, exist_ok=True)
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "none", str(folder)],
                              capture_output=True)
        if done.returncode != 0:
            pytest.skip("cannot mount a tmpfs here")
        points.append(folder)
        return folder

    yield mount
    for folder in reversed(points):
        subprocess.run(["umount", str(folder)], check=True)


@pytest.fixture
def as_nobody(open_tmp):
    """run(code, *args): the output of Python code run as the user nobody, who
    cannot read what its mode forbids (root can), with Debian's interpreter on
    a copy of the module in open_tmp (nobody may not reach the clone)."""
    import bramwex

    if os.geteuid() != 0:
        pytest.skip("switching to the user nobody needs root")
    closed = [p for p in (open_tmp, *open_tmp.parents) if not os.stat(p).st_mode & 0o001]
    if closed:
        pytest.skip(f"nobody cannot enter the temporary folder {closed[0]}")
    (open_tmp / "module").mkdir()
    os.chmod(shutil.copy(bramwex.__file__, open_tmp / "module" / "bramwex.abi3.so"), 0o755)
    prelude = f"import sys; sys.path.insert(0, {str(open_tmp / 'module')!r})\n"

    def run(code: str, *args) -> str:
        done = subprocess.run(["/usr/bin/python3", "-I", "-c", prelude + code, *map(str, args)],
                              user=65534, group=65534, extra_groups=[], capture_output=True,
                              text=True, env={"HOME": "/nonexistent"}, timeout=120)
        assert done.returncode == 0, done.stderr
        return done.stdout

    return run


@pytest.fixture
def open_tmp():
    """A temporary folder every user may enter (tmp_path is root's only)."""
    folder = Path(tempfile.mkdtemp(prefix="bramwex-open-"))
    folder.chmod(0o755)
    yield folder
    for path, folders, _ in os.walk(folder):
        for name in folders:
            os.chmod(os.path.join(path, name), 0o755)
    shutil.rmtree(folder)
