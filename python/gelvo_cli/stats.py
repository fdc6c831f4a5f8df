"""`gelvo stats`: base composition of every sequence of a FASTA file."""

from __future__ import annotations

import json
from collections import Counter
from typing import TextIO

import gelvo

_COMMON = "ACGTNacgtn"
_DROP_COMMON = str.maketrans("", "", _COMMON)
COLUMNS = ("name", "length", "A", "C", "G", "T", "N", "other", "gc", "lower")
# The name of the total row in TSV output, as samtools idxstats names its catch-all row.
TOTAL = "*"


def composition(faidx: gelvo.Faidx, name: str) -> tuple[int, ...]:
    """256 counts, one per byte value, over the residues of the whole record (no line ends).

    This is the one place that tallies; a native tally can replace its body.
    """
    text = faidx.fetch_entire_sequence(name).seq
    counts = [0] * 256
    for letter in _COMMON:
        counts[ord(letter)] = text.count(letter)
    if sum(counts) < len(text):  # other residues: rare, and counted the slow way
        rest = text.translate(_DROP_COMMON).encode("utf-8", "surrogateescape")
        for byte, n in Counter(rest).items():
            counts[byte] += n
    return tuple(counts)


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
