"""The interpreter lock is released while the engine works."""
import sys
import threading

import bramwex


def ran_during(work, attempts: int = 1) -> bool:
    """Whether a second thread, let go just before work(), ran before work
    returned (work is repeated up to `attempts` times, for a thread the system
    is slow to wake). With a switch interval far beyond the test's length the
    main thread never hands the lock over by itself: only a call that releases
    it lets the other thread in."""
    ran = []
    go = threading.Lock()
    go.acquire()

    def other():
        with go:
            ran.append(True)

    previous = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    thread = threading.Thread(target=other)
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


def test_scan_releases_the_lock(tmp_path):
    for k in range(300):
        (tmp_path / f"d{k}" / "x").mkdir(parents=True)
    assert ran_during(lambda: bramwex.scan(tmp_path), attempts=50)


def test_reads_keep_the_lock(tmp_path):
    # The same probe sees a call that holds the lock throughout.
    tree = bramwex.scan(tmp_path)
    assert not ran_during(lambda: [tree.size(0) for _ in range(2_000)], attempts=10)
