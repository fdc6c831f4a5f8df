"""BED lines as regions to fetch.

BED intervals are 0-based and half-open: `chr1 10 20` is the samtools region
`chr1:11-20`, which is also the header written for it. Column 6 `-` asks for the
reverse complement. `track`, `browser` and `#` lines are skipped.
"""

from __future__ import annotations

import operator
from collections.abc import Iterable, Iterator
from typing import NamedTuple

_SKIPPED = ("#", "track ", "track\t", "browser ", "browser\t")

# (chrom, start, end, minus): a plain tuple, made once per line of files of millions.
BedRegion = tuple[str, int, int, bool]


class BedProblem:
    """A malformed line: where it is and what is wrong with it."""

    __slots__ = ("where", "reason")

    def __init__(self, where: str, reason: str):
        self.where = where
        self.reason = reason


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
    return cols[0], start, end, strand == "-"


class BedColumns(NamedTuple):
    """Well-formed BED lines, column by column."""

    chroms: list[str]
    starts: list[int]
    ends: list[int]
    minus: list[bool]


_NOT_A_CHROM_START = frozenset("#tb")  # '#', 'track', 'browser' (and a few chroms: slow path)


def parse_block(lines: list[str]) -> BedColumns | None:
    """The lines as columns when every one is a plain BED line with the same number of
    columns; None when any needs a closer look (read_bed then takes them one by one).

    Each step runs over all lines at once in C (split, zip, int): a million-line BED
    costs about as much as reading it.
    """
    rows = [line.rstrip("\r\n").split("\t") for line in lines]
    widths = set(map(len, rows))
    if len(widths) != 1 or min(widths) < 3:
        return None
    columns = list(zip(*rows))
    chroms, starts, ends = columns[:3]
    if not (
        all(map(str.isdigit, starts))
        and all(map(str.isdigit, ends))
        and all(map(str.isascii, starts))
        and all(map(str.isascii, ends))
        and "" not in chroms
        and _NOT_A_CHROM_START.isdisjoint(chrom[0] for chrom in chroms)
    ):
        return None
    begs, stops = list(map(int, starts)), list(map(int, ends))
    if not all(map(operator.le, begs, stops)):
        return None
    if len(columns) < 6:
        return BedColumns(list(chroms), begs, stops, [False] * len(begs))
    if not set(columns[5]) <= {"+", "-", "."}:
        return None
    return BedColumns(list(chroms), begs, stops, list(map("-".__eq__, columns[5])))


def read_bed(lines: Iterable[str], filename: str, first: int = 1) -> Iterator[BedRegion | BedProblem]:
    """The regions of BED text in order, with a BedProblem in place of each malformed line;
    `first` is the number of the first line."""
    for number, line in enumerate(lines, first):
        try:
            region = parse_line(line)
        except ValueError as e:
            yield BedProblem(f"{filename}:{number}", str(e))
            continue
        if region is not None:
            yield region
