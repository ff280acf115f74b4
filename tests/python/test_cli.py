"""_cli from Python and its console script; the command line itself is tested
on the binary in tests/e2e."""
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest


def run_cli(argv, prelude="", cache="/nonexistent"):
    code = f"import sys, bramwex\n{prelude}\nsys.argv = {argv}\nsys.exit(bramwex._cli())\n"
    env = {k: v for k, v in os.environ.items() if k != "BRAMWEX_LOG"}
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=dict(env, BRAMWEX_CACHE_DIR=str(cache)), timeout=120)


def test_scan_prints_after_pythons_own_text_and_parse_errors_exit_2(tmp_path):
    (tmp_path / "data").mkdir()
    done = run_cli(["bramwex", "scan", "--json", str(tmp_path / "data")],
                   "print('before', flush=False)", tmp_path / "cache")
    before, document = done.stdout.split("\n", 1)
    assert before == "before"  # Python's buffered text comes out first
    assert json.loads(document)["name"] == str(tmp_path / "data")
    bad = run_cli(("bramwex", "scan", "--no-such-flag", "/"))  # a tuple is a sequence too
    assert bad.returncode == 2 and bad.stderr and not bad.stdout


def test_out_of_memory_is_one_line(tmp_path):
    root = tmp_path / "wide"
    for k in range(20_000):
        (root / f"d{k // 100}" / f"e{k}").mkdir(parents=True, exist_ok=True)
    endings = set()
    for room in range(4, 68, 8):  # MiB of address space beyond what is in use
        limit = ("import resource\n"
                 "size = int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()\n"
                 f"resource.setrlimit(resource.RLIMIT_AS, (size + ({room} << 20), -1))\n")
        done = run_cli(["bramwex", "scan", "--threads", "1", str(root)], limit, tmp_path)
        assert done.returncode in (0, 1) and done.stderr.count("\n") == done.returncode, done
        endings.add(done.stderr or "done")
    assert endings == {"bramwex: out of memory\n", "done"}


def test_the_console_script():
    script = Path(sys.executable).parent / "bramwex"
    if not script.exists():
        pytest.skip("the module is not installed with its console script here")
    done = subprocess.run([str(script), "--version"], capture_output=True, text=True)
    assert (done.returncode, done.stdout) == (0, "bramwex 0.2.0\n")


@pytest.mark.parametrize("argv", ["'bramwex --version'", "42", "['bramwex', b'--version']"])
def test_argv_must_be_a_sequence_of_str(argv):
    assert "TypeError" in run_cli(argv).stderr


# After `scan`, in the same interpreter, Ctrl-C interrupts again and SIGTERM
# reaches the handler that was there before, however the scan ended.
STOPPER = """
import threading
def target(fd):
    try:
        return os.readlink(f"/proc/self/fd/{fd}")
    except OSError:
        return ""
def stop_once_walking(prefix):
    while not any(target(fd).startswith(prefix) for fd in os.listdir("/proc/self/fd")):
        pass
    os.kill(os.getpid(), signal.SIGINT)
threading.Thread(target=stop_once_walking, args=(sys.argv[-1] + "/",), daemon=True).start()
"""


@pytest.mark.parametrize("scanned,status", [("data", 0), ("missing", 1), ("wide", 130)])
def test_scan_gives_the_signal_handlers_back(tmp_path, scanned, status):
    for k in range(20_000 if scanned == "wide" else 0):
        (tmp_path / "wide" / f"d{k // 100}" / f"e{k}").mkdir(parents=True, exist_ok=True)
    (tmp_path / "data").mkdir()
    code = (f"import os, signal, sys, bramwex\n"
            "signal.signal(signal.SIGINT, signal.default_int_handler)\n"  # even if started ignored
            f"sys.argv = ['bramwex', 'scan', '--threads', '1', {str(tmp_path / scanned)!r}]\n"
            "terms = []\n"
            "signal.signal(signal.SIGTERM, lambda *_: terms.append(1))\n"
            f"{STOPPER if status == 130 else ''}"
            "status = bramwex._cli()\n"
            "os.kill(os.getpid(), signal.SIGTERM)\n"
            "try:\n"
            "    os.kill(os.getpid(), signal.SIGINT)\n"
            "    print('no KeyboardInterrupt')\n"
            "except KeyboardInterrupt:\n"
            "    print('interrupted', terms)\n"
            "sys.exit(status)\n")
    env = {k: v for k, v in os.environ.items() if k != "BRAMWEX_LOG"}
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=dict(env, BRAMWEX_CACHE_DIR=str(tmp_path / "cache")), timeout=120)
    assert done.stdout.endswith("interrupted [1]\n"), done
    assert done.returncode == status, done


def test_an_ignored_sigint_stays_ignored_through_scan(tmp_path):
    for k in range(20_000):
        (tmp_path / "wide" / f"d{k // 100}" / f"e{k}").mkdir(parents=True, exist_ok=True)
    code = (f"import os, signal, sys, bramwex\n"
            "signal.signal(signal.SIGINT, signal.SIG_IGN)\n"
            f"sys.argv = ['bramwex', 'scan', '--threads', '1', {str(tmp_path / 'wide')!r}]\n"
            f"{STOPPER}"
            "sys.exit(bramwex._cli())\n")
    env = {k: v for k, v in os.environ.items() if k != "BRAMWEX_LOG"}
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=dict(env, BRAMWEX_CACHE_DIR=str(tmp_path / "cache")), timeout=120)
    assert (done.returncode, done.stderr) == (0, ""), done
    assert "incomplete" not in done.stdout, done
