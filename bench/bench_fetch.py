"""Per-call fetch times of gelvo against its peers, measured in the same run.

    python bench/bench_fetch.py                 # 1 GiB genome (generated once)
    python bench/bench_fetch.py --size 50M      # quick iteration

Workloads: random 100 bp and 1 kb regions (many thousands of calls), random
100 kb and 1 Mb regions, and whole chromosomes. Every implementation is timed
on the same region list, the best of several repeats; the tables report time
per call, throughput and ratios. Before timing, every peer's bases are
compared with gelvo's on a sample of regions; a mismatch aborts the run.
"""

from __future__ import annotations

import argparse
import mmap
import os
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import genome as genome_mod
from common import (
    CLOCKS,
    best_time,
    collector_off,
    find_gelvo,
    fmt_ratio,
    fmt_time,
    gelvo_origin,
    load_note,
    optional_import,
    print_table,
    time_once,
)

Region = tuple[str, int, int]
# Builds the timed loop over a region list (per-implementation argument
# conversion happens here, outside the clock).
LoopFactory = Callable[[list[Region]], Callable[[], None]]


@dataclass
class Variant:
    label: str  # the call as written, for the legend
    loop: LoopFactory  # timed loop over regions
    one: Callable[[str, int, int], str]  # one region -> its bases, for checking
    whole_loop: LoopFactory | None = None
    whole_one: Callable[[str], str] | None = None
    # All regions in one call -> their bases, for checking batch interfaces
    # on a list long enough for their parallel path.
    batch: Callable[[list[Region]], list[str]] | None = None


@dataclass
class Impl:
    name: str
    variants: list[Variant]
    checked: bool = True  # compared with the reference before timing
    extra: bool = False  # shown, but not used by any target
    chosen: dict[str, str] = field(default_factory=dict)


# ---------------------------------------------------------------- peers


class PurePython:
    """mmap + .fai arithmetic + slicing + replace/decode: the obvious Python."""

    def __init__(self, path: Path):
        self._file = open(path, "rb")
        self.mm = mmap.mmap(self._file.fileno(), 0, access=mmap.ACCESS_READ)
        self.fai = {}
        with open(str(path) + ".fai") as f:
            for line in f:
                name, rlen, off, lenc, lenb = line.rstrip("\n").split("\t")[:5]
                self.fai[name] = (int(off), int(rlen), int(lenc), int(lenb))

    def span(self, name: str, start: int, end: int) -> tuple[int, int]:
        """Byte range [a, b) of the file holding bases start..end (1-based)."""
        off, _, lenc, lenb = self.fai[name]
        s0, e0 = start - 1, end - 1
        return off + s0 // lenc * lenb + s0 % lenc, off + e0 // lenc * lenb + e0 % lenc + 1

    def make_fetch(self) -> Callable[[str, int, int], str]:
        fai, mm = self.fai, self.mm

        def fetch(name, start, end):
            off, _, lenc, lenb = fai[name]
            s0, e0 = start - 1, end - 1
            a = off + s0 // lenc * lenb + s0 % lenc
            b = off + e0 // lenc * lenb + e0 % lenc + 1
            return mm[a:b].replace(b"\n", b"").decode()

        return fetch

    def length(self, name: str) -> int:
        return self.fai[name][1]


def gelvo_impls(gelvo, path: Path) -> list[Impl]:
    fa = gelvo.Faidx(str(path))
    fetch, entire = fa.fetch, fa.fetch_entire_sequence

    def loop(regs):
        def run():
            for n, s, e in regs:
                fetch(n, s, e).seq

        return run

    def whole_loop(names):
        def run():
            for n in names:
                entire(n).seq

        return run

    impls = [
        Impl(
            "gelvo",
            [
                Variant(
                    "Faidx.fetch(n, s, e).seq",
                    loop,
                    lambda n, s, e: fetch(n, s, e).seq,
                    whole_loop,
                    lambda n: entire(n).seq,
                )
            ],
        )
    ]

    try:
        fasta = gelvo.Fasta(str(path))
        name0 = next(iter(fa.keys))
        fasta[name0][0:1].seq
    except Exception as exc:  # not written yet: leave the column out
        print(f"gelvo.Fasta: not usable yet ({type(exc).__name__}: {exc}); column skipped")
    else:

        def fasta_loop(regs):
            conv = [(n, s - 1, e) for n, s, e in regs]

            def run():
                for n, s0, e in conv:
                    fasta[n][s0:e].seq

            return run

        def fasta_whole(names):
            def run():
                for n in names:
                    str(fasta[n])

            return run

        impls.append(
            Impl(
                "gelvo Fasta",
                [
                    Variant(
                        "Fasta[n][s-1:e].seq",
                        fasta_loop,
                        lambda n, s, e: fasta[n][s - 1 : e].seq,
                        fasta_whole,
                        lambda n: str(fasta[n]),
                    )
                ],
                extra=True,
            )
        )

    if hasattr(fa, "fetch_many"):
        many = fa.fetch_many

        def batch_loop(regs):
            regs = list(regs)

            def run():
                for x in many(regs):
                    x.seq

            return run

        impls.append(
            Impl(
                "gelvo fetch_many",
                [
                    Variant(
                        "[x.seq for x in Faidx.fetch_many(regions)]",
                        batch_loop,
                        lambda n, s, e: many([(n, s, e)])[0].seq,
                        batch=lambda regs: [x.seq for x in many(regs)],
                    )
                ],
                extra=True,
            )
        )
    else:
        print("gelvo.Faidx.fetch_many: not there yet; column skipped")
    return impls


def pysam_impl(pysam, path: Path) -> Impl:
    ff = pysam.FastaFile(str(path))
    fetch = ff.fetch

    def loop(regs):
        conv = [(n, s - 1, e) for n, s, e in regs]

        def run():
            for n, s0, e in conv:
                fetch(n, s0, e)

        return run

    def whole_loop(names):
        def run():
            for n in names:
                fetch(n)

        return run

    return Impl(
        "pysam",
        [
            Variant(
                "FastaFile.fetch(n, s-1, e)", loop, lambda n, s, e: fetch(n, s - 1, e), whole_loop, lambda n: fetch(n)
            )
        ],
    )


def pyfastx_impl(pyfastx, path: Path) -> Impl:
    fa = pyfastx.Fasta(str(path))  # builds or reuses the .fxi next to the file
    fetch = fa.fetch

    def slice_loop(regs):
        conv = [(n, s - 1, e) for n, s, e in regs]

        def run():
            for n, s0, e in conv:
                fa[n][s0:e].seq

        return run

    def fetch_loop(regs):
        conv = [(n, (s, e)) for n, s, e in regs]

        def run():
            for n, iv in conv:
                fetch(n, iv)

        return run

    def whole_seq(names):
        def run():
            for n in names:
                fa[n].seq

        return run

    lengths = {n: len(fa[n]) for n in fa.keys()}

    def whole_fetch(names):
        conv = [(n, (1, lengths[n])) for n in names]

        def run():
            for n, iv in conv:
                fetch(n, iv)

        return run

    return Impl(
        "pyfastx",
        [
            Variant(
                "fa[n][s-1:e].seq", slice_loop, lambda n, s, e: fa[n][s - 1 : e].seq, whole_seq, lambda n: fa[n].seq
            ),
            Variant(
                "fa.fetch(n, (s, e))",
                fetch_loop,
                lambda n, s, e: fetch(n, (s, e)),
                whole_fetch,
                lambda n: fetch(n, (1, lengths[n])),
            ),
        ],
    )


def pure_impls(pp: PurePython) -> list[Impl]:
    fetch = pp.make_fetch()
    mm = pp.mm

    def loop(regs):
        def run():
            for n, s, e in regs:
                fetch(n, s, e)

        return run

    def whole_loop(names):
        conv = [(n, 1, pp.length(n)) for n in names]
        return loop(conv)

    def copy_loop(regs):
        spans = [pp.span(*r) for r in regs]

        def run():
            for a, b in spans:
                mm[a:b]

        return run

    mv = memoryview(mm)
    holder: dict[str, memoryview] = {}

    def prealloc_loop(regs):
        spans = [pp.span(*r) for r in regs]
        longest = max(b - a for a, b in spans)
        if holder.get("buf") is None or len(holder["buf"]) < longest:
            holder["buf"] = memoryview(bytearray(longest))
        out = holder["buf"]

        def run():
            for a, b in spans:
                out[: b - a] = mv[a:b]

        return run

    def names_to_regions(factory):
        return lambda names: factory([(n, 1, pp.length(n)) for n in names])

    return [
        Impl(
            "pure-python",
            [
                Variant(
                    "mm[a:b].replace(b'\\n', b'').decode()",
                    loop,
                    fetch,
                    whole_loop,
                    lambda n: fetch(n, 1, pp.length(n)),
                )
            ],
        ),
        Impl(
            "memcpy",
            [
                Variant(
                    "mm[a:b] (new bytes: malloc + memcpy, line feeds included)",
                    copy_loop,
                    lambda n, s, e: "",
                    names_to_regions(copy_loop),
                )
            ],
            checked=False,
        ),
        Impl(
            "memcpy-prealloc",
            [
                Variant(
                    "buf[:b-a] = mv[a:b] (memoryview into a reused bytearray)",
                    prealloc_loop,
                    lambda n, s, e: "",
                    names_to_regions(prealloc_loop),
                )
            ],
            checked=False,
            extra=True,
        ),
    ]


# ---------------------------------------------------------------- checks


def check_regions(g: genome_mod.Genome, lengths: dict[str, int]) -> list[Region]:
    """Random regions of every size plus the awkward places: record ends, line edges."""
    sample = []
    for length, count in ((1, 50), (100, 500), (1_000, 500), (61, 100), (100_000, 10), (1_000_000, 3)):
        sample += genome_mod.regions(g, length, count, seed=g.seed + 7)
    for name in list(lengths)[:30] + list(lengths)[-10:]:
        n = lengths[name]
        sample += [
            (name, 1, 1),
            (name, n, n),
            (name, 1, min(n, 60)),
            (name, max(1, n - 59), n),
            (name, min(n, 60), min(n, 61)),
            (name, min(n, 59), min(n, 62)),
        ]
    return sample


def verify(impls: list[Impl], ref: Impl, regions: list[Region], whole_names: list[str]) -> None:
    """Compare every variant of every checked impl with the reference; abort on difference."""
    ref_v = ref.variants[0]
    want = [ref_v.one(*r) for r in regions]
    want_whole = {n: ref_v.whole_one(n) for n in whole_names} if ref_v.whole_one else {}
    for impl in impls:
        if not impl.checked or impl is ref:
            continue
        for v in impl.variants:
            for r, w in zip(regions, want):
                got = v.one(*r)
                if got != w:
                    sys.exit(
                        f"MISMATCH: {impl.name} [{v.label}] {r[0]}:{r[1]}-{r[2]}\n"
                        f"  {ref.name}: {w[:80]!r}{'...' if len(w) > 80 else ''} (len {len(w)})\n"
                        f"  {impl.name}: {got[:80]!r}{'...' if len(got) > 80 else ''} (len {len(got)})"
                    )
            if v.batch:
                got_all = v.batch(regions)
                bad = [i for i, (g, w) in enumerate(zip(got_all, want)) if g != w]
                if bad or len(got_all) != len(want):
                    i = bad[0] if bad else min(len(got_all), len(want))
                    sys.exit(
                        f"MISMATCH: {impl.name} [{v.label}] on a batch of {len(regions)} regions: "
                        f"{len(got_all)} results, first difference at position {i} ({regions[i]})"
                    )
            if v.whole_one:
                for n, w in want_whole.items():
                    got = v.whole_one(n)
                    if got != w:
                        sys.exit(
                            f"MISMATCH: {impl.name} [{v.label}] whole {n}: len {len(got)} vs {ref.name} len {len(w)}"
                        )
    print(
        f"checked: {len(regions)} regions and {len(whole_names)} whole records identical across "
        + ", ".join(f"{i.name}" for i in impls if i.checked)
        + f" (reference {ref.name})"
    )


# ---------------------------------------------------------------- timing


@dataclass
class Workload:
    label: str
    items: list  # regions, or record names for whole-record fetches
    bases: int  # bases returned per pass over items
    repeats: int
    whole: bool = False


def measure(impls: list[Impl], w: Workload, clock: str) -> dict[str, float]:
    """Best seconds per pass of each impl, using the fastest call form of each.

    The passes are interleaved (one pass of every impl, then the next round),
    so a burst of load from elsewhere on the machine is spread over all of
    them instead of landing on one impl's every repeat.
    """
    runs = {}
    probe = w.items[: max(1, min(len(w.items), 2 if w.whole else 200))]
    for impl in impls:
        variants = [v for v in impl.variants if (v.whole_loop if w.whole else v.loop)]
        if not variants:
            continue
        if len(variants) > 1:  # pick the fastest call form on a small probe

            def probe_time(v):
                return best_time((v.whole_loop if w.whole else v.loop)(probe), 2, clock)

            variants.sort(key=probe_time)
        v = variants[0]
        impl.chosen[w.label] = v.label
        runs[impl.name] = (v.whole_loop if w.whole else v.loop)(w.items)
    best = {name: float("inf") for name in runs}
    with collector_off():
        for run in runs.values():
            run()  # warm the page cache, the page tables and the allocator
        for _ in range(w.repeats):
            for name, run in runs.items():
                best[name] = min(best[name], time_once(run, clock))
    return best


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size", help="genome size, e.g. 1G, 50M (default $GELVO_BENCH_GENOME_SIZE or 1G)")
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--calls", type=int, default=20_000, help="calls per pass for 100 bp and 1 kb (default 20000)")
    ap.add_argument("--repeats", type=int, default=7, help="passes per workload; the best counts (default 7)")
    ap.add_argument(
        "--clock",
        choices=sorted(CLOCKS),
        default="wall",
        help="wall time (default) or this thread's CPU time (steadier on a busy machine)",
    )
    args = ap.parse_args()

    started = time.perf_counter()
    g = genome_mod.ensure(genome_mod.parse_size(args.size) if args.size else None, args.seed)
    path = g.path
    print(
        f"genome: {path} ({path.stat().st_size / 1e9:.3f} GB, {len(g.records)} records, "
        f"{len(g.chromosomes)} chromosomes)"
    )
    print(f"python {sys.version.split()[0]}; {load_note()} at start; clock: {args.clock}")

    gelvo = find_gelvo()
    pysam = optional_import("pysam")
    pyfastx = optional_import("pyfastx")

    if not Path(str(path) + ".fai").exists():
        # Built by the reference tool so that every reader loads the same
        # index; gelvo's own build is timed in bench_index.py.
        if pysam is not None:
            pysam.faidx(str(path))
        else:
            os.system(f"samtools faidx '{path}'")

    impls: list[Impl] = []
    if gelvo is not None:
        print(f"gelvo: {gelvo_origin(gelvo)}")
        impls += gelvo_impls(gelvo, path)
    if pysam is not None:
        impls.append(pysam_impl(pysam, path))
    if pyfastx is not None:
        impls.append(pyfastx_impl(pyfastx, path))
    print(f"set-up (indexes, opening): {time.perf_counter() - started:.0f} s", file=sys.stderr)
    pp = PurePython(path)
    impls += pure_impls(pp)

    lengths = {r.name: r.length for r in g.records}
    ref = next(i for i in impls if i.checked)
    smallest_chrom = min(g.chromosomes, key=lambda r: r.length).name
    verify(impls, ref, check_regions(g, lengths), [smallest_chrom, "chrM", g.records[-1].name])

    chrom_names = [r.name for r in g.chromosomes]
    big = genome_mod.REGION_SETS  # calls per pass for the large regions
    workloads = [
        Workload("100 bp", genome_mod.regions(g, 100, args.calls), 100 * args.calls, args.repeats),
        Workload("1 kb", genome_mod.regions(g, 1_000, args.calls), 1_000 * args.calls, args.repeats),
        Workload("100 kb", genome_mod.regions(g, 100_000, big[100_000]), 100_000 * big[100_000], args.repeats),
        Workload("1 Mb", genome_mod.regions(g, 1_000_000, big[1_000_000]), 1_000_000 * big[1_000_000], args.repeats),
        Workload("whole chr", chrom_names, sum(lengths[n] for n in chrom_names), max(2, args.repeats // 2), whole=True),
    ]

    # The bare loop, to show how much of a small fetch is the harness's own cost.
    def bare_loop(regs=workloads[0].items):
        for _n, _s, _e in regs:
            pass

    overhead = best_time(bare_loop, args.repeats, args.clock) / len(workloads[0].items)

    results = {}
    for w in workloads:
        t0 = time.perf_counter()
        print(f"timing {w.label} ({len(w.items)} calls x {w.repeats} passes) ...", end="", file=sys.stderr, flush=True)
        results[w.label] = measure(impls, w, args.clock)
        print(f" {time.perf_counter() - t0:.0f} s", file=sys.stderr, flush=True)

    print(f"{load_note()} at end")
    names = [i.name for i in impls if any(i.name in results[w.label] for w in workloads)]
    rows = []
    for w in workloads:
        r = results[w.label]
        rows.append([w.label, str(len(w.items))] + [fmt_time(r[n] / len(w.items)) if n in r else "-" for n in names])
    print_table(
        ["workload", "calls"] + names,
        rows,
        f"Time per call (best of the repeats; bare Python loop costs {fmt_time(overhead)} per item)",
    )

    rows = []
    for w in workloads:
        r = results[w.label]
        rows.append([w.label] + [f"{w.bases / r[n] / 1e6:,.0f}" if n in r else "-" for n in names])
    print_table(["workload"] + names, rows, "Throughput, MB/s (1e6 bases returned per second)")

    print_targets(workloads, results)

    print("\nCall forms used:")
    for impl in impls:
        forms = sorted(set(impl.chosen.values()))
        if len(forms) == 1:
            print(f"  {impl.name}: {forms[0]}")
        else:
            for w in workloads:
                if w.label in impl.chosen:
                    print(f"  {impl.name} [{w.label}]: {impl.chosen[w.label]}")


def print_targets(workloads: list[Workload], results: dict[str, dict[str, float]]) -> None:
    rows = []

    def ratio(r, a, b):
        return r[a] / r[b] if a in r and b in r else None

    for w in workloads:
        r = results[w.label]
        if w.label in ("100 bp", "1 kb"):
            checks = [
                ("gelvo / pysam time", ratio(r, "gelvo", "pysam"), 1 / 8),
                ("gelvo / pyfastx time", ratio(r, "gelvo", "pyfastx"), 1 / 4),
            ]
            for what, x, limit in checks:
                rows.append([w.label, what, fmt_ratio(x), f"<= {limit:.3g}x", verdict(x, limit, below=True)])
        else:
            x = ratio(r, "memcpy", "gelvo")  # speed ratio = inverse time ratio
            rows.append([w.label, "gelvo / memcpy speed", fmt_ratio(x), ">= 0.5x", verdict(x, 0.5, below=False)])
            for peer in ("pysam", "pyfastx"):
                x = ratio(r, peer, "gelvo")
                rows.append([w.label, f"gelvo / {peer} speed", fmt_ratio(x), "(info)", ""])
    print_table(["workload", "ratio", "measured", "target", "verdict"], rows, "Targets")


def verdict(x: float | None, limit: float, below: bool) -> str:
    if x is None:
        return "n/a"
    return "MET" if (x <= limit if below else x >= limit) else "MISSED"


if __name__ == "__main__":
    main()
