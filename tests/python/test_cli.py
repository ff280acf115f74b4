"""_cli from Python: the command line of the native command, from sys.argv."""
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest


def run_cli(argv, tmp_path, prelude=""):
    code = f"import sys, bramwex\n{prelude}\nsys.argv = {argv!r}\nsys.exit(bramwex._cli())\n"
    env = dict(os.environ, BRAMWEX_CACHE_DIR=str(tmp_path / "cache"))
    env.pop("BRAMWEX_LOG", None)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                          timeout=120)


def test_version_and_parse_errors_end_the_process(tmp_path):
    version = run_cli(("bramwex", "--version"), tmp_path)  # a tuple is a sequence too
    assert (version.returncode, version.stdout) == (0, "bramwex 0.2.0\n")
    bad = run_cli(["bramwex", "scan", "--no-such-flag", "/"], tmp_path)
    assert bad.returncode == 2 and bad.stderr and not bad.stdout


def test_scan_prints_after_pythons_own_text(tmp_path):
    (tmp_path / "data").mkdir()
    done = run_cli(["bramwex", "scan", "--json", str(tmp_path / "data")], tmp_path,
                   prelude="print('before', flush=False)")
    assert done.returncode == 0, done.stderr
    before, document = done.stdout.split("\n", 1)
    assert before == "before"  # Python's buffered text comes out first
    assert json.loads(document)["name"] == str(tmp_path / "data")


def test_out_of_memory_is_one_line(tmp_path):
    root = tmp_path / "wide"
    for k in range(20_000):
        (root / f"d{k // 100}" / f"e{k}").mkdir(parents=True, exist_ok=True)
    endings = set()
    for room in range(4, 68, 8):  # MiB of address space beyond what is in use
        limit = ("import resource\n"
                 "size = int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()\n"
                 f"resource.setrlimit(resource.RLIMIT_AS, (size + ({room} << 20), -1))\n")
        done = run_cli(["bramwex", "scan", "--threads", "1", str(root)], tmp_path, prelude=limit)
        assert done.returncode in (0, 1) and done.stderr.count("\n") == done.returncode, done
        endings.add(done.stderr or "done")
    assert endings == {"bramwex: out of memory\n", "done"}


def test_the_console_script(tmp_path):
    script = Path(sys.executable).parent / "bramwex"
    if not script.exists():
        pytest.skip("the module is not installed with its console script here")
    done = subprocess.run([str(script), "--version"], capture_output=True, text=True)
    assert (done.returncode, done.stdout) == (0, "bramwex 0.2.0\n")


@pytest.mark.parametrize("argv", ["'bramwex --version'", "42", "['bramwex', b'--version']"])
def test_argv_must_be_a_sequence_of_str(argv):
    code = (f"import sys, bramwex\nsys.argv = {argv}\n"
            "try:\n    bramwex._cli()\nexcept TypeError:\n    print('TypeError')\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.stdout == "TypeError\n", done.stderr
