"""Memory stays flat while the window calls and their failures run thousands
of times (the method of flat_memory.py: a warm-up round, then three rounds; a
leak grows in both of their intervals)."""

import os

import gelvo
import numpy as np
import pytest
from flat_memory import assert_flat, memory_after

ROUNDS = 500
BASES = "ACGTTGCAACNNacgtRYKM" * 400


def refused(exc, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except exc:
        return
    raise AssertionError(f"{call} did not raise {exc.__name__}")


def every_window_call(faidx, fasta, out, big_out, i):
    regions = [("chr1", j, j + 99) for j in range(-50, 8000, 97)]
    flags = [j % 3 == 0 for j in range(len(regions))]
    starts = np.arange(-20, 8000, 41)
    faidx.fetch_array(regions)
    faidx.fetch_array(regions, rc=flags, pad="-")
    fasta.fetch_array(regions, onehot=True, dtype=np.float16, unknown=0.25, rc=np.array(flags))
    faidx.fetch_array_same_chr("chr2", starts, 30, onehot=True, rc=True)
    fasta.fetch_array_same_chr("chr1", starts.tolist(), 10, out=out)
    if i % 25 == 0:  # the worker pool, with and without `out`
        faidx.fetch_array_same_chr("chr1", np.arange(1, 20001), 60, out=big_out)
        fasta.fetch_array_same_chr("chr1", np.arange(1, 20001), 60, onehot=True, dtype="float32")

    refused(Exception, faidx.fetch_array, [("zz", 1, 5)])
    refused(Exception, fasta.fetch_array_same_chr, "zz", [1], 5)
    refused(ValueError, faidx.fetch_array, [("chr1", 1, 5), ("chr1", 1, 6)])
    refused(TypeError, faidx.fetch_array, [("chr1", "1", 5)])
    refused(ValueError, faidx.fetch_array, regions, rc=flags[1:])
    refused(TypeError, faidx.fetch_array, regions, rc=np.array(flags, dtype=int))
    refused(ValueError, faidx.fetch_array, regions, pad="NN")
    refused(ValueError, faidx.fetch_array, regions, onehot=True, dtype="int64")
    refused(ValueError, faidx.fetch_array, regions, onehot=True, unknown=0.5)
    refused(ValueError, faidx.fetch_array_same_chr, "chr1", starts, 11, out=out)
    refused(TypeError, faidx.fetch_array_same_chr, "chr1", starts.astype(float), 10)
    refused(OverflowError, faidx.fetch_array_same_chr, "chr1", [2**70], 10)


def measure(faidx, fasta, start):
    out = np.empty((len(np.arange(-20, 8000, 41)), 10), np.uint8)
    big_out = np.empty((20000, 60), np.uint8)

    def round_of_calls():
        for i in range(start, start + ROUNDS):
            every_window_call(faidx, fasta, out, big_out, i)

    return memory_after(round_of_calls)


def test_memory_is_flat_over_repeated_window_calls(write_fasta):
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the sanitizer holds freed memory in quarantine")
    lines = "\n".join(BASES[i : i + 60] for i in range(0, len(BASES), 60))
    path = write_fasta(f">chr1\n{lines}\n>chr2 second\n{lines[:3000]}\n")
    faidx, fasta = gelvo.Faidx(path), gelvo.Fasta(path, sequence_always_upper=True)
    assert_flat(lambda start: measure(faidx, fasta, start), ROUNDS)
