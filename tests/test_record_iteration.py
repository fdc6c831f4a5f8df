"""Walking a FastaRecord in line-sized chunks, forwards and backwards."""

import pytest

import gelvo


def bases_of(n):
    return "".join("ACGTTGCAAC"[i % 10] for i in range(n))


def fasta_of(write_fasta, records, newline="\n", **options):
    """records: {name: (length, width)} written with lines of width bases."""
    text = ""
    for name, (length, width) in records.items():
        bases = bases_of(length)
        text += f">{name}{newline}" + "".join(bases[i : i + width] + newline for i in range(0, length, width))
    return gelvo.Fasta(write_fasta(text), **options)


def triples(values):
    return [(v.seq, v.start, v.end) for v in values]


def test_chunks_are_the_lines(write_fasta):
    record = fasta_of(write_fasta, {"r": (150, 60)})["r"]
    it = iter(record)
    assert type(it) is gelvo.SequenceIterator and iter(it) is it
    bases = bases_of(150)
    assert triples(it) == [(bases[:60], 1, 60), (bases[60:120], 61, 120), (bases[120:], 121, 150)]
    assert all(v.name == "r" and v.comp is False for v in record)


def test_reversed_gives_reversed_chunks_last_first(write_fasta):
    record = fasta_of(write_fasta, {"r": (150, 60)})["r"]
    chunks = reversed(record)
    assert type(chunks) is list
    bases = bases_of(150)
    assert triples(chunks) == [(bases[120:][::-1], 150, 121), (bases[60:120][::-1], 120, 61), (bases[:60][::-1], 60, 1)]
    assert "".join(v.seq for v in chunks) == bases[::-1]
    assert all(v.comp is False for v in chunks)


@pytest.mark.parametrize("newline", ["\n", "\r\n"])
@pytest.mark.parametrize("length, width", [(60, 60), (61, 60), (1, 60), (7, 3), (9, 3), (26, 13), (100, 7)])
def test_lines_forwards_and_backwards(write_fasta, newline, length, width):
    record = fasta_of(write_fasta, {"r": (length, width)}, newline=newline)["r"]
    bases = bases_of(length)
    lines = [bases[i : i + width] for i in range(0, length, width)]
    assert [v.seq for v in record] == lines
    assert [v.seq for v in reversed(record)] == [line[::-1] for line in reversed(lines)]
    starts = [v.start for v in record]
    assert starts == list(range(1, length + 1, width))
    assert [v.end for v in record] == [min(s + width - 1, length) for s in starts]


@pytest.mark.parametrize("strict", [False, True])
def test_empty_record_has_no_chunks_and_no_fetch(write_fasta, capfd, strict):
    record = gelvo.Fasta(write_fasta(">e\n>f\nAC\n"), strict_bounds=strict)["e"]
    assert list(record) == []
    assert reversed(record) == []
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize(
    "options, forward, backward",
    [
        ({"as_raw": True}, [(None, None), (None, None)], [(None, None), (None, None)]),
        ({"one_based_attributes": False}, [(0, 3), (3, 5)], [(5, 3), (3, 0)]),
    ],
)
def test_coordinates_follow_options(write_fasta, options, forward, backward):
    record = fasta_of(write_fasta, {"r": (5, 3)}, **options)["r"]
    assert [(v.start, v.end) for v in record] == forward
    assert [(v.start, v.end) for v in reversed(record)] == backward


def test_upper_casing(write_fasta):
    record = gelvo.Fasta(write_fasta(">r\nacg\ntN\n"), sequence_always_upper=True)["r"]
    assert [v.seq for v in record] == ["ACG", "TN"]
    assert [v.seq for v in reversed(record)] == ["NT", "GCA"]


def test_iterations_repeat_and_end_for_good(write_fasta):
    record = fasta_of(write_fasta, {"r": (10, 4)})["r"]
    assert triples(record) == triples(record)
    it = iter(record)
    other = iter(record)
    assert len(list(it)) == 3
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)
    assert next(other).seq == bases_of(4)


# A blank first sequence line gives the record lenc 0: line-sized chunks
# would never advance, so the record is one chunk.
@pytest.mark.parametrize("strict", [False, True])
def test_record_with_zero_line_length_ends(write_fasta, capfd, strict):
    fasta = gelvo.Fasta(write_fasta(">blank\n\nACGTAC\nGT\n>next\nAC\n"), strict_bounds=strict)
    assert fasta.keys() == ["blank", "next"]
    record = fasta["blank"]
    assert len(record) == 8
    forward = list(record)
    assert [(v.start, v.end) for v in forward] == [(1, 8)]
    assert [(v.start, v.end) for v in reversed(record)] == [(8, 1)]
    assert capfd.readouterr().err == ""


def test_zero_line_length_chunk_is_what_the_region_fetch_gives(write_fasta):
    path = write_fasta(">blank\n\nACGTAC\n")
    record = gelvo.Fasta(path, default_seq="N")["blank"]
    whole = gelvo.Faidx(path, default_seq="N").fetch("blank", 1, len(record))
    assert [v.seq for v in record] == [whole.seq]
    assert [v.seq for v in reversed(record)] == [whole.seq[::-1]]


def test_reversed_signature():
    assert gelvo.FastaRecord.__reversed__.__text_signature__ == "($self)"
