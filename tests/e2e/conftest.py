"""Runs the real `bramwex` binary on real temporary trees."""
import os
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


def binary() -> str:
    found = os.environ.get("BRAMWEX_BIN", str(ROOT / "build" / "app" / "bramwex"))
    if not os.access(found, os.X_OK):
        pytest.exit(f"bramwex binary not found at {found}; run scripts/setup first", 2)
    return found


class Bramwex:
    def __init__(self, cache: Path):
        self.cache = cache
        self.env = dict(os.environ, BRAMWEX_CACHE_DIR=str(cache))
        self.env.pop("BRAMWEX_LOG", None)

    def run(self, *args, env=None, timeout=60) -> subprocess.CompletedProcess:
        return subprocess.run([binary(), *map(str, args)], capture_output=True,
                              env=env or self.env, timeout=timeout)

    def popen(self, *args) -> subprocess.Popen:
        return subprocess.Popen([binary(), *map(str, args)], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=self.env)


@pytest.fixture
def bramwex(tmp_path) -> Bramwex:
    return Bramwex(tmp_path / "cache")


def make_tree(root: Path) -> Path:
    """A small tree with nested folders, own files and a hard link."""
    (root / "alpha" / "deep" / "er").mkdir(parents=True)
    (root / "beta").mkdir()
    (root / "empty").mkdir()
    (root / "alpha" / "big.bin").write_bytes(b"x" * 300_000)
    (root / "alpha" / "deep" / "mid.bin").write_bytes(b"y" * 120_000)
    (root / "alpha" / "deep" / "er" / "small.txt").write_bytes(b"z" * 5000)
    (root / "beta" / "b.bin").write_bytes(b"b" * 70_000)
    (root / "top.txt").write_bytes(b"t" * 9000)
    os.link(root / "beta" / "b.bin", root / "alpha" / "b-link.bin")
    return root


@pytest.fixture
def tree(tmp_path) -> Path:
    return make_tree(tmp_path / "data")
