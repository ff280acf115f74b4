"""One build of the module imports in every CPython from 3.10 on: it uses the
stable ABI only. Checked with each interpreter this machine has."""
import os
import shutil
import subprocess

import bramwex
import pytest

PROBE = "import sys; print(sys.version_info >= (3, 10), sys.prefix)"


def interpreters():
    """One interpreter per distinct CPython 3.10+ prefix: Debian's, the
    default `python3`, and versioned names on PATH."""
    candidates = ["/usr/bin/python3", shutil.which("python3")]
    candidates += [shutil.which(f"python3.{minor}") for minor in range(10, 16)]
    found = {}
    for candidate in filter(None, candidates):
        done = subprocess.run([candidate, "-I", "-c", PROBE], capture_output=True, text=True,
                              timeout=30)
        words = done.stdout.split()
        if done.returncode == 0 and words[:1] == ["True"]:
            found.setdefault(words[1], candidate)
    return sorted(found.values())


@pytest.mark.parametrize("interpreter", interpreters())
def test_imports_and_scans(interpreter, tmp_path):
    folder = tmp_path / "module"
    folder.mkdir()
    shutil.copy(bramwex.__file__, folder / "bramwex.abi3.so")
    (tmp_path / "data").mkdir()
    (tmp_path / "data" / "f").write_bytes(b"x" * 10_000)
    code = ("import sys; sys.path.insert(0, sys.argv[1]); import bramwex\n"
            "assert bramwex.__file__.startswith(sys.argv[1])\n"
            "print(bramwex.scan(sys.argv[2]).size(0), bramwex.Tier.Cache)")
    done = subprocess.run([interpreter, "-I", "-c", code, str(folder), str(tmp_path / "data")],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    expected = sum(os.lstat(p).st_blocks * 512 for p in (tmp_path / "data",
                                                          tmp_path / "data" / "f"))
    assert done.stdout.split() == [str(expected), "Tier.Cache"]
