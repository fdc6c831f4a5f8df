"""Faidx._composition: the byte counts the command line's statistics use."""

import collections

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
