"""The Debug build's module, built with AddressSanitizer and UBSan, run once
through every entry point (exercise_module.py). scripts/test names it in
BRAMWEX_SANITIZED_MODULE; without it the test is skipped."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import make_tree

HERE = Path(__file__).resolve().parent


def runtime(name: str) -> str:
    found = subprocess.run(["gcc", f"-print-file-name={name}"], capture_output=True, text=True)
    return found.stdout.strip() if os.path.isabs(found.stdout.strip()) else ""


def test_no_memory_errors_undefined_behaviour_or_leaks(tmp_path):
    module = os.environ.get("BRAMWEX_SANITIZED_MODULE", "")
    if not module or not os.path.isfile(module):
        pytest.skip("BRAMWEX_SANITIZED_MODULE names no sanitized build of the module")
    preload = [runtime("libasan.so"), runtime("libubsan.so")] if shutil.which("gcc") else []
    if not all(preload) or not preload:
        pytest.skip("the sanitizer runtimes are not installed")
    (tmp_path / "module").mkdir()
    shutil.copy(module, tmp_path / "module" / "bramwex.abi3.so")
    make_tree(tmp_path / "data")
    (tmp_path / "data" / "pkg" / "__pycache__").mkdir(parents=True)
    env = dict(os.environ, LD_PRELOAD=" ".join(preload), PYTHONMALLOC="malloc",
               ASAN_OPTIONS="detect_leaks=1:abort_on_error=0",
               UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1")
    done = subprocess.run(
        [sys.executable, HERE / "exercise_module.py", tmp_path / "module", tmp_path / "data",
         tmp_path],
        capture_output=True, text=True, env=env, timeout=600)
    report = done.stderr
    assert "exercised" in done.stdout, report[-4000:]
    assert "AddressSanitizer" not in report, report[-4000:]
    assert "runtime error" not in report, report[-4000:]
    leaks = report.split("LeakSanitizer", 1)[-1] if "LeakSanitizer" in report else ""
    assert "bramwex" not in leaks, leaks[:4000]
