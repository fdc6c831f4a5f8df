"""GC fractions: gc, gc_strict and gc_iupac."""

import random

import pytest
from gelvo import Sequence
from hypothesis import given
from hypothesis import strategies as st

IUPAC = {"C": 1.0, "G": 1.0, "S": 1.0, "B": 0.67, "V": 0.67, "D": 0.33, "H": 0.33, "N": 0.25}
IUPAC.update(dict.fromkeys("KMRY", 0.5), **dict.fromkeys("ATW", 0.0))


def iupac_sum(data):
    """The weights added one at a time, in order, as the result requires."""
    weight, count = 0.0, 0
    for b in data:
        letter = chr(b).upper() if b < 128 else ""
        if letter in IUPAC:
            weight += IUPAC[letter]
            count += 1
    return weight, count


def model(text):
    data = text.encode()
    gc = sum(b in b"CGcg" for b in data)
    acgt = sum(b in b"ACGTacgt" for b in data)
    weight, count = iupac_sum(data)
    return (gc / len(data) if data else 0.0, gc / acgt if acgt else 0.0, weight / count if count else 0.0)


def fractions(text):
    s = Sequence(seq=text)
    return (s.gc, s.gc_strict, s.gc_iupac)


@pytest.mark.parametrize(
    "text, expected",
    [
        ("", (0.0, 0.0, 0.0)),
        ("ACGT", (0.5, 0.5, 0.5)),
        ("acgt", (0.5, 0.5, 0.5)),
        ("ACGTNN", (2 / 6, 0.5, 2.5 / 6)),
        ("NNNN", (0.0, 0.0, 0.25)),
        ("SSWW", (0.0, 0.0, 0.5)),
        ("UUUU", (0.0, 0.0, 0.0)),
        ("----", (0.0, 0.0, 0.0)),
        ("--GC", (0.5, 1.0, 1.0)),
        ("B", (0.0, 0.0, 0.67)),
        ("d", (0.0, 0.0, 0.33)),
        ("XAC", (1 / 3, 0.5, 0.5)),
        ("Cé", (1 / 3, 1.0, 1.0)),
    ],  # é is two bytes, counted only in gc's length
)
def test_documented_cases(text, expected):
    assert fractions(text) == expected


def test_every_byte_against_model():
    text = "".join(map(chr, range(128))) * 3 + "".join(map(chr, range(0x80, 0x800, 7))) + "\U0010ffff"
    for k in range(len(text)):
        assert fractions(text[k:]) == model(text[k:]), k


@given(st.text("ACGTNacgtnSWBVDHKMRYbvdhkmryswXU-* é", max_size=300))
def test_fractions_match_model(text):
    assert fractions(text) == model(text)


@pytest.mark.parametrize(
    "alphabet, weights",
    [
        ("ACGTNacgtn", [20, 20, 20, 20, 2, 5, 5, 5, 5, 1]),
        ("ACGTNBDacgt", [20, 20, 20, 20, 2, 0.01, 0.01, 5, 5, 5, 5]),
        ("ACGTBVDHKMRYSWN", [1] * 15),
        ("CB", [1000, 1]),
        ("DN", [1, 1000]),
    ],
)
def test_long_sequences_are_bit_exact(alphabet, weights):
    text = "".join(random.Random(1).choices(alphabet, weights, k=50_000))
    assert fractions(text) == model(text)


def inexact_heads_with_exact_tails(n):
    rng = random.Random(5)
    return [("".join(rng.choices("BD", k=rng.randint(2, 9))), "".join(rng.choices("CMNSK", k=1024))) for _ in range(n)]


# A small sum made inexact by a few ambiguity codes, then a long run of exact
# weights: adding a stretch of that run in one step instead of residue by
# residue rounds differently for some stretches. Leading A's (weight 0.0)
# shift the pair through every offset, so wherever the sum is cut into
# stretches, some cut falls right after the codes while the sum is small.
@pytest.mark.parametrize("head, tail", inexact_heads_with_exact_tails(12))
def test_inexact_head_then_exact_run_at_every_offset(head, tail):
    weight, count = iupac_sum((head + tail).encode())
    for k in range(1100):
        assert Sequence(seq="A" * k + head + tail).gc_iupac == weight / (k + count), k
