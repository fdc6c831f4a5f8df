"""Random labelled windows of a genome as one-hot batches, as a training loop reads them.

Half of the windows, on average, are positives: centred on the start of a gene
of a BED file and read on the gene's strand (a minus-strand gene's window is
reverse complemented). The others are background: centred anywhere in the
genome, on either strand. Windows near the ends of a sequence are padded with
N, which one-hot encodes as 0.25 in every channel. Every batch is written into
the same preallocated float32 array, so the loop allocates nothing per batch;
a real loop hands that array to its model. Here each batch is summed up by the
GC fraction of its positives and of its background windows.

Usage: python examples/training_windows.py [genome.fa] [genes.bed]
           [--window N] [--batch N] [--batches N] [--seed N] [--save batches.npz]
"""

import argparse
import os
from collections.abc import Iterator
from dataclasses import dataclass

import gelvo
import numpy as np
import numpy.typing as npt

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")


@dataclass
class Batch:
    """One batch: the one-hot windows (the shared buffer), their labels, and
    where they were read."""

    onehot: npt.NDArray[np.float32]  # (batch, window, 4): A, C, G, T
    labels: npt.NDArray[np.int8]  # 1 for a gene start, 0 for background
    regions: list[tuple[str, int, int]]  # 1-based, inclusive
    minus: npt.NDArray[np.bool_]  # read on the minus strand


def gene_starts(bed_path: str) -> list[tuple[str, int, bool]]:
    """(name, first base of the gene on its strand, minus strand) per BED line."""
    starts = []
    with open(bed_path) as bed:
        for line in bed:
            fields = line.rstrip("\n").split("\t")
            if line.startswith(("#", "track", "browser")) or len(fields) < 3:
                continue
            minus = len(fields) > 5 and fields[5] == "-"
            # BED is 0-based, end exclusive: the last base of the interval is
            # `end` in 1-based terms, the first is `start + 1`.
            starts.append((fields[0], int(fields[2]) if minus else int(fields[1]) + 1, minus))
    return starts


def batches(
    fasta: gelvo.Fasta,
    genes: list[tuple[str, int, bool]],
    window: int,
    size: int,
    count: int,
    rng: np.random.Generator,
) -> Iterator[Batch]:
    names = fasta.keys()
    lengths = np.array([len(fasta[name]) for name in names])
    buffer = np.empty((size, window, 4), dtype=np.float32)  # reused by every batch
    for _ in range(count):
        labels = rng.integers(0, 2, size=size, dtype=np.int8)
        minus = rng.integers(0, 2, size=size).astype(bool)
        regions = []
        for i, label in enumerate(labels):
            if label:
                name, centre, minus[i] = genes[rng.integers(len(genes))]
            else:
                # A sequence chosen in proportion to its length, then a base.
                k = rng.choice(len(names), p=lengths / lengths.sum())
                name, centre = names[k], int(rng.integers(1, lengths[k] + 1))
            start = centre - window // 2
            regions.append((name, start, start + window - 1))
        fasta.fetch_array(regions, onehot=True, rc=minus, dtype=np.float32, unknown=0.25, out=buffer)
        yield Batch(buffer, labels, regions, minus)


def gc_fraction(onehot: npt.NDArray[np.float32]) -> float:
    """Mean of the C and G channels over the windows given (N and padding
    count a quarter each, as they are encoded)."""
    if len(onehot) == 0:
        return float("nan")
    return float(onehot[..., 1:3].sum(axis=-1).mean())


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("fasta", nargs="?", default=os.path.join(DATA, "lambda_phage.fa"))
    parser.add_argument("bed", nargs="?", default=os.path.join(DATA, "lambda_genes.bed"))
    parser.add_argument("--window", type=int, default=200, help="bases per window (default 200)")
    parser.add_argument("--batch", type=int, default=64, help="windows per batch (default 64)")
    parser.add_argument("--batches", type=int, default=5, help="batches to read (default 5)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the random windows (default 1)")
    parser.add_argument("--save", help="also write every batch to this .npz file (for checking)")
    args = parser.parse_args(argv)
    if args.window < 1 or args.batch < 1 or args.batches < 0:
        parser.error("--window and --batch must be positive, --batches not negative")

    fasta = gelvo.Fasta(args.fasta)
    genes = gene_starts(args.bed)
    if not genes:
        parser.error(f"no genes in {args.bed}")
    saved: list[Batch] = []
    rng = np.random.default_rng(args.seed)
    for k, batch in enumerate(batches(fasta, genes, args.window, args.batch, args.batches, rng)):
        positives = batch.labels == 1
        print(
            f"batch {k}: {batch.onehot.shape[0]} windows of {batch.onehot.shape[1]}, {int(positives.sum())} at gene"
            f" starts; GC {gc_fraction(batch.onehot[positives]):.3f} there,"
            f" {gc_fraction(batch.onehot[~positives]):.3f} in the background"
        )
        if args.save:
            # The buffer is overwritten by the next batch.
            saved.append(Batch(batch.onehot.copy(), batch.labels, batch.regions, batch.minus))
    if args.save:
        np.savez(
            args.save,
            onehot=np.array([b.onehot for b in saved]),
            labels=np.array([b.labels for b in saved]),
            names=np.array([[name for name, _, _ in b.regions] for b in saved]),
            starts=np.array([[start for _, start, _ in b.regions] for b in saved]),
            minus=np.array([b.minus for b in saved]),
        )
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
