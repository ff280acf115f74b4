"""Fixtures of the module's tests: real trees in temporary folders."""
import os
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
    import subprocess

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
def as_nobody(tmp_path_factory):
    """run(code, *args) runs Python code as the user nobody, who cannot read
    what its mode forbids (root can); returns its standard output. Skips
    unless the tests run as root and nobody can import the module."""
    import subprocess
    import sys

    import bramwex

    if os.geteuid() != 0:
        pytest.skip("needs root to switch to nobody")
    module_dir = str(Path(bramwex.__file__).parent)

    def run(code: str, *args) -> str:
        done = subprocess.run([sys.executable, "-c", code, *map(str, args)], user=65534,
                              group=65534, capture_output=True, text=True,
                              env={"PYTHONPATH": module_dir, "HOME": "/nonexistent"})
        if "ModuleNotFoundError" in done.stderr or "PermissionError" in done.stderr[:300]:
            pytest.skip(f"nobody cannot run the module here: {done.stderr[-300:]}")
        assert done.returncode == 0, done.stderr
        return done.stdout

    return run


@pytest.fixture
def open_tmp(tmp_path_factory):
    """A temporary folder every user may enter (tmp_path is root's only)."""
    import tempfile

    folder = Path(tempfile.mkdtemp(prefix="bramwex-open-"))
    folder.chmod(0o755)
    yield folder
    import shutil

    for path, folders, _ in os.walk(folder):
        for name in folders:
            os.chmod(os.path.join(path, name), 0o755)
    shutil.rmtree(folder)
