"""`gelvo fetch`: regions of a FASTA file written as FASTA, as `samtools faidx` writes them.

Requests come from the region file (-r), then the BED file (-b), then the
command line, and are answered in that order. They are resolved and fetched in
chunks through `Fasta.fetch_many`, which runs on worker threads from 1000
regions on, and written as they are done, so output starts early and memory
stays bounded whatever the number of regions.
"""

from __future__ import annotations

import contextlib
import io
import itertools
import sys
from collections.abc import Iterator
from typing import BinaryIO, NamedTuple

import gelvo

from . import progress
from .bed import BedProblem, BedRegion, read_bed
from .regions import POS_MAX, RegionError, Span, clamp, parse_region

# Regions per fetch_many call: far above the parallel threshold, small enough
# that output starts soon and a chunk's results stay a few tens of MB.
CHUNK = 16_384
# Output goes out in pieces of about this size, so that a closed pipe is seen early.
FLUSH_BYTES = 1 << 20
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


class Request(NamedTuple):
    header: str  # the header text without its strand mark
    target: str | BedRegion | BedProblem  # a samtools region, a BED interval, or a bad BED line
    minus: bool


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


def count_lines(path: str | None) -> int | None:
    """The number of lines of a file, None for standard input (it cannot be read twice)."""
    if path is None or path == "-":
        return None
    with open(path, "rb") as f:
        count = ends_without_newline = 0
        while block := f.read(1 << 20):
            count += block.count(b"\n")
            ends_without_newline = not block.endswith(b"\n")
    return count + ends_without_newline


def requests(args) -> Iterator[Request]:
    """Every request in answer order: region file, BED file, then command line."""
    invert = args.reverse_complement
    if args.region_file:
        with _text_lines(args.region_file) as lines:
            seen = False
            for line in lines:
                seen = True
                # As samtools reads them: the line end goes, and nothing else.
                text = line.removesuffix("\n").removesuffix("\r")
                yield Request(text, text, invert)
            if not seen:
                raise Failure(f"{args.region_file}: no regions in the file")
    if args.bed:
        with _text_lines(args.bed) as lines:
            name = "standard input" if args.bed == "-" else args.bed
            for item in read_bed(lines, name):
                if isinstance(item, BedProblem):
                    yield Request("", item, False)
                else:
                    header = f"{item.chrom}:{item.start + 1}-{item.end}"
                    yield Request(header, item, item.minus != invert)
    for text in args.regions:
        yield Request(text, text, invert)


class Writer:
    """Turns fetched regions into FASTA text on a binary stream, in request order."""

    def __init__(self, out: BinaryIO, width: int, marks: tuple[str, str]):
        self.out = out
        self.width = width
        self.marks = marks
        self.pieces: list[str] = []
        self.size = 0

    def record(self, header: str, minus: bool, seq: str) -> None:
        self.pieces.append(f">{header}{self.marks[minus]}\n")
        if seq:
            if minus:
                seq = seq.translate(_COMPLEMENT)[::-1]
            width = self.width
            if len(seq) <= width:
                self.pieces.append(seq + "\n")
            else:
                self.pieces.append("\n".join([seq[i : i + width] for i in range(0, len(seq), width)]) + "\n")
            self.size += len(seq)
        if self.size >= FLUSH_BYTES:
            self.flush()

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
        self.failed = False

    def _span(self, request: Request) -> Span:
        target = request.target
        if isinstance(target, BedProblem):
            raise Failure(f"{target.where}: {target.reason}")
        if isinstance(target, BedRegion):
            if target.chrom not in self.lengths:
                raise Failure(f"{request.header}: sequence {target.chrom!r} not found")
            return Span(target.chrom, target.start, target.end)
        try:
            return parse_region(target, self.lengths)
        except RegionError as e:
            raise Failure(f"{target}: {str(e) or 'sequence not found'}") from None

    def _fail(self, failure: Failure) -> None:
        if not self.keep_going:
            raise failure
        self.failed = True
        self.warn(f"{failure} (skipped)")

    def run(self, chunk: list[Request]) -> None:
        """Fetches and writes one chunk; a failure without -c stops after its header."""
        spans: list[tuple[Request, Span | Failure, int, int]] = []
        wanted = []
        for request in chunk:
            try:
                span = self._span(request)
            except Failure as failure:
                spans.append((request, failure, 0, 0))
                continue
            beg, end = clamp(span, self.lengths[span.name])
            spans.append((request, span, beg, end))
            if end > beg:
                wanted.append((span.name, beg + 1, end))
        fetched = iter(self.fasta.fetch_many(wanted)) if wanted else iter(())
        for request, span, beg, end in spans:
            if isinstance(span, Failure):
                if isinstance(request.target, BedProblem):
                    self._fail(span)  # a malformed line has no header to write
                    continue
                self.writer.record(request.header, request.minus, "")
                self._fail(span)
                continue
            seq = next(fetched).seq if end > beg else ""
            self.writer.record(request.header, request.minus, seq)
            if not seq:
                self.warn(f"zero length sequence: {request.header}")
            elif span.end != POS_MAX and span.end - span.beg != end - beg:
                self.warn(f"truncated sequence: {request.header}")


def _batches(items: Iterator[Request], size: int) -> Iterator[list[Request]]:
    while chunk := list(itertools.islice(items, size)):
        yield chunk


def run(args, warn, out: BinaryIO) -> int:
    width = args.length
    if width <= 0:
        warn(f"bad line length {width}, using {DEFAULT_WIDTH}")
        width = DEFAULT_WIDTH
    marks = strand_marks(args.mark_strand)
    fasta = gelvo.Fasta(args.fasta, indexname=args.fai_idx, sequence_always_upper=args.upper)
    writer = Writer(out, width, marks)
    fetcher = Fetcher(fasta, writer, args.keep_going, warn)
    sources = [path for path in (args.region_file, args.bed) if path]
    counts = [count_lines(path) for path in sources]
    total = None if None in counts else sum(counts) + len(args.regions)
    with progress.bar(total, enabled=not args.quiet) as bar:
        try:
            for chunk in _batches(requests(args), CHUNK):
                fetcher.run(chunk)
                bar.update(len(chunk))
        finally:
            writer.flush()
    return 0
