"""Following where /proc is not mounted (containers, chroots, sandboxes): a
child in a mount namespace of its own, with a tmpfs over /proc, follows a
tree. Every folder is watched, and what cannot be is reported as missed."""
import os
import subprocess
import sys

import pytest

pytestmark = pytest.mark.timeout(180)

CHILD = """
import os, shutil, subprocess, sys, threading
import bramwex
from bramwex import Event, Reason

top, mode = sys.argv[1], sys.argv[2]
if os.path.exists("/proc/self"):
    sys.exit("/proc is still mounted")


def events(live, seconds=30):
    timer = threading.Timer(seconds, live.close)
    timer.start()
    try:
        for event in live:  # not "yield from": it would close the live when left
            yield event
    finally:
        timer.cancel()


def du(folder):
    return sum(os.lstat(os.path.join(path, name)).st_blocks * 512
               for path, folders, files in os.walk(folder) for name in [".", *files])


def ready(live):
    return next(e for e in events(live) if isinstance(e, Event.Ready))


def missed_after_ready(root):
    with bramwex.live(root, interval=0.01) as live:
        ready(live)
        for event in events(live, 10):
            if isinstance(event, Event.Missed):
                print(event.reason == Reason.Dropped, live.follows_all())
                return
        print("nothing missed")


if mode == "folders":
    root = os.path.join(top, "tree")
    os.makedirs(f"{root}/a/b")
    open(f"{root}/a/b/file", "wb").close()
    with bramwex.live(root, interval=0.01) as live:
        ready(live)
        open(f"{root}/a/b/file", "wb").write(b"w" * 200_000)
        os.mkdir(f"{root}/a/new")
        open(f"{root}/a/new/file", "wb").write(b"n" * 30_000)
        want = {"a/b": du(f"{root}/a/b"), "a/new": du(f"{root}/a/new")}
        seen = None
        for event in events(live):
            if isinstance(event, Event.Changed):
                tree = event.tree
                seen = {p: (f := tree.find(p)) is not None and tree.size(f) for p in want}
                if seen == want:
                    print("seen", live.follows_all())
                    break
        else:
            print(f"saw {seen}, not {want}")
elif mode == "deep":
    # A folder whose path is too long to watch it by.
    root = os.path.join(top, "deep")
    os.mkdir(root)
    fd = os.open(root, os.O_RDONLY)
    for _ in range(5000 // 41):
        os.mkdir("d" * 40, dir_fd=fd)
        below = os.open("d" * 40, os.O_RDONLY, dir_fd=fd)
        os.close(fd)
        fd = below
    os.close(fd)
    missed_after_ready(root)
    shutil.rmtree(root)
elif mode == "devpts":
    # A file system inotify sees no changes of, known without the mount table.
    root = os.path.join(top, "pts")
    os.mkdir(root)
    if subprocess.run(["mount", "-t", "devpts", "-o", "newinstance", "devpts", root]).returncode:
        print("skip: cannot mount a devpts here")
    else:
        missed_after_ready(root)
"""


def run_without_proc(tmp_path, mode):
    unshare = ["unshare", "-m"] if os.geteuid() == 0 else ["unshare", "-rm"]
    script = 'mount -t tmpfs none /proc || { echo "skip: cannot hide /proc"; exit 0; }; exec "$@"'
    try:
        probe = subprocess.run([*unshare, "true"], capture_output=True, timeout=30)
    except FileNotFoundError:
        pytest.skip("no unshare here")
    if probe.returncode != 0:
        pytest.skip(f"cannot make a mount namespace: {probe.stderr.decode().strip()}")
    done = subprocess.run([*unshare, "sh", "-c", script, "sh", sys.executable, "-c", CHILD,
                           str(tmp_path), mode], capture_output=True, text=True, timeout=150)
    if done.stdout.startswith("skip:"):
        pytest.skip(done.stdout.strip())
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_without_proc_every_folder_is_watched(tmp_path):
    assert run_without_proc(tmp_path, "folders") == "seen True\n"


def test_without_proc_a_folder_that_cannot_be_watched_is_missed(tmp_path):
    assert run_without_proc(tmp_path, "deep") == "True True\n"


def test_without_proc_a_file_system_inotify_cannot_see_is_polled(tmp_path):
    assert run_without_proc(tmp_path, "devpts") == "True False\n"
