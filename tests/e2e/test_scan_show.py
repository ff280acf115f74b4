import json
import os
import signal
import subprocess
import time
from pathlib import Path

import pytest

OUTPUT_FLAG_SETS = [[], ["--si"], ["-r"], ["--top", "3"], ["--json"], ["--json", "--depth", "0"],
                    ["--json", "--depth", "2", "--top", "2", "-r", "--si"]]


@pytest.mark.parametrize("flags", OUTPUT_FLAG_SETS, ids=lambda f: " ".join(f) or "plain")
def test_show_prints_exactly_what_scan_printed(bramwex, tree, flags):
    scanned = bramwex.run("scan", tree, *flags)
    assert scanned.returncode == 0, scanned.stderr
    assert scanned.stderr == b""
    shown = bramwex.run("show", tree, *flags)
    assert shown.returncode == 0, shown.stderr
    assert shown.stdout == scanned.stdout
    if "--json" in flags:
        json.loads(scanned.stdout)


def test_json_totals_match_du(bramwex, tree):
    doc = json.loads(bramwex.run("scan", tree, "--json").stdout)
    du = int(subprocess.run(["du", "-s", "-B1", tree], capture_output=True, text=True,
                            check=True).stdout.split()[0])
    assert doc["size"] == du
    assert {child["name"] for child in doc["children"]} == {"alpha", "beta", "empty"}


def test_stop_after_zero_keeps_only_the_roots_own_files(bramwex, tree):
    scanned = bramwex.run("scan", tree, "--stop-after", "0", "--json")
    assert scanned.returncode == 0
    doc = json.loads(scanned.stdout)
    assert doc["incomplete"] is True
    assert doc["children"] == []
    assert doc["own"] == doc["size"]
    text = bramwex.run("show", tree).stdout.decode()
    assert text.splitlines()[0].endswith("  (incomplete: scan stopped)")


def wide_tree(root: Path, folders: int) -> Path:
    for k in range(folders):
        (root / f"d{k // 100}" / f"e{k}").mkdir(parents=True, exist_ok=True)
    return root


def wait_until_walking(pid: int, root: Path) -> None:
    prefix = str(root) + "/"
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        try:
            for fd in os.listdir(f"/proc/{pid}/fd"):
                if os.readlink(f"/proc/{pid}/fd/{fd}").startswith(prefix):
                    return
        except OSError:
            pass
    raise AssertionError("the scan never opened a folder below the root")


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_signal_prints_and_saves_what_was_found(bramwex, tmp_path, signum):
    root = wide_tree(tmp_path / "wide", 40_000)
    # One thread and a wide tree; the signal lands once the walk holds a
    # folder below the root open, so it is surely mid-scan.
    process = bramwex.popen("scan", root, "--threads", "1")
    wait_until_walking(process.pid, root)
    process.send_signal(signum)
    out, err = process.communicate(timeout=60)
    assert process.returncode == 128 + signum, err
    first = out.decode().splitlines()[0]
    assert first.endswith("(incomplete: scan stopped)"), first
    shown = bramwex.run("show", root)
    assert shown.returncode == 0
    assert shown.stdout == out


def test_missing_path_prints_one_error_and_saves_nothing(bramwex, tmp_path):
    missing = tmp_path / "nope"
    result = bramwex.run("scan", missing)
    assert result.returncode == 1
    assert result.stdout == b""
    assert result.stderr == f"bramwex: {missing}: No such file or directory (os error 2)\n".encode()
    assert not bramwex.cache.exists() or not any(bramwex.cache.iterdir())


def test_file_as_path_is_an_error(bramwex, tree):
    result = bramwex.run("scan", tree / "top.txt")
    assert result.returncode == 1
    assert result.stderr == f"bramwex: {tree / 'top.txt'}: Not a directory (os error 20)\n".encode()


@pytest.mark.parametrize("args", [
    ["scan", "--threads", "0", "."],
    ["scan", "--top", "0", "."],
    ["scan", "--top", "1001", "."],
    ["scan", "--reader", "Portable", "."],
    ["scan", "--threads", "many", "."],
    ["scan", "--bogus", "."],
    ["scan"],
    ["show"],
    [".", "scan", "."],
    ["-r", "scan", "."],
])
def test_parse_errors_exit_2(bramwex, args):
    result = bramwex.run(*args)
    assert result.returncode == 2, result
    assert result.stdout == b""
    assert result.stderr


def test_accepted_values(bramwex, tree):
    result = bramwex.run("scan", "--threads", "1", "--top", "1000", "--depth", "0", "--reader",
                         "portable", tree)
    assert result.returncode == 0, result.stderr


def test_help_and_version_exit_0(bramwex):
    version = bramwex.run("--version")
    assert version.returncode == 0
    assert version.stdout == b"bramwex 0.2.0\n"
    for args in (["--help"], ["scan", "--help"], ["help", "show"]):
        result = bramwex.run(*args)
        assert result.returncode == 0, args
        assert b"PATH" in result.stdout


def test_show_never_scanned(bramwex, tree):
    result = bramwex.run("show", tree)
    assert result.returncode == 1
    assert result.stderr == f"bramwex: no saved scan for {tree}\n".encode()


def saved_file(bramwex) -> Path:
    (scan_file,) = bramwex.cache.glob("*.scan")
    return scan_file


def test_show_rejects_every_damaged_byte(bramwex, tree):
    assert bramwex.run("scan", tree).returncode == 0
    path = saved_file(bramwex)
    original = path.read_bytes()
    # Every single flipped byte must be caught; probing each offset through
    # the binary would be slow, so sample evenly plus the header and trailer.
    offsets = sorted(set(range(0, 16)) | set(range(len(original) - 60, len(original)))
                     | set(range(0, len(original), max(1, len(original) // 64))))
    for offset in offsets:
        damaged = bytearray(original)
        damaged[offset] ^= 0x01
        path.write_bytes(bytes(damaged))
        result = bramwex.run("show", tree)
        assert result.returncode == 1, offset
        assert result.stderr == f"bramwex: no saved scan for {tree}\n".encode()
    path.write_bytes(original)
    assert bramwex.run("show", tree).returncode == 0


def test_show_reclaimable_needs_a_reclaimable_scan(bramwex, tree):
    assert bramwex.run("scan", tree).returncode == 0
    result = bramwex.run("show", "-r", tree)
    assert result.returncode == 1
    assert result.stderr == f"bramwex: saved scan for {tree} has no reclaimable sizes\n".encode()


def test_unwritable_cache_still_prints_the_report(bramwex, tree, tmp_path):
    blocker = tmp_path / "blocker"
    blocker.write_text("a file where the cache folder's parent should be")
    env = dict(bramwex.env, BRAMWEX_CACHE_DIR=str(blocker / "cache"))
    result = bramwex.run("scan", tree, env=env)
    assert result.returncode == 0
    assert result.stdout.decode().splitlines()[0].endswith(f"  {tree}")
    assert result.stderr.startswith(b"bramwex: warning: scan not saved: ")


def test_concurrent_saves_never_tear_the_file(bramwex, tree):
    processes = [bramwex.popen("scan", tree) for _ in range(8)]
    for process in processes:
        process.communicate(timeout=60)
        assert process.returncode == 0
    shown = bramwex.run("show", tree)
    assert shown.returncode == 0
    assert not list(bramwex.cache.glob("*.tmp"))


def test_log_file(bramwex, tree, tmp_path):
    env = dict(bramwex.env, BRAMWEX_LOG=str(tmp_path / "missing-dir" / "log"))
    result = bramwex.run("scan", tree, env=env)
    assert result.returncode == 0
    assert result.stderr.startswith(f"bramwex: cannot log to {tmp_path / 'missing-dir' / 'log'}: ".encode())
    env = dict(bramwex.env, BRAMWEX_LOG="")
    result = bramwex.run("scan", tree, env=env)
    assert result.stderr == b""


@pytest.mark.parametrize("flag", ["--threads", "--top", "--depth", "--stop-after"])
@pytest.mark.parametrize("value", ["-2", "0x10", "1e3", "+5"])
def test_counts_are_plain_digits(bramwex, tree, flag, value):
    assert bramwex.run("scan", flag, value, tree).returncode == 2
