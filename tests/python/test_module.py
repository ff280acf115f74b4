"""The module's surface: closed classes, value classes, mounts, one interpreter."""
import importlib
import os
import sys
from pathlib import Path

import bramwex
import pytest

CLASSES = {"Tree": "size", "Mount": "point", "Label": "tier", "Tier": "Known",
           "Reason": "Dropped"}


@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_closed(name):
    cls, member = getattr(bramwex, name), CLASSES[name]
    assert cls.__module__ == "bramwex" and cls.__name__ == name
    with pytest.raises(TypeError, match=f"^cannot create 'bramwex.{name}' instances$"):
        cls()
    kept = getattr(cls, member)
    for change in (lambda: type("Sub", (cls,), {}), lambda: setattr(cls, member, 5),
                   lambda: delattr(cls, member), lambda: setattr(cls, "added", 5)):
        with pytest.raises(TypeError):
            change()
    assert getattr(cls, member) is kept


def test_value_classes_compare_only_within_their_class():
    Tier, Reason = bramwex.Tier, bramwex.Reason
    assert Tier.Cache != Tier.Known and not (Tier.Cache != Tier.Cache) and Tier.System != 0
    assert not (Tier.System == 0) and Reason.Dropped != Tier.System
    for bad in (lambda: Tier.System < Tier.Cache, lambda: Reason.Dropped < Reason.MustScan,
                lambda: {Tier.System}, lambda: {Reason.Dropped}):  # unordered, unhashable
        with pytest.raises(TypeError):
            bad()
    with pytest.raises(AttributeError):
        Tier.Cache.value = 3


def test_mounts_with_points_as_paths_and_in_quotes(tmp_path, mounted):
    (root, *_) = [m for m in reversed(bramwex.mounts()) if str(m.point) == "/"]
    assert isinstance(root.fs, str) and root.hidden is False and root.total >= root.free
    assert repr(root) == (f'Mount(point="/", fs="{root.fs}", hidden=False, total={root.total}, '
                          f"used={root.used}, free={root.free})")
    assert root == root and root != root.point
    with pytest.raises(TypeError):
        hash(root)
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
    del sys.modules["bramwex"]
    again = importlib.import_module("bramwex")
    assert again is not bramwex and again.Tree is bramwex.Tree
    sys.modules["bramwex"] = bramwex
