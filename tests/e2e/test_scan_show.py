import fcntl
import json
import os
import resource
import signal
import struct
import subprocess
import termios
import time
from pathlib import Path

import pytest

from conftest import binary


@pytest.mark.parametrize("flags", [[], ["--si", "-r", "--top", "3"], ["--json", "--depth", "0"],
                                   ["--json", "--depth", "2", "--top", "2", "-r", "--si"]],
                         ids=lambda f: " ".join(f) or "plain")
def test_show_prints_exactly_what_scan_printed(bramwex, tree, flags):
    scanned = bramwex.run("scan", tree, *flags)
    assert (scanned.returncode, scanned.stderr) == (0, b"")
    shown = bramwex.run("show", tree, *flags)
    assert (shown.returncode, shown.stdout) == (0, scanned.stdout), shown.stderr
    if "--json" in flags:
        json.loads(scanned.stdout)


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


@pytest.mark.parametrize("threads", [[], ["--threads", "1"], ["--threads", "64"]],
                         ids=["automatic", "one", "many"])
def test_short_of_memory_or_threads_ends_with_one_line(bramwex, tmp_path, threads):
    # From too little address space to start the pool's threads, through the
    # walk running out of memory, to enough.
    root = wide_tree(tmp_path / "wide", 20_000)
    endings = set()
    for limit in range(8_000, 72_000, 4_000):
        result = subprocess.run(["bash", "-c", f'ulimit -v {limit}; exec "$0" "$@"', binary(),
                                 "scan", root, *threads], capture_output=True, env=bramwex.env,
                                timeout=120)
        if result.returncode == 127:
            continue  # too little even to load the libraries
        lines = result.stderr.decode().splitlines()
        assert result.returncode in (0, 1) and len(lines) == result.returncode, (limit, lines)
        endings.add(lines[0] if lines else "done")
    assert "done" in endings
    assert all(ending == "bramwex: out of memory" or ending.startswith(
        f"bramwex: {root}: cannot start threads: ") for ending in endings - {"done"}), endings


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
    assert out.decode().splitlines()[0].endswith("(incomplete: scan stopped)")
    assert bramwex.run("show", root).stdout == out


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_a_stop_signal_ignored_at_start_stays_ignored(bramwex, tmp_path, signum):
    # As a shell starts a background job: Ctrl-C meant for the foreground
    # must not cut this scan short.
    root = wide_tree(tmp_path / "wide", 40_000)
    process = bramwex.popen("scan", root, "--threads", "1", ignored=(signum,))
    wait_until_walking(process.pid, root)
    process.send_signal(signum)
    out, err = process.communicate(timeout=120)
    assert (process.returncode, err) == (0, b"")
    assert "incomplete" not in out.decode().splitlines()[0]


@pytest.mark.parametrize("name,error", [("nope", "No such file or directory (os error 2)"),
                                        ("data/top.txt", "Not a directory (os error 20)")])
def test_unscannable_path_prints_one_error_and_saves_nothing(bramwex, tree, name, error):
    path = tree.parent / name
    result = bramwex.run("scan", path)
    assert (result.returncode, result.stdout, result.stderr) == (
        1, b"", f"bramwex: {path}: {error}\n".encode())
    assert not bramwex.cache.exists() or not any(bramwex.cache.iterdir())


# Every count flag out of its range and in a refused spelling (one check
# serves them all), then the other usage errors.
@pytest.mark.parametrize("args", [["scan", *flags, "."] for flags in [
    ["--threads", "0"], ["--threads", "1025"], ["--threads", "4294967297"], ["--threads", "-2"],
    ["--top", "0"], ["--top", "1001"], ["--top", "0x10"], ["--depth", "1e3"],
    ["--stop-after", "18446744073709551616"], ["--stop-after", "+5"], ["--reader", "Portable"],
]] + [["scan"], ["show"], [".", "scan", "."], ["-r", "scan", "."]], ids=" ".join)
def test_parse_errors_exit_2(bramwex, args):
    result = bramwex.run(*args)
    assert (result.returncode, result.stdout) == (2, b""), result
    assert result.stderr


def test_accepted_values_and_help(bramwex, tree):
    result = bramwex.run("scan", "--threads", "1024", "--top", "1000", "--depth", "0", "--reader",
                         "portable", "--stop-after", "18446744073709551615", tree)
    assert result.returncode == 0, result.stderr
    assert bramwex.run("help", "show").stdout.count(b"PATH")


def saved_file(bramwex) -> Path:
    (scan_file,) = bramwex.cache.glob("*.scan")
    return scan_file


def failure(result) -> tuple:
    return result.returncode, result.stderr.decode()


def test_show_needs_an_intact_saved_scan(bramwex, tree):
    # Every damaged byte is the unit tests' business; here, the wording.
    none = (1, f"bramwex: no saved scan for {tree}\n")
    assert failure(bramwex.run("show", tree)) == none
    assert bramwex.run("scan", tree).returncode == 0
    path = saved_file(bramwex)
    original = path.read_bytes()
    path.write_bytes(original[:40] + bytes([original[40] ^ 1]) + original[41:])
    assert failure(bramwex.run("show", tree)) == none
    # A saved scan is a regular file, or a link to one; a FIFO that would
    # block the reader is none, and a folder cannot be read.
    path.unlink()
    os.mkfifo(path)
    assert failure(bramwex.run("show", tree, timeout=10)) == none
    path.unlink()
    path.mkdir()
    status, error = failure(bramwex.run("show", tree, timeout=10))
    assert status == 1 and error.startswith(f"bramwex: cannot read saved scan for {tree}: ")
    assert "Is a directory" in error and error.count("\n") == 1
    path.rmdir()
    elsewhere = path.parent / "elsewhere"
    elsewhere.write_bytes(original)
    path.symlink_to(elsewhere.name)
    assert bramwex.run("show", tree).returncode == 0
    path.unlink()
    elsewhere.rename(path)
    assert failure(bramwex.run("show", "-r", tree)) == (
        1, f"bramwex: saved scan for {tree} has no reclaimable sizes\n")


def test_log_file(bramwex, tree, tmp_path):
    log = tmp_path / "missing-dir" / "log"
    result = bramwex.run("scan", tree, env=dict(bramwex.env, BRAMWEX_LOG=str(log)))
    assert result.returncode == 0
    assert result.stderr.startswith(f"bramwex: cannot log to {log}: ".encode())
    assert bramwex.run("scan", tree, env=dict(bramwex.env, BRAMWEX_LOG="")).stderr == b""


def test_control_characters_in_names_are_escaped(bramwex, tmp_path):
    root = tmp_path / "evil\x1b]0;root\x07"
    names = ["evil\x1b[2J\x1b]0;pwned\x07", "row\n   9 B  forged", "tab\tdel\x7f", "back\\slash",
             "c1\u009b31m"]
    for name in names:
        (root / name).mkdir(parents=True)
        (root / name / "f\rx").write_bytes(b"x" * 5000)
    outputs = [bramwex.run(command, root, "--top", "5") for command in ("scan", "show")]
    for result in outputs:
        assert result.returncode == 0, result.stderr
        assert not {byte for byte in result.stdout if byte < 0x20 or byte == 0x7f} - {0x0a}
        assert b"\xc2\x9b" not in result.stdout
        # Root, five folders, [files] (their entries), blank, heading, five files.
        assert result.stdout.count(b"\n") == 14
    assert outputs[0].stdout == outputs[1].stdout
    text = outputs[0].stdout.decode()
    for shown in ["evil\\x1b]0;root\\x07\n", "evil\\x1b[2J\\x1b]0;pwned\\x07/",
                  "row\\n   9 B  forged/", "tab\\tdel\\x7f/", "back\\\\slash/",
                  "c1\\u{9b}31m/", "/f\\rx\n"]:
        assert shown in text


def test_paths_in_messages_are_escaped_on_one_line(bramwex, tmp_path):
    # "\udcff" is the byte 0xFF, which is not UTF-8.
    evil = "x\x1bc\x1b[31mred\nbramwex: forged\udcff"
    shown = "x\\x1bc\\x1b[31mred\\nbramwex: forged\ufffd"
    folder, missing = tmp_path / evil, tmp_path / "missing" / evil
    folder.mkdir()
    enoent = "No such file or directory (os error 2)"

    def fails(*args, env=None, status=1):
        result = subprocess.run([binary(), *map(str, args)], capture_output=True,
                                env=dict(bramwex.env, **(env or {})), timeout=60)
        assert result.returncode == status, result
        return result.stderr.decode()

    assert fails("scan", missing) == f"bramwex: {tmp_path}/missing/{shown}: {enoent}\n"
    assert fails("show", missing) == (
        f"bramwex: cannot read saved scan for {tmp_path}/missing/{shown}: {enoent}\n")
    assert fails("show", folder) == f"bramwex: no saved scan for {tmp_path}/{shown}\n"
    assert fails("scan", folder, status=0) == ""
    assert fails("show", "-r", folder) == (
        f"bramwex: saved scan for {tmp_path}/{shown} has no reclaimable sizes\n")
    assert fails("show", folder, env={"BRAMWEX_LOG": str(missing)}, status=0) == (
        f"bramwex: cannot log to {tmp_path}/missing/{shown}: {enoent}\n")
    # The cache folder is a path the user gives too.
    (tmp_path / evil / "file").write_bytes(b"")
    cache = {"BRAMWEX_CACHE_DIR": str(folder / "file" / "cache")}
    assert fails("scan", folder, env=cache, status=0) == (
        f"bramwex: warning: scan not saved: {tmp_path}/{shown}/file/cache: "
        "Not a directory (os error 20)\n")
    assert fails("show", folder, env=cache).startswith(
        f"bramwex: cannot read saved scan for {tmp_path}/{shown}: {tmp_path}/{shown}/file/cache/")
    # The browser refuses a missing folder before it needs a terminal.
    assert fails(missing, env={"TERM": "xterm"}) == (
        f"bramwex: {tmp_path}/missing/{shown}: {enoent}\n")
    # Parse errors quote what they refuse.
    assert fails("help", evil, status=2) == f"error: unrecognized subcommand '{shown}'\n"
    assert fails("scan", folder, evil, status=2).splitlines()[0] == (
        f"The following argument was not expected: {shown}")


def test_command_line_texts(bramwex, tree):
    refused = bramwex.run("scan", tree, "x1", "x2", "x3")
    assert refused.returncode == 2
    assert refused.stderr.decode().splitlines()[0] == (
        "The following arguments were not expected: x1 x2 x3")
    asked = bramwex.run("help", "scan").stdout
    assert asked == bramwex.run("scan", "--help").stdout
    assert b"Usage: bramwex scan [OPTIONS] PATH\n" in asked


def test_a_second_signal_ends_the_scan_at_once(bramwex, tmp_path):
    # A report larger than the pipe, never read: the scan cannot finish, and
    # the first SIGINT only asks it to stop.
    root = tmp_path / "flat"
    for k in range(4000):
        (root / f"a-folder-with-a-long-name-{k:05}").mkdir(parents=True)
    process = bramwex.popen("scan", root)
    capacity = fcntl.fcntl(process.stdout, fcntl.F_GETPIPE_SZ)
    deadline = time.monotonic() + 30
    while struct.unpack("i", fcntl.ioctl(process.stdout, termios.FIONREAD, b"\0" * 4))[0] < capacity:
        assert time.monotonic() < deadline, "the report never filled the pipe"
        time.sleep(0.01)
    process.send_signal(signal.SIGINT)
    time.sleep(0.2)
    assert process.poll() is None
    process.send_signal(signal.SIGINT)
    assert process.wait(timeout=30) == -signal.SIGINT
    assert process.stderr.read() == b""


@pytest.mark.parametrize("command", ["scan", "show"])
def test_write_errors_fail_and_closed_pipes_end_quietly(bramwex, tree, command):
    assert bramwex.run("scan", tree).returncode == 0
    with open("/dev/full", "wb") as full:
        result = subprocess.run([binary(), command, tree], stdout=full, stderr=subprocess.PIPE,
                                env=bramwex.env, timeout=60)
    assert failure(result) == (1, "bramwex: write error: No space left on device (os error 28)\n")
    # As a shell pipe to `head` (SIGPIPE kills) and as Python's console script
    # runs it (SIGPIPE ignored): no message either way, and never success.
    for restore_signals in (True, False):
        reader, writer = os.pipe()
        os.close(reader)
        result = subprocess.run([binary(), command, tree], stdout=writer, stderr=subprocess.PIPE,
                                env=bramwex.env, timeout=60, restore_signals=restore_signals)
        os.close(writer)
        assert result.stderr == b""
        assert result.returncode in (-signal.SIGPIPE, 128 + signal.SIGPIPE)


def test_cache_errors_name_the_file(bramwex, tree):
    assert bramwex.run("scan", tree).returncode == 0
    scan_file = saved_file(bramwex)
    scan_file.unlink()
    scan_file.mkdir()
    result = bramwex.run("scan", tree)
    assert result.stdout.decode().splitlines()[0].endswith(f"  {tree}")  # printed all the same
    assert failure(result) == (
        0, f"bramwex: warning: scan not saved: {scan_file}: Is a directory (os error 21)\n")


def test_ties_at_the_largest_files_cutoff_go_to_the_smaller_path(bramwex, tmp_path):
    root = tmp_path / "ties"
    paths = []
    for folder in range(40):
        for k in range(40):
            path = root / f"d{folder:02}" / f"f{k:02}"
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(b"x")
            paths.append(str(path))
    expected = sorted(paths)[:1000]
    for _ in range(3):
        result = bramwex.run("scan", root, "--threads", "8", "--top", "1000")
        listed = result.stdout.decode().split("largest files:\n")[1].splitlines()
        assert [line.lstrip().split("  ", 1)[1] for line in listed] == expected, result.stderr


def test_a_small_descriptor_limit_loses_no_folder(bramwex, tmp_path):
    # A chain of folders, each with a few leaves beside the next one: a walk
    # that kept every folder open until its subfolders were open would need
    # a descriptor per level.
    root = folder = tmp_path / "deep"
    for level in range(150):
        for leaf in range(3):
            (folder / f"l{leaf}").mkdir(parents=True)
            (folder / f"l{leaf}" / "f").write_bytes(b"x" * 5000)
        folder = folder / "d"
    folder.mkdir()
    du = int(subprocess.run(["du", "-s", "-B1", root], capture_output=True).stdout.split()[0])

    def small_limit():  # the hard limit too: the scan raises the soft one itself
        resource.setrlimit(resource.RLIMIT_NOFILE, (32, 32))

    for threads in ["1", "64"]:
        result = subprocess.run([binary(), "scan", root, "--json", "--threads", threads],
                                capture_output=True, env=bramwex.env, timeout=120,
                                preexec_fn=small_limit)
        doc = json.loads(result.stdout)
        assert (result.returncode, doc["size"], "partial" in doc) == (0, du, False), threads


def du_bytes(root: Path) -> int:
    return int(subprocess.run(["du", "-s", "-B1", root], capture_output=True).stdout.split()[0])


def files(folder: Path, count: int) -> None:
    folder.mkdir(parents=True)
    for k in range(count):
        (folder / f"file_{k:06}").write_bytes(b"x")


@pytest.mark.parametrize("stop_after", ["0", "1"])
def test_stop_after_counts_folders_and_lists_each_whole(bramwex, tmp_path, stop_after):
    # Folders that take many batches to list: stop-after 0 leaves out the one
    # folder below the root, yet lists the root whole; stop-after 1 lets that
    # folder in, whole, and so stops nothing.
    root = tmp_path / "s"
    files(root, 5000)
    files(root / "d", 5000)
    result = bramwex.run("scan", root, "--json", "--stop-after", stop_after)
    doc = json.loads(result.stdout)
    expected = du_bytes(root) - (du_bytes(root / "d") if stop_after == "0" else 0)
    assert (result.returncode, doc["size"], "incomplete" in doc) == (
        0, expected, stop_after == "0"), result.stderr


@pytest.mark.parametrize("threads", [[], ["--threads", "2"]], ids=["automatic", "two"])
def test_scan_on_one_cpu_returns(bramwex, tmp_path, threads):
    root = wide_tree(tmp_path / "wide", 400)
    one_cpu = min(os.sched_getaffinity(0))
    # A scan that never returns is killed at the deadline: a failure, not a hang.
    result = subprocess.run([binary(), "scan", root, "--json", *threads], capture_output=True,
                            env=bramwex.env, timeout=60,
                            preexec_fn=lambda: os.sched_setaffinity(0, {one_cpu}))
    assert (result.returncode, json.loads(result.stdout)["size"]) == (0, du_bytes(root))
