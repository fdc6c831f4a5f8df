"""The native helpers of the command line: Faidx._composition (statistics) and
Sequence._fasta (FASTA output)."""

import collections
import random

import gelvo
import pytest

# Record c is longer than the pieces the counting reads (4 MiB).
LONG = "GATTACAn" * 600_000
TEXT = (
    ">a desc\nACGTNacgtn\nRYKM\r\n>b\r\nAAAAAAAAAAAA\r\nAAAAAAAAAAAA\r\nCC\r\n>empty\n>c\n"
    + "\n".join(LONG[i : i + 60] for i in range(0, len(LONG), 60))
    + "\n"
)


@pytest.mark.parametrize("upper", [False, True])
def test_counts_equal_those_of_the_whole_record(write_fasta, upper):
    fa = gelvo.Faidx(write_fasta(TEXT), sequence_always_upper=upper)
    for name in fa.keys:
        counts = fa._composition(name)
        expected = collections.Counter(fa.fetch_entire_sequence(name).seq.encode())
        assert len(counts) == 256
        assert {b: n for b, n in enumerate(counts) if n} == dict(expected), name


def test_unknown_name_is_the_fetch_error(write_fasta):
    fa = gelvo.Faidx(write_fasta(TEXT))
    with pytest.raises(Exception, match="^FetchError: Sequence 'z' not found$"):
        fa._composition("z")


def python_fasta(headers, seqs, width):
    out = []
    for header, seq in zip(headers, seqs):
        text = seq if isinstance(seq, str) else seq.seq
        out.append(f">{header}\n" + "".join(text[i : i + width] + "\n" for i in range(0, len(text), width)))
    return "".join(out).encode("utf-8", "surrogateescape")


@pytest.mark.parametrize("width", [1, 7, 60, 10_000])
def test_fasta_text_equals_the_plain_python_formatting(write_fasta, width):
    fa = gelvo.Faidx(write_fasta(TEXT))
    rng = random.Random(width)
    regions = [("c", s, s + rng.randrange(0, 300)) for s in (rng.randrange(1, 4_000_000) for _ in range(3000))]
    batch = fa.fetch_many(regions)  # results whose bases wait in the batch's blocks
    seqs = [*batch[:1000], *(s.seq for s in batch[1000:2000]), fa.fetch("a", 1, 14), ""]
    headers = [f"c:{s}-{e}" for _, s, e in regions[:2000]] + ["a:1-14 (cafe\u0301)", "empty\udcff"]
    assert gelvo.Sequence._fasta(headers, seqs, width) == python_fasta(headers, seqs, width)


def test_fasta_text_refuses_what_it_cannot_write():
    with pytest.raises(ValueError):
        gelvo.Sequence._fasta(["a"], ["AC"], 0)
    with pytest.raises(ValueError):
        gelvo.Sequence._fasta(["a", "b"], ["AC"], 60)
    with pytest.raises(TypeError):
        gelvo.Sequence._fasta([b"a"], ["AC"], 60)
    with pytest.raises(TypeError):
        gelvo.Sequence._fasta(["a"], [42], 60)
