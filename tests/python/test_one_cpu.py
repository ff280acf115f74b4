"""Scans return on a process held to one CPU, whatever the thread count, and
a pool that asked for more threads than the CPUs leaves none behind."""
import subprocess
import sys

# Scans with more threads than the one CPU, then a live following whose pool
# ends first and a scan that needs no more threads than the CPU gives.
CHILD = """
import os, sys, bramwex
os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
root = sys.argv[1]
threads = len(os.listdir("/proc/self/task"))
for count in (None, 2, 8):
    assert bramwex.scan(root, threads=count).size(0) > 0
with bramwex.live(root, threads=4) as live:
    for event in live:
        if isinstance(event, bramwex.Event.Ready):
            break
assert bramwex.scan(root, threads=1).size(0) > 0
print(len(os.listdir("/proc/self/task")) - threads, flush=True)
"""


def test_scans_on_one_cpu_return(tmp_path):
    for k in range(400):
        (tmp_path / f"d{k % 20}" / f"e{k}").mkdir(parents=True)
    # A scan that never returns is killed at the deadline: a failure, not a hang.
    done = subprocess.run([sys.executable, "-c", CHILD, str(tmp_path)], capture_output=True,
                          text=True, timeout=60)
    assert (done.returncode, done.stdout) == (0, "0\n"), done.stderr
