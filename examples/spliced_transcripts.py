"""Spliced transcript sequences from exon lists, as FASTA.

The input is a tab-separated table with one exon per line: transcript,
chrom, strand, start, end, in 1-based inclusive coordinates as in GTF. Lines
starting with '#' and a header line starting with 'transcript' are skipped.
The exons of a transcript may come in any order: they are joined in genome
order, and a minus-strand transcript is reverse complemented as a whole, so
every sequence reads 5' to 3'.

Usage: python examples/spliced_transcripts.py [genome.fa] [exons.tsv] [-o out.fa] [--width N]
"""

import argparse
import os
import sys
from typing import NamedTuple, TextIO

import gelvo

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")


class Transcript(NamedTuple):
    name: str
    chrom: str
    strand: str
    exons: list[tuple[int, int]]


def read_exons(path: str) -> list[Transcript]:
    """The transcripts in order of first appearance."""
    found: dict[str, Transcript] = {}
    with open(path) as f:
        for number, line in enumerate(f, 1):
            if not line.strip() or line.startswith(("#", "transcript\t")):
                continue
            cols = line.rstrip("\n").split("\t")
            if len(cols) != 5 or cols[2] not in ("+", "-"):
                raise ValueError(f"{path}:{number}: expected transcript, chrom, strand (+ or -), start, end")
            name, chrom, strand = cols[:3]
            start, end = int(cols[3]), int(cols[4])
            if not 1 <= start <= end:
                raise ValueError(f"{path}:{number}: bad exon {start}-{end}")
            transcript = found.setdefault(name, Transcript(name, chrom, strand, []))
            if (transcript.chrom, transcript.strand) != (chrom, strand):
                raise ValueError(f"{path}:{number}: {name} has exons on more than one chromosome or strand")
            transcript.exons.append((start, end))
    return list(found.values())


def spliced(fasta: gelvo.Fasta, transcript: Transcript) -> gelvo.Sequence:
    exons = sorted(transcript.exons)
    return fasta.get_spliced_seq(transcript.chrom, exons, rc=transcript.strand == "-")


def write_record(out: TextIO, name: str, seq: str, width: int) -> None:
    out.write(f">{name}\n")
    step = width or len(seq) or 1
    for i in range(0, len(seq), step):
        out.write(seq[i : i + step] + "\n")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("fasta", nargs="?", default=os.path.join(DATA, "lambda_phage.fa"))
    parser.add_argument("exons", nargs="?", default=os.path.join(DATA, "lambda_exons.tsv"))
    parser.add_argument("-o", "--output", help="FASTA file to write (default: standard output)")
    parser.add_argument("--width", type=int, default=60, help="bases per line, 0 for one line (default 60)")
    args = parser.parse_args(argv)

    try:
        transcripts = read_exons(args.exons)
    except ValueError as e:
        parser.error(str(e))
    # An exon past the end of its sequence is an error in the table.
    fasta = gelvo.Fasta(args.fasta, strict_bounds=True)
    missing = sorted({t.chrom for t in transcripts} - set(fasta.keys()))
    if missing:
        parser.error(f"not in {args.fasta}: {', '.join(missing)}")
    out = open(args.output, "w") if args.output else sys.stdout
    try:
        for t in transcripts:
            try:
                seq = spliced(fasta, t)
            except IndexError as e:
                parser.error(f"{t.name}: {e}")
            first, last = min(s for s, _ in t.exons), max(e for _, e in t.exons)
            header = f"{t.name} {t.chrom}:{first}-{last}({t.strand}) exons={len(t.exons)} length={len(seq)}"
            write_record(out, header, seq.seq, args.width)
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
