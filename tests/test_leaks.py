"""Memory stays flat while every public operation runs thousands of times.

A warm-up round fills caches, free lists and the worker pool; three further
rounds of equal size follow. A leak of one object (or one C++ buffer of a
fetched region) per operation shows as every round ending higher than the one
before by thousands of blocks (or by megabytes of resident memory).
"""

import contextlib
import os

import gelvo
import pytest
from flat_memory import assert_flat, memory_after

ROUNDS = 1000
BIG_BATCH_EVERY = 25  # a parallel batch costs a thousand fetches
BASES = "ACGTTGCAACNNacgtRYKM" * 400  # 8000 bases, so a lost region shows in RSS


@contextlib.contextmanager
def quiet_fd2():
    """Lenient warnings go straight to fd 2; thousands of them go nowhere."""
    saved = os.dup(2)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 2)
    try:
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(null)


def raises(exc, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except exc:
        return
    raise AssertionError(f"{call} did not raise {exc.__name__}")


def every_operation(path, missing, i):
    faidx = gelvo.Faidx(path)
    mutable = gelvo.Faidx(path, mutable=True, default_seq="N")
    strict = gelvo.Faidx(path, strict_bounds=True)
    fasta = gelvo.Fasta(path, sequence_always_upper=True)

    s = faidx.fetch("chr1", 11, 6000)
    mutable.fetch("chr1", 7000, 9000)  # filled past the end
    faidx.fetch("chr1", 0, 5)  # lenient: a warning and an empty result
    faidx.fetch_entire_sequence("chr2")
    faidx.fetch_many([("chr1", 1, 4000), ("chr2", 5, 50)])
    faidx.fetch_many_same_chr("chr1", [(1, 3000), (100, 200)])
    fasta.fetch_many([("chr1", 1, 4000), ("chr2", 5, 50)], rc=True)
    fasta.fetch_many_same_chr("chr1", [(1, 3000), (100, 200)], rc=True)
    if i % BIG_BATCH_EVERY == 0:
        regions = [("chr1", j, j + 700) for j in range(1, 7001, 7)]
        faidx.fetch_many(regions)
        fasta.fetch_many(regions, rc=True)
        fasta.fetch_many_same_chr("chr1", [(a, b) for _, a, b in regions], rc=True)
        raises(RuntimeError, faidx.fetch_many, regions + [("zz", 1, 2)])

    # Sequence values and their operations.
    gelvo.Sequence("x", "ACGTN" * 20, 1, 100)
    s[10:900], s[::-3], s[-1], -s, s.complement, s.reverse
    s.gc, s.gc_strict, s.gc_iupac, repr(s), str(s), s.fancy_name, len(s), s == -(-s)

    # The mapping surface, records and their iteration.
    fasta.keys(), fasta.values(), fasta.items(), len(fasta), "chr1" in fasta, list(fasta)
    record = fasta["chr2"]
    record[5:60], record[-30:], record[::7], str(record), len(record), record.unpadded_len
    list(record), reversed(record)
    fasta.get_seq("chr1", 100, 2000, rc=True)
    fasta.get_spliced_seq("chr1", [(1, 300), (700, 2000)], rc=True)

    # Failures.
    raises(Exception, gelvo.Faidx, missing)
    raises(Exception, gelvo.Fasta, missing)
    raises(Exception, faidx.fetch, "zz", 1, 2)
    raises(Exception, faidx.fetch_many_same_chr, "zz", [(1, 2)])
    raises(IndexError, strict.fetch, "chr1", 1, 10**6)
    raises(IndexError, strict.fetch_many, [("chr1", 5, 1)])
    raises(KeyError, fasta.__getitem__, "zz")
    raises(TypeError, faidx.fetch, 1, 2, 3)
    raises(TypeError, faidx.fetch_many, [["chr1", 1, 2]])
    raises(OverflowError, faidx.fetch, "chr1", -1, 2)
    raises(TypeError, fasta.get_seq, "chr1", 1, 2, rc=1)
    raises(TypeError, gelvo.Sequence, "x", b"AC")


def measure(path, missing, start):
    def round_of_calls():
        for i in range(start, start + ROUNDS):
            every_operation(path, missing, i)

    return memory_after(round_of_calls)


def test_memory_is_flat_over_repeated_operations(write_fasta, tmp_path):
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the sanitizer holds freed memory in quarantine")
    lines = "\n".join(BASES[i : i + 60] for i in range(0, len(BASES), 60))
    path = write_fasta(f">chr1\n{lines}\n>chr2 second\n{lines[:3000]}\n")
    missing = str(tmp_path / "missing.fa")
    with quiet_fd2():
        assert_flat(lambda start: measure(path, missing, start), ROUNDS)
