"""A short tour of gelvo on a real genome (phage lambda by default).

The FASTA file is read where it is. Its index is built beside it when missing
or stale; in a directory gelvo may not write to, the index goes to a temporary
directory instead (the `indexname=` option).

Usage: python examples/tour.py [file.fa]
"""

import argparse
import os
import sys
import tempfile
import time

import gelvo

DEFAULT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "lambda_phage.fa")


def open_indexed(path: str) -> tuple[gelvo.Faidx, str]:
    """The Faidx of a file and the path of its index, beside it when that can be written."""
    index = path + ".fai"
    if not os.access(os.path.dirname(os.path.abspath(path)), os.W_OK) and not os.path.exists(index):
        index = os.path.join(tempfile.mkdtemp(prefix="gelvo-tour-"), os.path.basename(path) + ".fai")
    return gelvo.Faidx(path, indexname=index), index


def tour(path: str) -> None:
    had_index = os.path.exists(path + ".fai")
    started = time.perf_counter()
    fa, index = open_indexed(path)
    elapsed = (time.perf_counter() - started) * 1000
    print(f"index {'read' if had_index else 'built'} in {elapsed:.2f} ms: {index}")
    with open(index) as fai:
        lines = fai.read().splitlines()
    for line in lines[:5]:
        print("  " + line)
    if len(lines) > 5:
        print(f"  ... {len(lines) - 5} more")

    name = fa.keys[0]
    region = fa.fetch(name, 1000, 1059)
    print(f"\nfetch({name!r}, 1000, 1059) -> start {region.start}, end {region.end}")
    print(repr(region))

    rc = -region
    print(f"\nreverse complement: {rc.fancy_name}")
    print(rc.seq)

    whole = fa.fetch_entire_sequence(name)
    print(f"\nwhole sequence: {len(whole)} bases, GC {whole.gc:.4f}")
    window = max(10_000, len(whole) // 10)
    for start in range(1, len(whole) + 1, window):
        end = min(start + window - 1, len(whole))
        piece = fa.fetch(name, start, end)
        print(f"  GC {start:>6}-{end:<6} {piece.gc:.4f}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("fasta", nargs="?", default=DEFAULT, help="FASTA file (default: the phage lambda genome)")
    args = parser.parse_args(argv)
    if not os.path.exists(args.fasta):
        parser.error(f"no such file: {args.fasta}")
    tour(args.fasta)
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
