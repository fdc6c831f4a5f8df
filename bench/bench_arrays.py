"""Windows as NumPy arrays: fetch_array against loops that fill an array
window by window, one-hot encoding against fetch_many and a NumPy lookup
table, thread scaling, and numpy.copyto of the same bytes as the floor.

    .venv-bench/bin/python bench/bench_arrays.py [--size 1G] [--windows 200000] [--onehot-windows 20000]
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os

# numpy must not leave BLAS threads spinning beside the workers.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
import subprocess
import sys

import common
import genome as genomes
import numpy as np

LENGTH = 1000


def child(args) -> None:
    """Times fetch_array in a fresh process (RAYON_NUM_THREADS set by the parent)."""
    gelvo = common.find_gelvo()
    g = genomes.ensure(args.size, quiet=True)
    fa = gelvo.Faidx(str(g.path))
    regions = genomes.regions(g, LENGTH, args.windows, seed=5)
    out = np.empty((len(regions), LENGTH), dtype=np.uint8)
    fa.fetch_array(regions[:2000])  # the pool exists before timing
    best = common.best_time(lambda: fa.fetch_array(regions, out=out), args.repeats)
    print(json.dumps({"seconds": best, "digest": hashlib.sha256(out.tobytes()).hexdigest()[:16]}))


def run_child(args, threads: str) -> dict:
    env = dict(os.environ, RAYON_NUM_THREADS=threads)
    cmd = [sys.executable, __file__, "--child", "--size", str(args.size), "--windows", str(args.windows)]
    out = subprocess.run([*cmd, "--repeats", str(args.repeats)], env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def onehot_table() -> np.ndarray:
    """The encoder a NumPy user writes: a (256, 4) float32 table indexed by byte."""
    table = np.zeros((256, 4), dtype=np.float32)
    for channel, base in enumerate(b"ACGT"):
        table[base, channel] = table[base | 0x20, channel] = 1
    return table


def copy_floor(nbytes: int, repeats: int) -> float:
    """numpy.copyto of nbytes into a reused array: writing the output and no more."""
    src = np.ones(nbytes, dtype=np.uint8)
    dst = np.zeros_like(src)
    return common.best_time(lambda: np.copyto(dst, src), repeats)


def rate(nbytes: int, seconds: float) -> str:
    return f"{nbytes / seconds / 1e6:,.0f}"


def bytes_table(gelvo, pysam, g, args) -> None:
    fa = gelvo.Faidx(str(g.path))
    regions = genomes.regions(g, LENGTH, args.windows, seed=5)
    n = len(regions)
    nbytes = n * LENGTH
    out = np.empty((n, LENGTH), dtype=np.uint8)
    fa.fetch_array(regions[:2000])

    def gelvo_loop(target):
        for i, (name, start, end) in enumerate(regions):
            target[i] = np.frombuffer(fa.fetch(name, start, end).seq.encode(), np.uint8)

    timed = {
        "fetch_array, new array": common.best_time(lambda: fa.fetch_array(regions), args.repeats),
        "fetch_array, out= reused": common.best_time(lambda: fa.fetch_array(regions, out=out), args.repeats),
    }
    same_chr = [(name, start) for name, start, _ in regions if name == "chr1"]
    starts = np.array([start for _, start in same_chr])
    chr1 = common.best_time(lambda: fa.fetch_array_same_chr("chr1", starts, LENGTH), args.repeats) * n / len(starts)
    timed["fetch_array_same_chr (chr1 windows), new array"] = chr1
    check = np.empty_like(out)
    gelvo_loop(check)
    assert (check == fa.fetch_array(regions)).all(), "MISMATCH fetch_array / fetch loop"
    timed["loop of gelvo Faidx.fetch into out"] = common.best_time(lambda: gelvo_loop(out), 1)
    if pysam is not None:
        ps = pysam.FastaFile(str(g.path))

        def pysam_loop(target):
            for i, (name, start, end) in enumerate(regions):
                target[i] = np.frombuffer(ps.fetch(name, start - 1, end).encode(), np.uint8)

        pysam_loop(check)
        assert (check == out).all(), "MISMATCH fetch_array / pysam loop"
        timed["loop of pysam FastaFile.fetch into out"] = common.best_time(lambda: pysam_loop(out), 1)
    floor = copy_floor(nbytes, args.repeats)
    best = timed["fetch_array, new array"]
    rows = [
        [what, common.fmt_time(t / n), rate(nbytes, t), common.fmt_ratio(best / t)] for what, t in timed.items()
    ] + [["numpy.copyto of the same bytes (floor)", common.fmt_time(floor / n), rate(nbytes, floor), "-"]]
    common.print_table(
        ["call", "per window", "MB/s out", "fetch_array / this"],
        rows,
        f"{n:,} random {LENGTH:,} bp windows as uint8 (targets: <= 0.05x pysam loop, <= 0.25x gelvo loop)",
    )


def onehot_table_run(gelvo, g, args) -> None:
    fa = gelvo.Faidx(str(g.path))
    regions = genomes.regions(g, LENGTH, args.onehot_windows, seed=6)
    n = len(regions)
    nbytes = n * LENGTH * 4 * 4
    table = onehot_table()
    out = np.empty((n, LENGTH, 4), dtype=np.float32)

    def numpy_encoder():
        text = "".join(s.seq for s in fa.fetch_many(regions)).encode()
        return table[np.frombuffer(text, np.uint8).reshape(n, LENGTH)]

    assert (numpy_encoder() == fa.fetch_array(regions, onehot=True, dtype=np.float32)).all(), "MISMATCH one-hot"
    timed = {
        "fetch_array onehot float32, new array": common.best_time(
            lambda: fa.fetch_array(regions, onehot=True, dtype=np.float32), args.repeats
        ),
        "fetch_array onehot float32, out= reused": common.best_time(
            lambda: fa.fetch_array(regions, onehot=True, dtype=np.float32, out=out), args.repeats
        ),
        "fetch_many + NumPy lookup table": common.best_time(numpy_encoder, args.repeats),
    }
    floor = copy_floor(nbytes, args.repeats)
    best = timed["fetch_array onehot float32, new array"]
    rows = [
        [what, common.fmt_time(t / n), rate(nbytes, t), common.fmt_ratio(best / t)] for what, t in timed.items()
    ] + [["numpy.copyto of the same bytes (floor)", common.fmt_time(floor / n), rate(nbytes, floor), "-"]]
    common.print_table(
        ["call", "per window", "MB/s out", "fetch_array / this"],
        rows,
        f"{n:,} random {LENGTH:,} bp windows one-hot as float32 (target: <= 0.1x fetch_many + lookup table)",
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--size", type=genomes.parse_size, default=genomes.default_size())
    parser.add_argument("--windows", type=int, default=200_000, help="1 kb windows as bytes")
    parser.add_argument("--onehot-windows", type=int, default=20_000, help="1 kb windows one-hot")
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
    bytes_table(gelvo, pysam, g, args)
    onehot_table_run(gelvo, g, args)

    one = run_child(args, "1")
    two = run_child(args, "2")
    common.print_table(
        ["RAYON_NUM_THREADS", "per window", "speed-up", "digest"],
        [
            ["1", common.fmt_time(one["seconds"] / args.windows), "1.00x", one["digest"]],
            [
                "2",
                common.fmt_time(two["seconds"] / args.windows),
                common.fmt_ratio(one["seconds"] / two["seconds"]),
                two["digest"],
            ],
        ],
        f"{args.windows:,} random {LENGTH:,} bp windows into out=, separate processes (target: 2 threads >= 1.5x)",
    )
    assert one["digest"] == two["digest"], "MISMATCH between thread counts"
    print(common.load_note())


if __name__ == "__main__":
    main()
