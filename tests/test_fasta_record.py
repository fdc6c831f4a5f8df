"""FastaRecord: text forms, length, indexing and slicing, and its tie to the Fasta."""

import gc
import weakref

import gelvo
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

TEN = "ACGTACGTAC"


def fields(seq):
    return (seq.seq, seq.start, seq.end)


@pytest.fixture
def path(write_fasta):
    return write_fasta(">chr1\n" + TEN + "\n>empty\n>low\nacgtn\n")


@pytest.fixture
def records(path):
    return gelvo.Fasta(path)["chr1"], gelvo.Fasta(path, strict_bounds=True)["chr1"]


def short_record(write_fasta, **options):
    """A record whose index claims 8 bases where the file holds 4."""
    path = write_fasta(">short\nACGT\n")
    with open(path + ".fai", "w") as f:
        f.write("short\t8\t7\t4\t5\n")
    return gelvo.Fasta(path, rebuild=False, **options)["short"], gelvo.Faidx(path, rebuild=False, **options)


def test_plain_surface(records):
    record = records[0]
    assert (repr(record), record.name, record.long_name, len(record), str(record)) == (
        'FastaRecord("chr1")',
        "chr1",
        "chr1",
        10,
        TEN,
    )
    for attribute in ("name", "long_name", "unpadded_len"):
        with pytest.raises(AttributeError):
            setattr(record, attribute, "x")


@pytest.mark.parametrize("bases, expected", [("NNACGTNNnn", 4), ("NNNN", 0), ("NANN", 1), ("ANNA", 4)])
def test_unpadded_len(write_fasta, bases, expected):
    assert gelvo.Fasta(write_fasta(f">r\n{bases}\n"))["r"].unpadded_len == expected


def test_empty_record(path, capfd):
    lenient, strict = gelvo.Fasta(path)["empty"], gelvo.Fasta(path, strict_bounds=True)["empty"]
    assert not lenient and capfd.readouterr().err == ""
    assert fields(lenient[:]) == fields(strict[:]) == ("", 1, 0)  # the whole fetch checks no bounds
    assert (str(lenient), lenient.unpadded_len, lenient[0:].seq, lenient[1:5:2].seq) == ("", 0, "", "")
    warning = "coordinates 1-0 are out of bounds for sequence 'empty' of length 0"
    assert capfd.readouterr().err == f"WARNING: {warning}\n" * 4
    for operation in (str, lambda r: r.unpadded_len, lambda r: r[0:], lambda r: r[1:5:2]):
        with pytest.raises(IndexError, match=f"^{warning}$"):
            operation(strict)


def test_upper_casing_spares_the_name(path):
    record = gelvo.Fasta(path, sequence_always_upper=True)["low"]
    assert [str(record), record[1].seq, record[1:4].seq, record[::-2].seq, record[:].seq, record[4:0:-3].seq] == [
        "ACGTN",
        "C",
        "CGT",
        "NGA",
        "ACGTN",
        "NC",
    ]
    assert repr(record) == 'FastaRecord("low")'


@pytest.mark.parametrize(
    "key, expected",
    [
        (0, ("A", 1, 1)),
        (-1, ("C", 10, 10)),
        (-10, ("A", 1, 1)),
        (True, ("C", 2, 2)),
        (slice(2, 5), ("GTA", 3, 5)),
        (slice(-3, None), ("TAC", 8, 10)),
        (slice(-100, 100), (TEN, 1, 10)),
        (slice(None, None, -1), ("CATGCATGCA", 1, 10)),
        (slice(None, None, 2), ("AGAGA", 1, 10)),
        # Positions 3, 5, 7 and 9, reported as the span the slice names.
        (slice(2, 10, 2), ("GAGA", 3, 10)),
        (slice(8, 2, -2), ("AGA", 4, 9)),
        (slice(-2, None, -3), ("ACG", 1, 9)),
    ],
)
def test_subscript_inside_the_record(records, capfd, key, expected):
    assert fields(records[0][key]) == fields(records[1][key]) == expected
    assert records[0][key].name == "chr1" and capfd.readouterr().err == ""


@pytest.mark.parametrize(
    "key, expected, message",
    [
        (10, ("", 11, 11), "coordinates 11-11 are out of bounds for sequence 'chr1' of length 10"),
        (-11, ("", 0, 0), "coordinates cannot be 0 (1-based indexing)"),
        # Nothing lies before the first base to count from: refused as position 0.
        (-(2**63), ("", 0, 0), "coordinates cannot be 0 (1-based indexing)"),
        (slice(5, 3), ("", 6, 3), "start coordinate 6 is greater than end coordinate 3"),
        (slice(10, None), ("", 11, 11), "coordinates 11-10 are out of bounds for sequence 'chr1' of length 10"),
        (slice(0, 0), ("", 1, 0), "coordinates cannot be 0 (1-based indexing)"),
    ],
)
def test_subscript_outside_the_record(records, capfd, key, expected, message):
    assert fields(records[0][key]) == expected
    assert capfd.readouterr().err == f"WARNING: {message}\n"
    with pytest.raises(IndexError) as info:
        records[1][key]
    assert str(info.value) == message


@pytest.mark.parametrize(
    "key, exc",
    [
        ("a", TypeError),
        (1.5, TypeError),
        (2**63, TypeError),
        (slice(1, "5"), TypeError),
        (slice(1, 5, 2.0), TypeError),
        (slice(None, None, 0), ValueError),
        (slice(2, 5, 0), ValueError),
    ],
)
def test_refused_keys(records, key, exc):
    with pytest.raises(exc) as info:
        records[0][key]
    if exc is TypeError and not isinstance(key, slice):
        assert str(info.value) == "Invalid index type"


# A record shorter in the file than in its index tells the two fetches apart:
# the region fetch fills the missing bases, the whole-sequence fetch does not.
@pytest.mark.parametrize(
    "key, expected",
    [(k, "ACGT") for k in (slice(None, None), slice(None, None, 1), slice(0, 8, 1), slice(None, None, 2.5))]
    + [(k, "ACGTNNNN") for k in (slice(0, None), slice(None, 8), slice(0, 8), slice(0, 9, 1))],
)
def test_whole_record_forms(write_fasta, key, expected):
    assert fields(short_record(write_fasta, default_seq="N")[0][key]) == (expected, 1, 8)


@pytest.mark.parametrize("default_seq", [None, "NX"])
def test_stepped_slices_where_bases_and_positions_disagree(write_fasta, default_seq):
    record, faidx = short_record(write_fasta, default_seq=default_seq)
    for key in (slice(1, 8, 2), slice(6, 0, -2), slice(2, None, -1)):
        assert fields(record[key]) == fields(faidx.fetch("short", 1, 8)[key])
    path = write_fasta(">u\nAC\u00e9GT\n", "u.fa")
    record, whole = gelvo.Fasta(path)["u"], gelvo.Faidx(path).fetch("u", 1, 6)
    for key in (slice(0, 6, 2), slice(5, 0, -1)):
        assert fields(record[key]) == fields(whole[key])


def bases_of(n):
    return "".join("ACGTacgtNn"[(i * 7 + i // 3) % 10] for i in range(n))


RECORDS = {"one": (1, 60), "seven": (7, 3), "sixty_one": (61, 60), "hundred": (100, 13)}
OPTIONS = [
    {},
    {"strict_bounds": True},
    {"one_based_attributes": False},
    {"as_raw": True},
    {"sequence_always_upper": True, "strict_bounds": True},
]


@pytest.fixture(scope="module")
def stepped_files(tmp_path_factory):
    path = tmp_path_factory.mktemp("stepped") / "stepped.fa"
    path.write_text(
        "".join(
            f">{name}\n" + "".join(bases_of(n)[i : i + width] + "\n" for i in range(0, n, width))
            for name, (n, width) in RECORDS.items()
        )
    )
    return [(gelvo.Fasta(str(path), **o), gelvo.Faidx(str(path), **o)) for o in OPTIONS]


bound = st.one_of(st.none(), st.integers(-130, 130))


@settings(max_examples=600, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    name=st.sampled_from(sorted(RECORDS)),
    which=st.integers(0, len(OPTIONS) - 1),
    start=bound,
    stop=bound,
    step=st.integers(-15, 15).filter(lambda t: t not in (0, 1)),
)
def test_stepped_slice_equals_slicing_the_whole_record(stepped_files, capfd, name, which, start, stop, step):
    fasta, faidx = stepped_files[which]
    key, length = slice(start, stop, step), RECORDS[name][0]
    got, expected = fasta[name][key], faidx.fetch(name, 1, length)[key]
    assert (got.name, got.seq, got.start, got.end, got.comp) == (
        expected.name,
        expected.seq,
        expected.start,
        expected.end,
        expected.comp,
    )
    assert capfd.readouterr().err == ""
    bases = bases_of(length).upper() if "sequence_always_upper" in OPTIONS[which] else bases_of(length)
    # Sequence slicing walks back from the last base when a negative step
    # starts before the first one; everywhere else it picks what Python picks.
    if not (step < 0 and start is not None and start < -length):
        assert got.seq == bases[key]


def test_record_and_iterator_outlive_their_fasta(path):
    record, iterator = gelvo.Fasta(path)["chr1"], iter(gelvo.Fasta(path)["chr1"])
    gc.collect()
    assert (str(record), record[2:10:2].seq, [s.seq for s in iterator]) == (TEN, "GAGA", [TEN])


def test_cycle_through_a_kept_option_is_collected(path):
    holder = type("Holder", (), {})()
    fasta = gelvo.Fasta(path, key_function=holder)
    holder.items = [fasta["chr1"], iter(fasta), iter(fasta["chr1"])]
    alive = weakref.ref(holder)
    del fasta, holder
    gc.collect()
    assert alive() is None
