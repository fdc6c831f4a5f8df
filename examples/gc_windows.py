"""GC content in windows along every sequence of a FASTA file, as bedGraph.

Each output line is chrom, start, end (BED coordinates: 0-based, end
exclusive) and the GC fraction of that window. Windows start every --step
bases (default: the window size) and the last window of a sequence may be
shorter. --measure picks the fraction: gc counts G and C over all bases,
gc_strict over A, C, G and T only (so runs of N do not dilute it), gc_iupac
gives ambiguity codes partial weight.

Usage: python examples/gc_windows.py [genome.fa] [--window N] [--step N] [--measure gc|gc_strict|gc_iupac]
"""

import argparse
import os
import sys
from collections.abc import Iterator

import gelvo

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
# Windows fetched per call: large enough for the worker threads, small enough
# that a chromosome's windows are never all held at once.
BATCH = 20_000


def windows(length: int, window: int, step: int) -> Iterator[tuple[int, int]]:
    """1-based inclusive windows covering 1..length."""
    for start in range(1, length + 1, step):
        yield start, min(start + window - 1, length)
        if start + window - 1 >= length:
            return


def gc_windows(fasta: gelvo.Fasta, window: int, step: int, measure: str) -> Iterator[tuple[str, int, int, float]]:
    for name in fasta.keys():
        spans = list(windows(len(fasta[name]), window, step))
        for i in range(0, len(spans), BATCH):
            batch = spans[i : i + BATCH]
            for (start, end), seq in zip(batch, fasta.fetch_many_same_chr(name, batch)):
                yield name, start - 1, end, getattr(seq, measure)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("fasta", nargs="?", default=os.path.join(DATA, "lambda_phage.fa"))
    parser.add_argument("--window", type=int, default=1000, help="window size in bases (default 1000)")
    parser.add_argument("--step", type=int, help="distance between window starts (default: the window size)")
    parser.add_argument("--measure", choices=["gc", "gc_strict", "gc_iupac"], default="gc_strict")
    parser.add_argument("-o", "--output", help="bedGraph file to write (default: standard output)")
    args = parser.parse_args(argv)
    step = args.step or args.window
    if args.window < 1 or step < 1:
        parser.error("--window and --step must be positive")

    fasta = gelvo.Fasta(args.fasta)
    out = open(args.output, "w") if args.output else sys.stdout
    try:
        for name, start, end, gc in gc_windows(fasta, args.window, step, args.measure):
            out.write(f"{name}\t{start}\t{end}\t{gc:.6f}\n")
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
