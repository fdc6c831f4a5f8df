"""Fasta: construction, printed form, close/with, and the mapping surface."""

import ctypes
import re

import pytest

import gelvo

TWO = ">chr1\nACGTACGTAC\n>chr2 some description\nGGGCC\n"


@pytest.fixture
def two(write_fasta):
    return write_fasta(TWO)


def index_by_hand(write_fasta, fasta_text, fai_text, name="ref.fa"):
    """A FASTA file with an index written by hand; rebuild=False keeps it."""
    path = write_fasta(fasta_text, name)
    with open(path + ".fai", "w") as f:
        f.write(fai_text)
    return path


# ---------------------------------------------------------------- construction


def test_text_signature_is_fastas_own_order():
    assert gelvo.Fasta.__text_signature__ == (
        "(filename, indexname=None, default_seq=None, key_function=None, as_raw=False, "
        "strict_bounds=False, read_ahead=None, mutable=False, split_char=None, filt_function=None, "
        "one_based_attributes=True, read_long_names=False, duplicate_action=..., "
        "sequence_always_upper=False, rebuild=True, build_index=True)"
    )


def test_missing_file_raises_plain_exception_with_path_as_given(tmp_path):
    path = str(tmp_path / "none.fa")
    with pytest.raises(Exception) as info:
        gelvo.Fasta(path)
    assert type(info.value) is Exception
    assert str(info.value) == "FastaNotFoundError: " + path


def test_second_positional_is_indexname(two, tmp_path):
    other = tmp_path / "elsewhere.fai"
    gelvo.Fasta(two, str(other))
    assert other.read_text().startswith("chr1\t10\t")
    assert not (tmp_path / "ref.fa.fai").exists()


def test_third_positional_is_default_seq(write_fasta):
    # The index claims 8 bases where the file holds 4: the filler supplies the rest.
    path = index_by_hand(write_fasta, ">short\nACGT\n", "short\t8\t7\t4\t5\n")
    fasta = gelvo.Fasta(path, None, "N", rebuild=False)
    assert str(fasta["short"]) == "ACGTNNNN"


def test_fifth_positional_is_as_raw(two):
    fasta = gelvo.Fasta(two, None, None, None, True)
    got = fasta.get_seq("chr1", 1, 4)
    assert (got.seq, got.start, got.end) == ("ACGT", None, None)


# The defaults of every parameter after filename, in Fasta's order.
FASTA_DEFAULTS = [None, None, None, False, False, None, False, None, None, True, False, "stop", False, True, True]


@pytest.mark.parametrize(
    "position, arg, value",
    [
        (4, "as_raw", 1),
        (5, "strict_bounds", "no"),
        (6, "read_ahead", "1"),
        (7, "mutable", 0),
        (10, "one_based_attributes", None),
        (13, "sequence_always_upper", 1),
        (15, "build_index", 0),
    ],
)
def test_positional_refusals_name_the_parameter_of_that_position(tmp_path, position, arg, value):
    args = [str(tmp_path / "none.fa")] + FASTA_DEFAULTS
    args[position] = value
    # The file does not exist: argument conversion comes first.
    with pytest.raises(TypeError, match=re.escape(f"'{arg}'")):
        gelvo.Fasta(*args)


def test_every_parameter_positionally(two):
    assert gelvo.Fasta(two, *FASTA_DEFAULTS).keys() == ["chr1", "chr2"]
    with pytest.raises(TypeError):
        gelvo.Fasta(two, *FASTA_DEFAULTS, None)


def test_unknown_keyword(two):
    with pytest.raises(TypeError, match="unexpected keyword argument 'index_name'"):
        gelvo.Fasta(two, index_name="x")


def test_unused_options_change_nothing(two):
    plain = gelvo.Fasta(two)
    odd = gelvo.Fasta(two, key_function=str.upper, split_char="|", filt_function=len, read_long_names=True,
                      duplicate_action="drop", read_ahead=100)
    assert odd.keys() == plain.keys()
    assert repr(odd["chr2"][:]) == repr(plain["chr2"][:])


# ---------------------------------------------------------------- repr, filename, close, with


@pytest.mark.parametrize("name", ['we"ird.fa', "back\\slash.fa", "plain.fa"])
def test_repr_holds_path_unchanged(write_fasta, name):
    path = write_fasta(TWO, name)
    assert repr(gelvo.Fasta(path)) == 'Fasta("' + path + '")'


def test_relative_filename_stays_relative(two, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    fasta = gelvo.Fasta("ref.fa")
    assert fasta.filename == "ref.fa"
    assert repr(fasta) == 'Fasta("ref.fa")'


def test_filename_is_read_only_and_a_plain_str(two):
    class Path(str):
        pass

    fasta = gelvo.Fasta(Path(two))
    assert type(fasta.filename) is str and fasta.filename == two
    with pytest.raises(AttributeError):
        fasta.filename = "other.fa"


def test_close_and_with_change_nothing(two):
    fasta = gelvo.Fasta(two)
    with fasta as bound:
        assert bound is fasta
    assert fasta.close() is None
    assert fasta.close() is None
    assert fasta.keys() == ["chr1", "chr2"]
    assert str(fasta["chr2"]) == "GGGCC"


def test_exception_in_with_block_propagates(two):
    with pytest.raises(ZeroDivisionError):
        with gelvo.Fasta(two):
            1 / 0


def test_exit_arguments(two):
    fasta = gelvo.Fasta(two)
    assert fasta.__exit__() is None
    assert fasta.__exit__(_exc_type=ValueError, _exc_value=ValueError(), _traceback=None) is None
    with pytest.raises(TypeError):
        fasta.__exit__(None, None, None, None)
    with pytest.raises(TypeError):
        fasta.__exit__(exc_type=None)


# ---------------------------------------------------------------- mapping


def test_names_follow_the_index_order_everywhere(two):
    fasta = gelvo.Fasta(two)
    keys = fasta.keys()
    assert sorted(keys) == ["chr1", "chr2"]
    assert keys == gelvo.Faidx(two).keys
    assert [r.name for r in fasta] == keys
    assert [r.name for r in fasta.values()] == keys
    assert [(n, r.name) for n, r in fasta.items()] == [(n, n) for n in keys]
    assert [fasta[i].name for i in range(len(keys))] == keys


def test_subscript_by_name(two):
    fasta = gelvo.Fasta(two)
    record = fasta["chr1"]
    assert type(record) is gelvo.FastaRecord
    assert record.name == "chr1"
    assert fasta["chr1"] is not record


def test_str_subclass_key_gives_plain_str_name(two):
    class Name(str):
        pass

    record = gelvo.Fasta(two)[Name("chr2")]
    assert type(record.name) is str and record.name == "chr2"


@pytest.mark.parametrize("key", ["chr3", "CHR1", "chr1 ", "0", ""])
def test_unknown_name_raises_key_error_naming_the_file(two, key):
    with pytest.raises(KeyError) as info:
        gelvo.Fasta(two)[key]
    assert info.value.args == (f"{key} not in {two}.",)


def test_subscript_by_position(two):
    fasta = gelvo.Fasta(two)
    keys = fasta.keys()
    assert fasta[0].name == keys[0]
    assert fasta[len(keys) - 1].name == keys[-1]
    assert fasta[True].name == keys[1]
    with pytest.raises(IndexError, match="^Index out of range$"):
        fasta[len(keys)]


@pytest.mark.parametrize("key", [-1, 1.0, None, b"chr1", slice(0, 1), 2**70, object()])
def test_other_keys_raise_type_error(two, key):
    with pytest.raises(TypeError, match="^Key must be string or integer$"):
        gelvo.Fasta(two)[key]


def test_positional_item_access_forwards_to_subscript(two):
    get_item = ctypes.pythonapi.PySequence_GetItem
    get_item.restype = ctypes.py_object
    get_item.argtypes = [ctypes.py_object, ctypes.c_ssize_t]
    fasta = gelvo.Fasta(two)
    assert get_item(fasta, 1).name == fasta.keys()[1]
    with pytest.raises(IndexError):
        get_item(fasta, 2)


def test_length_counts_bases_not_records(write_fasta):
    fasta = gelvo.Fasta(write_fasta(">a\n" + "A" * 1000 + "\n>b\n" + "C" * 500 + "\n"))
    assert len(fasta) == 1500
    assert len(fasta) == sum(len(r) for r in fasta)
    assert len(fasta.keys()) == 2


def test_only_empty_records_is_false_although_named(write_fasta):
    fasta = gelvo.Fasta(write_fasta(">a\n>b\n"))
    assert len(fasta) == 0
    assert not fasta
    assert fasta.keys() == ["a", "b"]


def test_empty_file(write_fasta):
    fasta = gelvo.Fasta(write_fasta(""))
    assert fasta.keys() == [] and list(fasta) == [] and len(fasta) == 0


def test_length_beyond_signed_size_overflows(write_fasta):
    half = 2**62
    path = index_by_hand(write_fasta, ">a\nA\n>b\nC\n", f"a\t{half}\t3\t1\t2\nb\t{half}\t8\t1\t2\n")
    fasta = gelvo.Fasta(path, rebuild=False)
    with pytest.raises(OverflowError):
        len(fasta)
    assert fasta["a"][0].seq == "A"


def test_membership_is_exact(two):
    fasta = gelvo.Fasta(two)
    assert "chr1" in fasta
    assert "CHR1" not in fasta
    assert "chr1 " not in fasta
    assert "chr2 some" not in fasta
    with pytest.raises(TypeError, match="'name'"):
        1 in fasta


# ---------------------------------------------------------------- iteration


def test_iterator_ends_and_stays_ended(two):
    it = iter(gelvo.Fasta(two))
    assert type(it) is gelvo.FastaIterator
    assert iter(it) is it
    assert len(list(it)) == 2
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)


def test_iterators_are_independent(two):
    fasta = gelvo.Fasta(two)
    first, second = iter(fasta), iter(fasta)
    head = next(first).name
    assert [r.name for r in second] == fasta.keys()
    assert [head] + [r.name for r in first] == fasta.keys()


def test_iterator_keeps_fasta_alive(two):
    it = iter(gelvo.Fasta(two))
    records = list(it)
    assert [str(r) for r in records] == [str(gelvo.Fasta(two)[r.name]) for r in records]


# ---------------------------------------------------------------- classes


@pytest.mark.parametrize("cls", ["FastaRecord", "FastaIterator", "SequenceIterator", "MutableFastaRecord"])
def test_classes_without_constructor(cls):
    with pytest.raises(TypeError) as info:
        getattr(gelvo, cls)()
    assert str(info.value) == "No constructor defined for " + cls


@pytest.mark.parametrize("cls", ["Fasta", "FastaRecord", "FastaIterator", "SequenceIterator", "MutableFastaRecord"])
def test_classes_cannot_be_subclassed_or_changed(cls):
    base = getattr(gelvo, cls)
    assert base.__module__ == "gelvo" and base.__qualname__ == cls
    with pytest.raises(TypeError):
        type("Sub", (base,), {})
    with pytest.raises(TypeError):
        base.extra = 1


def test_mutable_option_still_hands_out_plain_records(write_fasta):
    fasta = gelvo.Fasta(write_fasta(TWO), mutable=True)
    assert type(fasta["chr1"]) is gelvo.FastaRecord
    assert all(type(r) is gelvo.FastaRecord for r in fasta)
    assert str(fasta["chr1"]) == "ACGTACGTAC"


@pytest.fixture
def mutable_record():
    # No operation of the module makes one; allocate one behind the class's back.
    alloc = ctypes.pythonapi.PyType_GenericAlloc
    alloc.restype = ctypes.py_object
    alloc.argtypes = [ctypes.py_object, ctypes.c_ssize_t]
    return alloc(gelvo.MutableFastaRecord, 0)


@pytest.mark.parametrize(
    "action, exc, message",
    [
        (lambda r: r.__setitem__(0, "A"), NotImplementedError, "^Mutable FASTA records not yet implemented$"),
        (lambda r: r.__setitem__(slice(1, 2), ""), NotImplementedError, "^Mutable FASTA records not yet implemented$"),
        (lambda r: r.__setitem__("any", 5), TypeError, "'_value'"),
        (lambda r: r.__delitem__(0), NotImplementedError, "^can't delete item$"),
        (lambda r: r.__delitem__(object()), NotImplementedError, "^can't delete item$"),
    ],
)
def test_mutable_record_refuses_assignment(mutable_record, action, exc, message):
    with pytest.raises(exc, match=message):
        action(mutable_record)
