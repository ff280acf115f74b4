"""One build of the module imports in every CPython from 3.10 on: it uses the
stable ABI only. Checked with each interpreter this machine has."""
import os
import shutil
import subprocess
import sys

import bramwex
import pytest

PROBE = "import sys; print(sys.version_info >= (3, 10), sys.version.split()[0], sys.prefix)"


def interpreters():
    """{version and prefix: interpreter} of every distinct CPython 3.10+ found:
    Debian's, the default `python3`, and versioned names on PATH."""
    candidates = ["/usr/bin/python3", shutil.which("python3")]
    candidates += [shutil.which(f"python3.{minor}") for minor in range(10, 16)]
    found = {}
    for candidate in filter(None, candidates):
        try:
            done = subprocess.run([candidate, "-I", "-c", PROBE], capture_output=True,
                                  text=True, timeout=30)
        except OSError:
            continue
        words = done.stdout.split()
        if done.returncode == 0 and words and words[0] == "True":
            found.setdefault(f"{words[1]} {words[2]}", candidate)
    return found


FOUND = interpreters()
DEBIAN = next((key for key, path in FOUND.items() if path == "/usr/bin/python3"), None)
OTHERS = sorted(key for key in FOUND if key != DEBIAN)


def imports_and_scans(interpreter, tmp_path):
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


def test_debians_interpreter(tmp_path):
    if DEBIAN is None:
        pytest.skip("no /usr/bin/python3 of 3.10 or later")
    imports_and_scans("/usr/bin/python3", tmp_path)


@pytest.mark.parametrize("key", OTHERS or ["none"])
def test_other_interpreters(key, tmp_path):
    if key == "none":
        pytest.skip("no second CPython 3.10+ on this machine")
    imports_and_scans(FOUND[key], tmp_path)


def test_the_module_is_the_stable_abi_kind():
    assert bramwex.__file__.endswith(".abi3.so")
    assert sys.version_info >= (3, 10)
