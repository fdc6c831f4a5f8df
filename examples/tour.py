"""A short tour of gelvo on a real genome (phage lambda by default).

Usage: python examples/tour.py [file.fa]
"""

import os
import shutil
import sys
import tempfile
import time

import gelvo

DEFAULT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "lambda_phage.fa")


def main(path: str) -> None:
    # Work on a copy so the tour builds its index from scratch every time.
    workdir = tempfile.mkdtemp(prefix="gelvo-tour-")
    try:
        fasta = os.path.join(workdir, os.path.basename(path))
        shutil.copyfile(path, fasta)

        started = time.perf_counter()
        fa = gelvo.Faidx(fasta)
        elapsed = (time.perf_counter() - started) * 1000
        print(f"index built in {elapsed:.2f} ms: {os.path.basename(fasta)}.fai")
        with open(fasta + ".fai") as fai:
            print("  " + fai.read().rstrip("\n").replace("\n", "\n  "))

        name = fa.keys[0]
        region = fa.fetch(name, 1000, 1059)
        print(f"\nfetch({name!r}, 1000, 1059) -> start {region.start}, end {region.end}")
        print(repr(region))

        rc = -region
        print(f"\nreverse complement: {rc.fancy_name}")
        print(rc.seq)

        whole = fa.fetch_entire_sequence(name)
        print(f"\nwhole sequence: {len(whole)} bases, GC {whole.gc:.4f}")
        window = 10_000
        for start in range(1, len(whole) + 1, window):
            end = min(start + window - 1, len(whole))
            piece = fa.fetch(name, start, end)
            print(f"  GC {start:>6}-{end:<6} {piece.gc:.4f}")
    finally:
        shutil.rmtree(workdir)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else DEFAULT)
