"""One build of the module imports in every CPython from 3.10 on (it uses the
stable ABI only): checked with each interpreter this machine has."""
import shutil
import subprocess

import bramwex
import pytest


def interpreters():
    """One per distinct CPython 3.10+ prefix: Debian's, `python3`, versioned names."""
    found = {}
    for candidate in filter(None, ["/usr/bin/python3", shutil.which("python3"),
                                   *(shutil.which(f"python3.{minor}") for minor in range(10, 16))]):
        done = subprocess.run([candidate, "-I", "-c", "import sys; print(sys.version_info >= "
                               "(3, 10), sys.prefix)"], capture_output=True, text=True, timeout=30)
        if done.returncode == 0 and done.stdout.split()[:1] == ["True"]:
            found.setdefault(done.stdout.split()[1], candidate)
    return sorted(found.values())


@pytest.mark.parametrize("interpreter", interpreters())
def test_imports_and_scans(interpreter, tmp_path, tree_dir):
    (tmp_path / "module").mkdir()
    shutil.copy(bramwex.__file__, tmp_path / "module" / "bramwex.abi3.so")
    code = ("import sys; sys.path.insert(0, sys.argv[1]); import bramwex\n"
            "assert bramwex.__file__.startswith(sys.argv[1])\n"
            "print(bramwex.scan(sys.argv[2]).size(0), bramwex.Tier.Cache)")
    done = subprocess.run([interpreter, "-I", "-c", code, tmp_path / "module", tree_dir],
                          capture_output=True, text=True, timeout=60)
    assert done.stdout.split() == [str(bramwex.scan(tree_dir).size(0)), "Tier.Cache"], done.stderr
