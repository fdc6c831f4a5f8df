"""Complement, reverse and reverse complement."""

import pytest
from gelvo import Sequence
from hypothesis import given
from hypothesis import strategies as st

PAIRS = "AT BV CG DH GC HD KM MK RY SS TA VB WW XX YR at bv cg dh gc hd km mk nn ry ss ta vb ww xx yr".split()
MODEL = [ord("N")] * 256
for a, b in PAIRS:
    MODEL[ord(a)] = ord(b)
LISTED = "".join(a for a, _ in PAIRS)


def complement(text):
    return bytes(MODEL[b] for b in text.encode()).decode("ascii")


def fields(s):
    return (s.name, s.seq, s.start, s.end, s.comp)


# Every byte a str can hold in UTF-8 (0xC0, 0xC1 and 0xF5-0xFF never occur):
# ASCII alone, the rest as lead and continuation bytes of wider characters.
WIDE = [
    range(0x80, 0xC0),
    [k << 6 for k in range(2, 32)],
    [0x800] + [k << 12 for k in range(1, 16)],
    [0x10000, 0x40000, 0x80000, 0xC0000, 0x100000],
]
ALL_TEXTS = [chr(b) for b in range(128)] + ["".join(map(chr, group)) for group in [range(128), *WIDE]]
assert {b for t in ALL_TEXTS for b in t.encode()} == set(range(0xF5)) - {0xC0, 0xC1}


@pytest.mark.parametrize("text", ALL_TEXTS)
def test_every_byte_against_model(text):
    s = Sequence(seq=text)
    assert (s.complement.seq, (-s).seq) == (complement(text), complement(text)[::-1])


@pytest.mark.parametrize(
    "text, expected",
    [
        ("ACGTNacgtn", "TGCANtgcan"),
        ("UuEe-*. 9\n", "NNNNNNNNNN"),
        ("XxSsWw", "XxSsWw"),
        ("BDHKMRVYbdhkmrvy", "VHDMKYBRvhdmkybr"),
    ],
)
def test_complement_examples(text, expected):
    assert Sequence(seq=text).complement.seq == expected


def test_strand_results_of_a_forward_region():
    s = Sequence(name="chr1", seq="AACG", start=1, end=4)
    rc, c, r = -s, s.complement, s.reverse
    assert (fields(rc), rc.fancy_name, rc.orientation) == (("chr1", "CGTT", 4, 1, True), "chr1:4-1 (complement)", -1)
    assert (fields(c), c.orientation) == (("chr1", "TTGC", 1, 4, True), None)
    assert (fields(r), r.orientation) == (("chr1", "GCAA", 4, 1, False), None)
    assert fields(s) == ("chr1", "AACG", 1, 4, False)


coordinates = st.none() | st.integers(0, 2**64 - 1)


@given(st.text(LISTED + "NUu-*E", max_size=70), coordinates, coordinates, st.booleans())
def test_strands_match_model(text, start, end, comp):
    s = Sequence("n", text, start, end, comp)
    swapped = (end, start) if start is not None and end is not None else (start, end)
    assert fields(s.complement) == ("n", complement(text), start, end, not comp)
    assert fields(s.reverse) == ("n", text[::-1], *swapped, comp)
    assert fields(-s) == ("n", complement(text)[::-1], *swapped, not comp)


@given(st.text(LISTED, max_size=70), coordinates, coordinates, st.booleans())
def test_twice_restores_listed_letters(text, start, end, comp):
    s = Sequence("n", text, start, end, comp)
    assert fields(-(-s)) == fields(s.complement.complement) == fields(s.reverse.reverse) == fields(s)


@given(st.text(st.characters(blacklist_categories=["Cs"]), max_size=12))
def test_non_ascii_reverses_bytes(text):
    s = Sequence(seq=text)
    assert s.reverse.seq == text.encode()[::-1].decode("utf-8", "replace")
    assert s.complement.seq == complement(text) and (-s).seq.isascii()
