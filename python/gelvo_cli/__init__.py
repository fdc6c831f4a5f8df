"""The `gelvo` command: index FASTA files, fetch regions as samtools does, count bases.

gelvo index genome.fa
gelvo fetch genome.fa chr1:1,000-2,000 -i
gelvo fetch genome.fa -b regions.bed -o regions.fa
gelvo stats genome.fa --format json
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence

__all__ = ["main"]

# What a process killed by SIGPIPE or SIGINT reports to its shell.
EXIT_BROKEN_PIPE = 128 + 13
EXIT_INTERRUPTED = 128 + 2


class _Formatter(argparse.ArgumentDefaultsHelpFormatter):
    """Shows the default of every option that has one to show; a flag is off and an
    absent file is said in the help text itself."""

    def _get_help_string(self, action: argparse.Action) -> str | None:
        if action.default in (None, False) or "default" in (action.help or ""):
            return action.help
        return super()._get_help_string(action)


class _TopFormatter(_Formatter, argparse.RawDescriptionHelpFormatter):
    pass


def _mark_strand(text: str) -> str:
    from .fetch import strand_marks

    try:
        strand_marks(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None
    return text


def _parser() -> tuple[argparse.ArgumentParser, dict[str, argparse.ArgumentParser]]:
    """The command's parser and those of its subcommands, by name."""
    parser = argparse.ArgumentParser(prog="gelvo", description=__doc__, formatter_class=_TopFormatter)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    index = commands.add_parser(
        "index",
        help="build the .fai index of FASTA files that lack one or whose index is stale",
        description="Builds the .fai index of each FASTA file when it is missing or older than the "
        "file (the rules of opening it from Python). Says nothing on success.",
        formatter_class=_Formatter,
    )
    index.add_argument("fasta", nargs="+", metavar="FASTA", help="FASTA files to index")
    index.add_argument("--fai-idx", metavar="FILE", help="index path, for a single FASTA (default: FASTA.fai)")

    fetch = commands.add_parser(
        "fetch",
        help="write regions as FASTA, as `samtools faidx` does",
        description="Writes the regions as FASTA in request order: those of the region file, then those "
        "of the BED file, then those on the command line. Standard output is that of `samtools faidx` "
        "for the same regions and options.",
        epilog="REGION is name, name:beg, name:beg-, name:-end or name:beg-end (1-based, inclusive; "
        "1,000 is 1000); {name}:beg-end for names that hold ':'.",
        formatter_class=_Formatter,
    )
    fetch.add_argument("fasta", metavar="FASTA", help="the FASTA file (indexed when needed)")
    fetch.add_argument("regions", nargs="*", metavar="REGION", help="regions in samtools syntax (default: none)")
    fetch.add_argument(
        "-r",
        "--region-file",
        metavar="FILE",
        help="file of regions, one per line ('-': standard input; default: none)",
    )
    fetch.add_argument(
        "-b",
        "--bed",
        metavar="FILE",
        help="BED file of regions (0-based, half-open; '-': standard input; default: none); "
        "strand '-' reverse-complements",
    )
    fetch.add_argument(
        "-i", "--reverse-complement", action="store_true", help="reverse complement the regions (BED: flip the strand)"
    )
    fetch.add_argument(
        "--mark-strand",
        default="rc",
        type=_mark_strand,
        metavar="TYPE",
        help="header suffix: rc (/rc on the reverse strand), no, sign ((+) or (-)), custom,PLUS,MINUS",
    )
    fetch.add_argument("-n", "--length", type=int, default=60, metavar="N", help="bases per line")
    fetch.add_argument("-o", "--output", metavar="FILE", help="write to FILE (default: standard output)")
    fetch.add_argument(
        "-c", "--continue", dest="keep_going", action="store_true", help="go on after a region that cannot be fetched"
    )
    fetch.add_argument("--upper", action="store_true", help="upper-case the bases (soft-masked ones included)")
    fetch.add_argument("-q", "--quiet", action="store_true", help="no progress bar, even on a terminal")
    fetch.add_argument("--fai-idx", metavar="FILE", help="index path (default: FASTA.fai)")

    stats = commands.add_parser(
        "stats",
        help="length and base composition of every sequence",
        description="One row per sequence and a total row named '*': length, A, C, G, T, N, other residues, "
        "GC fraction (of A, C, G and T) and the fraction of lower-case (soft-masked) residues. "
        "Upper and lower case count alike.",
        formatter_class=_Formatter,
    )
    stats.add_argument("fasta", metavar="FASTA", help="the FASTA file (indexed when needed)")
    stats.add_argument("--format", choices=["tsv", "json"], default="tsv", help="output format")
    stats.add_argument("--fai-idx", metavar="FILE", help="index path (default: FASTA.fai)")
    return parser, {"index": index, "fetch": fetch, "stats": stats}


def _warn(message: str) -> None:
    print(f"gelvo: warning: {message}", file=sys.stderr, flush=True)


def _run(args: argparse.Namespace) -> int:
    import gelvo

    if args.command == "index":
        if args.fai_idx and len(args.fasta) > 1:
            raise _UsageError("--fai-idx takes a single FASTA file")
        for path in args.fasta:
            gelvo.Faidx(path, indexname=args.fai_idx)
        return 0
    if args.command == "stats":
        from . import stats

        rows, total = stats.table(args.fasta, args.fai_idx)
        stats.write(sys.stdout, rows, total, args.format)
        sys.stdout.flush()
        return 0
    from . import fetch

    if args.output:
        with open(args.output, "wb") as out:
            return fetch.run(args, _warn, out)
    return fetch.run(args, _warn, sys.stdout.buffer)


class _UsageError(Exception):
    pass


def _error(message: str) -> int:
    print(f"gelvo: error: {message}", file=sys.stderr, flush=True)
    return 1


def _silence_stdout() -> None:
    """After a closed pipe: the interpreter's last flush of stdout must not fail again."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def _parse(argv: list[str]) -> tuple[argparse.ArgumentParser, argparse.Namespace]:
    """Options may come between and after the regions, as samtools takes them; argparse
    mixes them in only without subcommands, so the subcommand's parser reads its own."""
    parser, commands = _parser()
    if argv and argv[0] in commands:
        sub = commands[argv[0]]
        args = sub.parse_intermixed_args(argv[1:])
        args.command = argv[0]
        return sub, args
    return parser, parser.parse_args(argv)


def main(argv: Sequence[str] | None = None) -> int:
    parser, args = _parse(list(sys.argv[1:] if argv is None else argv))
    from .fetch import Failure

    try:
        return _run(args)
    except _UsageError as e:
        parser.error(str(e))
    except BrokenPipeError:
        _silence_stdout()
        return EXIT_BROKEN_PIPE
    except KeyboardInterrupt:
        print("gelvo: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except Failure as e:
        return _error(str(e))
    except OSError as e:
        where = f"{e.filename}: " if e.filename else ""
        return _error(f"{where}{e.strerror or e}")
    except Exception as e:  # the engine's errors are plain Exceptions with a kind prefix
        return _error(str(e))
