"""The Arrow C stream of Tree, read back by the ctypes consumer. Each release
running once is checked in the sanitized run (exercise_module.py)."""
import os
import shutil

import bramwex
from bramwex import Event

from arrow_consumer import (FLAG_NULLABLE, describe_schema, get_next, get_schema, last_error,
                            move_stream, read_columns, read_table, release)
from live_helpers import until


def test_every_column_equals_the_tree_methods_and_removed_folders_are_left_out(tree_dir):
    with bramwex.live(tree_dir, interval=0.01) as live:
        until(live, Event.Ready)
        shutil.rmtree(tree_dir / "alpha" / "deep")  # its records stay in the tree, marked
        tree = None
        while tree is None or tree.find("alpha/deep") is not None:
            tree = until(live, Event.Changed)[1].tree
    stream = move_stream(tree.__arrow_c_stream__(requested_schema=object()))  # any is taken
    schema = get_schema(stream)
    assert schema.format == b"+s" and not schema.metadata and describe_schema(schema) == [
        ("id", "I", 0, None), ("parent", "I", FLAG_NULLABLE, None),
        ("name", "I", 0, "U"),  # dictionary not ordered
        ("size", "L", 0, None), ("own", "L", 0, None), ("denied", "b", 0, None),
        ("partial", "b", 0, None), ("other_device", "b", 0, None)]
    array = get_next(stream)
    assert not get_next(stream).release and last_error(stream) is None  # one batch, then the end
    release(stream)  # the batch outlives the stream
    table, ids = read_columns(array, schema), [0]
    release(array)
    release(schema)
    for folder in ids:
        ids.extend(tree.children(folder))
    assert table["id"] == sorted(ids) and table["parent"][0] is None
    for row, folder in enumerate(table["id"]):
        assert folder == 0 or folder in tree.children(table["parent"][row])
        assert [table[c][row] for c in ("name", "size", "own", "denied", "partial",
                                        "other_device")] == [
            tree.name(folder), tree.size(folder), tree.own(folder),
            tree.error(folder) is not None, tree.partial(folder), tree.other_device(folder)]
    assert sum(table["own"]) == table["size"][0]


def test_names_are_deduplicated_and_made_valid_text(tmp_path):
    for parent in ("a", "b", "c"):
        (tmp_path / parent / "same").mkdir(parents=True)
    os.mkdir(os.fsencode(tmp_path / "b") + b"/bad\xffname")
    os.mkdir(os.fsencode(tmp_path / "c") + b"/bad\xfename")
    table = read_table(bramwex.scan(tmp_path))
    values = table["name_values"]
    assert len(values) == len(set(table["name"])) + 1  # two raw names, one text
    assert values.count("same") == 1
    assert sorted(v for v in values if v.startswith("bad")) == ["bad\ufffdname"] * 2
    # Keys follow first appearance in row order.
    assert list(dict.fromkeys(table["name_keys"])) == list(range(len(values)))
