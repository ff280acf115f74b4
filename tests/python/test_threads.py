"""The interpreter lock is released while the engine works."""
import os
import shutil
import subprocess
import sys
import threading

import bramwex
import pytest


def ran_during(work, attempts: int = 1) -> bool:
    """Whether a second thread, let go just before work(), ran before work
    returned (up to `attempts` times, for a thread slow to wake). With a switch
    interval far beyond the test's length only a call that releases the lock
    lets the other thread in."""
    ran, go = [], threading.Lock()
    go.acquire()
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    thread = threading.Thread(target=lambda: go.acquire() and ran.append(True))
    try:
        thread.start()
        go.release()
        for _ in range(attempts):
            work()
            if ran:
                break
        during = bool(ran)
    finally:
        sys.setswitchinterval(previous)
    thread.join()
    return during


def test_scan_releases_the_lock_and_reads_keep_it(tmp_path):
    for k in range(300):
        (tmp_path / f"d{k}" / "x").mkdir(parents=True)
    assert ran_during(lambda: bramwex.scan(tmp_path), attempts=50)
    tree = bramwex.scan(tmp_path)  # the same probe sees a call that holds the lock
    assert not ran_during(lambda: [tree.size(0) for _ in range(2_000)], attempts=10)


GETENV_SPY = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <string.h>
#include <unistd.h>
/* Says on stderr whether each read of HOME holds the interpreter lock. */
char* getenv(const char* name) {
    static char* (*real)(const char*);
    if (!real) real = (char* (*)(const char*))dlsym(RTLD_NEXT, "getenv");
    int (*ready)(void) = (int (*)(void))dlsym(RTLD_DEFAULT, "Py_IsInitialized");
    int (*held)(void) = (int (*)(void))dlsym(RTLD_DEFAULT, "PyGILState_Check");
    if (strcmp(name, "HOME") == 0 && ready && held && ready()) {
        const char* said = held() ? "HOME read with the GIL\n" : "HOME read without the GIL\n";
        write(2, said, strlen(said));
    }
    return real(name);
}
"""


def test_label_reads_home_once_holding_the_lock(tmp_path):
    if not shutil.which("gcc"):
        pytest.skip("no C compiler for the getenv spy")
    (tmp_path / "spy.c").write_text(GETENV_SPY)
    subprocess.run(["gcc", "-shared", "-fPIC", "-o", tmp_path / "spy.so", tmp_path / "spy.c",
                    "-ldl"], check=True)
    (tmp_path / "data" / "node_modules").mkdir(parents=True)
    code = ("import sys, bramwex\nt = bramwex.scan(sys.argv[1])\n"
            "print([t.label(t.find('node_modules')).text for _ in range(3)])\n")
    done = subprocess.run([sys.executable, "-c", code, str(tmp_path / "data")],
                          capture_output=True, text=True,
                          env=dict(os.environ, LD_PRELOAD=str(tmp_path / "spy.so")))
    assert done.stdout == "['cache: npm', 'cache: npm', 'cache: npm']\n", done.stderr
    assert done.stderr.splitlines() == ["HOME read with the GIL"]
