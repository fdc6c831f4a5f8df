"""fetch_array and fetch_array_same_chr: windows as NumPy arrays, checked
against a reference built from fetch, on both sides of the parallel size and
on the mapped and descriptor paths."""

import math
import pathlib
import random
import subprocess
import sys

import gelvo
import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

ROOT = pathlib.Path(__file__).resolve().parent.parent
DTYPES = ["bool", "uint8", "float16", "float32", "float64"]
# A nonzero unknown each dtype holds, so that a missing unknown shows.
UNKNOWN = {"bool": True, "uint8": 7, "float16": 0.25, "float32": 0.25, "float64": 0.1}

_rng = random.Random(5)
TEXTS = {
    "chrA": "".join(_rng.choice("ACGTacgtNnRy") for _ in range(503)),
    "chrB": "".join(_rng.choice("ACGTacgt") for _ in range(97)),
    "chrC": "GATTA",
}


@pytest.fixture
def genome(write_fasta):
    widths = {"chrA": 13, "chrB": 60, "chrC": 2}
    return write_fasta(
        "".join(
            f">{name} some description\n"
            + "".join(t[i : i + widths[name]] + "\n" for i in range(0, len(t), widths[name]))
            for name, t in TEXTS.items()
        )
    )


# ---------------------------------------------------------------- the reference


def complement_table():
    """Sequence's complement of every byte, as a lookup table."""
    table = np.zeros(256, dtype=np.uint8)
    for b in range(1, 128):
        table[b] = ord((-gelvo.Sequence(seq=chr(b))).seq)
    return table


COMPLEMENT = complement_table()


def onehot_table(dtype, unknown):
    table = np.full((256, 4), unknown, dtype=dtype)
    for channel, base in enumerate(b"ACGT"):
        for byte in (base, base | 0x20):
            table[byte] = 0
            table[byte, channel] = 1
    return table


def reference(fa, regions, length, rc, pad):
    """Each window from one fetch of its whole sequence, padded with `pad`
    on both sides; reverse complemented windows take the complement of the
    bases (pad stays pad), then are reversed."""
    padding = np.full(length, ord(pad), dtype=np.uint8)
    padded = {}
    for name in {name for name, _, _ in regions}:
        text = fa.fetch(name, 1, len(TEXTS[name])).seq.encode()
        bases = np.frombuffer(text, dtype=np.uint8)
        padded[name] = (
            np.concatenate([padding, bases, padding]),
            np.concatenate([padding, COMPLEMENT[bases], padding]),
        )
    flags = np.broadcast_to(np.asarray(bool(rc) if rc is None or isinstance(rc, bool) else rc), len(regions))
    names = np.array([name for name, _, _ in regions])
    starts = np.array([start for _, start, _ in regions])
    rows = np.empty((len(regions), length), dtype=np.uint8)
    for name, (forward, complemented) in padded.items():
        chosen = names == name
        # Positions outside the padded text lie outside the sequence: pad.
        at = np.clip(starts[chosen, None] + np.arange(length) - 1 + length, 0, len(forward) - 1)
        rows[chosen] = np.where(flags[chosen, None], complemented[at][:, ::-1], forward[at])
    return rows


def random_regions(n, length, seed):
    """Windows of every sequence, some crossing either end or lying outside."""
    rng = random.Random(seed)
    names = sorted(TEXTS)
    out = []
    for _ in range(n):
        name = rng.choice(names)
        start = rng.randint(-length - 2, len(TEXTS[name]) + 3)
        out.append((name, start, start + length - 1))
    return out


def strands(kind, n, seed):
    flags = [bool(b) for b in np.random.default_rng(seed).integers(0, 2, n)]
    return {"forward": None, "all": True, "list": flags, "array": np.array(flags)}[kind]


# ---------------------------------------------------------------- equality with the reference

# Small requests run on the calling thread, large ones (a megabyte of output
# and more) on the worker pool.
SIZES = {"small": (300, 7), "large": (12000, 100)}


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("mutable", [False, True], ids=["mapped", "descriptor"])
@pytest.mark.parametrize("encoding", [None, *DTYPES])
@pytest.mark.parametrize("rc_kind", ["forward", "all", "list", "array"])
@pytest.mark.parametrize("pad", ["N", "-"])
def test_windows_equal_the_reference(genome, size, mutable, encoding, rc_kind, pad):
    n, length = SIZES[size]
    fa = gelvo.Faidx(genome, mutable=mutable)
    regions = random_regions(n, length, seed=n)
    rc = strands(rc_kind, n, seed=1)
    expected = reference(fa, regions, length, rc, pad)
    if encoding is None:
        got = fa.fetch_array(regions, rc=rc, pad=pad)
    else:
        got = fa.fetch_array(regions, onehot=True, rc=rc, pad=pad, dtype=encoding, unknown=UNKNOWN[encoding])
        expected = onehot_table(encoding, UNKNOWN[encoding])[expected]
    assert got.flags.c_contiguous and got.dtype == expected.dtype
    np.testing.assert_array_equal(got, expected)


@pytest.mark.parametrize("size", SIZES)
def test_same_chr_windows_equal_those_of_fetch_array(genome, size):
    n, length = SIZES[size]
    fa = gelvo.Fasta(genome)
    starts = np.random.default_rng(3).integers(-length, 510, n)
    rc = strands("array", n, seed=4)
    regions = [("chrA", int(s), int(s) + length - 1) for s in starts]
    for kwargs in [{}, {"onehot": True, "dtype": np.float32, "unknown": 0.25}]:
        got = fa.fetch_array_same_chr("chrA", starts, length, rc=rc, **kwargs)
        np.testing.assert_array_equal(got, fa.fetch_array(regions, rc=rc, **kwargs))
    np.testing.assert_array_equal(fa.fetch_array_same_chr("chrA", starts.tolist(), length), fa.fetch_array(regions))


def test_reverse_complement_one_hot_is_the_forward_one_reversed_with_channels_exchanged(genome):
    """Inside a sequence, A<->T and C<->G is the channel axis reversed."""
    fa = gelvo.Faidx(genome)
    starts = list(range(1, 503 - 50, 7))
    forward = fa.fetch_array_same_chr("chrA", starts, 50, onehot=True, unknown=3)
    np.testing.assert_array_equal(
        fa.fetch_array_same_chr("chrA", starts, 50, onehot=True, unknown=3, rc=True), forward[:, ::-1, ::-1]
    )


@pytest.mark.parametrize("dtype", ["int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64"])
def test_starts_arrays_of_every_integer_type_and_with_strides(genome, dtype):
    fa = gelvo.Faidx(genome)
    starts = np.arange(1, 121, dtype=dtype)
    expected = fa.fetch_array_same_chr("chrA", [int(s) for s in starts], 6)
    np.testing.assert_array_equal(fa.fetch_array_same_chr("chrA", starts, 6), expected)
    np.testing.assert_array_equal(fa.fetch_array_same_chr("chrA", starts[::3], 6), expected[::3])
    flags = np.zeros(80, dtype=bool)
    flags[::2] = True
    strided = fa.fetch_array_same_chr("chrA", starts[:40], 6, rc=flags[::2])
    np.testing.assert_array_equal(strided, fa.fetch_array_same_chr("chrA", starts[:40], 6, rc=True))


def test_case_option_and_fasta_and_faidx_agree(genome):
    regions = random_regions(500, 9, seed=8)
    upper = gelvo.Fasta(genome, sequence_always_upper=True).fetch_array(regions, pad="n")
    plain = gelvo.Faidx(genome).fetch_array(regions, pad="n")
    assert (plain >= ord("a")).any()
    # The bases are upper-cased, the pad is written as given.
    letters = np.char.upper(plain.view("S1")).view(np.uint8)
    outside = reference(gelvo.Faidx(genome), regions, 9, None, "\0") == 0
    np.testing.assert_array_equal(upper, np.where(outside, ord("n"), letters))


@pytest.mark.parametrize("default_seq, expected_fill", [("N", "N"), (None, "-"), ("XY", "-")])
def test_bases_the_file_lacks(write_fasta, tmp_path, default_seq, expected_fill):
    """A hand-made index promises 20 bases of a 10-base record: a fetch fills
    them with a one-letter default_seq, the windows too; otherwise they are
    padding."""
    path = write_fasta(">r\nACGTACGTAC\n")
    index = tmp_path / "r.fai"
    index.write_text("r\t20\t3\t10\t11\n")
    fa = gelvo.Faidx(path, indexname=str(index), build_index=False, default_seq=default_seq)
    got = fa.fetch_array([("r", 7, 16), ("r", 7, 16)], rc=[False, True], pad="-")
    assert bytes(got[0]).decode() == "GTAC" + expected_fill * 6
    # The filler N is its own complement; the padding stays padding.
    assert bytes(got[1]).decode() == expected_fill * 6 + "GTAC"


def test_windows_far_outside_and_empty_sequences(write_fasta):
    fa = gelvo.Faidx(write_fasta(">e\n>r\nACGT\n"))
    top, bottom = 2**63 - 1, -(2**63)
    got = fa.fetch_array([("r", bottom, bottom + 4), ("r", top - 4, top), ("e", 1, 5), ("r", -4, 0)], pad=".")
    assert [bytes(row) for row in got] == [b"....."] * 4
    assert fa.fetch_array_same_chr("r", [bottom, -3, 4], 4, pad=".").tobytes() == b"........T..."


def test_empty_requests(genome):
    fa = gelvo.Faidx(genome)
    assert fa.fetch_array([]).shape == (0, 0)
    assert fa.fetch_array([], onehot=True, dtype="float32").shape == (0, 0, 4)
    empty = fa.fetch_array_same_chr("chrB", np.array([], dtype=np.int64), 12, onehot=True)
    assert (empty.shape, empty.dtype) == ((0, 12, 4), np.uint8)


# ---------------------------------------------------------------- float16


@given(st.floats(allow_nan=False, width=64) | st.sampled_from([2.0**-25, 2.0**-24 * 1.5, 65519.0, 65520.0, -0.0]))
def test_float16_unknown_is_numpys_rounding(value):
    fa = gelvo.Faidx(str(ROOT / "examples" / "data" / "lambda_phage.fa"))
    name = fa.keys[0]
    with np.errstate(over="ignore"):
        expected = np.float16(value)
    if math.isinf(expected) and not math.isinf(value):
        with pytest.raises(ValueError, match="cannot be held by dtype float16"):
            fa.fetch_array([(name, -1, 0)], onehot=True, dtype=np.float16, unknown=value)
        return
    got = fa.fetch_array([(name, -1, 0)], onehot=True, dtype=np.float16, unknown=value)
    assert got.view(np.uint16)[0, 0, 0] == expected.view(np.uint16)


def test_nan_and_infinities_are_held_by_the_floats_only(genome):
    fa = gelvo.Faidx(genome)
    for dtype in ["float16", "float32", "float64"]:
        got = fa.fetch_array([("chrC", 0, 0)], onehot=True, dtype=dtype, unknown=float("nan"))
        assert np.isnan(got).all()
        got = fa.fetch_array([("chrC", 0, 0)], onehot=True, dtype=dtype, unknown=-math.inf)
        assert (got == -np.inf).all()
    for dtype in ["bool", "uint8"]:
        with pytest.raises(ValueError, match="cannot be held"):
            fa.fetch_array([("chrC", 0, 0)], onehot=True, dtype=dtype, unknown=float("nan"))


# ---------------------------------------------------------------- out


@pytest.mark.parametrize("onehot, dtype", [(False, np.uint8), (True, np.float32), (True, np.bool_)])
def test_out_is_filled_and_returned_again_and_again(genome, onehot, dtype):
    fa = gelvo.Fasta(genome)
    length = 40
    shape = (2000, length, 4) if onehot else (2000, length)
    out = np.zeros(shape, dtype=dtype)
    for seed in range(3):
        regions = random_regions(2000, length, seed)
        got = fa.fetch_array(regions, onehot=onehot, dtype=dtype, out=out)
        assert got is out
        np.testing.assert_array_equal(out, fa.fetch_array(regions, onehot=onehot, dtype=dtype))
        starts = np.arange(seed, 2000 + seed)
        assert fa.fetch_array_same_chr("chrA", starts, length, onehot=onehot, dtype=dtype, out=out) is out


@pytest.mark.parametrize("dtype", DTYPES)
def test_large_one_hot_outputs_into_out(genome, dtype):
    """From 64 MiB on, one-hot windows go to a reused `out` by another kind of
    store; rows of 1001 positions do not start on 16-byte boundaries."""
    length = 1001
    row = length * 4 * np.dtype(dtype).itemsize
    n = (64 << 20) // row + 7
    regions = random_regions(n, length, seed=9)
    rc = strands("list", n, seed=10)
    fa = gelvo.Faidx(genome)
    out = np.full((n, length, 4), 3, dtype=dtype)
    got = fa.fetch_array(regions, onehot=True, rc=rc, pad="-", dtype=dtype, unknown=UNKNOWN[dtype], out=out)
    expected = onehot_table(dtype, UNKNOWN[dtype])[reference(fa, regions, length, rc, "-")]
    assert got is out
    np.testing.assert_array_equal(out, expected)


BAD_OUT = {
    "a list": ([[0] * 5] * 2, TypeError, "is not a numpy.ndarray"),
    "wrong shape": (np.zeros((2, 4), np.uint8), ValueError, r"shape \(2, 4\), expected \(2, 5\)"),
    "one-hot shape": (np.zeros((2, 5, 4), np.uint8), ValueError, "shape"),
    "wrong dtype": (np.zeros((2, 5), np.int8), ValueError, "dtype int8, expected uint8"),
    "byte order": (np.zeros((2, 5), ">u2"), ValueError, "dtype"),
    "read-only": (np.zeros((2, 5), np.uint8), ValueError, "writable C-contiguous"),
    "not contiguous": (np.zeros((2, 10), np.uint8)[:, ::2], ValueError, "writable C-contiguous"),
    "Fortran order": (np.zeros((5, 2), np.uint8).T, ValueError, "writable C-contiguous"),
}


@pytest.mark.parametrize("case", BAD_OUT)
def test_unusable_out_is_refused_and_left_alone(genome, case):
    out, error, message = BAD_OUT[case]
    if case == "read-only":
        out.flags.writeable = False
    before = np.copy(out) if isinstance(out, np.ndarray) else None
    with pytest.raises(error, match=message):
        gelvo.Faidx(genome).fetch_array([("chrA", 1, 5), ("chrB", 3, 7)], out=out)
    if before is not None:
        np.testing.assert_array_equal(out, before)


# ---------------------------------------------------------------- bad arguments


def call(fa, method, *args, **kwargs):
    return getattr(fa, method)(*args, **kwargs)


BAD = [
    # fetch_array's regions
    ("fetch_array", (5,), {}, TypeError, "argument 'regions'"),
    ("fetch_array", ("chrA",), {}, TypeError, "argument 'regions'"),
    ("fetch_array", ([["chrA", 1, 5]],), {}, TypeError, "'list' object cannot be converted to 'tuple'"),
    ("fetch_array", ([("chrA", 1)],), {}, TypeError, "length 3"),
    ("fetch_array", ([(1, 1, 5)],), {}, TypeError, "argument 'regions'"),
    ("fetch_array", ([("chrA", "1", 5)],), {}, TypeError, "cannot be interpreted as an integer"),
    ("fetch_array", ([("chrA", 1, 2**64)],), {}, OverflowError, "64 bits"),
    ("fetch_array", ([("chrA", 5, 4)],), {}, ValueError, "region 0 ends before it starts"),
    ("fetch_array", ([("chrA", 1, 5), ("chrB", 1, 5), ("chrA", 3, 8)],), {}, ValueError, "region 2 has 6 bases"),
    ("fetch_array", ([("chrA", 1, 5), ("chrA", 5, 4)],), {}, ValueError, "region 1 has 0 bases"),
    ("fetch_array", ([("chrA", 1, 5), ("chrZ", 1, 5)],), {}, Exception, "^FetchError: Sequence 'chrZ' not found$"),
    ("fetch_array", ([("chrA", 1, 5)], True), {}, TypeError, "takes 1 positional argument but 2 were given"),
    ("fetch_array", ([("chrA", 1, 5)],), {"strand": 1}, TypeError, "unexpected keyword argument 'strand'"),
    # fetch_array_same_chr's own arguments
    ("fetch_array_same_chr", ("chrZ", [1], 5), {}, Exception, "^FetchError: Sequence 'chrZ' not found$"),
    ("fetch_array_same_chr", ("chrA", [1], 0), {}, ValueError, "argument 'length'"),
    ("fetch_array_same_chr", ("chrA", [1], -1), {}, OverflowError, "argument 'length'"),
    ("fetch_array_same_chr", ("chrA", "12", 5), {}, TypeError, "argument 'starts'"),
    ("fetch_array_same_chr", ("chrA", [1.5], 5), {}, TypeError, "argument 'starts'"),
    ("fetch_array_same_chr", ("chrA", np.array([1.0]), 5), {}, TypeError, "dtype float64"),
    ("fetch_array_same_chr", ("chrA", np.array([1], ">i4"), 5), {}, TypeError, "byte order"),
    ("fetch_array_same_chr", ("chrA", np.ones((2, 2), int), 5), {}, ValueError, "1-D array, got 2"),
    ("fetch_array_same_chr", ("chrA", np.array([2**63], np.uint64), 5), {}, OverflowError, "64 bits"),
    ("fetch_array_same_chr", ("chrA", [1], 5, True), {}, TypeError, "takes 3 positional arguments but 4"),
    # the options
    ("fetch_array", ([("chrA", 1, 5)],), {"onehot": 1}, TypeError, "argument 'onehot'"),
    ("fetch_array", ([("chrA", 1, 5)],), {"rc": 1}, TypeError, "argument 'rc'"),
    ("fetch_array", ([("chrA", 1, 5)],), {"rc": "+"}, TypeError, "argument 'rc'"),
    ("fetch_array", ([("chrA", 1, 5)],), {"rc": [True, False]}, ValueError, "2 flags for 1 windows"),
    ("fetch_array", ([("chrA", 1, 5)],), {"rc": [1]}, TypeError, "argument 'rc'"),
    ("fetch_array", ([("chrA", 1, 5)],), {"rc": np.array([1])}, TypeError, "array of bool"),
    ("fetch_array", ([("chrA", 1, 5)],), {"rc": np.array([[True]])}, ValueError, "1-D"),
    ("fetch_array", ([("chrA", 1, 5)],), {"pad": ""}, ValueError, "one ASCII character"),
    ("fetch_array", ([("chrA", 1, 5)],), {"pad": "NN"}, ValueError, "one ASCII character"),
    ("fetch_array", ([("chrA", 1, 5)],), {"pad": "é"}, ValueError, "one ASCII character"),
    ("fetch_array", ([("chrA", 1, 5)],), {"pad": b"N"}, TypeError, "argument 'pad'"),
    ("fetch_array", ([("chrA", 1, 5)],), {"dtype": "float32"}, ValueError, "without onehot are bytes"),
    ("fetch_array", ([("chrA", 1, 5)],), {"onehot": True, "dtype": "int64"}, ValueError, "got int64"),
    ("fetch_array", ([("chrA", 1, 5)],), {"onehot": True, "dtype": ">f4"}, ValueError, "expected bool"),
    ("fetch_array", ([("chrA", 1, 5)],), {"onehot": True, "dtype": "no such type"}, TypeError, "not understood"),
    ("fetch_array", ([("chrA", 1, 5)],), {"onehot": True, "unknown": "x"}, TypeError, "argument 'unknown'"),
    ("fetch_array", ([("chrA", 1, 5)],), {"onehot": True, "unknown": 0.5}, ValueError, "cannot be held by dtype uint8"),
    ("fetch_array", ([("chrA", 1, 5)],), {"onehot": True, "unknown": 256}, ValueError, "uint8"),
    ("fetch_array", ([("chrA", 1, 5)],), {"onehot": True, "dtype": bool, "unknown": 2}, ValueError, "dtype bool"),
    ("fetch_array", ([("chrA", 1, 5)],), {"onehot": True, "dtype": "f4", "unknown": 1e39}, ValueError, "float32"),
    ("fetch_array", ([("chrA", 1, 5)],), {"onehot": True, "dtype": "f8", "unknown": 10**400}, ValueError, "too large"),
]


@pytest.mark.parametrize("method, args, kwargs, error, message", BAD, ids=[f"{b[0]}-{b[4]}" for b in BAD])
@pytest.mark.parametrize("cls", [gelvo.Faidx, gelvo.Fasta])
def test_bad_arguments(genome, cls, method, args, kwargs, error, message):
    with pytest.raises(error, match=message) as raised:
        call(cls(genome), method, *args, **kwargs)
    if error is Exception:
        assert type(raised.value) is Exception


def test_fetch_error_is_the_one_fetch_raises(genome):
    fa = gelvo.Faidx(genome)
    with pytest.raises(Exception) as from_fetch:
        fa.fetch("chrZ", 1, 5)
    with pytest.raises(Exception) as from_array:
        fa.fetch_array([("chrZ", 1, 5)])
    assert from_array.value.args == from_fetch.value.args


def test_numpy_values_are_accepted_where_python_ones_are(genome):
    fa = gelvo.Faidx(genome)
    regions = [("chrA", np.int64(3), np.int32(9)), ("chrB", np.uint8(1), np.int16(7))]
    got = fa.fetch_array(regions, onehot=np.True_, rc=[np.True_, np.False_], unknown=np.float32(0.5), dtype="f2")
    expected = fa.fetch_array([("chrA", 3, 9), ("chrB", 1, 7)], onehot=True, rc=[True, False], unknown=0.5, dtype="f2")
    np.testing.assert_array_equal(got, expected)


# ---------------------------------------------------------------- signatures and the example


@pytest.mark.parametrize("cls", [gelvo.Faidx, gelvo.Fasta])
def test_signatures(cls):
    options = "*, onehot=False, rc=None, pad='N', dtype=None, unknown=0, out=None"
    assert cls.fetch_array.__text_signature__ == f"($self, regions, {options})"
    assert cls.fetch_array_same_chr.__text_signature__ == f"($self, name, starts, length, {options})"


def test_training_example_batches_are_the_windows_it_names(tmp_path):
    saved = tmp_path / "batches.npz"
    run = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "training_windows.py"), "--window", "300", "--batches", "3"]
        + ["--batch", "50", "--save", str(saved)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert run.returncode == 0, run.stderr
    assert len(run.stdout.splitlines()) == 3 and run.stdout.startswith("batch 0: 50 windows of 300, ")
    data = np.load(saved)
    phage = gelvo.Fasta(str(ROOT / "examples" / "data" / "lambda_phage.fa"))
    name = phage.keys()[0]
    text = str(phage[name])
    bed = (ROOT / "examples" / "data" / "lambda_genes.bed").read_text().splitlines()[1:]
    gene_starts = {int(f[2]) if f[5] == "-" else int(f[1]) + 1 for f in (line.split("\t") for line in bed)}
    table = onehot_table(np.float32, 0.25)
    for batch in range(3):
        for i in range(50):
            start, minus = int(data["starts"][batch, i]), bool(data["minus"][batch, i])
            assert data["names"][batch, i] == name
            window = "".join(text[p - 1] if 1 <= p <= len(text) else "N" for p in range(start, start + 300))
            if minus:
                window = (-gelvo.Sequence(seq=window)).seq
            expected = table[np.frombuffer(window.encode(), np.uint8)]
            np.testing.assert_array_equal(data["onehot"][batch, i], expected)
            if data["labels"][batch, i]:
                assert start + 150 in gene_starts
