"""Fasta.get_seq and Fasta.get_spliced_seq."""

import pytest

import gelvo

BASES = "ACGTACGTAA" + "CCGGTTAAGG" * 9  # 100 bases
TEXT = ">chr1\n" + BASES[:60] + "\n" + BASES[60:] + "\n>chr2\nacgtn\n"
COMPLEMENT = str.maketrans("ACGTacgtn", "TGCAtgcan")


def revcomp(text):
    return text.translate(COMPLEMENT)[::-1]


def fields(seq):
    return (seq.name, seq.seq, seq.start, seq.end, seq.comp)


@pytest.fixture
def path(write_fasta):
    return write_fasta(TEXT)


@pytest.fixture
def fasta(path):
    return gelvo.Fasta(path)


# ---------------------------------------------------------------- get_seq


def test_signatures():
    assert gelvo.Fasta.get_seq.__text_signature__ == "($self, name, start, end, rc=None)"
    assert gelvo.Fasta.get_spliced_seq.__text_signature__ == "($self, name, intervals, rc=None)"


@pytest.mark.parametrize("region", [(1, 1), (59, 62), (10, 20), (1, 100)])
@pytest.mark.parametrize("rc", ["omitted", None, False])
def test_get_seq_forward_is_the_region_fetch(path, fasta, region, rc):
    extra = {} if rc == "omitted" else {"rc": rc}
    got = fasta.get_seq("chr1", *region, **extra)
    assert type(got) is gelvo.Sequence
    assert fields(got) == fields(gelvo.Faidx(path).fetch("chr1", *region))


def test_get_seq_rc_is_the_reverse_complement(fasta):
    got = fasta.get_seq("chr1", 10, 20, rc=True)
    assert fields(got) == ("chr1", revcomp(BASES[9:20]), 20, 10, True)
    assert got.orientation == -1


@pytest.mark.parametrize(
    "options, start, end",
    [({"as_raw": True}, None, None), ({"one_based_attributes": False}, 9, 20)],
)
def test_get_seq_coordinates_follow_options(path, options, start, end):
    got = gelvo.Fasta(path, **options).get_seq("chr1", 10, 20)
    assert (got.seq, got.start, got.end) == (BASES[9:20], start, end)


def test_get_seq_by_keyword_and_upper(path):
    got = gelvo.Fasta(path, sequence_always_upper=True).get_seq(end=5, name="chr2", start=1, rc=True)
    assert got.seq == "NACGT"


def test_get_seq_lenient_out_of_range_warns_on_fd2(fasta, capfd):
    got = fasta.get_seq("chr1", 95, 120)
    assert (got.seq, got.start, got.end) == (BASES[94:], 95, 100)
    out, err = capfd.readouterr()
    assert out == ""
    assert err == "WARNING: coordinates 95-120 are out of bounds for sequence 'chr1' of length 100\n"


@pytest.mark.parametrize(
    "start, end, message",
    [
        (0, 120, "coordinates 0-120 are out of bounds for sequence 'chr1' of length 100"),
        (0, 5, "coordinates cannot be 0 (1-based indexing)"),
        (8, 3, "start coordinate 8 is greater than end coordinate 3"),
    ],
)
def test_get_seq_strict_errors(path, start, end, message):
    with pytest.raises(IndexError) as info:
        gelvo.Fasta(path, strict_bounds=True).get_seq("chr1", start, end, rc=True)
    assert str(info.value) == message


def test_get_seq_unknown_name(fasta):
    with pytest.raises(Exception) as info:
        fasta.get_seq("chrZ", 1, 2)
    assert type(info.value) is Exception
    assert str(info.value) == "FetchError: Sequence 'chrZ' not found"


@pytest.mark.parametrize(
    "args, kwargs, exc, arg",
    [
        ((1, 1, 2), {}, TypeError, "name"),
        (("chr1", -1, 2), {}, OverflowError, "start"),
        (("chr1", 1, "2"), {}, TypeError, "end"),
        (("chr1", 1, 2), {"rc": 1}, TypeError, "rc"),
        (("chr1", 1, 2**64), {}, OverflowError, "end"),
    ],
)
def test_get_seq_argument_errors_name_the_argument(fasta, capfd, args, kwargs, exc, arg):
    with pytest.raises(exc, match=f"'{arg}'"):
        fasta.get_seq(*args, **kwargs)
    assert capfd.readouterr().err == ""


def test_get_seq_missing_argument(fasta):
    with pytest.raises(TypeError, match="'end'"):
        fasta.get_seq("chr1", 1)


# ---------------------------------------------------------------- get_spliced_seq


@pytest.mark.parametrize(
    "intervals, rc, expected",
    [
        ([(1, 3), (7, 9)], None, ("ACGGTA", 1, 9)),
        ([(1, 3), (7, 9)], False, ("ACGGTA", 1, 9)),
        ([(1, 3), (7, 9)], True, ("TACCGT", 1, 9)),
        ([(7, 9), (1, 3)], None, ("GTAACG", 7, 3)),
        ([(7, 9), (1, 3)], True, ("CGTTAC", 7, 3)),
        ([(2, 4), (3, 5)], None, ("CGTGTA", 2, 5)),
        ([], None, ("", None, None)),
        ([], True, ("", None, None)),
    ],
)
def test_spliced(fasta, intervals, rc, expected):
    got = fasta.get_spliced_seq("chr1", intervals, rc=rc)
    assert type(got) is gelvo.Sequence
    assert fields(got) == ("chr1",) + expected + (False,)


def test_spliced_accepts_any_sequence_of_pairs(fasta):
    assert fasta.get_spliced_seq("chr1", ((1, 3), (7, 9))).seq == "ACGGTA"


def test_one_interval_matches_get_seq(fasta):
    one = fasta.get_spliced_seq("chr1", [(59, 62)])
    assert fields(one) == fields(fasta.get_seq("chr1", 59, 62))
    flipped = fasta.get_spliced_seq("chr1", [(59, 62)], rc=True)
    region = fasta.get_seq("chr1", 59, 62, rc=True)
    assert flipped.seq == region.seq
    assert (flipped.start, flipped.end, flipped.comp) == (59, 62, False)
    assert (region.start, region.end, region.comp) == (62, 59, True)


def test_empty_intervals_fetch_nothing_even_for_unknown_name(fasta, capfd):
    got = fasta.get_spliced_seq("chrZ", [])
    assert fields(got) == ("chrZ", "", None, None, False)
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize(
    "options, start, end",
    [({"one_based_attributes": False}, 0, 9), ({"as_raw": True}, None, None)],
)
def test_spliced_coordinates_follow_options(path, options, start, end):
    got = gelvo.Fasta(path, **options).get_spliced_seq("chr1", [(1, 3), (7, 9)])
    assert (got.seq, got.start, got.end) == ("ACGGTA", start, end)


def test_spliced_lenient_pieces_warn_in_order(fasta, capfd):
    got = fasta.get_spliced_seq("chr1", [(8, 3), (98, 110), (0, 2)])
    assert (got.seq, got.start, got.end) == (BASES[97:], 8, 2)
    assert capfd.readouterr().err.splitlines() == [
        "WARNING: start coordinate 8 is greater than end coordinate 3",
        "WARNING: coordinates 98-110 are out of bounds for sequence 'chr1' of length 100",
        "WARNING: coordinates cannot be 0 (1-based indexing)",
    ]


def test_spliced_pieces_upper_cased_and_filled(write_fasta):
    path = write_fasta(">low\nacgt\n")
    with open(path + ".fai", "w") as f:
        f.write("low\t6\t5\t4\t5\n")  # two more bases than the file holds
    fasta = gelvo.Fasta(path, default_seq="n", sequence_always_upper=True, rebuild=False)
    assert fasta.get_spliced_seq("low", [(1, 2), (4, 6)]).seq == "ACTNN"


def test_spliced_stops_at_first_failing_interval(path, capfd):
    fasta = gelvo.Fasta(path, strict_bounds=True)
    with pytest.raises(IndexError, match="^start coordinate 5 is greater than end coordinate 4$"):
        fasta.get_spliced_seq("chr1", [(1, 2), (5, 4), (0, 1)])
    with pytest.raises(Exception, match=r"^FetchError: Sequence 'nope' not found$"):
        fasta.get_spliced_seq("nope", [(1, 2)])


@pytest.mark.parametrize(
    "intervals, exc",
    [
        ("ACGT", TypeError),
        (5, TypeError),
        # The first interval would warn if it were fetched.
        ([(0, 500), (3,)], TypeError),
        ([(0, 500), [3, 4]], TypeError),
        ([(0, 500), (3, "4")], TypeError),
        ([(0, 500), (1, -2)], OverflowError),
    ],
)
def test_spliced_intervals_converted_before_any_fetch(fasta, capfd, intervals, exc):
    with pytest.raises(exc, match="'intervals'"):
        fasta.get_spliced_seq("chr1", intervals)
    assert capfd.readouterr().err == ""


def test_spliced_rc_must_be_bool(fasta):
    with pytest.raises(TypeError, match="'rc'"):
        fasta.get_spliced_seq("chr1", [(1, 2)], rc="yes")
