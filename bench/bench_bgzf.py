"""Compressed genomes: gelvo against pysam (htslib) and samtools on the same
bgzip-compressed copy of the benchmark genome, in one run.

    .venv-bench/bin/python bench/bench_bgzf.py [--size 1G] [--calls 20000]

The compressed copy (`<genome>.fa.gz`, made with `bgzip -@2` when missing) is
opened through a symbolic link in a scratch directory, so that both index
builds are timed from nothing and the shared data directory keeps no index
files. Workloads, as the table prints them:

- index build: `gelvo.Faidx(path)` making the .fai and .gzi, against
  `samtools faidx path`;
- random 100 bp / 1 kb, cold: regions spread over the whole genome, each
  pass on freshly opened handles, so nearly every region inflates a block;
- random 100 bp / 1 kb, warm: regions inside one 2 Mb neighbourhood, after a
  pass over it (gelvo's cache holds its blocks; htslib keeps the last one);
- whole chromosomes, and every record through `Fasta` iteration (`str(rec)`,
  against `pysam.FastaFile.fetch(name)` for each reference);
- the lines of one chromosome through record iteration, against pysam
  fetching the same line-long windows;
- fetch_many of 1,000,000 random 200 bp regions, against a loop of pysam's
  fetch timed on the first --calls of them and scaled; and with one worker
  thread against two (fresh processes, RAYON_NUM_THREADS);
- resident memory of a process after cold random fetches, beside the cache
  bound and the index sizes.

Before timing, gelvo's bases are compared with pysam's on a sample.
"""

from __future__ import annotations

import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
sys.path.insert(0, str(Path(__file__).resolve().parent))

import common
import genome as genomes

CACHE_BOUND = 16 << 20


def compressed_copy(fasta: Path) -> Path:
    packed = Path(str(fasta) + ".gz")
    if not packed.exists():
        print(f"compressing {fasta.name} with bgzip -@2 ...", file=sys.stderr, flush=True)
        part = packed.with_name("." + packed.name + ".part")
        with open(part, "wb") as out:
            subprocess.run(["bgzip", "-@2", "-c", str(fasta)], stdout=out, check=True)
        part.rename(packed)
    return packed


def link_in(directory: Path, packed: Path) -> str:
    link = directory / packed.name
    link.unlink(missing_ok=True)
    for suffix in (".fai", ".gzi"):
        Path(str(link) + suffix).unlink(missing_ok=True)
    link.symlink_to(packed)
    return str(link)


def best(run, repeats, setup=None):
    """Best time of `repeats` runs; setup() (untimed) before each returns the argument."""
    times = []
    with common.collector_off():
        for _ in range(repeats):
            arg = setup() if setup else None
            t0 = time.perf_counter()
            run(arg)
            times.append(time.perf_counter() - t0)
    return min(times)


def index_build(gelvo, scratch: Path, packed: Path, repeats: int):
    def gelvo_build(link):
        gelvo.Faidx(link)

    def samtools_build(link):
        subprocess.run(["samtools", "faidx", link], check=True)

    ours = best(gelvo_build, repeats, lambda: link_in(scratch / "gelvo", packed))
    theirs = best(samtools_build, repeats, lambda: link_in(scratch / "samtools", packed))
    for suffix in (".fai", ".gzi"):
        a = Path(str(scratch / "gelvo" / packed.name) + suffix).read_bytes()
        b = Path(str(scratch / "samtools" / packed.name) + suffix).read_bytes()
        if a != b:
            sys.exit(f"{suffix} differs from samtools faidx's")
    return ours, theirs


def neighbourhood(g, length: int, count: int):
    """Random regions inside 2 Mb of the longest chromosome (about 33 blocks)."""
    name, chrom_length = max(((r.name, r.length) for r in g.chromosomes), key=lambda x: x[1])
    base, rng = chrom_length // 3, random.Random(length)
    return [(name, base + s, base + s + length - 1) for s in (rng.randrange(1, 2_000_000) for _ in range(count))]


def loop_ours(fa, regions):
    fetch = fa.fetch
    for n, s, e in regions:
        fetch(n, s, e).seq


def loop_pysam(ps, regions):
    fetch = ps.fetch
    for n, s, e in regions:
        fetch(n, s - 1, e)


def fetch_pair(gelvo, pysam, link: str, g, length: int, calls: int, repeats: int):
    spread = genomes.regions(g, length, calls, seed=3)
    near = neighbourhood(g, length, calls)
    cold_g = best(lambda fa: loop_ours(fa, spread), repeats, lambda: gelvo.Faidx(link))
    cold_p = best(lambda ps: loop_pysam(ps, spread), repeats, lambda: pysam.FastaFile(link))
    fa, ps = gelvo.Faidx(link), pysam.FastaFile(link)
    loop_ours(fa, near)
    loop_pysam(ps, near)
    warm_g = best(lambda _: loop_ours(fa, near), repeats)
    warm_p = best(lambda _: loop_pysam(ps, near), repeats)
    return [
        (f"random {length} bp, cold", cold_g / calls, cold_p / calls, "1/3 (reported)"),
        (f"random {length} bp, warm", warm_g / calls, warm_p / calls, "1/3"),
    ]


def fetch_rows(gelvo, pysam, link: str, g, calls: int, repeats: int):
    return [row for length in (100, 1000) for row in fetch_pair(gelvo, pysam, link, g, length, calls, repeats)]


def whole_rows(gelvo, pysam, link: str, g, repeats: int):
    names = [r.name for r in g.chromosomes]
    fa, ps = gelvo.Faidx(link), pysam.FastaFile(link)
    sample = names[-1]
    if fa.fetch_entire_sequence(sample).seq != ps.fetch(sample):
        sys.exit(f"{sample}: gelvo and pysam disagree")
    ours = best(lambda _: [fa.fetch_entire_sequence(n).seq for n in names], repeats)
    theirs = best(lambda _: [ps.fetch(n) for n in names], repeats)
    f = gelvo.Fasta(link)
    iterate = best(lambda _: [str(rec) for rec in f], repeats)
    everything = best(lambda _: [ps.fetch(n) for n in ps.references], repeats)
    chrom = min(g.chromosomes, key=lambda r: r.length)
    rec, width = f[chrom.name], g.width

    def lines_theirs(_):
        fetch = ps.fetch
        for s in range(0, chrom.length, width):
            fetch(chrom.name, s, min(s + width, chrom.length))

    lines_ours = best(lambda _: [line.seq for line in rec], repeats)
    lines_pysam = best(lines_theirs, repeats)
    return [
        ("whole chromosomes", ours, theirs, "1/2"),
        ("all records, Fasta iteration", iterate, everything, "1/2"),
        (f"lines of {chrom.name}, record iteration", lines_ours, lines_pysam, "1/2"),
    ]


BATCH_CHILD = """
import os, sys, time
sys.path.insert(0, sys.argv[1])
import common, genome as genomes
gelvo = common.find_gelvo()
g = genomes.ensure(int(sys.argv[3]), quiet=True)
regions = genomes.regions(g, 200, int(sys.argv[4]), seed=7)
fa = gelvo.Faidx(sys.argv[2])
fa.fetch_many(regions[:2000])
t0 = time.perf_counter()
fa.fetch_many(regions)
print(time.perf_counter() - t0)
"""


def batch_rows(gelvo, pysam, link: str, g, calls: int, count: int):
    here = str(Path(__file__).resolve().parent)
    times = {}
    for threads in (1, 2):
        env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
        out = subprocess.run(
            [sys.executable, "-c", BATCH_CHILD, here, link, str(g.size), str(count)],
            env=env,
            capture_output=True,
            text=True,
            check=True,
        )
        times[threads] = float(out.stdout.strip().splitlines()[-1])
    regions = genomes.regions(g, 200, count, seed=7)[:calls]
    ps = pysam.FastaFile(link)
    fa = gelvo.Faidx(link)
    if [s.seq for s in fa.fetch_many(regions[:2000])] != [ps.fetch(n, s - 1, e) for n, s, e in regions[:2000]]:
        sys.exit("fetch_many and pysam disagree")
    t0 = time.perf_counter()
    for n, s, e in regions:
        ps.fetch(n, s - 1, e)
    loop = (time.perf_counter() - t0) / len(regions) * count
    return [
        (f"fetch_many, {count:,} x 200 bp (2 threads)", times[2], loop, "1/10"),
        ("fetch_many, 2 threads against 1", times[2], times[1], "1/1.5"),
    ]


MEMORY_CHILD = """
import sys
sys.path.insert(0, sys.argv[1])
import common, genome as genomes
gelvo = common.find_gelvo()
g = genomes.ensure(int(sys.argv[3]), quiet=True)

def rss():
    with open("/proc/self/status") as f:
        return {k: int(v.split()[0]) * 1024 for k, v in (l.split(":", 1) for l in f) if k in ("VmRSS", "VmHWM")}

regions = genomes.regions(g, 1000, 100_000, seed=5)
fa = gelvo.Faidx(sys.argv[2])
before = rss()["VmRSS"]
for n, s, e in regions:
    fa.fetch(n, s, e).seq
after = rss()
print(before, after["VmRSS"], after["VmHWM"])
"""


def memory_note(link: str, g) -> str:
    here = str(Path(__file__).resolve().parent)
    out = subprocess.run(
        [sys.executable, "-c", MEMORY_CHILD, here, link, str(g.size)], capture_output=True, text=True, check=True
    )
    before, after, peak = map(int, out.stdout.split())
    indexes = sum(os.path.getsize(link + s) for s in (".fai", ".gzi"))
    return (
        f"resident memory: {before / 2**20:.1f} MiB after open, {after / 2**20:.1f} MiB after 100,000 cold 1 kb "
        f"fetches (growth {(after - before) / 2**20:.1f} MiB; peak {peak / 2**20:.1f} MiB); "
        f"cache bound {CACHE_BOUND / 2**20:.0f} MiB, index files {indexes / 2**20:.2f} MiB"
    )


SPIN = "import time\nt = time.process_time()\nwhile time.process_time() - t < 0.5: pass"


def machine_parallelism() -> float:
    """How many CPUs two busy processes got at once: 2 x (time of one) / (time
    of two side by side). 2.0 on an idle two-CPU machine; the thread-scaling
    row cannot beat it."""

    def run(n):
        t0 = time.perf_counter()
        procs = [subprocess.Popen([sys.executable, "-c", SPIN]) for _ in range(n)]
        for p in procs:
            p.wait()
        return time.perf_counter() - t0

    one = min(run(1) for _ in range(2))
    two = min(run(2) for _ in range(2))
    return 2 * one / two


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=genomes.parse_size, default=None)
    parser.add_argument("--calls", type=int, default=20_000, help="calls per pass of the small regions")
    parser.add_argument("--batch", type=int, default=1_000_000, help="regions of the fetch_many workload")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()

    gelvo = common.find_gelvo()
    pysam = common.optional_import("pysam")
    if gelvo is None or pysam is None or shutil.which("samtools") is None or shutil.which("bgzip") is None:
        sys.exit("needs gelvo, pysam, samtools and bgzip")
    g = genomes.ensure(args.size)
    packed = compressed_copy(g.path)
    print(f"gelvo: {common.gelvo_origin(gelvo)}")
    print(f"genome: {packed} ({packed.stat().st_size / 2**20:.0f} MiB compressed, {g.size / 2**30:.2f} Gbases)")
    print(common.load_note())
    print(f"machine: two busy processes ran {machine_parallelism():.2f} CPUs' worth at once")
    with tempfile.TemporaryDirectory(prefix="bench-bgzf-") as tmp:
        scratch = Path(tmp)
        for where in ("gelvo", "samtools"):
            (scratch / where).mkdir()
        build = index_build(gelvo, scratch, packed, max(1, args.repeats - 1))
        link = str(scratch / "gelvo" / packed.name)
        rows = [("build .fai and .gzi", *build, "1/2")]
        rows += fetch_rows(gelvo, pysam, link, g, args.calls, args.repeats)
        rows += whole_rows(gelvo, pysam, link, g, max(1, args.repeats - 1))
        rows += batch_rows(gelvo, pysam, link, g, args.calls, args.batch)
        note = memory_note(link, g)
    table = [
        [what, common.fmt_time(ours), common.fmt_time(theirs), common.fmt_ratio(ours / theirs), target]
        for what, ours, theirs, target in rows
    ]
    common.print_table(["workload (time per call or per pass)", "gelvo", "peer", "gelvo/peer", "target"], table)
    print(note)
    print(f"machine: two busy processes ran {machine_parallelism():.2f} CPUs' worth at once")
    print(common.load_note())


if __name__ == "__main__":
    main()
