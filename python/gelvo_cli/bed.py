"""BED lines as regions to fetch.

BED intervals are 0-based and half-open: `chr1 10 20` is the samtools region
`chr1:11-20`, which is also the header written for it. Column 6 `-` asks for the
reverse complement. `track`, `browser` and `#` lines are skipped.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator
from typing import NamedTuple

_SKIPPED = ("#", "track ", "track\t", "browser ", "browser\t")


class BedRegion(NamedTuple):
    chrom: str
    start: int  # 0-based
    end: int  # exclusive
    minus: bool


class BedProblem(NamedTuple):
    """A malformed line: where it is and what is wrong with it."""

    where: str
    reason: str


def _coordinate(text: str, what: str) -> int:
    if not (text.isascii() and text.isdigit()):
        raise ValueError(f"{what} {text!r} is not a non-negative integer")
    return int(text)


def parse_line(line: str) -> BedRegion | None:
    """The region of one BED line, None for a line to skip; ValueError says what is wrong."""
    line = line.rstrip("\r\n")
    if not line.strip() or line.startswith(_SKIPPED) or line in ("track", "browser"):
        return None
    cols = line.split("\t")
    if len(cols) < 3:
        raise ValueError("expected at least 3 tab-separated columns (chrom, start, end)")
    start, end = _coordinate(cols[1], "start"), _coordinate(cols[2], "end")
    if start > end:
        raise ValueError(f"start {start} is greater than end {end}")
    strand = cols[5] if len(cols) > 5 else "."
    if strand not in ("+", "-", "."):
        raise ValueError(f"strand {strand!r} is not +, - or .")
    return BedRegion(cols[0], start, end, strand == "-")


def read_bed(lines: Iterable[str], filename: str) -> Iterator[BedRegion | BedProblem]:
    """The regions of BED text in order, with a BedProblem in place of each malformed line."""
    for number, line in enumerate(lines, 1):
        try:
            region = parse_line(line)
        except ValueError as e:
            yield BedProblem(f"{filename}:{number}", str(e))
            continue
        if region is not None:
            yield region
