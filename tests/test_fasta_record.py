"""FastaRecord: text forms, length, indexing and slicing, and its tie to the Fasta."""

import ctypes
import gc
import weakref

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import gelvo

TEN = "ACGTACGTAC"


def fields(seq):
    return (seq.seq, seq.start, seq.end)


@pytest.fixture
def path(write_fasta):
    return write_fasta(">chr1\n" + TEN + "\n>empty\n>low\nacgtn\n")


@pytest.fixture
def lenient(path):
    return gelvo.Fasta(path)["chr1"]


@pytest.fixture
def strict(path):
    return gelvo.Fasta(path, strict_bounds=True)["chr1"]


def short_record(write_fasta, **options):
    """A record whose index claims 8 bases where the file holds 4."""
    path = write_fasta(">short\nACGT\n")
    with open(path + ".fai", "w") as f:
        f.write("short\t8\t7\t4\t5\n")
    return gelvo.Fasta(path, rebuild=False, **options)["short"]


# ---------------------------------------------------------------- text forms and length


def test_plain_surface(lenient):
    assert repr(lenient) == 'FastaRecord("chr1")'
    assert lenient.name == "chr1" and lenient.long_name == "chr1"
    assert len(lenient) == 10
    assert str(lenient) == TEN
    assert lenient


def test_repr_does_not_escape(write_fasta):
    record = gelvo.Fasta(write_fasta('>we"ird\\name\nAC\n'))['we"ird\\name']
    assert repr(record) == 'FastaRecord("we"ird\\name")'


@pytest.mark.parametrize("attribute", ["name", "long_name", "unpadded_len"])
def test_attributes_are_read_only(lenient, attribute):
    with pytest.raises(AttributeError):
        setattr(lenient, attribute, "x")
    with pytest.raises(AttributeError):
        delattr(lenient, attribute)


def test_records_compare_by_identity(lenient, path):
    other = gelvo.Fasta(path)["chr1"]
    assert lenient != other and lenient == lenient
    assert hash(lenient) != hash(other)


@pytest.mark.parametrize(
    "bases, expected",
    [("NNACGTNNnn", 4), ("ACGT", 4), ("NNNN", 0), ("NANN", 1), ("nNaCnN", 2), ("ANNA", 4), ("N", 0)],
)
def test_unpadded_len(write_fasta, bases, expected):
    assert gelvo.Fasta(write_fasta(f">r\n{bases}\n"))["r"].unpadded_len == expected


def test_empty_record_lenient(path, capfd):
    record = gelvo.Fasta(path)["empty"]
    assert len(record) == 0 and not record
    assert capfd.readouterr().err == ""
    warning = "WARNING: coordinates 1-0 are out of bounds for sequence 'empty' of length 0\n"
    assert str(record) == ""
    assert capfd.readouterr().err == warning
    assert record.unpadded_len == 0
    assert capfd.readouterr().err == warning


@pytest.mark.parametrize("operation", [str, lambda r: r.unpadded_len, lambda r: r[0:]])
def test_empty_record_strict(path, operation):
    record = gelvo.Fasta(path, strict_bounds=True)["empty"]
    with pytest.raises(IndexError, match="^coordinates 1-0 are out of bounds for sequence 'empty' of length 0$"):
        operation(record)


def test_empty_record_whole_slice_takes_no_bounds_check(path, capfd):
    for options in ({}, {"strict_bounds": True}):
        got = gelvo.Fasta(path, **options)["empty"][:]
        assert fields(got) == ("", 1, 0)
    assert capfd.readouterr().err == ""


def test_upper_casing(path):
    record = gelvo.Fasta(path, sequence_always_upper=True)["low"]
    assert str(record) == "ACGTN"
    assert [record[i].seq for i in range(5)] == list("ACGTN")
    assert record[1:4].seq == "CGT" and record[::-2].seq == "NGA" and record[:].seq == "ACGTN"
    assert repr(record) == 'FastaRecord("low")' and record.name == "low"


def test_length_beyond_signed_size_overflows(write_fasta):
    path = write_fasta(">huge\nACGT\n")
    with open(path + ".fai", "w") as f:
        f.write(f"huge\t{2**63}\t6\t4\t5\n")
    record = gelvo.Fasta(path, rebuild=False)["huge"]
    with pytest.raises(OverflowError):
        len(record)
    assert record[1].seq == "C"


# ---------------------------------------------------------------- indexing


@pytest.mark.parametrize(
    "key, expected",
    [(0, ("A", 1, 1)), (-1, ("C", 10, 10)), (-10, ("A", 1, 1)), (3, ("T", 4, 4)), (True, ("C", 2, 2))],
)
def test_index(lenient, strict, key, expected):
    assert fields(lenient[key]) == expected
    assert fields(strict[key]) == expected
    assert lenient[key].name == "chr1"


@pytest.mark.parametrize(
    "key, expected, warning",
    [
        (10, ("", 11, 11), "coordinates 11-11 are out of bounds for sequence 'chr1' of length 10"),
        (-11, ("", 0, 0), "coordinates cannot be 0 (1-based indexing)"),
        # Before the first base there is nothing to count from: it is refused as position 0.
        (-12, ("", 0, 0), "coordinates cannot be 0 (1-based indexing)"),
        (-(2**63), ("", 0, 0), "coordinates cannot be 0 (1-based indexing)"),
    ],
)
def test_index_outside_record(lenient, strict, capfd, key, expected, warning):
    assert fields(lenient[key]) == expected
    assert capfd.readouterr().err == "WARNING: " + warning + "\n"
    with pytest.raises(IndexError) as info:
        strict[key]
    assert str(info.value) == warning


@pytest.mark.parametrize("key", ["a", 1.5, None, 2**63, -(2**63) - 1, b"\x00"])
def test_invalid_index_type(lenient, key):
    with pytest.raises(TypeError, match="^Invalid index type$"):
        lenient[key]


def test_positional_item_access_forwards_to_subscript(lenient):
    get_item = ctypes.pythonapi.PySequence_GetItem
    get_item.restype = ctypes.py_object
    get_item.argtypes = [ctypes.py_object, ctypes.c_ssize_t]
    assert fields(get_item(lenient, 2)) == ("G", 3, 3)


# ---------------------------------------------------------------- slicing


@pytest.mark.parametrize(
    "key, expected",
    [
        (slice(2, 5), ("GTA", 3, 5)),
        (slice(-3, None), ("TAC", 8, 10)),
        (slice(0, None), (TEN, 1, 10)),
        (slice(None, 10), (TEN, 1, 10)),
        (slice(None, -8), ("AC", 1, 2)),
        (slice(-100, 100), (TEN, 1, 10)),
        (slice(None, None), (TEN, 1, 10)),
        (slice(None, None, -1), ("CATGCATGCA", 1, 10)),
        (slice(None, None, 2), ("AGAGA", 1, 10)),
        # Positions 3, 5, 7 and 9, reported as the span the slice names.
        (slice(2, 10, 2), ("GAGA", 3, 10)),
        (slice(8, 2, -2), ("AGA", 4, 9)),
        (slice(1, 8, 3), ("CAT", 2, 8)),
        (slice(-2, None, -3), ("ACG", 1, 9)),
    ],
)
def test_slice(lenient, strict, capfd, key, expected):
    assert fields(lenient[key]) == expected
    assert fields(strict[key]) == expected
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize(
    "key, expected, warning",
    [
        (slice(5, 3), ("", 6, 3), "start coordinate 6 is greater than end coordinate 3"),
        (slice(3, 3), ("", 4, 3), "start coordinate 4 is greater than end coordinate 3"),
        (slice(10, None), ("", 11, 11), "coordinates 11-10 are out of bounds for sequence 'chr1' of length 10"),
        (slice(0, 0), ("", 1, 0), "coordinates cannot be 0 (1-based indexing)"),
    ],
)
def test_empty_step_one_slice_meets_the_fetch_rules(lenient, strict, capfd, key, expected, warning):
    assert fields(lenient[key]) == expected
    assert capfd.readouterr().err == "WARNING: " + warning + "\n"
    with pytest.raises(IndexError) as info:
        strict[key]
    assert str(info.value) == warning


@pytest.mark.parametrize("key", [slice(None, None, 0), slice(2, 5, 0)])
def test_zero_step(lenient, key):
    with pytest.raises(ValueError):
        lenient[key]


@pytest.mark.parametrize("key", [slice(1, "5"), slice(1.0, 5), slice(1, 5, 2.0), slice(None, 5, 0.5)])
def test_non_integer_slice_parts(lenient, key):
    with pytest.raises(TypeError):
        lenient[key]


# A record shorter in the file than in its index tells the two fetches apart:
# the region fetch fills the missing bases, the whole-sequence fetch does not.
@pytest.mark.parametrize(
    "key",
    [slice(None, None), slice(None, None, 1), slice(0, 8, 1), slice(None, None, 2.5), slice(None, None, True),
     slice(None, None, 2**70)],
)
def test_whole_record_forms_use_the_whole_sequence_fetch(write_fasta, key):
    assert fields(short_record(write_fasta, default_seq="N")[key]) == ("ACGT", 1, 8)


@pytest.mark.parametrize("key", [slice(0, None), slice(None, 8), slice(0, 8), slice(-8, None), slice(0, 9, 1)])
def test_other_whole_spans_use_the_region_fetch(write_fasta, key):
    assert fields(short_record(write_fasta, default_seq="N")[key]) == ("ACGTNNNN", 1, 8)


@pytest.mark.parametrize("default_seq", [None, "N", "NX"])
@pytest.mark.parametrize("key", [slice(1, 8, 2), slice(6, 0, -2), slice(None, None, 3), slice(2, None, -1)])
def test_stepped_slice_of_a_short_record_matches_the_whole_fetch(write_fasta, tmp_path, default_seq, key):
    record = short_record(write_fasta, default_seq=default_seq)
    whole = gelvo.Faidx(str(tmp_path / "ref.fa"), default_seq=default_seq, rebuild=False).fetch("short", 1, 8)
    assert fields(record[key]) == fields(whole[key])


def test_stepped_slice_of_non_ascii_bases_matches_the_whole_fetch(write_fasta):
    path = write_fasta(">u\nAC\u00e9GT\n")
    record = gelvo.Fasta(path)["u"]
    whole = gelvo.Faidx(path).fetch("u", 1, len(record))
    for key in (slice(0, 6, 2), slice(1, None, 2), slice(5, 0, -1)):
        assert fields(record[key]) == fields(whole[key])


def test_stepped_slice_of_empty_record(path, capfd):
    got = gelvo.Fasta(path)["empty"][1:5:2]
    assert capfd.readouterr().err == "WARNING: coordinates 1-0 are out of bounds for sequence 'empty' of length 0\n"
    assert got.seq == ""
    with pytest.raises(IndexError):
        gelvo.Fasta(path, strict_bounds=True)["empty"][1:5:2]


# ---------------------------------------------------------------- stepped slices, property


def _bases(n):
    return "".join("ACGTacgtNn"[(i * 7 + i // 3) % 10] for i in range(n))


RECORDS = {"one": (1, 60), "seven": (7, 3), "sixty_one": (61, 60), "hundred": (100, 13), "exact": (26, 13)}
OPTIONS = [
    {},
    {"strict_bounds": True},
    {"one_based_attributes": False},
    {"as_raw": True},
    {"sequence_always_upper": True, "strict_bounds": True},
]


@pytest.fixture(scope="module")
def stepped_files(tmp_path_factory):
    text = ""
    for name, (length, width) in RECORDS.items():
        bases = _bases(length)
        text += f">{name}\n" + "".join(bases[i : i + width] + "\n" for i in range(0, length, width))
    path = tmp_path_factory.mktemp("stepped") / "stepped.fa"
    path.write_text(text)
    return [(gelvo.Fasta(str(path), **o), gelvo.Faidx(str(path), **o)) for o in OPTIONS]


bound = st.one_of(st.none(), st.integers(-130, 130))
step = st.integers(-15, 15).filter(lambda t: t not in (0, 1))


@settings(max_examples=600, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    name=st.sampled_from(sorted(RECORDS)),
    which=st.integers(0, len(OPTIONS) - 1),
    start=bound,
    stop=bound,
    step=step,
)
def test_stepped_slice_equals_slicing_the_whole_record(stepped_files, capfd, name, which, start, stop, step):
    fasta, faidx = stepped_files[which]
    key = slice(start, stop, step)
    length = RECORDS[name][0]
    got = fasta[name][key]
    expected = faidx.fetch(name, 1, length)[key]
    assert (got.name, got.seq, got.start, got.end, got.comp) == (
        expected.name, expected.seq, expected.start, expected.end, expected.comp)
    assert capfd.readouterr().err == ""
    bases = _bases(length)
    if OPTIONS[which].get("sequence_always_upper"):
        bases = bases.upper()
    # Sequence slicing begins a reversed walk at the last base when the start
    # lies before the first one; everywhere else it selects what Python does.
    if not (step < 0 and start is not None and start < -length):
        assert got.seq == bases[key]


# ---------------------------------------------------------------- tie to the Fasta


def test_record_outlives_every_other_reference_to_its_fasta(path):
    record = gelvo.Fasta(path)["chr1"]
    iterator = iter(gelvo.Fasta(path)["chr1"])
    gc.collect()
    assert str(record) == TEN
    assert record[2:10:2].seq == "GAGA"
    assert [s.seq for s in iterator] == [TEN]
    assert [s.seq for s in reversed(record)] == [TEN[::-1]]


def test_cycle_through_a_kept_option_is_collected(path):
    class Holder:
        pass

    holder = Holder()
    fasta = gelvo.Fasta(path, key_function=holder)
    holder.items = [fasta["chr1"], iter(fasta), iter(fasta["chr1"])]
    alive = weakref.ref(holder)
    del fasta, holder
    gc.collect()
    assert alive() is None
