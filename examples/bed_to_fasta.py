"""The sequences of the regions of a BED file, as FASTA.

BED coordinates are 0-based and half-open (start 0, end 10 is the first ten
bases), gelvo's are 1-based and inclusive, so a BED line becomes the region
start + 1 .. end. Lines on the minus strand (column 6) come out reverse
complemented. Headers follow bedtools getfasta -name -s: name::chrom:start-end(strand),
with the BED coordinates.

Usage: python examples/bed_to_fasta.py [genome.fa] [regions.bed] [-o out.fa] [--width N]
"""

import argparse
import os
import sys
from typing import NamedTuple, TextIO

import gelvo

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")


class BedLine(NamedTuple):
    chrom: str
    start: int  # 0-based
    end: int  # exclusive
    name: str | None
    strand: str


def read_bed(path: str) -> list[BedLine]:
    lines = []
    with open(path) as f:
        for number, line in enumerate(f, 1):
            if not line.strip() or line.startswith(("#", "track", "browser")):
                continue
            cols = line.rstrip("\n").split("\t")
            if len(cols) < 3:
                raise ValueError(f"{path}:{number}: a BED line needs chrom, start and end")
            start, end = int(cols[1]), int(cols[2])
            if not 0 <= start <= end:
                raise ValueError(f"{path}:{number}: bad interval {start}-{end}")
            name = cols[3] if len(cols) > 3 and cols[3] not in ("", ".") else None
            strand = cols[5] if len(cols) > 5 and cols[5] in ("+", "-") else "."
            lines.append(BedLine(cols[0], start, end, name, strand))
    return lines


def header(line: BedLine) -> str:
    where = f"{line.chrom}:{line.start}-{line.end}"
    if line.strand != ".":
        where += f"({line.strand})"
    return f"{line.name}::{where}" if line.name else where


def sequences(fasta: gelvo.Fasta, lines: list[BedLine]) -> list[str]:
    """The bases of every line, in input order."""
    out = [""] * len(lines)
    # One batch per strand; a zero-length BED interval has no bases to fetch.
    for minus in (False, True):
        wanted = [i for i, line in enumerate(lines) if (line.strand == "-") == minus and line.end > line.start]
        regions = [(lines[i].chrom, lines[i].start + 1, lines[i].end) for i in wanted]
        for i, seq in zip(wanted, fasta.fetch_many(regions, rc=minus)):
            out[i] = seq.seq
    return out


def write_record(out: TextIO, name: str, seq: str, width: int) -> None:
    out.write(f">{name}\n")
    step = width or len(seq) or 1
    for i in range(0, len(seq), step):
        out.write(seq[i : i + step] + "\n")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("fasta", nargs="?", default=os.path.join(DATA, "lambda_phage.fa"))
    parser.add_argument("bed", nargs="?", default=os.path.join(DATA, "lambda_genes.bed"))
    parser.add_argument("-o", "--output", help="FASTA file to write (default: standard output)")
    parser.add_argument("--width", type=int, default=60, help="bases per line, 0 for one line (default 60)")
    args = parser.parse_args(argv)

    try:
        lines = read_bed(args.bed)
    except ValueError as e:
        parser.error(str(e))
    # strict_bounds: a BED line past the end of its sequence is an error in
    # the BED file, not something to clamp quietly.
    fasta = gelvo.Fasta(args.fasta, strict_bounds=True)
    missing = sorted({line.chrom for line in lines} - set(fasta.keys()))
    if missing:
        parser.error(f"not in {args.fasta}: {', '.join(missing)}")
    try:
        seqs = sequences(fasta, lines)
    except (IndexError, RuntimeError) as e:
        parser.error(str(e))
    out = open(args.output, "w") if args.output else sys.stdout
    try:
        for line, seq in zip(lines, seqs):
            write_record(out, header(line), seq, args.width)
    finally:
        if out is not sys.stdout:
            out.close()
    return 0


if __name__ == "__main__":
    try:
        status = main()
        sys.stdout.flush()  # here, where a closed pipe can still be caught
    except BrokenPipeError:
        # The reader left (`| head`): no traceback, and no second error at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        status = 128 + 13  # as if SIGPIPE had ended the process, like other tools
    sys.exit(status)
