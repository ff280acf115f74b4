"""Runs the real `bramwex` binary on real temporary trees."""
import importlib.util
import os
import signal
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
# The module tests' tree: nested folders, own files, a hard and a symbolic link.
_spec = importlib.util.spec_from_file_location("module_fixtures",
                                               ROOT / "tests" / "python" / "conftest.py")
_fixtures = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_fixtures)
make_tree = _fixtures.make_tree


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

    def popen(self, *args, ignored=()) -> subprocess.Popen:
        """The stop signals at their default action but those `ignored`, however
        the test run itself was started (a background job ignores SIGINT)."""
        def dispositions():
            for signum in (signal.SIGINT, signal.SIGTERM):
                signal.signal(signum, signal.SIG_IGN if signum in ignored else signal.SIG_DFL)

        return subprocess.Popen([binary(), *map(str, args)], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=self.env, preexec_fn=dispositions)


@pytest.fixture
def bramwex(tmp_path) -> Bramwex:
    return Bramwex(tmp_path / "cache")


@pytest.fixture
def tree(tmp_path) -> Path:
    return make_tree(tmp_path / "data")
