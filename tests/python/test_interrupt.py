"""Ctrl-C reaches Python while a scan runs, not only once it is over."""
import contextlib
import os
import signal
import subprocess
import sys

from live_helpers import eventually

# Python's handler runs where the signal is seen: while scan() waits for its
# scan thread, or once scan() is over and that thread is joined.
CHILD = """
import os, signal, sys, bramwex
def interrupt(*_):
    print("during" if len(os.listdir("/proc/self/task")) > 1 else "after", flush=True)
    raise KeyboardInterrupt
signal.signal(signal.SIGINT, interrupt)
print("go", flush=True)
try:
    bramwex.scan(sys.argv[1], threads=1)
except KeyboardInterrupt:
    print("interrupted")
"""


def test_sigint_interrupts_a_running_scan(tmp_path):
    # The engine asks its stop test once per folder: many small folders make
    # a scan long enough to be interrupted while it walks.
    for a in range(100):
        for b in range(300):
            os.makedirs(tmp_path / str(a) / str(b))
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(tmp_path)],
                             stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "go\n"

    def walking():  # the scan holds a folder of the tree open
        with contextlib.suppress(OSError):
            return any(os.readlink(f"/proc/{child.pid}/fd/{fd}").startswith(f"{tmp_path}/")
                       for fd in os.listdir(f"/proc/{child.pid}/fd"))

    assert eventually(walking, 60), "the scan ended before it was seen walking"
    child.send_signal(signal.SIGINT)
    assert child.communicate(timeout=120)[0] == "during\ninterrupted\n"
