"""Faidx construction, options, and the region and whole-sequence fetches."""

import os
import re

import gelvo
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

TEN = ">chr1\nACGTACGTAC\n>chr2 desc\nNNacgtNN\n"


@pytest.fixture
def ten(write_fasta):
    return write_fasta(TEN)


def hundred(write_fasta, **options):
    bases = "ACGTTGCAAC" * 10
    lines = "\n".join(bases[i : i + 60] for i in range(0, 100, 60))
    return gelvo.Faidx(write_fasta(">chr1\n" + lines + "\n"), **options), bases


# ---------------------------------------------------------------- construction


def test_missing_file_is_plain_exception_with_path_as_given(tmp_path):
    path = str(tmp_path / "nothere" / ".." / "x.fa")
    with pytest.raises(Exception) as info:
        gelvo.Faidx(path)
    assert type(info.value) is Exception
    assert str(info.value) == "FastaNotFoundError: " + path
    assert not isinstance(info.value, (OSError, KeyError))


@pytest.mark.parametrize(
    "kwargs, exc, arg",
    [
        ({"as_raw": 1}, TypeError, "as_raw"),
        ({"rebuild": 0}, TypeError, "rebuild"),
        ({"mutable": "yes"}, TypeError, "mutable"),
        ({"indexname": 3}, TypeError, "indexname"),
        ({"default_seq": b"N"}, TypeError, "default_seq"),
        ({"split_char": 1}, TypeError, "split_char"),
        ({"duplicate_action": None}, TypeError, "duplicate_action"),
        ({"read_ahead": -1}, OverflowError, "read_ahead"),
        ({"read_ahead": 2**64}, OverflowError, "read_ahead"),
        ({"read_ahead": "1"}, TypeError, "read_ahead"),
    ],
)
def test_refused_options_name_the_argument(tmp_path, kwargs, exc, arg):
    # The file does not exist: conversion errors come before any file work.
    with pytest.raises(exc, match=re.escape(f"'{arg}'")):
        gelvo.Faidx(str(tmp_path / "none.fa"), **kwargs)


def test_filename_must_be_str(ten):
    import pathlib

    with pytest.raises(TypeError, match="filename"):
        gelvo.Faidx(pathlib.Path(ten))
    with pytest.raises(TypeError, match="filename"):
        gelvo.Faidx(ten.encode())


def test_call_shape_errors(ten):
    with pytest.raises(TypeError):
        gelvo.Faidx()
    with pytest.raises(TypeError, match="unexpected keyword"):
        gelvo.Faidx(ten, nonsense=True)
    with pytest.raises(TypeError, match="multiple values"):
        gelvo.Faidx(ten, filename=ten)
    with pytest.raises(TypeError, match="at most 16"):
        gelvo.Faidx(ten, *([None] * 16))


def test_positional_order(ten):
    # third positional parameter is as_raw
    fa = gelvo.Faidx(ten, None, True)
    s = fa.fetch("chr1", 1, 2)
    assert (s.start, s.end) == (None, None)


def test_numpy_bool_is_a_bool(ten):
    np = pytest.importorskip("numpy")
    fa = gelvo.Faidx(ten, as_raw=np.bool_(True))
    assert fa.fetch("chr1", 1, 2).start is None


def test_unused_options_change_nothing(ten):
    plain = gelvo.Faidx(ten)
    other = gelvo.Faidx(
        ten,
        key_function=lambda k: k.upper(),
        split_char="|",
        filt_function=lambda k: False,
        read_long_names=True,
        duplicate_action="first",
        read_ahead=10,
    )
    assert other.keys == plain.keys
    assert other.fetch("chr2", 2, 7) == plain.fetch("chr2", 2, 7)


def test_repr_keys_contains(write_fasta):
    path = write_fasta(TEN, name='we"ird\\name.fa')
    fa = gelvo.Faidx(path)
    assert repr(fa) == 'Faidx("' + path + '")'
    assert sorted(fa.keys) == ["chr1", "chr2"]
    assert fa.keys is not fa.keys
    assert "chr1" in fa
    assert "CHR1" not in fa and " chr1" not in fa and "chr" not in fa
    with pytest.raises(TypeError, match="'name'"):
        1 in fa


def test_empty_fasta(write_fasta):
    fa = gelvo.Faidx(write_fasta(""))
    assert fa.keys == []


def test_signature_and_docs():
    import inspect

    sig = inspect.signature(gelvo.Faidx)
    assert list(sig.parameters)[:3] == ["filename", "indexname", "as_raw"]
    assert sig.parameters["duplicate_action"].default is Ellipsis
    assert gelvo.Faidx.fetch.__text_signature__ == "($self, name, start, end)"
    assert gelvo.Faidx.fetch.__doc__ is None
    assert gelvo.Faidx.fetch_entire_sequence.__doc__ == (
        "Ultra-fast method for fetching entire sequences - bypasses all bounds checking"
    )


def test_cannot_subclass():
    with pytest.raises(TypeError):
        type("Sub", (gelvo.Faidx,), {})


# ---------------------------------------------------------------- region fetch


def test_fetch_basics(ten):
    fa = gelvo.Faidx(ten)
    s = fa.fetch("chr1", 1, 1)
    assert (s.seq, s.start, s.end, s.comp, s.name) == ("A", 1, 1, False, "chr1")
    assert fa.fetch(name="chr2", start=3, end=6).seq == "acgt"
    with pytest.raises(Exception) as info:
        fa.fetch("chrX", 1, 2)
    assert type(info.value) is Exception
    assert str(info.value) == "FetchError: Sequence 'chrX' not found"


@pytest.mark.parametrize(
    "args, exc",
    [
        ((1, 1, 2), TypeError),
        (("chr1", -1, 2), OverflowError),
        (("chr1", 1, 2**64), OverflowError),
        (("chr1", "1", 2), TypeError),
        (("chr1", 1.0, 2), TypeError),
    ],
)
def test_fetch_argument_conversion(ten, args, exc):
    with pytest.raises(exc):
        gelvo.Faidx(ten).fetch(*args)


@pytest.mark.parametrize("newline", ["\n", "\r\n"])
def test_region_across_line_breaks(write_fasta, newline):
    bases = "".join("ACGT"[(i * 7) % 4] + "acgt"[i % 4] for i in range(100))
    text = ">c" + newline + newline.join(bases[i : i + 60] for i in range(0, len(bases), 60)) + newline
    fa = gelvo.Faidx(write_fasta(text))
    assert fa.fetch("c", 59, 62).seq == bases[58:62]
    assert fa.fetch("c", 1, 200).seq == bases
    assert fa.fetch("c", 61, 61).seq == bases[60]


def test_lenient_rules_write_warnings_to_fd2(write_fasta, capfd):
    fa, bases = hundred(write_fasta)
    cases = [
        ((0, 5), "", 0, 5, "WARNING: coordinates cannot be 0 (1-based indexing)\n"),
        ((8, 3), "", 8, 3, "WARNING: start coordinate 8 is greater than end coordinate 3\n"),
        (
            (95, 120),
            bases[94:],
            95,
            100,
            "WARNING: coordinates 95-120 are out of bounds for sequence 'chr1' of length 100\n",
        ),
        (
            (150, 160),
            "",
            150,
            150,
            "WARNING: coordinates 150-160 are out of bounds for sequence 'chr1' of length 100\n",
        ),
        # end clamped to 100 then 120 > 100: out of bounds warning, then the
        # clamped start exceeds the clamped end
        (
            (100, 120),
            bases[99],
            100,
            100,
            "WARNING: coordinates 100-120 are out of bounds for sequence 'chr1' of length 100\n",
        ),
        ((50, 0), "", 50, 0, "WARNING: coordinates cannot be 0 (1-based indexing)\n"),
    ]
    for (start, end), seq, rs, re_, warning in cases:
        s = fa.fetch("chr1", start, end)
        assert (s.seq, s.start, s.end) == (seq, rs, re_)
        out, err = capfd.readouterr()
        assert out == ""
        assert err == warning


def test_warning_bypasses_sys_stderr(write_fasta, capfd, monkeypatch):
    import io
    import sys

    fa, _ = hundred(write_fasta)
    fake = io.StringIO()
    monkeypatch.setattr(sys, "stderr", fake)
    fa.fetch("chr1", 0, 1)
    assert fake.getvalue() == ""
    assert capfd.readouterr().err.startswith("WARNING: ")


@pytest.mark.parametrize(
    "start, end, message",
    [
        (0, 120, "coordinates 0-120 are out of bounds for sequence 'chr1' of length 100"),
        (101, 101, "coordinates 101-101 are out of bounds for sequence 'chr1' of length 100"),
        (0, 5, "coordinates cannot be 0 (1-based indexing)"),
        (5, 0, "coordinates cannot be 0 (1-based indexing)"),
        (8, 3, "start coordinate 8 is greater than end coordinate 3"),
    ],
)
def test_strict_rules_raise_index_error(write_fasta, capfd, start, end, message):
    fa, _ = hundred(write_fasta, strict_bounds=True)
    with pytest.raises(IndexError) as info:
        fa.fetch("chr1", start, end)
    assert str(info.value) == message
    assert capfd.readouterr().err == ""


def test_empty_results_ignore_options(write_fasta, capfd):
    fa, _ = hundred(write_fasta, as_raw=True, one_based_attributes=False, default_seq="N")
    s = fa.fetch("chr1", 150, 160)
    assert (s.seq, s.start, s.end) == ("", 150, 150)
    s = fa.fetch("chr1", 0, 3)
    assert (s.seq, s.start, s.end) == ("", 0, 3)
    assert fa.fetch("chr1", 1, 2).start is None


def test_coordinate_options(write_fasta):
    fa, bases = hundred(write_fasta, one_based_attributes=False)
    s = fa.fetch("chr1", 1, 10)
    assert (s.start, s.end, s.seq) == (0, 10, bases[:10])
    fa, _ = hundred(write_fasta, as_raw=True)
    s = fa.fetch("chr1", 1, 10)
    assert (s.start, s.end) == (None, None)


def test_upper_case_option(write_fasta):
    fa = gelvo.Faidx(write_fasta(">a\nacgtn*-9Zz\n"), sequence_always_upper=True)
    assert fa.fetch("a", 1, 10).seq == "ACGTN*-9ZZ"
    assert fa.fetch_entire_sequence("a").seq == "ACGTN*-9ZZ"


def truncated(write_fasta, claimed=20):
    path = write_fasta(">a\nACGTACGT\n")
    with open(path + ".fai", "w") as f:
        f.write(f"a\t{claimed}\t3\t8\t9\n")
    os.utime(path, (0, 0))
    return path


@pytest.mark.parametrize("mutable", [False, True])
def test_default_seq_fills_missing_bases(write_fasta, mutable):
    path = truncated(write_fasta)
    assert gelvo.Faidx(path, mutable=mutable).fetch("a", 5, 12).seq == "ACGT"
    assert gelvo.Faidx(path, mutable=mutable, default_seq="N").fetch("a", 5, 12).seq == "ACGTNNNN"
    assert gelvo.Faidx(path, mutable=mutable, default_seq="").fetch("a", 5, 12).seq == "ACGT"
    # one copy of the filler per missing base, whatever its length
    assert gelvo.Faidx(path, mutable=mutable, default_seq="xy").fetch("a", 7, 10).seq == "GTxyxy"
    up = gelvo.Faidx(path, mutable=mutable, default_seq="n", sequence_always_upper=True)
    assert up.fetch("a", 8, 10).seq == "TNN"


def test_entire_sequence_is_not_filled(write_fasta):
    path = truncated(write_fasta)
    fa = gelvo.Faidx(path, default_seq="N", strict_bounds=True)
    s = fa.fetch_entire_sequence("a")
    assert (s.seq, s.start, s.end) == ("ACGTACGT", 1, 20)


# ---------------------------------------------------------------- whole sequence


def test_entire_sequence(write_fasta):
    bases = "".join("ACGT"[(i * i) % 4] for i in range(1000))
    path = write_fasta(">r\n" + "\n".join(bases[i : i + 60] for i in range(0, 1000, 60)) + "\n>e\n")
    s = gelvo.Faidx(path).fetch_entire_sequence("r")
    assert (s.seq, s.start, s.end) == (bases, 1, 1000)
    assert s == gelvo.Faidx(path).fetch("r", 1, 1000)
    s = gelvo.Faidx(path, one_based_attributes=False).fetch_entire_sequence(name="r")
    assert (s.start, s.end) == (0, 1000)
    s = gelvo.Faidx(path, as_raw=True).fetch_entire_sequence("r")
    assert (s.start, s.end) == (None, None)
    s = gelvo.Faidx(path).fetch_entire_sequence("e")
    assert (s.seq, s.start, s.end) == ("", 1, 0)
    with pytest.raises(Exception, match="^FetchError: Sequence 'zz' not found$"):
        gelvo.Faidx(path).fetch_entire_sequence("zz")


# ---------------------------------------------------------------- descriptor path


def test_mutable_reads_through_descriptor(write_fasta):
    path = write_fasta(TEN)
    fa = gelvo.Faidx(path, mutable=True)
    assert fa.fetch("chr1", 2, 9).seq == "CGTACGTA"
    assert fa.fetch_entire_sequence("chr2").seq == "NNacgtNN"


def test_mutable_on_read_only_file(write_fasta):
    if os.geteuid() == 0:
        pytest.skip("root can open read-only files for writing")
    path = write_fasta(TEN)
    os.chmod(path, 0o444)
    with pytest.raises(Exception, match=r"^IOError: Permission denied \(os error 13\)$"):
        gelvo.Faidx(path, mutable=True)


# ---------------------------------------------------------------- hostile index


@pytest.mark.parametrize(
    "entry",
    [
        "a\t100\t999999\t4\t5",  # offset past the end of the file
        "a\t18446744073709551615\t3\t4\t5",  # huge rlen
        "a\t100\t18446744073709551615\t4\t5",  # offset at 2**64 - 1
        "a\t100\t3\t4\t2",  # lenb < lenc
        "a\t100\t3\t18446744073709551615\t18446744073709551615",
        "a\t100\t3\t0\t0",  # no bases per line
        "a\t100\t3\t1\t18446744073709551615",
    ],
)
@pytest.mark.parametrize("mutable", [False, True])
def test_hostile_index_never_crashes(write_fasta, entry, mutable):
    path = write_fasta(">a\nACGT\nACGT\n")
    with open(path + ".fai", "w") as f:
        f.write(entry + "\n")
    os.utime(path, (0, 0))
    fa = gelvo.Faidx(path, mutable=mutable)
    for start, end in [(1, 1), (1, 8), (5, 100), (2**63, 2**63 + 5), (1, 2**64 - 1)]:
        try:
            s = fa.fetch("a", start, end)
        except Exception as e:
            # Only the descriptor path can meet an offset no seek accepts.
            assert mutable and str(e) == "IOError: Invalid argument (os error 22)"
            continue
        # Never more than the file holds, and only bytes of the file.
        assert len(s.seq) <= 16
        assert set(s.seq) <= set("ACGT>a")
    s = fa.fetch_entire_sequence("a")
    assert len(s.seq) <= 16


def test_hostile_index_with_default_seq_is_bounded(write_fasta):
    path = write_fasta(">a\nACGT\n")
    with open(path + ".fai", "w") as f:
        f.write("a\t18446744073709551615\t3\t4\t5\n")
    os.utime(path, (0, 0))
    fa = gelvo.Faidx(path, default_seq="NN")
    with pytest.raises(MemoryError):
        fa.fetch("a", 1, 2**64 - 1)


# ---------------------------------------------------------------- against a model


def model_fetch(bases, start, end):
    """The lenient region fetch on a well-formed record, in plain Python."""
    n = len(bases)
    if start > n:
        return "", start, start
    s, e = min(start, n), min(end, n)
    if s == 0 or e == 0 or s > e:
        return "", s, e
    return bases[s - 1 : e], s, e


records = st.lists(
    st.tuples(
        st.text(alphabet="ACGTNacgtn", min_size=0, max_size=300),
        st.integers(min_value=1, max_value=80),
    ),
    min_size=1,
    max_size=4,
)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    recs=records,
    newline=st.sampled_from(["\n", "\r\n"]),
    mutable=st.booleans(),
    regions=st.lists(st.tuples(st.integers(0, 320), st.integers(0, 320)), min_size=1, max_size=20),
)
def test_fetch_matches_model(tmp_path_factory, recs, newline, mutable, regions):
    d = tmp_path_factory.mktemp("model")
    parts = []
    for i, (bases, width) in enumerate(recs):
        parts.append(f">r{i}{newline}")
        parts.extend(bases[j : j + width] + newline for j in range(0, len(bases), width))
    path = str(d / "m.fa")
    with open(path, "w", newline="") as f:
        f.write("".join(parts))
    fa = gelvo.Faidx(path, mutable=mutable)
    for i, (bases, _) in enumerate(recs):
        assert fa.fetch_entire_sequence(f"r{i}").seq == bases
        for start, end in regions:
            s = fa.fetch(f"r{i}", start, end)
            assert (s.seq, s.start, s.end) == model_fetch(bases, start, end)


def model_extract(data, entry, s, count):
    """Bytes that are not CR/LF from the first base's byte position, as the index geometry places it."""
    offset, rlen, lenc, lenb = entry
    if count == 0 or rlen == 0 or lenc == 0:
        return b""
    p = s - 1
    b = offset + (p // lenc) * lenb + p % lenc
    if b >= len(data):
        return b""
    lines = -(-count // lenc)
    z = min(len(data), b + count + lenb + max(lenb - lenc, 0) * lines)
    return bytes(c for c in data[b:z] if c not in b"\r\n")[:count]


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    lines=st.lists(st.text(alphabet="ACGTNacgt \t", min_size=0, max_size=70), min_size=1, max_size=12),
    ends=st.lists(st.sampled_from(["\n", "\r\n", "\r\r\n", "\n\n"]), min_size=12, max_size=12),
    regions=st.lists(st.tuples(st.integers(1, 400), st.integers(0, 400)), min_size=1, max_size=10),
)
def test_irregular_layouts_match_the_scanning_rule(tmp_path_factory, lines, ends, regions):
    # Lines of differing length and stray terminators: whatever path the copy
    # takes, the bytes are those of the scanning rule.
    text = ">r\n" + "".join(line + ends[i] for i, line in enumerate(lines))
    path = str(tmp_path_factory.mktemp("irregular") / "i.fa")
    with open(path, "w", newline="") as f:
        f.write(text)
    # The build refuses most of these layouts; a .fai written by hand with
    # the geometry of the first line is used as it is.
    first = text[3:].split("\n", 1)[0] + "\n"
    rlen = sum(len(line.rstrip("\r")) for line in text[3:].split("\n"))
    offset, lenc, lenb = 3, len(first.rstrip("\r\n")), len(first)
    with open(path + ".fai", "w") as f:
        f.write(f"r\t{rlen}\t{offset}\t{lenc}\t{lenb}\n")
    fa = gelvo.Faidx(path)
    data = text.encode()
    for start, length in regions:
        if start > rlen:
            continue
        end = min(start + length, rlen)
        if end < start:
            continue
        expected = model_extract(data, (offset, rlen, lenc, lenb), start, end - start + 1).decode()
        assert fa.fetch("r", start, end).seq == expected


@pytest.mark.parametrize("newline", ["\n", "\r\n"])
def test_lines_longer_than_the_first_are_read_whole(write_fasta, newline):
    # Where a later line is longer than the first, the bytes at the places
    # the index expects line ends are bases, and must not be skipped.
    bases = "".join("ACGT"[(i * 5 + i // 7) % 4] for i in range(140))
    path = write_fasta(">r" + newline + bases[:20] + newline + bases[20:] + newline)
    # The build refuses this layout; a .fai made by hand is used as it is.
    with open(path + ".fai", "w") as f:
        f.write(f"r\t140\t{2 + len(newline)}\t20\t{20 + len(newline)}\n")
    fa = gelvo.Faidx(path)
    assert fa.fetch("r", 1, 140).seq == bases
    assert fa.fetch("r", 5, 100).seq == bases[4:100]


def test_keys_are_a_new_list_each_call_of_strs_made_once(write_fasta):
    path = write_fasta(">zeta\nAC\n>alpha\nGT\n>mu\nA\n")
    faidx, fasta = gelvo.Faidx(path), gelvo.Fasta(path)
    for keys in (lambda: faidx.keys, fasta.keys):
        first = keys()
        first.append("changed")
        again = keys()
        assert again == ["zeta", "alpha", "mu"]  # file order, untouched by the change
        assert first is not again and all(a is b for a, b in zip(first, again))
    assert fasta[1].name is fasta.keys()[1]
