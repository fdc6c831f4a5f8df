"""Sequence subscripts: which residues, in which order, with which coordinates."""

import pytest
from gelvo import Sequence
from hypothesis import given
from hypothesis import strategies as st

SIZE_MAX = 2**64 - 1


def fit(value):
    """Coordinates that leave the unsigned range are absent, never wrapped."""
    return value if 0 <= value <= SIZE_MAX else None


def model_slice(data, start, end, key):
    n = len(data)
    begin, stop, step = key.indices(n)
    if step > 0:
        a, b = max(begin, 0), (n if stop < 0 or stop > n else stop)
        picked, lo, hi = data[a:b:step], a, b
    else:
        last = max(n - 1, 0)
        c = last if begin < 0 or begin > last else begin  # even a begin before the first residue
        picked = data[c : (stop if stop >= 0 else None) : step] if n and stop <= c else data[:0]
        lo, hi = (c, c) if stop > c else (stop + 1, c + 1)
    if start is None or end is None:
        return picked, None, None
    return picked, fit(start + lo), fit(start + hi - 1)


def fields_of(s):
    return (s.name, s.seq, s.start, s.end, s.comp)


S = Sequence(name="chr1", seq="ACGTACGTAC", start=101, end=110, comp=True)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


@pytest.mark.parametrize(
    "key, seq, start, end",
    [
        (0, "A", 101, 101),
        (-1, "C", 110, 110),
        (True, "C", 102, 102),
        (Index(2), "G", 103, 103),
        (slice(2, 5), "GTA", 103, 105),
        (slice(None), "ACGTACGTAC", 101, 110),
        (slice(-3, None), "TAC", 108, 110),
        (slice(5, 2), "", 106, 102),
        (slice(3, 3), "", 104, 103),
        (slice(None, None, 2), "AGAGA", 101, 110),
        (slice(1, 8, 3), "CAT", 102, 108),
        (slice(0, 10, 3), "ATGC", 101, 110),
        (slice(None, None, -1), "CATGCATGCA", 101, 110),
        (slice(8, 2, -2), "AGA", 104, 109),
        (slice(2, 8, -1), "", 103, 102),
        (slice(5, 5, -1), "", 107, 106),
        (slice(-20, None, -1), "CATGCATGCA", 101, 110),
    ],
)
def test_documented_cases(key, seq, start, end):
    assert fields_of(S[key]) == ("chr1", seq, start, end, True)


@pytest.mark.parametrize(
    "key, exc, message",
    [
        (10, IndexError, "Index out of range"),
        (-11, IndexError, "Index out of range"),
        ("a", TypeError, "Invalid index type"),
        (1.5, TypeError, "Invalid index type"),
        (None, TypeError, "Invalid index type"),
        (2**70, TypeError, "Invalid index type"),
        (Index(-(2**70)), TypeError, "Invalid index type"),
        (Index(ValueError()), TypeError, "Invalid index type"),
        (slice(None, None, 0), ValueError, "slice step cannot be zero"),
    ],
)
def test_refused_keys(key, exc, message):
    with pytest.raises(exc, match=f"^{message}$"):
        S[key]


@pytest.mark.parametrize(
    "source, key, start, end",
    [
        ((0, 3), slice(0, 0), 0, None),
        ((0, 3), slice(4, 0), 4, None),
        ((0, 3), slice(0, 5, -1), 0, None),
        ((0, 3), slice(0, 1), 0, 0),
        ((SIZE_MAX - 1, 5), slice(1, 3), SIZE_MAX, None),
        ((SIZE_MAX - 1, 5), 2, None, None),
        ((11, None), slice(2, 5), None, None),
        ((11, None), 2, 13, 13),
        ((None, 11), 2, None, None),
    ],
)
def test_coordinates_at_the_edges(source, key, start, end):
    r = Sequence("z", "ACGT", *source)[key]
    assert (r.start, r.end) == (start, end)


bounds = st.none() | st.integers(-25, 25)
slices = st.builds(slice, bounds, bounds, st.none() | st.integers(-12, 12).filter(bool))
coordinates = st.none() | st.just(0) | st.integers(0, 2**40) | st.just(SIZE_MAX - 5)


@given(st.text("ACGTNacgtn", max_size=20), coordinates, coordinates, slices)
def test_slice_matches_model(data, start, end, key):
    assert fields_of(Sequence("n", data, start, end, True)[key]) == ("n", *model_slice(data, start, end, key), True)


@given(st.text("ACGTN", max_size=12), coordinates, coordinates, st.integers(-15, 15))
def test_index_matches_model(data, start, end, k):
    p = k + len(data) if k < 0 else k
    if not 0 <= p < len(data):
        with pytest.raises(IndexError):
            Sequence("n", data, start, end)[k]
        return
    at = None if start is None else fit(start + p)
    assert fields_of(Sequence("n", data, start, end)[k]) == ("n", data[p], at, at, False)


@given(st.text(st.characters(blacklist_categories=["Cs"]), max_size=10), slices)
def test_non_ascii_slices_cut_bytes(text, key):
    picked, start, end = model_slice(text.encode(), 1, 1, key)
    assert fields_of(Sequence("n", text, 1, 1)[key]) == ("n", picked.decode("utf-8", "replace"), start, end, False)
