"""`gelvo fetch -b` against `samtools faidx -r` on the same regions of the same genome.

100,000 random 1 kb regions (`--regions`, `--length`) of the synthetic genome are
written once as a BED file for gelvo and as a region file for samtools; each
command then runs once, as a user runs it (a new process, output to a file),
after a short warm-up run of both on the first 1,000 regions. The two outputs
must be byte-identical. Target: gelvo's wall time at most 1/3 of samtools'.

Then `gelvo stats` runs over the whole genome, warm in the page cache (a first
run reads it in), and its throughput is reported. Target: at least 1 GB/s.

    python bench/bench_cli.py                 # the 1 GiB genome
    python bench/bench_cli.py --size 256M     # a smaller one
"""

from __future__ import annotations

import argparse
import filecmp
import os
import resource
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import genome as genome_mod
from common import fmt_ratio, load_note, print_table

SAMTOOLS = os.environ.get("SAMTOOLS", shutil.which("samtools") or "samtools")
GELVO = [sys.executable, "-m", "gelvo_cli"]


def timed(command: list[str]) -> tuple[float, float]:
    """Wall and CPU seconds (user + system, all threads) of one run of a command."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    wall = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def write_inputs(g: genome_mod.Genome, length: int, count: int) -> tuple[Path, Path]:
    regions = genome_mod.regions(g, length, count)
    stem = g.path.with_suffix(f".cli-{length}x{count}")
    bed, listed = Path(f"{stem}.bed"), Path(f"{stem}.regions.txt")
    bed.write_text("".join(f"{n}\t{s - 1}\t{e}\n" for n, s, e in regions))
    listed.write_text("".join(f"{n}:{s}-{e}\n" for n, s, e in regions))
    return bed, listed


def head(path: Path, lines: int) -> Path:
    part = path.with_name(path.name + ".head")
    with open(path) as f, open(part, "w") as out:
        for _, line in zip(range(lines), f):
            out.write(line)
    return part


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--size", default=None, help="genome size, e.g. 1G, 256M (default: $GELVO_BENCH_GENOME_SIZE or 1G)")
    ap.add_argument("--regions", type=int, default=100_000)
    ap.add_argument("--length", type=int, default=1_000)
    args = ap.parse_args()
    g = genome_mod.ensure(genome_mod.parse_size(args.size) if args.size else None)
    bed, listed = write_inputs(g, args.length, args.regions)
    fasta = str(g.path)
    subprocess.run([*GELVO, "index", fasta], check=True)  # samtools reads the same index
    ours, theirs = Path(f"{bed}.gelvo.fa"), Path(f"{bed}.samtools.fa")
    gelvo_run = [*GELVO, "fetch", fasta, "-q", "-o", str(ours), "-b"]
    samtools_run = [SAMTOOLS, "faidx", fasta, "-o", str(theirs), "-r"]

    timed(gelvo_run + [str(head(bed, 1000))])
    timed(samtools_run + [str(head(listed, 1000))])
    print(f"{load_note()} before the runs")
    gelvo_wall, gelvo_cpu = timed(gelvo_run + [str(bed)])
    samtools_wall, samtools_cpu = timed(samtools_run + [str(listed)])
    print(f"{load_note()} after the runs")
    if not filecmp.cmp(ours, theirs, shallow=False):
        sys.exit(f"outputs differ: {ours} {theirs}")
    ratio = gelvo_wall / samtools_wall
    print_table(
        ["command", "wall s", "CPU s", "ratio (wall)"],
        [
            [
                f"gelvo fetch -b ({args.regions:,} x {args.length} b)",
                f"{gelvo_wall:.3f}",
                f"{gelvo_cpu:.3f}",
                fmt_ratio(ratio),
            ],
            ["samtools faidx -r (same regions)", f"{samtools_wall:.3f}", f"{samtools_cpu:.3f}", "1x"],
        ],
        title=f"{g.path.name}: one run each, outputs byte-identical",
    )
    print(f"\ntarget: at most 0.333x of samtools -> {'met' if ratio <= 1 / 3 else 'NOT met'} ({ratio:.3f}x)")
    for path in (ours, theirs):
        path.unlink()
    stats_throughput(fasta)


def stats_throughput(fasta: str) -> None:
    """`gelvo stats` over the whole file, warm: the best of three runs after one that reads it in."""
    run = [*GELVO, "stats", fasta]
    timed(run)
    wall = min(timed(run)[0] for _ in range(3))
    size = os.path.getsize(fasta)
    rate = size / wall / 1e9
    print(f"\n{load_note()}; gelvo stats on {size / 2**30:.2f} GiB: {wall:.3f} s, {rate:.2f} GB/s")
    print(f"target: at least 1 GB/s -> {'met' if rate >= 1 else 'NOT met'}")


if __name__ == "__main__":
    main()
