"""What the browser shows while the folder it browses changes under it: each
row's change against the size its path had when the browser opened, and a
rescan that fails."""
import os
import re
import shutil

from held_opens import HeldOpens
from test_browser import Tui, browse, cache, size_text  # noqa: F401

CHANGE = r"([+-]\d+(?:\.\d+)? \S+)"


def blocks(path):
    return sum(os.lstat(os.path.join(folder, name)).st_blocks * 512
               for folder, subfolders, files in os.walk(path)
               for name in ["", *subfolders, *files])


def title_change(rows):
    found = re.search(CHANGE + " since opened", rows[0])
    return found and found.group(1)


def row_change(rows, name):
    """The change column of the row of folder name; None without one."""
    for row in rows[1:]:
        if re.search(rf"% {name}/", row):
            found = re.search(CHANGE + rf" +\d+\.\d+% {name}/", row)
            return found and found.group(1)
    raise AssertionError(f"no row {name}/:\n" + "\n".join(rows))


def shown(rows, name):
    return any(f"% {name}/" in row for row in rows[1:])


def make(folder, files):
    """The folder with its files, made beside and moved in whole: only shown
    folders are followed, so files written into a new one might go unseen."""
    beside = folder.parent.parent / "beside"
    beside.mkdir()
    for name, size in files.items():
        (beside / name).write_bytes(os.urandom(size))
    beside.rename(folder)


def test_folders_made_again_are_compared_with_their_path_at_opening(tmp_path, cache):
    root = tmp_path / "M"
    root.mkdir()
    make(root / "sub", {"f": 10000})
    make(root / "other", {"o": 5000})
    before = {name: blocks(root / name) for name in ("sub", "other")}
    app = browse(cache, root, columns=200)

    # The removal and the new folder reach the browser one after the other.
    shutil.rmtree(root / "sub")
    app.wait_for(lambda rows: not shown(rows, "sub"))
    make(root / "sub", {"g": 30000})
    grown = f"+{size_text(blocks(root / 'sub') - before['sub'])}"
    app.wait_for(lambda rows: title_change(rows) == grown and shown(rows, "sub"))
    assert row_change(app.rows(), "sub") == grown
    assert row_change(app.rows(), "other") is None

    # Everything below the root made again, other as large as it was.
    shutil.rmtree(root / "sub")
    shutil.rmtree(root / "other")
    app.wait_for(lambda rows: not shown(rows, "sub") and not shown(rows, "other"))
    make(root / "sub", {"g": 30000})
    make(root / "other", {"o": 5000})
    assert blocks(root / "other") == before["other"]
    app.wait_for(lambda rows: shown(rows, "sub") and shown(rows, "other")
                 and title_change(rows) == grown)
    assert row_change(app.rows(), "sub") == grown
    assert row_change(app.rows(), "other") is None
    app.quit()


def test_a_failed_rescan_leaves_the_tree_shown(tmp_path, cache):
    root = tmp_path / "M"
    root.mkdir()
    make(root / "sub", {"f": 10000})
    app = browse(cache, root, columns=200)
    title = app.rows()[0].split(" | ")[0]
    root.rename(tmp_path / "away")
    app.press("S", lambda rows: rows[-1].startswith("cannot scan: "))
    rows = app.rows()
    assert "scanning" not in rows[0]
    assert rows[0].startswith(title), rows[0]
    assert shown(rows, "sub")
    app.quit()



def test_a_failed_first_scan_leaves_the_title_alone(tmp_path, cache):
    root = tmp_path / "brief"
    root.mkdir()
    # The folder goes away right after the browser checked that it can list it.
    with HeldOpens(root) as opens:
        app = Tui(cache, root, columns=120, env={"NO_COLOR": "1"})
        opens.wait()
        root.rmdir()
    app.wait_for(lambda rows: rows[-1].startswith("cannot scan: "))
    rows = app.rows()
    assert rows[-1] == "cannot scan: No such file or directory (os error 2)"
    # No scan runs and no tree is shown: the title is the folder alone.
    assert rows[0] == str(root)
    app.quit()
