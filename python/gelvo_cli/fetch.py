"""`gelvo fetch`: regions of a FASTA file written as FASTA, as `samtools faidx` writes them.

Requests come from the region file (-r), then the BED file (-b), then the
command line, and are answered in that order. They are resolved and fetched in
chunks through `Fasta.fetch_many`, which runs on worker threads from 1000
regions on, and written as they are done, so output starts early and memory
stays bounded whatever the number of regions.
"""

from __future__ import annotations

import contextlib
import gc
import io
import itertools
import operator
import sys
from collections.abc import Iterator
from typing import BinaryIO, NamedTuple

import gelvo

from . import progress
from .bed import BedColumns, BedProblem, parse_block, read_bed
from .regions import POS_MAX, RegionError, clamp, parse_plain, parse_region

# Regions per fetch_many call: far above the parallel threshold, small enough
# that output starts soon and a chunk's results stay a few tens of MB.
CHUNK = 16_384
# Output goes out in pieces of about this many bases (or records), so that a
# closed pipe is seen early.
FLUSH_BYTES = 1 << 20
FLUSH_RECORDS = 1024
DEFAULT_WIDTH = 60
# samtools' complement: IUPAC codes and U in both cases; every other byte stays.
_COMPLEMENT = str.maketrans("ACGTUBDHKMRVYacgtubdhkmrvy", "TGCAAVHDMKYBRtgcaavhdmkybr")
MARKS = {"rc": ("", "/rc"), "no": ("", ""), "sign": ("(+)", "(-)")}


def strand_marks(text: str) -> tuple[str, str]:
    """--mark-strand: the (forward, reverse) suffixes of headers."""
    if text in MARKS:
        return MARKS[text]
    if text.startswith("custom,"):
        plus, _, minus = text[len("custom,") :].partition(",")
        return plus, minus
    raise ValueError(f"unknown --mark-strand option {text!r} (rc, no, sign or custom,PLUS,MINUS)")


# A request is a plain tuple (header, target, minus): header is the header text
# without its strand mark (None for a malformed BED line, which has none); target
# is a samtools region (str), a BED interval (name, beg, end) or a BedProblem.
Request = tuple["str | None", "str | tuple[str, int, int] | BedProblem", bool]


class Failure(Exception):
    """A region that could not be fetched; stops the run unless -c is given."""


@contextlib.contextmanager
def _text_lines(path: str) -> Iterator[io.TextIOWrapper]:
    """The lines of a file or of standard input, line ends kept, any bytes accepted."""
    if path != "-":
        with open(path, encoding="utf-8", errors="surrogateescape", newline="") as f:
            yield f
        return
    stream = io.TextIOWrapper(sys.stdin.buffer, encoding="utf-8", errors="surrogateescape", newline="")
    try:
        yield stream
    finally:
        stream.detach()  # standard input stays open


def count_lines(path: str) -> int | None:
    """The number of lines of a file, None for standard input (it cannot be read twice)."""
    if path == "-":
        return None
    with open(path, "rb") as f:
        count = ends_without_newline = 0
        while block := f.read(1 << 20):
            count += block.count(b"\n")
            ends_without_newline = not block.endswith(b"\n")
    return count + ends_without_newline


def _bed_chunks(path: str, invert: bool) -> Iterator[BedColumns | list[Request]]:
    """A BED file in chunks: columns when all lines of a chunk are plain, requests otherwise."""
    filename = "standard input" if path == "-" else path
    with _text_lines(path) as stream:
        first = 1
        while lines := list(itertools.islice(stream, CHUNK)):
            columns = parse_block(lines)
            if columns is not None:
                yield columns._replace(minus=[m != invert for m in columns.minus]) if invert else columns
            else:
                chunk: list[Request] = []
                for item in read_bed(lines, filename, first):
                    if isinstance(item, BedProblem):
                        chunk.append((None, item, False))
                    else:
                        chrom, start, end, minus = item
                        chunk.append((f"{chrom}:{start + 1}-{end}", (chrom, start, end), minus != invert))
                yield chunk
            first += len(lines)


class RegionTexts(NamedTuple):
    """Region strings in samtools syntax, all on the strand given."""

    texts: list[str]
    minus: bool


Chunk = BedColumns | RegionTexts | list[Request]


def chunks(args) -> Iterator[Chunk]:
    """Every request in answer order (region file, BED file, command line), in chunks."""
    invert = args.reverse_complement
    if args.region_file:
        with _text_lines(args.region_file) as stream:
            seen = False
            while lines := list(itertools.islice(stream, CHUNK)):
                seen = True
                # As samtools reads them: the line end goes, and nothing else.
                yield RegionTexts([line.removesuffix("\n").removesuffix("\r") for line in lines], invert)
            if not seen:
                raise Failure(f"{args.region_file}: no regions in the file")
    if args.bed:
        yield from _bed_chunks(args.bed, invert)
    for i in range(0, len(args.regions), CHUNK):
        yield RegionTexts(args.regions[i : i + CHUNK], invert)


class _Cutters(dict):
    """Per sequence length, one C call (an itemgetter of slices) that cuts a sequence
    into its lines, with an empty last piece so that joining with line ends ends
    with one too."""

    def __init__(self, width: int):
        super().__init__()
        self.width = width

    def __missing__(self, length: int) -> operator.itemgetter:
        cuts = [slice(i, i + self.width) for i in range(0, length, self.width)]
        self[length] = cutter = operator.itemgetter(*cuts, slice(0, 0))
        return cutter


class Writer:
    """Turns fetched regions into FASTA text on a binary stream, in request order."""

    def __init__(self, out: BinaryIO, width: int, marks: tuple[str, str]):
        self.out = out
        self.marks = marks
        self.pieces: list[str] = []
        self.size = 0
        self.cutters = _Cutters(width)
        self.width = width

    def record(self, header: str, minus: bool, seq: str) -> None:
        self.pieces.append(f">{header}{self.marks[minus]}\n")
        if seq:
            if minus:
                seq = seq.translate(_COMPLEMENT)[::-1]
            self.pieces.append("\n".join(self.cutters[len(seq)](seq)))
            self.size += len(seq)
            if self.size >= FLUSH_BYTES:
                self.flush()

    def records(self, headers: list[str], minus: list[bool], seqs: list[gelvo.Sequence]) -> None:
        """Many records at once, none of them empty, formatted natively from the fetched
        values (whose bases need not become strs first)."""
        self.flush()
        items: list[gelvo.Sequence | str] = list(seqs)
        if any(minus):
            items = [s.seq.translate(_COMPLEMENT)[::-1] if m else s for s, m in zip(seqs, minus)]
        if any(minus) or self.marks[False]:
            headers = list(map("{}{}".format, headers, map(self.marks.__getitem__, minus)))
        for i in range(0, len(items), FLUSH_RECORDS):
            self.out.write(
                gelvo.Sequence._fasta(headers[i : i + FLUSH_RECORDS], items[i : i + FLUSH_RECORDS], self.width)
            )
        self.out.flush()

    def flush(self) -> None:
        if self.pieces:
            self.out.write("".join(self.pieces).encode("utf-8", "surrogateescape"))
            self.pieces.clear()
            self.size = 0
        self.out.flush()


class Fetcher:
    """Resolves requests against one FASTA file and writes the answers."""

    def __init__(self, fasta: gelvo.Fasta, writer: Writer, keep_going: bool, warn):
        self.fasta = fasta
        self.lengths = {name: len(fasta[name]) for name in fasta.keys()}
        self.writer = writer
        self.keep_going = keep_going
        self.warn = warn

    def run(self, chunk: Chunk) -> int:
        """Fetches and writes one chunk; returns its number of requests."""
        if isinstance(chunk, BedColumns):
            begs, ends, minus = chunk.starts, chunk.ends, chunk.minus
            headers = list(map("{}:{}-{}".format, chunk.chroms, map((1).__add__, begs), ends))
            if not self._run_columns(headers, chunk.chroms, begs, ends, minus):
                self._run_requests(
                    [(h, (c, s, e), m) for h, c, s, e, m in zip(headers, chunk.chroms, begs, ends, minus)]
                )
        elif isinstance(chunk, RegionTexts):
            plain = parse_plain(chunk.texts, self.lengths)
            minus = [chunk.minus] * len(chunk.texts)
            if plain is None or not self._run_columns(chunk.texts, *plain, minus):
                self._run_requests([(text, text, chunk.minus) for text in chunk.texts])
        else:
            self._run_requests(chunk)
            return len(chunk)
        return len(minus)

    def _run_columns(
        self, headers: list[str], names: list[str], begs: list[int], ends: list[int], minus: list[bool]
    ) -> bool:
        """Regions (0-based, half-open) that all lie inside known sequences and hold bases,
        written in bulk; False (nothing written) when any needs a message."""
        lengths = list(map(self.lengths.get, names))
        if None in lengths or not (all(map(operator.le, ends, lengths)) and all(map(operator.lt, begs, ends))):
            return False
        fetched = self.fasta.fetch_many(list(zip(names, map((1).__add__, begs), ends)))
        self.writer.records(headers, minus, fetched)
        return True

    def _resolve(self, target) -> tuple[str, int, int, bool]:
        """(name, beg, end, truncated): the 0-based half-open piece a target yields, and
        whether the request ran past the end of the sequence."""
        if isinstance(target, BedProblem):
            raise Failure(f"{target.where}: {target.reason}")
        if type(target) is tuple:
            name, beg, end = target
            length = self.lengths.get(name)
            if length is None:
                raise Failure(f"{name}:{beg + 1}-{end}: sequence {name!r} not found")
        else:
            try:
                name, beg, end = parse_region(target, self.lengths)
            except RegionError as e:
                raise Failure(f"{target}: {str(e) or 'sequence not found'}") from None
            length = self.lengths[name]
        piece = clamp(beg, end, length)
        return name, piece[0], piece[1], end != POS_MAX and end - beg != piece[1] - piece[0]

    def _fail(self, failure: Failure) -> None:
        if not self.keep_going:
            raise failure
        self.warn(f"{failure} (skipped)")

    def _run_requests(self, chunk: list[Request]) -> None:
        """Requests one by one, with their messages; a failure without -c stops the run
        after its header."""
        plan: list[tuple[str | None, bool, Failure | bool, bool]] = []
        wanted = []
        for header, target, minus in chunk:
            try:
                name, beg, end, truncated = self._resolve(target)
            except Failure as failure:
                plan.append((header, minus, failure, False))
                continue
            plan.append((header, minus, end > beg, truncated))
            if end > beg:
                wanted.append((name, beg + 1, end))
        fetched = iter(self.fasta.fetch_many(wanted) if wanted else ())
        record = self.writer.record
        for header, minus, outcome, truncated in plan:
            if outcome is True:
                record(header, minus, next(fetched).seq)
                if truncated:
                    self.warn(f"truncated sequence: {header}")
            elif outcome is False:
                record(header, minus, "")
                self.warn(f"zero length sequence: {header}")
            else:
                if header is not None:  # a malformed BED line has no header to write
                    record(header, minus, "")
                self._fail(outcome)


def run(args, warn, out: BinaryIO) -> int:
    # Hundreds of thousands of small tuples and lists, none in a cycle: the cyclic
    # collector would walk them again and again for nothing (a third of the time).
    gc.disable()
    width = args.length
    if width <= 0:
        warn(f"bad line length {width}, using {DEFAULT_WIDTH}")
        width = DEFAULT_WIDTH
    fasta = gelvo.Fasta(args.fasta, indexname=args.fai_idx, sequence_always_upper=args.upper)
    writer = Writer(out, width, strand_marks(args.mark_strand))
    fetcher = Fetcher(fasta, writer, args.keep_going, warn)
    counts = [count_lines(path) for path in (args.region_file, args.bed) if path]
    total = None if None in counts else sum(counts) + len(args.regions)
    with progress.bar(total, enabled=not args.quiet) as bar:
        try:
            for chunk in chunks(args):
                bar.update(fetcher.run(chunk))
        finally:
            writer.flush()
    return 0
