"""Files past 4 GiB, sequences past 2**32 bases, and lines hundreds of MB long.

The big FASTA file is sparse: only the stretches the tests read hold bases,
the rest is a hole. Its index is written by hand, so nothing scans 4 GiB.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import textwrap

import gelvo
import pytest

WIDTH = 60
LINES = (2**32 + 2**22) // WIDTH + 1  # more than 2**32 bases
BIG_RLEN = LINES * WIDTH
BIG_OFFSET = len(">big\n")
MOTIF = "ACGTTGCAACGATC"


def needs_free_disk(megabytes):
    free = shutil.disk_usage(tempfile.gettempdir()).free >> 20
    return pytest.mark.skipif(free < megabytes, reason=f"needs {megabytes} MB of free disk")


def base_at(position):
    """The base written at 1-based position of the big record (where written)."""
    return MOTIF[position % len(MOTIF)]


def byte_of(position):
    return BIG_OFFSET + (position - 1) // WIDTH * (WIDTH + 1) + (position - 1) % WIDTH


def write_lines(f, first_line, count):
    """Writes whole lines of the big record, starting at its 0-based line first_line."""
    f.seek(BIG_OFFSET + first_line * (WIDTH + 1))
    for line in range(first_line, first_line + count):
        start = line * WIDTH + 1
        f.write("".join(base_at(p) for p in range(start, start + WIDTH)).encode() + b"\n")


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("big") / "big.fa")
    tail_offset = BIG_OFFSET + LINES * (WIDTH + 1) + len(">tail\n")
    with open(path, "wb") as f:
        f.write(b">big\n")
        write_lines(f, 0, 2)
        # Around base 2**32, where a 32-bit offset or count would wrap.
        write_lines(f, (2**32 - 1) // WIDTH - 2, 5)
        write_lines(f, LINES - 40, 40)
        f.write(b">tail\nGATTACA\n")
    if os.stat(path).st_blocks * 512 > 64 << 20:
        os.unlink(path)
        pytest.skip("the file system does not keep holes")
    with open(path + ".fai", "w") as f:
        f.write(f"big\t{BIG_RLEN}\t{BIG_OFFSET}\t{WIDTH}\t{WIDTH + 1}\ntail\t7\t{tail_offset}\t7\t8\n")
    assert os.path.getsize(path) > 2**32
    yield path
    os.unlink(path)
    os.unlink(path + ".fai")


def expected(start, end):
    return "".join(base_at(p) for p in range(start, end + 1))


REGIONS = [
    (BIG_RLEN - 99, BIG_RLEN),  # the last bases
    (BIG_RLEN - 130, BIG_RLEN - 50),  # across line ends
    (2**32 - 70, 2**32 + 70),  # across base 2**32
    (1, 100),
]


@needs_free_disk(256)
@pytest.mark.parametrize("mutable", [False, True])
def test_fetch_near_the_ends(big, mutable):
    fa = gelvo.Faidx(big, rebuild=False, mutable=mutable)
    assert byte_of(BIG_RLEN) > 2**32
    for start, end in REGIONS:
        s = fa.fetch("big", start, end)
        assert (s.seq, s.start, s.end) == (expected(start, end), start, end)
    assert fa.fetch("tail", 2, 7).seq == "ATTACA"
    assert fa.fetch_entire_sequence("tail").seq == "GATTACA"
    clamped = fa.fetch("big", BIG_RLEN - 9, 2**64 - 1)  # lenient: clamped to the last base
    assert (clamped.seq, clamped.end) == (expected(BIG_RLEN - 9, BIG_RLEN), BIG_RLEN)


@needs_free_disk(256)
@pytest.mark.parametrize("mutable", [False, True])
@pytest.mark.parametrize("n", [10, 1000])
def test_batches_near_the_ends(big, mutable, n):
    fa = gelvo.Fasta(big, rebuild=False, mutable=mutable)
    regions = [REGIONS[i % len(REGIONS)] for i in range(n)]
    out = fa.fetch_many([("big", s, e) for s, e in regions] + [("tail", 1, 7)])
    assert [x.seq for x in out] == [expected(s, e) for s, e in regions] + ["GATTACA"]
    rc = fa.fetch_many_same_chr("big", regions, rc=True)
    assert [(x.start, x.end) for x in rc] == [(e, s) for s, e in regions]
    assert rc[0].seq == (-fa.get_seq("big", *regions[0])).seq


@needs_free_disk(256)
def test_record_of_more_than_2_to_the_32_bases(big):
    record = gelvo.Fasta(big, rebuild=False)["big"]
    assert len(record) == BIG_RLEN
    last = record[-25:]
    assert (last.seq, last.start, last.end) == (expected(BIG_RLEN - 24, BIG_RLEN), BIG_RLEN - 24, BIG_RLEN)
    assert record[2**32 - 1 : 2**32 + 2].seq == expected(2**32, 2**32 + 2)


# ---------------------------------------------------------------- one long line

LINE = 300_000_000

BUILD = textwrap.dedent(
    """
    import resource, sys, gelvo
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    fa = gelvo.Faidx(sys.argv[1])
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(before, peak, fa.fetch("long", %d, %d).seq)
    """
) % (LINE - 9, LINE)


@needs_free_disk(1024)
def test_unwrapped_sequence_indexes_in_little_memory(tmp_path):
    path = tmp_path / "long.fa"
    chunk = (MOTIF * (2**20 // len(MOTIF) + 1))[: 2**20].encode()
    try:
        with open(path, "wb") as f:
            f.write(b">long\n")
            for _ in range(LINE // len(chunk)):
                f.write(chunk)
            f.write(chunk[: LINE % len(chunk)] + b"\n")
        out = subprocess.run([sys.executable, "-c", BUILD, str(path)], capture_output=True, text=True, timeout=120)
        assert out.returncode == 0, out.stderr
        before_kib, peak_kib, last = out.stdout.split()
        assert (tmp_path / "long.fa.fai").read_text() == f"long\t{LINE}\t6\t{LINE}\t{LINE + 1}\n"
        assert last == (chunk * 2)[(LINE - 10) % len(chunk) :][:10].decode()
        # A line held in memory would take 300 MB; the scan keeps one buffer.
        # (The peak is compared with the interpreter's own, which a sanitizer
        # runtime alone puts at hundreds of MB.)
        assert int(peak_kib) - int(before_kib) < 32 << 10
    finally:
        path.unlink(missing_ok=True)
