"""The Sequence value: construction, attributes, text forms, equality."""

import operator

import pytest
from gelvo import Sequence

SIZE_MAX = 2**64 - 1


def fields(s):
    return (s.name, s.seq, s.start, s.end, s.comp)


def test_defaults_and_arguments():
    s = Sequence()
    assert fields(s) == ("", "", None, None, False)
    assert (str(s), repr(s), len(s), s.fancy_name, s.orientation) == ("", ">\n", 0, "", None)
    assert fields(Sequence("c", "AC", 1, 2, True)) == fields(Sequence(comp=True, end=2, start=1, seq="AC", name="c"))
    assert Sequence.__text_signature__ == "(name=..., seq=..., start=None, end=None, comp=False)"


@pytest.mark.parametrize(
    "attr, value, exc",
    [
        ("name", None, TypeError),
        ("seq", b"AC", TypeError),
        ("start", "1", TypeError),
        ("end", 1.0, TypeError),
        ("comp", 1, TypeError),
        ("comp", None, TypeError),
        ("start", -1, OverflowError),
        ("end", SIZE_MAX + 1, OverflowError),
    ],
)
def test_refused_values_name_the_argument(attr, value, exc):
    with pytest.raises(exc, match=f"'{attr}'"):
        Sequence(**{attr: value})
    s = Sequence("c", "AC", 1, 2)
    with pytest.raises(exc, match=f"'{attr}'"):
        setattr(s, attr, value)
    assert fields(s) == ("c", "AC", 1, 2, False)


@pytest.mark.parametrize(
    "attr, value", [("name", "x"), ("seq", "GAT"), ("start", SIZE_MAX), ("end", None), ("comp", True)]
)
def test_setters(attr, value):
    s = Sequence("c", "AC", 1, 2)
    setattr(s, attr, value)
    assert getattr(s, attr) == value


@pytest.mark.parametrize("attr", ["name", "seq", "start", "end", "comp"])
def test_delete_attribute(attr):
    s = Sequence("c", "AC", 1, 2, True)
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        delattr(s, attr)
    assert fields(s) == ("c", "AC", 1, 2, True)


def test_str_subclass_is_stored_as_plain_str():
    s = Sequence(type("Name", (str,), {})("chr1"))
    s.seq = type("Seq", (str,), {})("GG")
    assert (type(s.name), type(s.seq), s.name, s.seq) == (str, str, "chr1", "GG")


@pytest.mark.parametrize(
    "start, end, comp, fancy, orientation",
    [
        (1, 4, False, "chr1:1-4", 1),
        (1, 4, True, "chr1:1-4 (complement)", None),
        (4, 1, True, "chr1:4-1 (complement)", -1),
        (4, 1, False, "chr1:4-1", None),
        (5, 5, True, "chr1:5-5 (complement)", None),
        (0, 3, False, "chr1:0-3", 1),
        (1, None, False, "chr1", None),
        (None, 4, True, "chr1 (complement)", None),
        (0, SIZE_MAX, False, f"chr1:0-{SIZE_MAX}", 1),
        (SIZE_MAX, 0, True, f"chr1:{SIZE_MAX}-0 (complement)", -1),
    ],
)
def test_names_and_orientation(start, end, comp, fancy, orientation):
    s = Sequence("chr1", "ACGT", start, end, comp)
    assert (s.fancy_name, s.long_name, repr(s), str(s)) == (fancy, fancy, ">" + fancy + "\nACGT", "ACGT")
    assert s.orientation == orientation


LEFT = Sequence(name="a", seq="AC", start=1, end=2)


@pytest.mark.parametrize(
    "right, equal",
    [
        (Sequence(name="b", seq="AC"), True),
        (Sequence(seq="AC", start=9, end=3, comp=True), True),
        (Sequence(seq="ac"), False),
        (Sequence(seq="ACG"), False),
        ("AC", True),
        (type("T", (str,), {})("AC"), True),
        ("ac", False),
        ("", False),
        (5, False),
        (None, False),
        (b"AC", False),
        (["A", "C"], False),
    ],
)
def test_equality(right, equal):
    assert ((LEFT == right), (LEFT != right), (right == LEFT), (right != LEFT)) == (equal, not equal, equal, not equal)


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge, lambda a, b: hash(a)])
def test_no_ordering_no_hash(op):
    with pytest.raises(TypeError):
        op(Sequence(seq="A"), Sequence(seq="C"))


def test_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Sub", (Sequence,), {})


def test_iteration_and_containment_go_through_items():
    s = Sequence(name="c", seq="AC", start=1, end=2)
    assert [(type(i), *fields(i)) for i in s] == [(Sequence, "c", "A", 1, 1, False), (Sequence, "c", "C", 2, 2, False)]
    assert [fields(i) for i in Sequence(seq="G", comp=True)] == [("", "G", None, None, True)]
    assert ("C" in s, "A" in s, "G" in s, "c" in s, "AC" in s) == (True, True, False, False, False)


def test_non_ascii_text_counts_bytes_and_never_fails():
    s = Sequence(name="gène", seq="Aé", start=1, end=3)
    assert (len(s), s.fancy_name, repr(s)) == (3, "gène:1-3", ">gène:1-3\nAé")
    assert [i.seq for i in s] == ["A", "\ufffd", "\ufffd"]
    with pytest.raises(UnicodeEncodeError):
        Sequence(seq="A\udc80")
