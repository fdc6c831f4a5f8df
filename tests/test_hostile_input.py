"""Hostile input: a defined result or a clear exception, never a crash or a hang.

Coordinates near 2**64, index numbers at the edge of their types, unusual
names, bytes that are not UTF-8, and paths that are not regular files.
Cases that could hang run in a child process with a timeout.
"""

import os
import pathlib
import resource
import stat
import subprocess
import sys
import textwrap

import gelvo
import pytest

TEN = "ACGTACGTAC"
TOP = 2**64 - 1


@pytest.fixture
def ten(write_fasta):
    return write_fasta(f">chr1\n{TEN}\n")


TEN_LENGTH = len(TEN)


def clamp(start, end, length=TEN_LENGTH):
    """The silent rules of the parallel path: both ends pulled into 1..length."""
    s, e = min(max(start, 1), length), min(max(end, 1), length)
    return TEN[s - 1 : e] if s <= e else ""


# ---------------------------------------------------------------- coordinates near 2**64


@pytest.mark.parametrize(
    "start, end, seq, coordinates",
    [
        (TOP, TOP, "", (TOP, TOP)),  # start past the end: empty, at start
        (1, TOP, TEN, (1, 10)),  # end clamped to the last base
        (TOP, 1, "", (TOP, TOP)),
        (2**63, 2**63 + 1, "", (2**63, 2**63)),
    ],
)
def test_fetch_near_the_top_of_the_range(ten, capfd, start, end, seq, coordinates):
    s = gelvo.Faidx(ten).fetch("chr1", start, end)
    assert (s.seq, (s.start, s.end)) == (seq, coordinates)
    warning = f"WARNING: coordinates {start}-{end} are out of bounds for sequence 'chr1' of length 10\n"
    assert capfd.readouterr().err == warning
    with pytest.raises(IndexError, match=f"^coordinates {start}-{end} are out of bounds"):
        gelvo.Faidx(ten, strict_bounds=True).fetch("chr1", start, end)


@pytest.mark.parametrize("n", [3, 1000])
def test_batches_near_the_top_of_the_range(ten, capfd, n):
    fa, fasta = gelvo.Faidx(ten), gelvo.Fasta(ten)
    pairs = [(TOP, TOP), (1, TOP), (TOP - 1, 2), (2**63, 5)]
    pairs = [pairs[i % len(pairs)] for i in range(n)]
    out = fa.fetch_many([("chr1", s, e) for s, e in pairs])
    same = fa.fetch_many_same_chr("chr1", pairs)
    rc = fasta.fetch_many_same_chr("chr1", pairs, rc=True)
    if n < 1000:
        expected = [fa.fetch("chr1", s, e).seq for s, e in pairs]
    else:
        expected = [clamp(s, e) for s, e in pairs]
        assert capfd.readouterr().err == ""
    assert [x.seq for x in out] == [x.seq for x in same] == expected
    assert [x.seq for x in rc] == [(-x).seq for x in same]
    with pytest.raises(OverflowError, match="'regions'"):
        fa.fetch_many([("chr1", 1, 2**64)] * n)


def test_region_methods_near_the_top_of_the_range(ten, capfd):
    fasta = gelvo.Fasta(ten)
    assert fasta.get_seq("chr1", TOP, TOP).seq == ""
    assert fasta.get_seq("chr1", 3, TOP, rc=True).seq == (-fasta.get_seq("chr1", 3, 10)).seq
    assert fasta.get_spliced_seq("chr1", [(TOP, TOP), (9, TOP)]).seq == TEN[8:]
    with pytest.raises(OverflowError):
        fasta.get_seq("chr1", 1, 2**64)


@pytest.mark.parametrize(
    "key",
    [
        slice(2**64, None),
        slice(None, 2**64),
        slice(-(2**64), None),
        slice(-(2**64), -(2**64)),
        slice(2**63, None, 3),
        slice(2**64, 0, -2),
        slice(2**64, -(2**64), -3),
        slice(-(2**64), 2**64, 2),
        slice(3, 2**64, 4),
        slice(2**64, None, -1),
    ],
)
def test_record_slices_near_the_top_of_the_range(ten, capfd, key):
    record = gelvo.Fasta(ten)["chr1"]
    # A record slice picks what the same slice picks from the whole record.
    assert record[key].seq == record[:][key].seq


def test_record_index_past_the_signed_range(ten):
    with pytest.raises(TypeError, match="^Invalid index type$"):
        gelvo.Fasta(ten)["chr1"][2**64]


# ---------------------------------------------------------------- index numbers at their edges


def by_hand(write_fasta, fai, fasta=">a\nACGT\nACGT\n"):
    path = write_fasta(fasta)
    with open(path + ".fai", "w") as f:
        f.write(fai)
    return path


@pytest.mark.parametrize(
    "entry",
    [
        f"a\t{TOP}\t3\t4\t5",  # rlen at the top of its type
        f"a\t100\t{TOP}\t4\t5",  # offset at the top
        f"a\t100\t3\t{TOP}\t{TOP}",
        f"a\t100\t3\t1\t{TOP}",
        "a\t100\t3\t4\t0",  # lines of no bytes
        f"a\t{2**63}\t3\t4\t5",  # just past the signed size range
    ],
)
@pytest.mark.parametrize("n", [3, 1000])
def test_hostile_index_in_batches_and_records(write_fasta, capfd, entry, n):
    path = by_hand(write_fasta, entry + "\n")
    fasta = gelvo.Fasta(path, rebuild=False)
    for mutable in (False, True):
        fa = gelvo.Faidx(path, rebuild=False, mutable=mutable)
        try:
            out = fa.fetch_many([("a", 1, 8), ("a", 2**62, TOP), ("a", TOP, TOP)] * (n // 3 + 1))
        except Exception as e:
            # Only the descriptor path can meet an offset no seek accepts.
            assert mutable and "Invalid argument (os error 22)" in str(e)
            continue
        for s in out:
            assert len(s.seq) <= 8 and set(s.seq) <= set("ACGT")
    record = fasta["a"]
    assert len(str(record)) <= 8
    first = next(iter(record)).seq
    assert len(first) <= 8 and set(first) <= set("ACGT")
    assert record.unpadded_len <= 8
    if int(entry.split("\t")[1]) > sys.maxsize:
        with pytest.raises(OverflowError):
            len(record)
        with pytest.raises((OverflowError, MemoryError)):
            reversed(record)


# ---------------------------------------------------------------- names and bytes


def test_names_beyond_ascii(write_fasta, fai_of):
    text = ">chr\u03b1 desc\nACGT\n>\U0001f9ec\tx\nGG\n>a\x00b\nTT\n"
    path = write_fasta(text)
    fa, fasta = gelvo.Faidx(path), gelvo.Fasta(path)
    assert sorted(fa.keys) == sorted(["chr\u03b1", "\U0001f9ec", "a\x00b"])
    first = len(">chr\u03b1 desc\n".encode())
    assert fai_of(path).startswith(f"chr\u03b1\t4\t{first}\t4\t5\n\U0001f9ec\t2\t")
    for n in (1, 1000):
        assert {s.seq for s in fa.fetch_many([("\U0001f9ec", 1, 2)] * n)} == {"GG"}
    assert fasta["a\x00b"][:].seq == "TT"
    assert fasta.get_seq("chr\u03b1", 2, 3).name == "chr\u03b1"
    with pytest.raises(Exception, match="^FetchError: Sequence 'chr\u03b2' not found$"):
        fa.fetch("chr\u03b2", 1, 2)
    with pytest.raises(Exception, match="^FetchError: Sequence 'a' not found$"):
        fa.fetch("a", 1, 2)
    with pytest.raises(UnicodeEncodeError):
        fa.fetch("\udcff", 1, 2)
    with pytest.raises(UnicodeEncodeError):
        fa.fetch_many([("\udcff", 1, 2)] * 1000)


def test_bytes_that_are_not_utf8_under_a_written_index(write_fasta):
    # No scan looks at the bytes, so they reach the fetch.
    path = by_hand(write_fasta, "a\t6\t3\t6\t7\n", fasta=b">a\nAC\xffGT\xc3\n")
    fa, fasta = gelvo.Faidx(path, rebuild=False), gelvo.Fasta(path, rebuild=False)
    assert fa.fetch("a", 1, 6).seq == "AC\ufffdGT\ufffd"
    assert [s.seq for s in fa.fetch_many([("a", 1, 6)] * 1000)][-1] == "AC\ufffdGT\ufffd"
    # Complements work on bytes: every byte that is no IUPAC letter gives N.
    assert fasta.get_seq("a", 1, 6, rc=True).seq == "NACNGT"
    assert fasta.fetch_many([("a", 1, 6)] * 1000, rc=True)[0].seq == "NACNGT"
    assert fasta["a"].unpadded_len == 6


# ---------------------------------------------------------------- paths that are not regular files


def test_fasta_path_that_is_a_directory(tmp_path):
    with pytest.raises(Exception, match=r"^IOError: Is a directory \(os error 21\)$"):
        gelvo.Faidx(str(tmp_path))


def test_index_under_a_regular_file(ten):
    with pytest.raises(Exception, match=r"^IOError: Not a directory \(os error 20\)$"):
        gelvo.Faidx(ten, indexname=ten + "/ref.fa.fai")
    assert not os.path.exists(ten + ".fai")


def private_device(path):
    """A character device node like /dev/null, made where a test may replace it."""
    try:
        os.mknod(path, stat.S_IFCHR | 0o644, os.makedev(1, 3))
    except (PermissionError, OSError):
        pytest.skip("cannot make device nodes here")
    return path


@pytest.mark.parametrize("kind", ["fifo", "device"])
def test_index_that_is_not_a_regular_file_is_left_alone(ten, tmp_path, kind):
    index = str(tmp_path / "index")
    if kind == "fifo":
        os.mkfifo(index)
    else:
        private_device(index)
    os.utime(index, (1_000_000, 1_000_000))  # older than the FASTA file: a build is due
    for rebuild in (True, False):
        with pytest.raises(Exception, match=r"^IOError: Illegal seek \(os error 29\)$"):
            gelvo.Faidx(ten, indexname=index, rebuild=rebuild)
    mode = os.lstat(index).st_mode
    assert stat.S_ISFIFO(mode) if kind == "fifo" else stat.S_ISCHR(mode)
    assert sorted(os.listdir(tmp_path)) == ["index", "ref.fa"]


def limit_memory():
    # Reading /dev/zero to its end would take all memory; a sanitizer
    # runtime reserves terabytes of address space and cannot live under a cap.
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))


# Each runs in a child: a regression here hangs or eats memory without end.
PROMPT = textwrap.dedent(
    """
    import os, sys, gelvo
    fasta, index, writer = sys.argv[1], sys.argv[2], sys.argv[3] == "1"
    if writer:  # a FIFO with a writer that holds it open and never writes
        fd = os.open(fasta, os.O_RDWR)
    try:
        gelvo.Faidx(fasta, indexname=index or None, rebuild=False)
    except Exception as e:
        print(e)
    """
)


@pytest.mark.parametrize(
    "fasta, index, writer, message",
    [
        ("fifo", "", "0", "IOError: Illegal seek (os error 29)"),
        ("fifo", "", "1", "IOError: Illegal seek (os error 29)"),
        ("/dev/zero", "", "0", "IOError: Illegal seek (os error 29)"),
        ("ref.fa", "/dev/zero", "0", "IOError: Illegal seek (os error 29)"),
        ("ref.fa", "/dev/urandom", "0", "IOError: Illegal seek (os error 29)"),
        ("ref.fa", "fifo", "0", "IOError: Illegal seek (os error 29)"),
    ],
)
def test_streams_and_devices_fail_promptly(write_fasta, tmp_path, fasta, index, writer, message):
    write_fasta(f">chr1\n{TEN}\n")
    os.mkfifo(tmp_path / "fifo")
    out = subprocess.run(
        [sys.executable, "-c", PROMPT, fasta, index, writer],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=10,
        preexec_fn=limit_memory,
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout == message + "\n"


@pytest.mark.parametrize("cls", [gelvo.Faidx, gelvo.Fasta])
def test_paths_with_an_embedded_nul_are_refused_before_anything_is_opened(ten, tmp_path, cls):
    victim = tmp_path / "victim.txt"
    victim.write_text("keep me\n")
    with pytest.raises(ValueError, match="embedded null byte"):
        cls(ten + "\0junk")
    with pytest.raises(ValueError, match="embedded null byte"):
        cls(ten, indexname=str(victim) + "\0.fai")
    assert victim.read_text() == "keep me\n"
    assert not pathlib.Path(ten + ".fai").exists()
