"""Fixtures of the module's tests: real trees in temporary folders."""
import os
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest


def disk_usage(root: Path) -> int:
    """What a scan should count below root: the allocated bytes of every entry,
    folders included, a file with several links once."""
    seen = set()
    total = 0
    for folder, subfolders, files in os.walk(root):
        for name in [folder, *(os.path.join(folder, n) for n in subfolders + files)]:
            st = os.lstat(name)
            if name != folder and os.path.isdir(name) and not os.path.islink(name):
                continue  # counted when walked as a folder itself
            if st.st_nlink > 1 and not os.path.isdir(name):
                if (st.st_dev, st.st_ino) in seen:
                    continue
                seen.add((st.st_dev, st.st_ino))
            total += st.st_blocks * 512
    return total


def make_tree(root: Path) -> Path:
    """Nested folders with files of several sizes, a hard link, a symbolic
    link, a folder that holds only folders and an empty one."""
    (root / "alpha" / "deep" / "er").mkdir(parents=True)
    (root / "beta").mkdir()
    (root / "empty").mkdir()
    (root / "alpha" / "big.bin").write_bytes(b"x" * 300_000)
    (root / "alpha" / "deep" / "mid.bin").write_bytes(b"y" * 120_000)
    (root / "alpha" / "deep" / "er" / "small.txt").write_bytes(b"z" * 5000)
    (root / "beta" / "b.bin").write_bytes(b"b" * 70_000)
    (root / "top.txt").write_bytes(b"t" * 9000)
    os.link(root / "beta" / "b.bin", root / "alpha" / "b-link.bin")
    os.symlink("big.bin", root / "alpha" / "to-big")
    return root


@pytest.fixture
def tree_dir(tmp_path) -> Path:
    return make_tree(tmp_path / "data")


@pytest.fixture
def mounted(tmp_path):
    """mount(folder) puts a tmpfs on folder (another device); skips the test
    where mounting is not allowed. Everything is unmounted afterwards."""
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
    """run(code, *args) runs Python code as the user nobody, who cannot read
    what its mode forbids (root can); returns its standard output. Nobody
    may not reach the clone (it can live in a private folder), so it runs
    Debian's interpreter on a copy of the module in open_tmp. Skips only
    where switching users is impossible."""
    import bramwex

    if os.geteuid() != 0:
        pytest.skip("switching to the user nobody needs root")
    closed = [p for p in (open_tmp, *open_tmp.parents) if not os.stat(p).st_mode & 0o001]
    if closed:
        pytest.skip(f"nobody cannot enter the temporary folder {closed[0]}")
    module_dir = open_tmp / "module"
    module_dir.mkdir()
    shutil.copy(bramwex.__file__, module_dir / "bramwex.abi3.so")
    os.chmod(module_dir / "bramwex.abi3.so", 0o755)
    prelude = f"import sys; sys.path.insert(0, {str(module_dir)!r})\n"

    def run(code: str, *args) -> str:
        done = subprocess.run(["/usr/bin/python3", "-I", "-c", prelude + code, *map(str, args)],
                              user=65534, group=65534, extra_groups=[], capture_output=True,
                              text=True, env={"HOME": "/nonexistent"}, timeout=120)
        assert done.returncode == 0, done.stderr
        return done.stdout

    return run


@pytest.fixture
def open_tmp(tmp_path_factory):
    """A temporary folder every user may enter (tmp_path is root's only)."""
    folder = Path(tempfile.mkdtemp(prefix="bramwex-open-"))
    folder.chmod(0o755)
    yield folder
    for path, folders, _ in os.walk(folder):
        for name in folders:
            os.chmod(os.path.join(path, name), 0o755)
    shutil.rmtree(folder)
