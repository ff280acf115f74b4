"""A short seeded churn against a followed tree; churn.py runs long ones."""
import pytest

from churn import churn

pytestmark = pytest.mark.timeout(600)


def test_after_churn_the_followed_tree_is_a_fresh_scan_and_du(tmp_path):
    # Writers race each other: deep folder moves, subtrees moved in and on at
    # once, hard links grown and unlinked, folders replaced under their own
    # names and exchanged. Each round must end where a fresh scan and du end,
    # folder by folder.
    rounds = churn(tmp_path, rounds=2, seconds=2, writers=(2, 3), seed=5, interval=0.05,
                   folders=120, settle_limit=120)
    assert [(r.number, r.differences) for r in rounds] == [(1, []), (2, [])]
    assert all(r.operations > 100 and r.settled is not None for r in rounds), rounds
