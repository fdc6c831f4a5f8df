"""`gelvo stats`: base composition of every sequence of a FASTA file."""

from __future__ import annotations

import json
from typing import TextIO

import gelvo

COLUMNS = ("name", "length", "A", "C", "G", "T", "N", "other", "gc", "lower")
# The name of the total row in TSV output, as samtools idxstats names its catch-all row.
TOTAL = "*"


def composition(faidx: gelvo.Faidx, name: str) -> tuple[int, ...]:
    """256 counts, one per byte value, over the residues of the whole record (no line ends),
    counted natively a few MiB at a time."""
    return faidx._composition(name)


def _row(name: str, counts: list[int] | tuple[int, ...]) -> dict[str, object]:
    length = sum(counts)
    bases = {b: counts[ord(b)] + counts[ord(b.lower())] for b in "ACGTN"}
    acgt = bases["A"] + bases["C"] + bases["G"] + bases["T"]
    lower = sum(counts[ord("a") : ord("z") + 1])
    return {
        "name": name,
        "length": length,
        **bases,
        "other": length - acgt - bases["N"],
        "gc": (bases["C"] + bases["G"]) / acgt if acgt else 0.0,
        "lower": lower / length if length else 0.0,
    }


def table(fasta: str, indexname: str | None) -> tuple[list[dict[str, object]], dict[str, object]]:
    """One row per sequence, in index order, and the row of their sum."""
    faidx = gelvo.Faidx(fasta, indexname=indexname)
    rows = []
    total = [0] * 256
    for name in faidx.keys:
        counts = composition(faidx, name)
        rows.append(_row(name, counts))
        total = [a + b for a, b in zip(total, counts)]
    return rows, _row(TOTAL, total)


def write(out: TextIO, rows: list[dict[str, object]], total: dict[str, object], form: str) -> None:
    if form == "json":
        json.dump({"sequences": rows, "total": {k: v for k, v in total.items() if k != "name"}}, out, indent=1)
        out.write("\n")
        return
    out.write("#" + "\t".join(COLUMNS) + "\n")
    for row in [*rows, total]:
        out.write("\t".join(f"{row[c]:.6f}" if c in ("gc", "lower") else str(row[c]) for c in COLUMNS) + "\n")
