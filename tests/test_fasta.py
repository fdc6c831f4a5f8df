"""Fasta: construction, printed form, close/with, the mapping surface, the classes."""

import ctypes

import gelvo
import pytest

TWO = ">chr1\nACGTACGTAC\n>chr2 some description\nGGGCC\n"
# The defaults of every parameter after filename, in Fasta's order.
DEFAULTS = [None, None, None, False, False, None, False, None, None, True, False, "stop", False, True, True]


@pytest.fixture
def two(write_fasta):
    return write_fasta(TWO)


def by_hand(write_fasta, fasta_text, fai_text):
    """A FASTA file with a hand-written index, which rebuild=False keeps."""
    path = write_fasta(fasta_text)
    with open(path + ".fai", "w") as f:
        f.write(fai_text)
    return path


def c_api(name, *argtypes):
    function = getattr(ctypes.pythonapi, name)
    function.restype, function.argtypes = ctypes.py_object, [ctypes.py_object, *argtypes]
    return function


def test_positional_order_is_fastas_own(write_fasta, tmp_path):
    # The index claims 8 bases where the file holds 4; default_seq fills them.
    path = by_hand(write_fasta, ">s\nACGT\n", "s\t8\t3\t4\t5\n")
    other = tmp_path / "other.fai"
    assert str(gelvo.Fasta(path, None, "N", None, False, False, None, False, rebuild=False)["s"]) == "ACGTNNNN"
    assert gelvo.Fasta(path, None, None, None, True).get_seq("s", 1, 2).start is None  # as_raw
    gelvo.Fasta(path, str(other))
    assert other.read_text().startswith("s\t4\t")
    assert gelvo.Fasta(path, *DEFAULTS).keys() == ["s"]
    with pytest.raises(TypeError):
        gelvo.Fasta(path, *DEFAULTS, None)


@pytest.mark.parametrize(
    "position, arg",
    [(4, "as_raw"), (7, "mutable"), (10, "one_based_attributes"), (13, "sequence_always_upper"), (15, "build_index")],
)
def test_positional_refusal_names_the_parameter_of_that_position(tmp_path, position, arg):
    args = [str(tmp_path / "none.fa")] + DEFAULTS
    args[position] = 1
    with pytest.raises(TypeError, match=f"'{arg}'"):  # before the missing file is noticed
        gelvo.Fasta(*args)


def test_missing_file(tmp_path):
    path = str(tmp_path / "none.fa")
    with pytest.raises(Exception) as info:
        gelvo.Fasta(path)
    assert type(info.value) is Exception and str(info.value) == "FastaNotFoundError: " + path


def test_repr_and_filename_hold_the_path_as_given(write_fasta, tmp_path, monkeypatch):
    path = write_fasta(TWO, 'we"ird\\name.fa')
    assert repr(gelvo.Fasta(path)) == 'Fasta("' + path + '")'
    monkeypatch.chdir(tmp_path)
    fasta = gelvo.Fasta(type("Path", (str,), {})('we"ird\\name.fa'))
    assert type(fasta.filename) is str and fasta.filename == 'we"ird\\name.fa'
    with pytest.raises(AttributeError):
        fasta.filename = "x"


def test_close_and_with_change_nothing(two):
    fasta = gelvo.Fasta(two)
    with pytest.raises(ZeroDivisionError):
        with fasta as bound:
            assert bound is fasta
            1 / 0
    assert fasta.close() is None and fasta.close() is None
    assert str(fasta["chr2"]) == "GGGCC"
    assert fasta.__exit__(_exc_type=ValueError, _exc_value=None, _traceback=None) is None
    for bad in [lambda: fasta.__exit__(1, 2, 3, 4), lambda: fasta.__exit__(exc_type=None)]:
        with pytest.raises(TypeError):
            bad()


# ---------------------------------------------------------------- mapping


def test_every_enumeration_follows_the_index_order(two):
    fasta = gelvo.Fasta(two)
    keys = fasta.keys()
    assert sorted(keys) == ["chr1", "chr2"] and keys == gelvo.Faidx(two).keys
    assert [r.name for r in fasta] == [r.name for r in fasta.values()] == keys
    assert [(n, r.name) for n, r in fasta.items()] == [(n, n) for n in keys]
    assert [fasta[i].name for i in range(2)] == keys and fasta[True].name == keys[1]
    assert c_api("PySequence_GetItem", ctypes.c_ssize_t)(fasta, 1).name == keys[1]


def test_subscript_by_name(two):
    fasta = gelvo.Fasta(two)
    record = fasta[type("Name", (str,), {})("chr2")]
    assert type(record) is gelvo.FastaRecord and type(record.name) is str and record.name == "chr2"
    assert fasta["chr2"] is not record


@pytest.mark.parametrize("key", ["chr3", "CHR1", "chr1 ", "0"])
def test_unknown_name(two, key):
    with pytest.raises(KeyError) as info:
        gelvo.Fasta(two)[key]
    assert info.value.args == (f"{key} not in {two}.",)


@pytest.mark.parametrize(
    "key, exc, message",
    [(2, IndexError, "Index out of range")]
    + [(k, TypeError, "Key must be string or integer") for k in (-1, 1.0, None, b"chr1", slice(0, 1), 2**70)],
)
def test_bad_keys(two, key, exc, message):
    with pytest.raises(exc) as info:
        gelvo.Fasta(two)[key]
    assert str(info.value) == message


def test_length_counts_bases_and_drives_truth(write_fasta):
    assert len(gelvo.Fasta(write_fasta(">a\n" + "A" * 1000 + "\n>b\n" + "C" * 500 + "\n"))) == 1500
    empty = gelvo.Fasta(write_fasta(">a\n>b\n", "empty.fa"))
    assert len(empty) == 0 and not empty and empty.keys() == ["a", "b"]


def test_length_beyond_signed_size(write_fasta):
    path = by_hand(write_fasta, ">a\nA\n>b\nC\n", f"a\t{2**62}\t3\t1\t2\nb\t{2**62}\t8\t1\t2\n")
    with pytest.raises(OverflowError):
        len(gelvo.Fasta(path, rebuild=False))


def test_membership_is_exact(two):
    fasta = gelvo.Fasta(two)
    assert "chr1" in fasta and "CHR1" not in fasta and "chr1 " not in fasta and "chr2 some" not in fasta
    with pytest.raises(TypeError, match="'name'"):
        1 in fasta


def test_iterators(two):
    fasta = gelvo.Fasta(two)
    first, second = iter(fasta), iter(fasta)
    assert type(first) is gelvo.FastaIterator and iter(first) is first
    head = next(first).name
    assert [r.name for r in second] == fasta.keys() == [head] + [r.name for r in first]
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(first)


# ---------------------------------------------------------------- classes


@pytest.mark.parametrize("cls", ["FastaRecord", "FastaIterator", "SequenceIterator", "MutableFastaRecord"])
def test_no_constructor(cls):
    with pytest.raises(TypeError) as info:
        getattr(gelvo, cls)()
    assert str(info.value) == "No constructor defined for " + cls


@pytest.mark.parametrize("cls", ["Fasta", "FastaRecord", "FastaIterator", "SequenceIterator", "MutableFastaRecord"])
def test_no_subclass_no_change(cls):
    base = getattr(gelvo, cls)
    assert base.__module__ == "gelvo"
    with pytest.raises(TypeError):
        type("Sub", (base,), {})
    with pytest.raises(TypeError):
        base.extra = 1


def test_mutable_option_hands_out_plain_records(two):
    fasta = gelvo.Fasta(two, mutable=True)
    assert {type(fasta["chr1"])} == {type(r) for r in fasta} == {gelvo.FastaRecord}


@pytest.mark.parametrize(
    "action, exc, message",
    [
        (lambda r: r.__setitem__(0, "A"), NotImplementedError, "Mutable FASTA records not yet implemented"),
        (lambda r: r.__setitem__("any", 5), TypeError, "argument '_value': 'int' object cannot be converted to 'str'"),
        (lambda r: r.__delitem__(object()), NotImplementedError, "can't delete item"),
    ],
)
def test_mutable_record_refuses_assignment(action, exc, message):
    # No operation makes one; allocate one behind the class's back.
    record = c_api("PyType_GenericAlloc", ctypes.c_ssize_t)(gelvo.MutableFastaRecord, 0)
    with pytest.raises(exc) as info:
        action(record)
    assert str(info.value) == message
