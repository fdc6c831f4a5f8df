"""Synthetic genome FASTA and region lists for the benchmarks.

The genome imitates a soft-masked reference assembly: 24 chromosomes with
the relative sizes of the human ones plus a mitochondrion, a few hundred
unplaced contigs, 60-column lines, lower-case (repeat-masked) runs covering
about half of the bases, N runs at both chromosome ends (telomeres), a long
central N run (centromere) and scattered short gaps.

Everything is derived from (size, seed, width), so two runs on any machine
give byte-identical files and region lists. The file is cached under
bench/data/ together with a JSON manifest; a cached file whose manifest does
not match the requested parameters is regenerated.

    python bench/genome.py                 # 1 GiB, the default
    python bench/genome.py --size 50M      # quick iterations
    python bench/genome.py --size 256M --width 0   # unwrapped, one line per record
    GELVO_BENCH_GENOME_SIZE=50M python bench/bench_fetch.py
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np

DATA_DIR = Path(__file__).resolve().parent / "data"
DEFAULT_SIZE = 1 << 30
DEFAULT_SEED = 1
DEFAULT_WIDTH = 60
SIZE_ENV = "GELVO_BENCH_GENOME_SIZE"
SEED_ENV = "GELVO_BENCH_SEED"

# Changing the generator changes the bytes: bump this so stale caches are
# regenerated instead of silently reused.
GENERATOR_VERSION = 1

# Bases per generated block. Fixed (not tuned per machine) because the
# random stream is consumed block by block, so the block size is part of
# what the seed determines. A multiple of every sensible line width.
BLOCK = 60 * (1 << 20)

TELOMERE_N = 10_000
CHRM_LENGTH = 16_569
# GRCh38 primary chromosome lengths; only their ratios are used.
HUMAN_CHROMOSOMES = [
    ("chr1", 248_956_422),
    ("chr2", 242_193_529),
    ("chr3", 198_295_559),
    ("chr4", 190_214_555),
    ("chr5", 181_538_259),
    ("chr6", 170_805_979),
    ("chr7", 159_345_973),
    ("chr8", 145_138_636),
    ("chr9", 138_394_717),
    ("chr10", 133_797_422),
    ("chr11", 135_086_622),
    ("chr12", 133_275_309),
    ("chr13", 114_364_328),
    ("chr14", 107_043_718),
    ("chr15", 101_991_189),
    ("chr16", 90_338_345),
    ("chr17", 83_257_441),
    ("chr18", 80_373_285),
    ("chr19", 58_617_616),
    ("chr20", 64_444_167),
    ("chr21", 46_709_983),
    ("chr22", 50_818_468),
    ("chrX", 156_040_895),
    ("chrY", 57_227_415),
]
N_CONTIGS = 300
CONTIG_SHARE = 0.02  # at most this fraction of the bases sit in contigs


@dataclass(frozen=True)
class Record:
    name: str
    length: int
    description: str


@dataclass(frozen=True)
class Genome:
    path: Path
    size: int
    seed: int
    width: int
    records: tuple[Record, ...]

    @property
    def chromosomes(self) -> list[Record]:
        """The chromosome-scale records (not chrM, not the contigs)."""
        return [
            r
            for r in self.records
            if r.name.startswith("chr") and r.name[3:] and "_" not in r.name and r.name != "chrM"
        ]

    def lengths(self) -> dict[str, int]:
        return {r.name: r.length for r in self.records}


def parse_size(text: str) -> int:
    """'1G', '1GiB', '50M', '300000000' -> bytes (binary multiples)."""
    t = text.strip().upper().removesuffix("IB").removesuffix("B")
    mult = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}.get(t[-1:], 1)
    if mult != 1:
        t = t[:-1]
    value = int(float(t) * mult)
    if value < 1 << 20:
        raise ValueError(f"genome size {text!r} is below 1 MiB")
    return value


def format_size(n: int) -> str:
    for unit, mult in (("G", 1 << 30), ("M", 1 << 20), ("K", 1 << 10)):
        if n % mult == 0:
            return f"{n // mult}{unit}"
    return str(n)


def default_size() -> int:
    return parse_size(os.environ.get(SIZE_ENV, str(DEFAULT_SIZE)))


def default_seed() -> int:
    return int(os.environ.get(SEED_ENV, DEFAULT_SEED))


def layout(size: int, seed: int) -> tuple[Record, ...]:
    """Record names and lengths: `size` bases in total (exactly)."""
    rng = np.random.Generator(np.random.SFC64([seed, 0]))
    contig_lengths = np.exp(rng.uniform(np.log(800), np.log(250_000), N_CONTIGS)).astype(np.int64)
    budget = int(size * CONTIG_SHARE)
    if contig_lengths.sum() > budget:
        contig_lengths = np.maximum(contig_lengths * budget // contig_lengths.sum(), 100)
    rest = size - int(contig_lengths.sum()) - CHRM_LENGTH
    human_total = sum(n for _, n in HUMAN_CHROMOSOMES)
    chrom_lengths = [n * rest // human_total for _, n in HUMAN_CHROMOSOMES]
    chrom_lengths[0] += rest - sum(chrom_lengths)  # the rounding remainder
    records = [
        Record(name, length, f"synthetic chromosome {name[3:]} LN:{length} AS:gelvo-bench")
        for (name, _), length in zip(HUMAN_CHROMOSOMES, chrom_lengths)
    ]
    records.append(Record("chrM", CHRM_LENGTH, f"synthetic mitochondrion LN:{CHRM_LENGTH} AS:gelvo-bench"))
    for i, length in enumerate(contig_lengths.tolist()):
        records.append(Record(f"chrUn_GB{i + 1:06d}v1", length, f"unplaced contig LN:{length}"))
    return tuple(records)


def _base_table() -> np.ndarray:
    """uint16 -> two bases; A/T 76/256, C/G 52/256 each (about 41% GC)."""
    one = np.empty(256, np.uint8)
    one[:76], one[76:128], one[128:180], one[180:] = ord("A"), ord("C"), ord("G"), ord("T")
    v = np.arange(1 << 16, dtype=np.uint32)
    return one[v & 0xFF].astype(np.uint16) | (one[v >> 8].astype(np.uint16) << 8)


_PAIRS = _base_table()


def _gaps(rng: np.random.Generator, length: int, is_chromosome: bool) -> list[tuple[int, int]]:
    """N runs as 0-based half-open intervals (may overlap; that is harmless)."""
    gaps = []
    if is_chromosome and length > 4 * TELOMERE_N:
        gaps += [(0, TELOMERE_N), (length - TELOMERE_N, length)]
        centre = int(length * rng.uniform(0.3, 0.5))
        half = max(1, int(length * rng.uniform(0.005, 0.02)) // 2)
        gaps.append((centre - half, centre + half))
        for _ in range(int(rng.integers(5, 30))):
            start = int(rng.integers(TELOMERE_N, length - TELOMERE_N))
            gaps.append((start, min(length, start + int(rng.integers(100, max(101, min(50_000, length // 300)))))))
    elif length > 2_000 and rng.random() < 0.3:
        start = int(rng.integers(0, length - 1_000))
        gaps.append((start, start + int(rng.integers(10, 1_000))))
    return gaps


def _block(rng: np.random.Generator, n: int, pos: int, gaps: list[tuple[int, int]]) -> np.ndarray:
    """Bases pos..pos+n of a record: random, soft-masked, then gapped."""
    words = (n + 7) // 8
    raw = rng.integers(0, 1 << 64, words, dtype=np.uint64, endpoint=False).view(np.uint16)
    seq = _PAIRS[raw].view(np.uint8)[:n]
    # Alternating unmasked/masked runs, ~300 bases each on average.
    runs = rng.geometric(1 / 300, n // 150 + 64)
    while runs.sum() < n:
        runs = np.concatenate([runs, rng.geometric(1 / 300, n // 150 + 64)])
    case_bits = np.zeros(len(runs), np.uint8)
    case_bits[int(rng.integers(0, 2)) :: 2] = 0x20
    np.bitwise_or(seq, np.repeat(case_bits, runs)[:n], out=seq)
    for a, b in gaps:
        a, b = max(a, pos), min(b, pos + n)
        if a < b:
            seq[a - pos : b - pos] = ord("N")
    return seq


def _write_record(out, rec: Record, rng: np.random.Generator, width: int, is_chromosome: bool) -> None:
    out.write(f">{rec.name} {rec.description}\n".encode())
    gaps = _gaps(rng, rec.length, is_chromosome)
    for pos in range(0, rec.length, BLOCK):
        n = min(BLOCK, rec.length - pos)
        seq = _block(rng, n, pos, gaps)
        if width == 0:
            out.write(seq)
            continue
        full = n // width
        lines = np.empty((full, width + 1), np.uint8)
        lines[:, :width] = seq[: full * width].reshape(full, width)
        lines[:, width] = ord("\n")
        out.write(lines)
        if n % width:
            # Only the block that ends the record can leave a short line,
            # because BLOCK is a multiple of the width.
            out.write(seq[full * width :])
            out.write(b"\n")
    if width == 0:
        out.write(b"\n")


def _paths(size: int, seed: int, width: int) -> tuple[Path, Path]:
    shape = "" if width == DEFAULT_WIDTH else "-unwrapped" if width == 0 else f"-w{width}"
    stem = f"genome-{format_size(size)}-s{seed}{shape}"
    return DATA_DIR / f"{stem}.fa", DATA_DIR / f"{stem}.json"


def ensure(size: int | None = None, seed: int | None = None, width: int = DEFAULT_WIDTH, quiet: bool = False) -> Genome:
    """Return the cached genome for these parameters, generating it if needed."""
    size = default_size() if size is None else size
    seed = default_seed() if seed is None else seed
    if width and BLOCK % width:
        raise ValueError(f"line width {width} must divide {BLOCK}")
    fasta, manifest = _paths(size, seed, width)
    records = layout(size, seed)
    want = {"version": GENERATOR_VERSION, "size": size, "seed": seed, "width": width}
    if fasta.exists() and manifest.exists():
        have = json.loads(manifest.read_text())
        if {k: have.get(k) for k in want} == want and have.get("bytes") == fasta.stat().st_size:
            return Genome(fasta, size, seed, width, records)
    DATA_DIR.mkdir(parents=True, exist_ok=True)
    for stale in (manifest, fasta, Path(str(fasta) + ".fai"), Path(str(fasta) + ".fxi")):
        stale.unlink(missing_ok=True)
    if not quiet:
        print(
            f"generating {fasta.name} ({size / 1e9:.2f} Gbases, {len(records)} records) ...",
            file=sys.stderr,
            flush=True,
        )
    t0 = time.perf_counter()
    part = fasta.with_suffix(".fa.part")
    n_chrom = len(HUMAN_CHROMOSOMES)
    seeds = np.random.SeedSequence([seed, GENERATOR_VERSION]).spawn(len(records))
    with open(part, "wb", buffering=0) as out:
        for i, rec in enumerate(records):
            _write_record(out, rec, np.random.Generator(np.random.SFC64(seeds[i])), width, i < n_chrom)
    part.rename(fasta)
    manifest.write_text(
        json.dumps({**want, "bytes": fasta.stat().st_size, "records": [[r.name, r.length] for r in records]}, indent=0)
    )
    if not quiet:
        print(
            f"  wrote {fasta.stat().st_size / 1e9:.2f} GB in {time.perf_counter() - t0:.1f} s",
            file=sys.stderr,
            flush=True,
        )
    return Genome(fasta, size, seed, width, records)


def regions(genome: Genome, length: int, count: int, seed: int | None = None) -> list[tuple[str, int, int]]:
    """`count` random regions of `length` bases as (name, start, end), 1-based inclusive.

    A region is equally likely to start at any base of the genome that leaves
    room for it, so records are hit in proportion to their length.
    """
    seed = genome.seed if seed is None else seed
    rng = np.random.Generator(np.random.SFC64([seed, length, count]))
    fit = [r for r in genome.records if r.length >= length]
    room = np.array([r.length - length + 1 for r in fit], dtype=np.int64)
    cum = np.cumsum(room)
    picks = rng.integers(0, int(cum[-1]), count, dtype=np.int64)
    which = np.searchsorted(cum, picks, side="right")
    offsets = picks - (cum[which] - room[which])
    return [(fit[w].name, int(o) + 1, int(o) + length) for w, o in zip(which.tolist(), offsets.tolist())]


REGION_SETS = {100: 20_000, 1_000: 20_000, 100_000: 1_000, 1_000_000: 200}


def write_region_files(genome: Genome) -> list[Path]:
    """The standard region lists as TSV files (name, start, end; 1-based inclusive)."""
    paths = []
    for length, count in REGION_SETS.items():
        p = genome.path.with_suffix(f".regions-{length}.tsv")
        with open(p, "w") as f:
            f.write("#name\tstart\tend\t(1-based inclusive)\n")
            f.writelines(f"{n}\t{s}\t{e}\n" for n, s, e in regions(genome, length, count))
        paths.append(p)
    return paths


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size", default=None, help=f"bases, e.g. 1G, 50M (default ${SIZE_ENV} or 1G)")
    ap.add_argument("--seed", type=int, default=None, help=f"default ${SEED_ENV} or {DEFAULT_SEED}")
    ap.add_argument("--width", type=int, default=DEFAULT_WIDTH, help="bases per line, 0 = one line per record")
    args = ap.parse_args()
    g = ensure(parse_size(args.size) if args.size else None, args.seed, args.width)
    print(g.path)
    for p in write_region_files(g):
        print(p)


if __name__ == "__main__":
    main()
