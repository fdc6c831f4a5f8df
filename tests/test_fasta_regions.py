"""Fasta.get_seq and Fasta.get_spliced_seq."""

import gelvo
import pytest

BASES = "ACGTACGTAA" + "CCGGTTAAGG" * 9  # 100 bases in lines of 60
TEXT = ">chr1\n" + BASES[:60] + "\n" + BASES[60:] + "\n"


def revcomp(text):
    return text.translate(str.maketrans("ACGT", "TGCA"))[::-1]


def fields(seq):
    return (seq.name, seq.seq, seq.start, seq.end, seq.comp)


@pytest.fixture
def path(write_fasta):
    return write_fasta(TEXT)


@pytest.fixture
def fasta(path):
    return gelvo.Fasta(path)


@pytest.mark.parametrize("region", [(59, 62), (1, 100), (95, 120), (8, 3)])
@pytest.mark.parametrize("rc", [{}, {"rc": None}, {"rc": False}])
def test_get_seq_forward_is_the_region_fetch(path, fasta, capfd, region, rc):
    got = fasta.get_seq("chr1", *region, **rc)
    first_warning = capfd.readouterr().err
    assert fields(got) == fields(gelvo.Faidx(path).fetch("chr1", *region))
    assert capfd.readouterr().err == first_warning


@pytest.mark.parametrize(
    "options, expected",
    [({}, (20, 10)), ({"as_raw": True}, (None, None)), ({"one_based_attributes": False}, (20, 9))],
)
def test_get_seq_rc(path, options, expected):
    got = gelvo.Fasta(path, **options).get_seq(end=20, name="chr1", start=10, rc=True)
    assert fields(got) == ("chr1", revcomp(BASES[9:20])) + expected + (True,)


@pytest.mark.parametrize(
    "intervals, rc, expected",
    [
        ([(1, 3), (7, 9)], None, ("ACGGTA", 1, 9)),
        ([(1, 3), (7, 9)], True, ("TACCGT", 1, 9)),
        (((7, 9), (1, 3)), False, ("GTAACG", 7, 3)),
        ([(2, 4), (3, 5)], True, ("TACACG", 2, 5)),
        ([(59, 62)], True, (revcomp(BASES[58:62]), 59, 62)),
        ([], True, ("", None, None)),
    ],
)
def test_spliced(fasta, intervals, rc, expected):
    assert fields(fasta.get_spliced_seq("chr1", intervals, rc=rc)) == ("chr1",) + expected + (False,)


@pytest.mark.parametrize(
    "options, expected", [({"one_based_attributes": False}, (0, 9)), ({"as_raw": True}, (None, None))]
)
def test_spliced_coordinates_follow_options(path, options, expected):
    got = gelvo.Fasta(path, **options).get_spliced_seq("chr1", [(1, 3), (7, 9)])
    assert (got.seq, got.start, got.end) == ("ACGGTA",) + expected


def test_spliced_lenient_pieces_warn_in_order(fasta, capfd):
    got = fasta.get_spliced_seq("chr1", [(8, 3), (98, 110), (0, 2)])
    assert (got.seq, got.start, got.end) == (BASES[97:], 8, 2)
    assert capfd.readouterr().err.splitlines() == [
        "WARNING: start coordinate 8 is greater than end coordinate 3",
        "WARNING: coordinates 98-110 are out of bounds for sequence 'chr1' of length 100",
        "WARNING: coordinates cannot be 0 (1-based indexing)",
    ]


def test_spliced_pieces_are_filled_and_upper_cased(write_fasta):
    path = write_fasta(">low\nacgt\n")
    with open(path + ".fai", "w") as f:
        f.write("low\t6\t5\t4\t5\n")  # two more bases than the file holds
    fasta = gelvo.Fasta(path, default_seq="n", sequence_always_upper=True, rebuild=False)
    assert fasta.get_spliced_seq("low", [(1, 2), (4, 6)]).seq == "ACTNN"


def test_failures(path, fasta, capfd):
    assert fields(fasta.get_spliced_seq("chrZ", [])) == ("chrZ", "", None, None, False)
    for call in (lambda: fasta.get_seq("chrZ", 1, 2), lambda: fasta.get_spliced_seq("chrZ", [(1, 2)])):
        with pytest.raises(Exception, match=r"^FetchError: Sequence 'chrZ' not found$"):
            call()
    strict = gelvo.Fasta(path, strict_bounds=True)
    with pytest.raises(IndexError, match="^coordinates 0-120 are out of bounds for sequence 'chr1' of length 100$"):
        strict.get_seq("chr1", 0, 120, rc=True)
    with pytest.raises(IndexError, match="^start coordinate 5 is greater than end coordinate 4$"):
        strict.get_spliced_seq("chr1", [(1, 2), (5, 4), (0, 1)])
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize(
    "call, exc, arg",
    [
        (lambda f: f.get_seq(1, 1, 2), TypeError, "name"),
        (lambda f: f.get_seq("chr1", -1, 2), OverflowError, "start"),
        (lambda f: f.get_seq("chr1", 1, "2"), TypeError, "end"),
        (lambda f: f.get_seq("chr1", 0, 500, rc=1), TypeError, "rc"),
        (lambda f: f.get_spliced_seq("chr1", "ACGT"), TypeError, "intervals"),
        # The first interval would warn if it were fetched.
        (lambda f: f.get_spliced_seq("chr1", [(0, 500), (3,)]), TypeError, "intervals"),
        (lambda f: f.get_spliced_seq("chr1", [(0, 500), [3, 4]]), TypeError, "intervals"),
        (lambda f: f.get_spliced_seq("chr1", [(0, 500), (1, -2)]), OverflowError, "intervals"),
        (lambda f: f.get_spliced_seq("chr1", [(0, 500)], rc="yes"), TypeError, "rc"),
    ],
)
def test_arguments_are_converted_before_any_fetch(fasta, capfd, call, exc, arg):
    with pytest.raises(exc, match=f"'{arg}'"):
        call(fasta)
    assert capfd.readouterr().err == ""
