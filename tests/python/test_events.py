"""The Event classes: names, pattern matching and constructors."""
import pytest

import bramwex
from bramwex import Event, Reason


def test_variants_are_frozen_and_patterns_bind_every_field(tree_dir):
    tree = bramwex.scan(tree_dir)
    for name in ("Scanning", "Ready", "Changed", "Missed"):
        variant = getattr(Event, name)
        assert issubclass(variant, Event) and variant.__qualname__ == f"Event.{name}"
        with pytest.raises(TypeError):
            variant.extra = 1
    assert not hasattr(bramwex, "Ready") and "Event" in bramwex.__all__
    seen = []
    for event in [Event.Scanning(tree), Event.Ready(tree=tree),
                  Event.Changed(tree, [(tree_dir / "beta", 5), ("/x", -2**63)]),
                  Event.Missed(Reason.RootMoved, str(tree_dir))]:
        match event:
            case Event.Scanning(t) | Event.Ready(t):
                seen.append((type(event), repr(t)))
            case Event.Changed(t, found):
                seen.append((repr(t), found))
            case Event.Missed(reason, path):
                seen.append((reason, path))
    assert seen == [(Event.Scanning, repr(tree)), (Event.Ready, repr(tree)),
                    (repr(tree), [(tree_dir / "beta", 5), (tree_dir.__class__("/x"), -2**63)]),
                    (Reason.RootMoved, tree_dir)]


@pytest.mark.parametrize("make, error, text", [
    (lambda t: Event.Changed(t, [("a", 1, 2)]), ValueError,
     "expected tuple of length 2, but got tuple of length 3"),
    (lambda t: Event.Changed(t, "ab"), TypeError, "Can't extract `str` to `Vec`"),
    (lambda t: Event.Changed(t, [("a", 2**63)]), OverflowError, ""),
    (lambda t: Event.Missed(0, "/x"), TypeError, "reason"),
    (lambda t: Event.Ready(3), TypeError, "tree"),
])
def test_constructor_arguments_are_checked(tree_dir, make, error, text):
    with pytest.raises(error, match=text.replace("(", r"\(")):
        make(bramwex.scan(tree_dir))
