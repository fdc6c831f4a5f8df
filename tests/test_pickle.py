"""Pickling, for process pools: Faidx and Fasta reopen their file with their
options, a FastaRecord travels as its Fasta and name, a Sequence by value."""

import concurrent.futures
import multiprocessing
import operator
import os
import pickle

import gelvo
import pytest
from conftest import set_mtime

CHR1 = "ACGTTGCAAGGCTTAACCGTACGTAGCTAGCTAACGTTTTAAAACCCCGGGG" * 3
CHR2 = "ttggccaaTTGGCCAAnnnn"
TEXT = f">chr1 first\n{CHR1[:60]}\n{CHR1[60:120]}\n{CHR1[120:]}\n>chr2\n{CHR2}\n"

# Every constructor parameter with its default, in each class's positional order.
FAIDX_ORDER = [
    ("filename", None),
    ("indexname", None),
    ("as_raw", False),
    ("strict_bounds", False),
    ("sequence_always_upper", False),
    ("rebuild", True),
    ("build_index", True),
    ("one_based_attributes", True),
    ("default_seq", None),
    ("mutable", False),
    ("key_function", None),
    ("split_char", None),
    ("filt_function", None),
    ("read_long_names", False),
    ("duplicate_action", "stop"),
    ("read_ahead", None),
]
FASTA_ORDER = [
    ("filename", None),
    ("indexname", None),
    ("default_seq", None),
    ("key_function", None),
    ("as_raw", False),
    ("strict_bounds", False),
    ("read_ahead", None),
    ("mutable", False),
    ("split_char", None),
    ("filt_function", None),
    ("one_based_attributes", True),
    ("read_long_names", False),
    ("duplicate_action", "stop"),
    ("sequence_always_upper", False),
    ("rebuild", True),
    ("build_index", True),
]
ORDER = {gelvo.Faidx: FAIDX_ORDER, gelvo.Fasta: FASTA_ORDER}
HANDLES = [gelvo.Faidx, gelvo.Fasta]


def first_word(name):
    """A key function that pickles by reference."""
    return name.split()[0]


def keep_all(name):
    return True


def fields(s):
    return (s.name, s.seq, s.start, s.end, s.comp)


def fetch(handle, name, start, end):
    return handle.fetch(name, start, end) if isinstance(handle, gelvo.Faidx) else handle.get_seq(name, start, end)


def reversed_region(handle):
    try:
        return fields(fetch(handle, "chr1", 10, 5))
    except IndexError as e:
        return str(e)


def round_trip(obj, protocol=pickle.HIGHEST_PROTOCOL):
    return pickle.loads(pickle.dumps(obj, protocol))


@pytest.fixture
def ref(write_fasta):
    return write_fasta(TEXT)


# ---------------------------------------------------------------- Sequence


@pytest.mark.parametrize(
    "args",
    [
        ("chr1", "ACGT", 5, 8, False),
        ("chr1", "CGTA", 8, 5, True),
        ("chr1", "acgtn", None, None, False),
        ("x", "A", 3, None, True),
        ("", "", None, None, False),
        ("é名", "NNNN", 0, 2**63, False),
    ],
)
@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_sequence_pickles_by_value(args, protocol):
    back = round_trip(gelvo.Sequence(*args), protocol)
    assert type(back) is gelvo.Sequence
    assert fields(back) == args


def test_fetched_sequences_keep_their_coordinates_through_pickle(ref):
    fasta = gelvo.Fasta(ref)
    values = [fasta.get_seq("chr1", 3, 70), fasta.get_seq("chr1", 3, 70, rc=True), fasta["chr2"][::-2]]
    assert [fields(s) for s in round_trip(values)] == [fields(s) for s in values]
    assert round_trip(values[1]).seq == values[1].seq and values[1].start == 70


# ---------------------------------------------------------------- Faidx and Fasta


OPTION_SETS = [
    {},
    {"as_raw": True, "strict_bounds": True, "sequence_always_upper": True},
    {"rebuild": False, "build_index": False, "one_based_attributes": False, "mutable": True},
    {
        "default_seq": "N",
        "split_char": "|",
        "read_long_names": True,
        "duplicate_action": "first",
        "read_ahead": 4096,
        "key_function": first_word,
        "filt_function": keep_all,
    },
]


@pytest.mark.parametrize("cls", HANDLES)
@pytest.mark.parametrize("options", OPTION_SETS)
def test_reduce_gives_the_constructor_arguments_in_positional_order(ref, tmp_path, cls, options):
    options = dict(options, indexname=str(tmp_path / "custom.fai"))
    gelvo.Faidx(ref, options["indexname"])  # build_index=False needs one
    handle = cls(ref, **options)
    expected = tuple(ref if name == "filename" else options.get(name, default) for name, default in ORDER[cls])
    assert handle.__reduce__() == (cls, expected)
    # The tuple opens an equal handle when called positionally.
    assert cls(*expected).__reduce__() == (cls, expected)
    back = round_trip(handle)
    assert type(back) is cls and back.__reduce__() == (cls, expected)


@pytest.mark.parametrize("cls", HANDLES)
@pytest.mark.parametrize(
    "option, probe",
    [
        ({"as_raw": True}, lambda h: fields(fetch(h, "chr1", 2, 5))),
        ({"one_based_attributes": False}, lambda h: fields(fetch(h, "chr1", 2, 5))),
        ({"sequence_always_upper": True}, lambda h: fetch(h, "chr2", 1, 10).seq),
        ({"strict_bounds": True}, reversed_region),
    ],
)
def test_unpickled_handle_fetches_as_the_original(ref, cls, option, probe, capfd):
    handle = cls(ref, **option)
    # The option must show in the probe, or its survival would go unseen.
    assert probe(handle) != probe(cls(ref))
    assert probe(round_trip(handle)) == probe(handle)
    capfd.readouterr()


@pytest.mark.parametrize("cls", HANDLES)
def test_default_seq_survives(write_fasta, cls):
    # The index claims 8 bases where the file holds 4, and is newer than it.
    path = write_fasta(">s\nACGT\n")
    with open(path + ".fai", "w") as f:
        f.write("s\t8\t3\t4\t5\n")
    set_mtime(path, 1_000_000_000)
    set_mtime(path + ".fai", 1_000_000_100)
    back = round_trip(cls(path, default_seq="N"))
    assert fetch(back, "s", 1, 8).seq == "ACGTNNNN"


@pytest.mark.parametrize("cls", HANDLES)
def test_rebuild_false_keeps_a_stale_index_in_the_copy(write_fasta, cls):
    path = write_fasta(">real\nACGT\n")
    with open(path + ".fai", "w") as f:
        f.write("stale\t4\t6\t4\t5\n")
    set_mtime(path + ".fai", 1_000_000_000)
    set_mtime(path, 1_000_000_100)
    keys = lambda h: h.keys if isinstance(h, gelvo.Faidx) else h.keys()  # noqa: E731
    assert keys(round_trip(cls(path, rebuild=False))) == ["stale"]
    assert keys(round_trip(cls(path))) == ["real"]


@pytest.mark.parametrize("cls", HANDLES)
def test_build_index_false_survives(ref, cls):
    gelvo.Faidx(ref)
    data = pickle.dumps(cls(ref, build_index=False))
    os.remove(ref + ".fai")
    with pytest.raises(Exception, match="^IndexNotFoundError: " + ref):
        pickle.loads(data)


@pytest.mark.parametrize("cls", HANDLES)
def test_indexname_survives(ref, tmp_path, cls):
    custom = str(tmp_path / "elsewhere.fai")
    data = pickle.dumps(cls(ref, custom))
    os.remove(custom)
    back = pickle.loads(data)
    assert os.path.exists(custom) and not os.path.exists(ref + ".fai")
    assert fetch(back, "chr1", 1, 4).seq == CHR1[:4]


@pytest.mark.parametrize("cls", HANDLES)
def test_an_up_to_date_index_is_not_rebuilt_by_unpickling(ref, cls):
    handle = cls(ref)
    set_mtime(ref, 1_000_000_000)
    set_mtime(ref + ".fai", 1_000_000_100)
    before = os.stat(ref + ".fai")
    round_trip(handle)
    after = os.stat(ref + ".fai")
    assert (after.st_ino, after.st_mtime_ns) == (before.st_ino, before.st_mtime_ns)


@pytest.mark.parametrize("cls", HANDLES)
@pytest.mark.parametrize("option", ["key_function", "filt_function"])
def test_an_option_that_does_not_pickle_fails_the_pickle(ref, cls, option):
    handle = cls(ref, **{option: lambda name: name})
    with pytest.raises((pickle.PicklingError, AttributeError)):
        pickle.dumps(handle)


# ---------------------------------------------------------------- records and iterators


def test_record_pickles_as_its_fasta_and_name(ref):
    fasta = gelvo.Fasta(ref, sequence_always_upper=True)
    record = fasta["chr2"]
    assert record.__reduce__() == (operator.getitem, (fasta, "chr2"))
    back = round_trip(record)
    assert type(back) is gelvo.FastaRecord and back.name == "chr2"
    assert str(back) == CHR2.upper()  # the Fasta's options came along
    assert fields(back[2:6]) == fields(record[2:6])


def test_records_of_one_fasta_share_one_fasta_after_unpickling(ref):
    fasta = gelvo.Fasta(ref)
    first, second = round_trip([fasta["chr1"], fasta["chr2"]])
    assert first.__reduce__()[1][0] is second.__reduce__()[1][0]


def test_record_of_a_fasta_with_an_unpicklable_option_fails(ref):
    record = gelvo.Fasta(ref, key_function=lambda name: name)["chr1"]
    with pytest.raises((pickle.PicklingError, AttributeError)):
        pickle.dumps(record)


@pytest.mark.parametrize(
    "make", [lambda f: iter(f), lambda f: iter(f["chr1"])], ids=["FastaIterator", "SequenceIterator"]
)
def test_iterators_do_not_pickle(ref, make):
    with pytest.raises(TypeError, match="cannot pickle"):
        pickle.dumps(make(gelvo.Fasta(ref)))


# ---------------------------------------------------------------- process pools


def fetch_in_child(handle, record, regions):
    """Runs in a worker process: what the unpickled objects give there."""
    return os.getpid(), handle.fetch_many(regions), record[5:75], str(record)


@pytest.mark.parametrize("method", ["forkserver", "spawn"])
@pytest.mark.parametrize("cls", HANDLES)
def test_process_pool_workers_fetch_the_parents_bases(ref, method, cls):
    handle = cls(ref)
    record = gelvo.Fasta(ref)["chr1"]
    set_mtime(ref, 1_000_000_000)
    set_mtime(ref + ".fai", 1_000_000_100)
    before = os.stat(ref + ".fai")
    # 1000 regions: the child's batch runs on its own worker threads.
    regions = [("chr1" if i % 3 else "chr2", 1 + i % 7, 8 + i % 11) for i in range(1000)]
    context = multiprocessing.get_context(method)
    with concurrent.futures.ProcessPoolExecutor(max_workers=2, mp_context=context) as pool:
        pid, fetched, piece, whole = pool.submit(fetch_in_child, handle, record, regions).result(timeout=120)
    assert pid != os.getpid()
    assert [fields(s) for s in fetched] == [fields(s) for s in handle.fetch_many(regions)]
    texts = {"chr1": CHR1, "chr2": CHR2}
    assert [s.seq for s in fetched] == [texts[name][start - 1 : end] for name, start, end in regions]
    assert fields(piece) == ("chr1", CHR1[5:75], 6, 75, False)
    assert whole == CHR1
    after = os.stat(ref + ".fai")
    assert (after.st_ino, after.st_mtime_ns) == (before.st_ino, before.st_mtime_ns)
