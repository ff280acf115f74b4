"""Ctrl-C reaches Python while a scan runs, not only once it is over."""
import os
import signal
import subprocess
import sys
import time

import pytest

CHILD = """
import sys, time, bramwex
print("go", flush=True)
try:
    bramwex.scan(sys.argv[1], threads=1)
    print("finished")
except KeyboardInterrupt:
    print("interrupted", time.monotonic())
"""


@pytest.fixture(scope="module")
def many_folders(tmp_path_factory):
    # The engine asks its stop test once per folder: many folders, each
    # small, make a scan long enough to interrupt.
    root = tmp_path_factory.mktemp("many")
    for a in range(100):
        os.mkdir(f"{root}/{a}")
        for b in range(300):
            os.mkdir(f"{root}/{a}/{b}")
    return root


def test_sigint_raises_keyboard_interrupt_within_100_ms(many_folders):
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(many_folders)],
                             stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "go\n"
    time.sleep(0.03)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=120)
    word, *when = out.split()
    assert word == "interrupted", "the scan ended before the signal came"
    assert float(when[0]) - sent < 0.1
