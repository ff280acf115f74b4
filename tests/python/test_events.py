"""The Event classes: names, pattern matching, constructors and getters."""
import pytest

import bramwex
from bramwex import Event, Reason


@pytest.fixture
def tree(tree_dir):
    return bramwex.scan(tree_dir)


def test_the_variants_are_events_named_under_event_and_frozen(tree):
    for name in ("Scanning", "Ready", "Changed", "Missed"):
        variant = getattr(Event, name)
        assert variant is getattr(Event, name) and issubclass(variant, Event)
        assert (variant.__qualname__, variant.__name__, variant.__module__) == (
            f"Event.{name}", name, "bramwex")
        with pytest.raises(TypeError):
            variant.extra = 1
    assert not hasattr(bramwex, "Ready") and "Event" in bramwex.__all__
    with pytest.raises(TypeError):
        Event()


def test_class_patterns_bind_every_field(tree, tree_dir):
    events = [Event.Scanning(tree), Event.Ready(tree=tree),
              Event.Changed(tree, [(tree_dir / "beta", -5), ("/x", 2**63 - 1)]),
              Event.Missed(Reason.RootMoved, str(tree_dir))]
    seen = []
    for event in events:
        match event:
            case Event.Scanning(t):
                seen.append(("scanning", t.size(0)))
            case Event.Ready(t):
                seen.append(("ready", t.size(0)))
            case Event.Changed(t, changes):
                seen.append(("changed", t.size(0), changes))
            case Event.Missed(reason, path):
                seen.append(("missed", reason, path))
    assert seen == [("scanning", tree.size(0)), ("ready", tree.size(0)),
                    ("changed", tree.size(0), [(tree_dir / "beta", -5),
                                               (tree_dir.__class__("/x"), 2**63 - 1)]),
                    ("missed", Reason.RootMoved, tree_dir)]
    assert Event.Changed(tree, []).changes == []


def test_getters_build_new_objects_over_the_same_tree(tree):
    event = Event.Ready(tree)
    first, second = event.tree, event.tree
    assert first is not second and first.size(0) == second.size(0) == tree.size(0)


@pytest.mark.parametrize("make, error, text", [
    (lambda t: Event.Changed(t, [("a", 1, 2)]), ValueError,
     "expected tuple of length 2, but got tuple of length 3"),
    (lambda t: Event.Changed(t, "ab"), TypeError, "Can't extract `str` to `Vec`"),
    (lambda t: Event.Changed(t, [["a", 1]]), TypeError, "changes"),
    (lambda t: Event.Changed(t, [("a", 2**63)]), OverflowError, ""),
    (lambda t: Event.Changed(t, [(b"a", 1)]), TypeError, "changes"),
    (lambda t: Event.Missed(0, "/x"), TypeError, "reason"),
    (lambda t: Event.Missed(Reason.Dropped, 3), TypeError, "path"),
    (lambda t: Event.Ready(3), TypeError, "tree"),
    (lambda t: Event.Scanning(), TypeError, "tree"),
])
def test_constructor_arguments_are_checked(tree, make, error, text):
    with pytest.raises(error, match=text.replace("(", r"\(")):
        make(tree)
