"""Folders shown by the browser that change on disk while it runs: it follows
them by listing them again now and then."""
import os
import shutil

from test_browser import Tui, cache, scanned  # noqa: F401


def middle(rows):
    """The columns, without the title line and the two bottom lines that tick."""
    return rows[1:-2]


def shows(rows, *names):
    return all(any(f" {name}" in row for row in middle(rows)) for name in names)


def test_leaving_a_deleted_folder_goes_to_the_nearest_that_exists_at_once(cache, tmp_path):
    data = tmp_path / "data"
    (data / "top" / "mid" / "low" / "deep").mkdir(parents=True)
    (data / "top" / "mid" / "low" / "deep" / "f.bin").write_bytes(b"f" * 30000)
    (data / "top" / "mid" / "low" / "e.txt").write_bytes(b"e" * 3000)
    (data / "keep").mkdir()
    (data / "keep" / "k.bin").write_bytes(b"k" * 5000)
    app = Tui(cache, data, env={"NO_COLOR": "1"})
    app.wait_for(scanned)
    app.press("l", lambda rows: shows(rows, "mid/"))
    app.press("l", lambda rows: shows(rows, "low/"))
    app.press("l", lambda rows: shows(rows, "e.txt", "f.bin"))
    app.pump(0.3)
    inside = middle(app.rows())

    # Moved out of the tree first, so that no listing sees it half removed.
    os.rename(data / "top", tmp_path / "trash")
    shutil.rmtree(tmp_path / "trash")
    seen = []

    def at_root(rows):
        seen.append(middle(rows))
        return shows(rows, "keep/") and not shows(rows, "top/")

    app.wait_for(at_root)
    # Every screen until then is the folder left as it was: none shows a gone
    # folder on the way up.
    distinct = [screen for k, screen in enumerate(seen) if k == 0 or screen != seen[k - 1]]
    assert all(screen == inside for screen in seen[:-1]), "\n--\n".join(map("\n".join, distinct))
    app.quit()


def test_a_filter_whose_folder_went_stops_being_edited(cache, tmp_path):
    data = tmp_path / "data"
    (data / "sub").mkdir(parents=True)
    (data / "sub" / "x.bin").write_bytes(b"x" * 5000)
    (data / "other").mkdir()
    app = Tui(cache, data, env={"NO_COLOR": "1"})
    app.wait_for(scanned)
    app.press("l", lambda rows: shows(rows, "x.bin"))
    app.press("/x", lambda rows: rows[-1].startswith("/x"))
    os.rename(data / "sub", data / "moved")
    app.wait_for(lambda rows: shows(rows, "moved/", "other/") and not shows(rows, "sub/"))
    assert not app.rows()[-1].startswith("/"), app.rows()
    app.quit()
