"""The Arrow C stream of Tree, read back by the ctypes consumer."""
import gc
import os

import bramwex

from arrow_consumer import (FLAG_NULLABLE, ReleaseCounter, describe_schema, get_next, get_schema,
                            last_error, move_stream, read_columns, read_table, release, stream_in)


def all_ids(tree):
    ids, todo = [], [0]
    while todo:
        folder = todo.pop()
        ids.append(folder)
        todo.extend(tree.children(folder))
    return sorted(ids)


def test_schema_formats_and_flags(tree_dir):
    stream = move_stream(bramwex.scan(tree_dir).__arrow_c_stream__())
    schema = get_schema(stream)
    assert schema.format == b"+s" and schema.n_children == 8 and not schema.metadata
    assert describe_schema(schema) == [
        ("id", "I", 0, None),
        ("parent", "I", FLAG_NULLABLE, None),
        ("name", "I", 0, "U"),  # dictionary not ordered
        ("size", "L", 0, None),
        ("own", "L", 0, None),
        ("denied", "b", 0, None),
        ("partial", "b", 0, None),
        ("other_device", "b", 0, None),
    ]
    # get_schema may be asked again; each schema is the caller's own.
    again = get_schema(stream)
    assert describe_schema(again) == describe_schema(schema)
    for record in (schema, again, stream):
        release(record)
        assert not record.release


def test_every_column_equals_the_tree_methods(tree_dir):
    os.chmod(tree_dir / "beta", 0)
    try:
        tree = bramwex.scan(tree_dir)
    finally:
        os.chmod(tree_dir / "beta", 0o755)
    table = read_table(tree)
    ids = all_ids(tree)
    assert table["id"] == ids
    assert table["parent"][0] is None
    for row, folder in enumerate(ids):
        if folder:
            assert folder in tree.children(table["parent"][row])
        assert table["name"][row] == tree.name(folder)
        assert table["size"][row] == tree.size(folder)
        assert table["own"][row] == tree.own(folder)
        assert table["denied"][row] == (tree.error(folder) is not None)
        assert table["partial"][row] == tree.partial(folder)
        assert table["other_device"][row] == tree.other_device(folder)
    assert sum(table["own"]) == table["size"][0]
    if os.geteuid() != 0:  # root reads every folder regardless of its mode
        assert any(table["denied"]) and table["partial"][0]


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
    first_seen = list(dict.fromkeys(table["name_keys"]))
    assert first_seen == list(range(len(values)))


def test_one_batch_then_the_end_and_each_release_runs_once(tree_dir):
    tree = bramwex.scan(tree_dir)

    # Unconsumed: dropping the capsule releases the stream, once.
    capsule = tree.__arrow_c_stream__()
    dropped = ReleaseCounter(stream_in(capsule))
    del capsule
    gc.collect()
    assert dropped.calls == 1

    # Moved: the capsule no longer releases it; the consumer does, once.
    capsule = tree.__arrow_c_stream__(requested_schema=object())  # any schema is taken
    stream = move_stream(capsule)
    moved = ReleaseCounter(stream)
    del capsule
    gc.collect()
    assert moved.calls == 0
    schema, array = get_schema(stream), get_next(stream)
    assert array.release and array.n_children == 8 and array.length == len(all_ids(tree))
    assert not get_next(stream).release and last_error(stream) is None
    counters = [ReleaseCounter(schema), ReleaseCounter(array)]
    # The batch outlives the stream: arrays are read after it is gone.
    release(stream)
    assert moved.calls == 1 and not stream.release
    assert read_columns(array, schema) == read_table(tree)
    release(array)
    release(schema)
    assert [c.calls for c in counters] == [1, 1]
    assert not array.release and not schema.release
