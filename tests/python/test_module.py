"""The module's surface: names, docstrings, classes and the value classes."""
import inspect

import bramwex
import pytest

FUNCTION_DOCS = {
    "scan": "scan(path, threads=None)\n--\n\nScans `path` with `threads` threads, or as many "
            "as help, with the GIL\nreleased.",
    "load": "load(path)\n--\n\nThe scan `Tree.save` wrote to `path` (`~` expanded). "
            "`ValueError` if\nthe file is not one, or is of another version of bramwex.",
    "mounts": "mounts()\n--\n\nEvery mounted filesystem, with its sizes.",
    "_cli": "_cli()\n--\n\nThe `bramwex` console script: the command line, from `sys.argv`.",
}

CLASS_DOCS = {
    "Tree": "A scanned tree. Every method takes a folder id.",
    "Mount": "A mounted filesystem.",
    "Label": "What a folder is and how to clean it up.",
    "Tier": "How safe deleting a labelled folder is.",
    "Reason": "Why changes were missed. `str()` says it\nin words.",
}

TREE_SIGNATURES = {
    "name": "(self, id)", "path": "(self, id)", "size": "(self, id)", "own": "(self, id)",
    "error": "(self, id)", "partial": "(self, id)", "other_device": "(self, id)",
    "children": "(self, id)", "find": "(self, path)", "files": "(self, id)",
    "label": "(self, id)", "save": "(self, path)", "largest_files": "(self, n=100)",
    "stopped": "(self)", "__arrow_c_stream__": "(self, requested_schema=None)",
}


def test_names_in_order():
    # live, Event and Live join them with live following.
    assert bramwex.__all__ == ["scan", "load", "mounts", "_cli", "Tree", "Mount", "Label",
                               "Tier", "Reason"]
    assert bramwex.__doc__ == ""
    for hidden in ("Next", "Scanning", "Ready", "Changed", "Missed", "live", "Event", "Live"):
        assert not hasattr(bramwex, hidden)
    assert bramwex.__file__.endswith(".abi3.so")


def test_functions_and_their_docstrings():
    for name, doc in FUNCTION_DOCS.items():
        function = getattr(bramwex, name)
        assert function.__module__ == "bramwex" and function.__self__ is bramwex
        assert function.__doc__ == doc.split("\n--\n\n", 1)[1]
        assert function.__text_signature__ == "(" + doc.split("(", 1)[1].split(")")[0] + ")"
    assert str(inspect.signature(bramwex.scan)) == "(path, threads=None)"


def test_classes():
    for name, doc in CLASS_DOCS.items():
        cls = getattr(bramwex, name)
        assert cls.__module__ == "bramwex" and cls.__name__ == name and cls.__doc__ == doc
        with pytest.raises(TypeError, match=f"^cannot create 'bramwex.{name}' instances$"):
            cls()
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    docs = {name: getattr(bramwex.Tree, name).__doc__ for name in TREE_SIGNATURES}
    assert docs["files"] == "Listed from disk now, as the tree keeps only folder totals."
    assert docs["label"] == ("What folder `id` is, if a rule knows it, by its name and a look "
                             "at\nthe disk now.")
    assert docs["save"] == ("Saves the scan as the file `path` (`~` expanded), over any "
                            "file\nthere, for `bramwex.load`.")
    assert docs["__arrow_c_stream__"] == ("Every folder as a row, for `pyarrow.table(tree)`, "
                                          "polars, duckdb.")
    for name, signature in TREE_SIGNATURES.items():
        assert getattr(bramwex.Tree, name).__text_signature__ == signature.replace("self", "$self")
        if name not in ("files", "label", "save", "__arrow_c_stream__"):
            assert docs[name] is None


def test_tier_and_reason_members():
    Tier, Reason = bramwex.Tier, bramwex.Reason
    assert Tier.Known is Tier.Known
    assert [int(t) for t in (Tier.System, Tier.Cache, Tier.Known)] == [0, 1, 2]
    assert [repr(t) for t in (Tier.System, Tier.Cache, Tier.Known)] == [
        "Tier.System", "Tier.Cache", "Tier.Known"]
    assert str(Tier.Cache) == "Tier.Cache"
    members = [Reason.Dropped, Reason.IdsWrapped, Reason.RootMoved, Reason.NoReplay,
               Reason.MustScan]
    assert [int(r) for r in members] == [0, 1, 2, 3, 4]
    assert [repr(r) for r in members] == ["Reason.Dropped", "Reason.IdsWrapped",
                                          "Reason.RootMoved", "Reason.NoReplay",
                                          "Reason.MustScan"]
    assert [str(r) for r in members] == [
        "the OS dropped change events",
        "macOS event ids wrapped",
        "the scanned dir moved",
        "macOS did not replay the changes made while scanning within 30 s",
        "the OS asked to scan it again",
    ]


def test_value_classes_compare_only_within_their_class():
    Tier, Reason = bramwex.Tier, bramwex.Reason
    assert Tier.Cache == Tier.Cache and Tier.Cache != Tier.Known
    assert not (Tier.Cache != Tier.Cache)
    assert Tier.System != 0 and not (Tier.System == 0) and int(Tier.System) == 0
    assert Reason.Dropped != 0 and Reason.Dropped != Tier.System
    for a, b in ((Tier.System, Tier.Cache), (Reason.Dropped, Reason.MustScan)):
        for order in ("__lt__", "__le__", "__gt__", "__ge__"):
            assert getattr(a, order)(b) is NotImplemented
        with pytest.raises(TypeError):
            a < b
    for member in (Tier.Cache, Reason.NoReplay):
        with pytest.raises(TypeError):
            hash(member)
        with pytest.raises(TypeError):
            {member}
    with pytest.raises(AttributeError):
        Tier.Cache.value = 3


def test_mounts():
    mounts = bramwex.mounts()
    assert mounts and all(isinstance(m, bramwex.Mount) for m in mounts)
    root = [m for m in mounts if str(m.point) == "/"]
    assert root, "the root file system is mounted"
    m = root[-1]
    assert isinstance(m.fs, str) and m.hidden is False and m.total >= m.free
    assert repr(m) == (f'Mount(point="/", fs="{m.fs}", hidden=False, total={m.total}, '
                       f"used={m.used}, free={m.free})")
    assert m == m and m != root[-1].point
    with pytest.raises(TypeError):
        hash(m)


def test_mount_points_as_paths_and_in_quotes(tmp_path, mounted):
    import os
    from pathlib import Path

    odd = mounted(tmp_path / 'say "hi"\\there\tnow')
    raw = mounted(Path(os.fsdecode(os.fsencode(tmp_path) + b"/caf\xe9")))
    by_point = {m.point: m for m in bramwex.mounts()}
    shown = repr(by_point[odd])
    assert shown.startswith(f'Mount(point="{tmp_path}/say \\"hi\\"\\\\there\\tnow", fs="tmpfs", ')
    assert os.fsencode(by_point[raw].point) == os.fsencode(raw)
    assert f'point="{tmp_path}/caf\ufffd"' in repr(by_point[raw])


def test_only_the_main_interpreter_imports_it():
    # The classes are made once per process; a sub-interpreter gets none.
    subinterpreters = pytest.importorskip("_xxsubinterpreters")
    interpreter = subinterpreters.create()
    try:
        subinterpreters.run_string(
            interpreter,
            "try:\n    import bramwex\nexcept ImportError as e:\n"
            "    assert 'sub-interpreter' in str(e)\nelse:\n    raise AssertionError('imported')\n")
    finally:
        subinterpreters.destroy(interpreter)
    import importlib
    import sys

    del sys.modules["bramwex"]
    again = importlib.import_module("bramwex")
    assert again is not bramwex and again.Tree is bramwex.Tree
    sys.modules["bramwex"] = bramwex
