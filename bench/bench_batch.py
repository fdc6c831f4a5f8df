"""Batch fetches: fetch_many against loops of single fetches, thread scaling,
and the cost per region on both sides of the parallel threshold.

    .venv-bench/bin/python bench/bench_batch.py [--size 1G] [--regions 1000000]
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import resource

# numpy (for the genome) must not leave BLAS threads spinning beside ours.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
import subprocess
import sys

import common
import genome as genomes


def digest(seqs) -> str:
    h = hashlib.sha256()
    for s in seqs:
        h.update(f"{s.seq}{s.start}{s.end}".encode())
    return h.hexdigest()[:16]


def child(args) -> None:
    """Times fetch_many in a fresh process (RAYON_NUM_THREADS set by the parent)."""
    gelvo = common.find_gelvo()
    g = genomes.ensure(args.size, quiet=True)
    fa = gelvo.Faidx(str(g.path))
    regions = genomes.regions(g, 1000, args.kb_regions, seed=11)
    fa.fetch_many(regions[:2000])  # the pool exists before timing
    best = common.best_time(lambda: fa.fetch_many(regions), args.repeats)
    # Page faults of the calling thread in one more batch: building the
    # results is its work alone, and on a virtual machine a fault costs
    # microseconds; whether freed result memory is handed back to the
    # system (and faulted in again) is up to the C allocator.
    before = resource.getrusage(resource.RUSAGE_THREAD).ru_minflt
    out = fa.fetch_many(regions)
    faults = resource.getrusage(resource.RUSAGE_THREAD).ru_minflt - before
    print(json.dumps({"seconds": best, "digest": digest(out), "faults": faults}))


def run_child(args, threads: str) -> dict:
    env = dict(os.environ, RAYON_NUM_THREADS=threads)
    cmd = [
        sys.executable,
        __file__,
        "--child",
        "--size",
        str(args.size),
        "--kb-regions",
        str(args.kb_regions),
        "--repeats",
        str(args.repeats),
    ]
    out = subprocess.run(cmd, env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--size", type=genomes.parse_size, default=genomes.default_size())
    parser.add_argument("--regions", type=int, default=1_000_000, help="200 bp regions for the loop comparison")
    parser.add_argument("--kb-regions", type=int, default=100_000, help="1 kb regions for thread scaling")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(args)

    gelvo = common.find_gelvo()
    if gelvo is None:
        return
    pysam = common.optional_import("pysam")
    print(common.gelvo_origin(gelvo))
    print(common.load_note())
    g = genomes.ensure(args.size)
    fa = gelvo.Faidx(str(g.path))
    regions = genomes.regions(g, 200, args.regions, seed=7)

    # Results are kept alive in every variant, as a batch keeps them.
    batch = common.best_time(lambda: fa.fetch_many(regions), args.repeats)
    loop = common.best_time(lambda: [fa.fetch(n, s, e) for n, s, e in regions], args.repeats)
    check = fa.fetch_many(regions[:5000])
    assert [s.seq for s in check] == [fa.fetch(*r).seq for r in regions[:5000]], "MISMATCH gelvo batch/loop"
    rows = [
        ["gelvo fetch_many", common.fmt_time(batch / len(regions)), "1.00x"],
        ["loop of gelvo Faidx.fetch", common.fmt_time(loop / len(regions)), common.fmt_ratio(batch / loop)],
    ]
    # For scale: Python making (and freeing) a str of each region's length
    # from one cached string, in the same loop. A batch's results make
    # their strs only when they are read, so this is left out of its time.
    text = "ACGT" * 100
    floor = common.best_time(lambda: [text[s % 100 : s % 100 + e - s + 1] for _, s, e in regions], args.repeats)
    rows.append(
        ["Python making the 200-char strs", common.fmt_time(floor / len(regions)), common.fmt_ratio(batch / floor)]
    )
    if pysam is not None:
        ps = pysam.FastaFile(str(g.path))
        assert [s.seq for s in check] == [ps.fetch(n, s - 1, e) for n, s, e in regions[:5000]], "MISMATCH pysam"
        peer = common.best_time(lambda: [ps.fetch(n, s - 1, e) for n, s, e in regions], 1)
        rows.append(
            ["loop of pysam FastaFile.fetch", common.fmt_time(peer / len(regions)), common.fmt_ratio(batch / peer)]
        )
    common.print_table(
        ["call", "per region", "fetch_many / this"],
        rows,
        f"{len(regions):,} random 200 bp regions (targets: <= 0.333x gelvo loop, <= 0.1x pysam loop)",
    )

    one = run_child(args, "1")
    two = run_child(args, "2")
    common.print_table(
        ["RAYON_NUM_THREADS", "per region", "speed-up", "caller's page faults", "digest"],
        [
            ["1", common.fmt_time(one["seconds"] / args.kb_regions), "1.00x", f"{one['faults']:,}", one["digest"]],
            [
                "2",
                common.fmt_time(two["seconds"] / args.kb_regions),
                common.fmt_ratio(one["seconds"] / two["seconds"]),
                f"{two['faults']:,}",
                two["digest"],
            ],
        ],
        f"{args.kb_regions:,} random 1 kb regions, separate processes (target: 2 threads >= 1.3x, same digest)",
    )
    assert one["digest"] == two["digest"], "MISMATCH between thread counts"

    near = genomes.regions(g, 200, 1000, seed=3)
    t999 = common.best_time(lambda: fa.fetch_many(near[:999]), 20 * args.repeats) / 999
    t1000 = common.best_time(lambda: fa.fetch_many(near), 20 * args.repeats) / 1000
    common.print_table(
        ["regions", "path", "per region"],
        [["999", "sequential", common.fmt_time(t999)], ["1000", "parallel", common.fmt_time(t1000)]],
        "At the threshold (target: about the same per region)",
    )
    print(common.load_note())


if __name__ == "__main__":
    main()
