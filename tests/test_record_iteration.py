"""Walking a FastaRecord in line-sized chunks, forwards and backwards."""

import gelvo
import pytest


def bases_of(n):
    return "".join("ACGTTGCAAC"[i % 10] for i in range(n))


def record_of(write_fasta, length, width, newline="\n", **options):
    bases = bases_of(length)
    text = f">r{newline}" + "".join(bases[i : i + width] + newline for i in range(0, length, width))
    return gelvo.Fasta(write_fasta(text + ">e\n"), **options)["r"]


def test_150_bases_in_lines_of_60(write_fasta):
    record, bases = record_of(write_fasta, 150, 60), bases_of(150)
    it = iter(record)
    assert type(it) is gelvo.SequenceIterator and iter(it) is it
    assert [(v.seq, v.start, v.end, v.comp) for v in it] == [
        (bases[:60], 1, 60, False),
        (bases[60:120], 61, 120, False),
        (bases[120:], 121, 150, False),
    ]
    chunks = reversed(record)
    assert type(chunks) is list
    assert [(v.seq, v.start, v.end, v.comp) for v in chunks] == [
        (bases[120:][::-1], 150, 121, False),
        (bases[60:120][::-1], 120, 61, False),
        (bases[:60][::-1], 60, 1, False),
    ]
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(it)


@pytest.mark.parametrize("newline", ["\n", "\r\n"])
@pytest.mark.parametrize("length, width", [(60, 60), (61, 60), (1, 60), (9, 3), (100, 7)])
def test_chunks_are_the_lines(write_fasta, newline, length, width):
    record, bases = record_of(write_fasta, length, width, newline), bases_of(length)
    lines = [bases[i : i + width] for i in range(0, length, width)]
    assert [(v.seq, v.start, v.end) for v in record] == [
        (line, i * width + 1, i * width + len(line)) for i, line in enumerate(lines)
    ]
    assert [v.seq for v in reversed(record)] == [line[::-1] for line in reversed(lines)]
    assert "".join(v.seq for v in reversed(record)) == bases[::-1]


@pytest.mark.parametrize(
    "options, forward, backward",
    [
        ({"as_raw": True}, [(None, None)] * 2, [(None, None)] * 2),
        ({"one_based_attributes": False}, [(0, 3), (3, 5)], [(5, 3), (3, 0)]),
        ({"sequence_always_upper": True}, [(1, 3), (4, 5)], [(5, 4), (3, 1)]),
    ],
)
def test_options_apply_to_every_chunk(write_fasta, options, forward, backward):
    record = gelvo.Fasta(write_fasta(">r\nacg\ntN\n"), **options)["r"]
    seqs = ["ACG", "TN"] if options.get("sequence_always_upper") else ["acg", "tN"]
    assert [(v.seq, v.start, v.end) for v in record] == [(s,) + c for s, c in zip(seqs, forward)]
    assert [(v.seq, v.start, v.end) for v in reversed(record)] == [
        (s[::-1],) + c for s, c in zip(reversed(seqs), backward)
    ]


@pytest.mark.parametrize("strict", [False, True])
def test_empty_record_has_no_chunks(write_fasta, capfd, strict):
    record = gelvo.Fasta(write_fasta(">r\nAC\n>e\n"), strict_bounds=strict)["e"]
    assert (list(record), reversed(record), capfd.readouterr().err) == ([], [], "")


def test_iterators_are_independent_and_repeatable(write_fasta):
    record = record_of(write_fasta, 10, 4)
    first, second = iter(record), iter(record)
    assert next(first).seq == bases_of(4)
    assert [v.seq for v in second] == [v.seq for v in record] == [bases_of(10)[i : i + 4] for i in (0, 4, 8)]
    assert len(list(first)) == 2


# An index may give a record lenc 0 with residues (the build refuses such a
# layout, but a .fai is used as it is): line-sized chunks would never
# advance, so the record is walked as one chunk.
@pytest.mark.parametrize("options", [{}, {"strict_bounds": True}, {"default_seq": "N"}])
def test_record_with_zero_line_length_is_one_chunk(write_fasta, capfd, options):
    path = write_fasta(">blank\n\nACGTAC\nGT\n>next\nAC\n")
    with open(path + ".fai", "w") as f:
        f.write("blank\t8\t7\t0\t1\nnext\t2\t24\t2\t3\n")
    record = gelvo.Fasta(path, **options)["blank"]
    whole = gelvo.Faidx(path, **options).fetch("blank", 1, 8)
    assert [(v.seq, v.start, v.end) for v in record] == [(whole.seq, 1, 8)]
    assert [(v.seq, v.start, v.end) for v in reversed(record)] == [(whole.seq[::-1], 8, 1)]
    assert capfd.readouterr().err == ""
