"""Batch fetches: the sequential path below 1000 regions, the worker pool from 1000 on."""

import multiprocessing
import os
import pickle
import random
import subprocess
import sys
import textwrap

import gelvo
import pytest

_rng = random.Random(7)
BASES = "".join(_rng.choice("ACGTacgtN") for _ in range(5000))


@pytest.fixture
def genome(write_fasta):
    lines = "\n".join(BASES[i : i + 60] for i in range(0, len(BASES), 60))
    return write_fasta(">chr1\n" + lines + "\n>chr2\n" + lines[:599] + "\n")


def regions_in(name, n, seed=0, length=200):
    rng = random.Random(seed)
    return [(name, s, s + length - 1) for s in (rng.randrange(1, 4800) for _ in range(n))]


def same(a, b):
    return [(s.name, s.seq, s.start, s.end, s.comp) for s in a] == [(s.name, s.seq, s.start, s.end, s.comp) for s in b]


@pytest.mark.parametrize("n", [1, 999, 1000, 5000])
def test_results_in_request_order_equal_single_fetches(genome, n):
    fa = gelvo.Faidx(genome)
    regions = regions_in("chr1", n) + [("chr2", 1, 50), ("chr2", 500, 590), ("chr2", 7, 7)]
    assert same(fa.fetch_many(regions), [fa.fetch(*r) for r in regions])
    pairs = [(s, e) for _, s, e in regions_in("chr1", n, seed=2)]
    assert same(fa.fetch_many_same_chr("chr1", pairs), [fa.fetch("chr1", s, e) for s, e in pairs])


def test_empty_requests(genome):
    fa = gelvo.Faidx(genome)
    assert fa.fetch_many([]) == []
    assert fa.fetch_many_same_chr("no such name", []) == []


@pytest.mark.parametrize("cls", [gelvo.Faidx, gelvo.Fasta])
def test_descriptor_path_in_parallel(genome, cls):
    mapped = gelvo.Faidx(genome)
    through_file = cls(genome, mutable=True)
    regions = regions_in("chr1", 3000, seed=3)
    assert same(through_file.fetch_many(regions), mapped.fetch_many(regions))


def test_threshold_decides_between_warnings_and_silent_clamping(genome, capfd):
    fa = gelvo.Faidx(genome)
    filler = [("chr1", 1, 10)] * 998
    small = fa.fetch_many([("chr1", 0, 5)] + filler)
    assert (small[0].seq, small[0].start, small[0].end) == ("", 0, 5)
    assert capfd.readouterr().err == "WARNING: coordinates cannot be 0 (1-based indexing)\n"

    large = fa.fetch_many([("chr1", 0, 5)] + filler + [("chr1", 4990, 6000), ("chr1", 9, 3)])
    assert (large[0].seq, large[0].start, large[0].end) == (BASES[:5], 1, 5)
    assert (large[-2].seq, large[-2].start, large[-2].end) == (BASES[4989:], 4990, 5000)
    assert (large[-1].seq, large[-1].start, large[-1].end) == ("", 9, 3)
    assert capfd.readouterr().err == ""


def test_region_past_the_end_clamps_to_last_base_in_parallel(genome):
    fa = gelvo.Faidx(genome)
    out = fa.fetch_many_same_chr("chr1", [(6000, 7000)] * 1000)
    assert (out[0].seq, out[0].start, out[0].end) == (BASES[-1], 5000, 5000)


def test_first_failure_position_is_reported(genome, capfd):
    fa = gelvo.Faidx(genome)
    regions = regions_in("chr1", 1000)
    regions[7] = ("nope", 1, 2)
    regions[500] = ("other", 1, 2)
    with pytest.raises(RuntimeError) as info:
        fa.fetch_many(regions)
    assert str(info.value) == "Error fetching region 7: Fetch error: Sequence 'nope' not found"

    # Sequentially, the first failure stops the batch: the region after it
    # would warn, but is never fetched.
    small = regions[:999]
    small[8] = ("chr1", 0, 1)
    capfd.readouterr()
    with pytest.raises(Exception) as info:
        fa.fetch_many(small)
    assert type(info.value) is Exception
    assert str(info.value) == "FetchError: Sequence 'nope' not found"
    assert capfd.readouterr().err == ""


LARGE_BATCH_FAILURES = textwrap.dedent(
    """
    import random, sys, gelvo
    fa = gelvo.Faidx(sys.argv[1])
    rng = random.Random(4)
    regions = [("chr1", s, s + 99) for s in (rng.randrange(1, 4900) for _ in range(60000))]
    for bad in (55000, 3, 30000):
        regions[bad] = ("nope", 1, 2)
    try:
        fa.fetch_many(regions)
    except RuntimeError as e:
        print(e)
    """
)


def test_early_failure_in_a_large_batch_ends_it(genome):
    # The caller stops building results at the first failure while workers
    # are far ahead or held back; the call must still come back.
    out = subprocess.run(
        [sys.executable, "-c", LARGE_BATCH_FAILURES, genome], capture_output=True, text=True, check=True, timeout=120
    )
    assert out.stdout == "Error fetching region 3: Fetch error: Sequence 'nope' not found\n"


def test_consecutive_batches_of_changing_sizes(genome):
    # Storage is kept from one batch to the next; nothing of an earlier,
    # larger or failed batch may show through.
    fa = gelvo.Faidx(genome, sequence_always_upper=True)
    for n, seed in ((40000, 1), (1500, 2), (25000, 3)):
        regions = regions_in("chr1", n, seed=seed, length=1 + seed * 70)
        pairs = [(s, e) for _, s, e in regions]
        assert same(fa.fetch_many_same_chr("chr1", pairs), [fa.fetch(*r) for r in regions])
        with pytest.raises(RuntimeError, match=f"^Error fetching region {n - 1}: "):
            fa.fetch_many(regions[:-1] + [("nope", 1, 2)])


def sequence_views(s):
    """Everything a Sequence shows, as plain values."""
    return (
        s.name,
        s.seq,
        str(s),
        repr(s),
        len(s),
        s.start,
        s.end,
        s.comp,
        s.fancy_name,
        s.orientation,
        s[3:40].seq,
        s[::-7].seq,
        s[-1].seq,
        [r.seq for r in s[:5]],
        "A" in s,
        (-s).seq,
        s.complement.seq,
        s.reverse.seq,
        s.gc,
        s.gc_strict,
        s.gc_iupac,
        s == s.seq,
        s == gelvo.Sequence(seq=s.seq),
        pickle.loads(pickle.dumps(s)).seq,
    )


@pytest.mark.parametrize("rc", [False, True])
def test_parallel_results_behave_as_single_fetch_results(genome, rc):
    regions = regions_in("chr1", 1500, seed=6)
    batch = gelvo.Fasta(genome).fetch_many(regions, rc=rc)
    faidx = gelvo.Faidx(genome)
    singles = [faidx.fetch(*r) for r in regions]
    if rc:
        singles = [-s for s in singles]
    # Each operation is tried first on a fresh result, before anything made
    # its str, then again.
    for got, want in zip(batch, singles):
        assert sequence_views(got) == sequence_views(want)
        assert sequence_views(got) == sequence_views(want)


def test_parallel_results_outlive_their_batch_and_faidx(genome):
    fa = gelvo.Faidx(genome)
    regions = regions_in("chr1", 3000, seed=8)
    expected = [fa.fetch(*r).seq for r in regions]
    kept = fa.fetch_many(regions)
    few = kept[::500]  # a few of them keep their blocks alive
    del kept
    del fa
    other = gelvo.Faidx(genome)
    for seed in range(3):  # later batches reuse freed storage
        other.fetch_many(regions_in("chr1", 4000, seed=100 + seed))
    assert [s.seq for s in few] == expected[::500]


def test_parallel_result_seq_can_be_replaced(genome):
    s = gelvo.Faidx(genome).fetch_many(regions_in("chr1", 1000))[0]
    s.seq = "ACGT"
    assert (s.seq, len(s), str(s), s.gc) == ("ACGT", 4, "ACGT", 0.5)
    with pytest.raises(AttributeError, match="can't delete attribute"):
        del s.seq
    assert s.seq == "ACGT"


def test_strict_bounds_on_both_paths(genome):
    fa = gelvo.Faidx(genome, strict_bounds=True)
    pairs = [(1, 10)] * 999 + [(8, 3)]
    with pytest.raises(RuntimeError) as info:
        fa.fetch_many_same_chr("chr1", pairs)
    assert str(info.value) == (
        "Error fetching region 999 from chr1: Invalid region: Invalid region chr1:8-3 (sequence length: 5000)"
    )
    with pytest.raises(RuntimeError, match=r"^Error fetching region 3: Invalid region: Invalid region chr1:0-1 "):
        fa.fetch_many([("chr1", 1, 2)] * 3 + [("chr1", 0, 1)] + [("chr1", 1, 2)] * 996)
    with pytest.raises(IndexError, match="^start coordinate 8 is greater than end coordinate 3$"):
        fa.fetch_many_same_chr("chr1", pairs[-999:])


def test_same_chr_missing_name_fails_before_fetching(genome, capfd):
    fa = gelvo.Faidx(genome)
    for n in (1, 1000):
        with pytest.raises(Exception, match="^FetchError: Sequence 'chrX' not found$"):
            fa.fetch_many_same_chr("chrX", [(0, 1)] * n)
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("n", [10, 1000])
def test_fasta_rc(genome, n):
    fasta = gelvo.Fasta(genome)
    faidx = gelvo.Faidx(genome)
    regions = [("chr1", 10, 20)] + regions_in("chr1", n - 1)
    plain = faidx.fetch_many(regions)
    assert same(fasta.fetch_many(regions, rc=False), plain)
    assert same(fasta.fetch_many(regions), plain)
    flipped = fasta.fetch_many(regions, rc=True)
    assert same(flipped, [-s for s in plain])
    assert (flipped[0].start, flipped[0].end, flipped[0].comp) == (20, 10, True)
    pairs = [(s, e) for _, s, e in regions]
    assert same(fasta.fetch_many_same_chr("chr1", pairs, rc=True), [-s for s in plain])


@pytest.mark.parametrize(
    "call",
    [
        lambda fa: fa.fetch_many([("chr1", 0, 5), ["chr1", 1, 2]]),
        lambda fa: fa.fetch_many("chr1"),
        lambda fa: fa.fetch_many([("chr1", 1)]),
        lambda fa: fa.fetch_many([("chr1", 1, "2")]),
        lambda fa: fa.fetch_many([(1, 1, 2)]),
        lambda fa: fa.fetch_many_same_chr("chr1", [(0, 5), [1, 2]]),
        lambda fa: fa.fetch_many_same_chr("chr1", [(0, 5, 6)]),
    ],
)
def test_bad_requests_refused_before_any_fetch(genome, capfd, call):
    with pytest.raises(TypeError, match="'regions'"):
        call(gelvo.Faidx(genome))
    assert capfd.readouterr().err == ""  # the leading (0, 5) was never fetched


def test_other_bad_arguments(genome):
    fa = gelvo.Faidx(genome)
    with pytest.raises(OverflowError, match="'regions'"):
        fa.fetch_many([("chr1", -1, 2)])
    with pytest.raises(TypeError, match="'name'"):
        fa.fetch_many_same_chr(1, [(1, 2)])
    with pytest.raises(TypeError, match="'rc'"):
        gelvo.Fasta(genome).fetch_many([("chr1", 1, 2)], rc=1)
    # any sequence of tuples will do, not only lists
    assert len(fa.fetch_many((("chr1", 1, 2), ("chr1", 3, 4)))) == 2


def test_signatures_and_docs():
    assert gelvo.Faidx.fetch_many.__text_signature__ == "($self, regions)"
    assert gelvo.Faidx.fetch_many_same_chr.__text_signature__ == "($self, name, regions)"
    assert gelvo.Fasta.fetch_many.__text_signature__ == "($self, regions, rc=None)"
    assert gelvo.Fasta.fetch_many_same_chr.__text_signature__ == "($self, name, regions, rc=None)"
    assert gelvo.Faidx.fetch_many.__doc__.startswith("High-performance batch fetch for many sequences\n\n")
    assert gelvo.Faidx.fetch_many.__doc__.endswith(">>> sequences = faidx.fetch_many(regions)")
    assert "It's significantly faster" in gelvo.Fasta.fetch_many_same_chr.__doc__


RUN_BATCH = textwrap.dedent(
    """
    import hashlib, random, sys, gelvo
    fa = gelvo.Faidx(sys.argv[1])
    rng = random.Random(5)
    # Long enough for workers to get far ahead of the consumer and nap.
    regions = [("chr1", s, s + 999) for s in (rng.randrange(1, 4000) for _ in range(40000))]
    out = fa.fetch_many(regions)
    print(hashlib.sha256("".join(f"{s.seq}{s.start}{s.end}" for s in out).encode()).hexdigest())
    """
)


def test_thread_count_does_not_change_results(genome):
    digests = set()
    for threads in ("1", "2", "5", "0", "junk"):
        env = dict(os.environ, RAYON_NUM_THREADS=threads)
        out = subprocess.run(
            [sys.executable, "-c", RUN_BATCH, genome], env=env, capture_output=True, text=True, check=True, timeout=120
        )
        digests.add(out.stdout.strip())
    assert len(digests) == 1


def _child_batch(path, queue):
    fa = gelvo.Faidx(path)
    out = fa.fetch_many(regions_in("chr1", 2000, seed=9))
    queue.put(len(out))


# Forking a process with worker threads is the point here.
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_forked_child_gets_its_own_pool(genome):
    fa = gelvo.Faidx(genome)
    fa.fetch_many(regions_in("chr1", 2000))  # the parent's pool now exists
    ctx = multiprocessing.get_context("fork")
    queue = ctx.Queue()
    child = ctx.Process(target=_child_batch, args=(genome, queue))
    child.start()
    child.join(60)
    if child.is_alive():
        child.kill()
        pytest.fail("a parallel batch in the forked child hung")
    assert child.exitcode == 0
    assert queue.get(timeout=5) == 2000
