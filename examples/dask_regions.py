"""The regions of a BED file fetched on a Dask cluster, as FASTA or as per-region GC.

The regions are split into partitions; each partition is fetched on a worker
through a pickled `gelvo.Fasta`. What travels to a worker is the file's path
and the options, never bases: the worker opens and maps the file itself, so
every worker must see the same path (a shared file system, or an object store
mounted at the same place everywhere). The result is the same as fetching
everything in one process (--local).

Usage: python examples/dask_regions.py [genome.fa] [regions.bed] [--scheduler ADDRESS]
           [--workers N] [--partitions N] [--gc] [--local] [-o out]
"""

import argparse
import importlib
import os
import sys
from typing import Any

import gelvo

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
Region = tuple[str, int, int, bool]  # chrom, start, end (1-based, inclusive), minus strand


def read_bed(path: str) -> list[Region]:
    """(chrom, start, end, minus) of every BED line; start and end 1-based inclusive."""
    regions = []
    with open(path) as f:
        for number, line in enumerate(f, 1):
            if not line.strip() or line.startswith(("#", "track", "browser")):
                continue
            cols = line.rstrip("\r\n").split("\t")
            if len(cols) < 3 or not (cols[1].isdigit() and cols[2].isdigit()) or int(cols[1]) >= int(cols[2]):
                raise ValueError(f"{path}:{number}: expected chrom, start < end")
            regions.append((cols[0], int(cols[1]) + 1, int(cols[2]), len(cols) > 5 and cols[5] == "-"))
    return regions


def fetch_partition(fasta: gelvo.Fasta, regions: list[Region], gc: bool) -> list[str]:
    """Output lines of one partition; runs on a worker with the Fasta it was sent."""
    out = [""] * len(regions)
    for minus in (False, True):
        wanted = [i for i, region in enumerate(regions) if region[3] == minus]
        seqs = fasta.fetch_many([regions[i][:3] for i in wanted], rc=minus)
        for i, seq in zip(wanted, seqs):
            name, start, end, _ = regions[i]
            where = f"{name}:{start}-{end}{'(-)' if minus else ''}"
            out[i] = f"{name}\t{start - 1}\t{end}\t{seq.gc:.6f}\n" if gc else f">{where}\n{seq.seq}\n"
    return out


def partitions(regions: list[Region], count: int) -> list[list[Region]]:
    """`count` contiguous pieces of nearly equal size, in order."""
    size, extra = divmod(len(regions), count)
    pieces, start = [], 0
    for i in range(count):
        end = start + size + (i < extra)
        pieces.append(regions[start:end])
        start = end
    return [p for p in pieces if p]


def run_on_cluster(
    fasta: gelvo.Fasta, parts: list[list[Region]], gc: bool, scheduler: str | None, workers: int
) -> list[str]:
    # Imported here, so that --local and --help run without Dask; distributed has no types.
    distributed: Any = importlib.import_module("dask.distributed")
    Client, LocalCluster = distributed.Client, distributed.LocalCluster
    if scheduler:
        client = Client(scheduler)
        cluster = None
    else:
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None)
        client = Client(cluster)
    try:
        futures = client.map(fetch_partition, [fasta] * len(parts), parts, [gc] * len(parts), pure=False)
        return [line for part in client.gather(futures) for line in part]
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("fasta", nargs="?", default=os.path.join(DATA, "lambda_phage.fa"))
    parser.add_argument("bed", nargs="?", default=os.path.join(DATA, "lambda_genes.bed"))
    parser.add_argument("--scheduler", metavar="ADDRESS", help="a running scheduler (default: a LocalCluster)")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the LocalCluster (default 2)")
    parser.add_argument("--partitions", type=int, default=8, help="pieces the regions are split into (default 8)")
    parser.add_argument("--gc", action="store_true", help="write chrom, start, end, GC (BED) instead of FASTA")
    parser.add_argument("--local", action="store_true", help="fetch everything in this process, without Dask")
    parser.add_argument("-o", "--output", help="file to write (default: standard output)")
    args = parser.parse_args(argv)
    if args.partitions < 1 or args.workers < 1:
        parser.error("--partitions and --workers must be positive")
    try:
        regions = read_bed(args.bed)
    except ValueError as e:
        parser.error(str(e))
    # Workers may run in another directory: the path they are sent must be absolute.
    fasta = gelvo.Fasta(os.path.abspath(args.fasta))
    if args.local:
        lines = fetch_partition(fasta, regions, args.gc)
    else:
        lines = run_on_cluster(fasta, partitions(regions, args.partitions), args.gc, args.scheduler, args.workers)
    out = open(args.output, "w") if args.output else sys.stdout
    try:
        out.writelines(lines)
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
