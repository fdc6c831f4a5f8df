"""Strand and GC operations of gelvo.Sequence against plain Python and Biopython.

    python bench/bench_sequence.py
    python bench/bench_sequence.py --clock cpu --repeats 9

Inputs are random 1 kb and 1 Mb sequences that look like a soft-masked
reference: about half of the bases in lower-case runs, scattered N runs.
Every operation is timed on the same strings in the same run, best of
several repeats, and each peer's result is compared with gelvo's first (a
mismatch is reported in the table instead of a ratio). "x faster" is the
peer's time over gelvo's; targets apply to the plain Python baselines.
"""

from __future__ import annotations

import argparse
import random
import sys
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from common import (
    CLOCKS,
    best_time,
    find_gelvo,
    fmt_ratio,
    fmt_time,
    gelvo_origin,
    load_note,
    optional_import,
    print_table,
)

SIZES = {"1 kb": 1_000, "1 Mb": 1_000_000}
# Calls per timed pass, so that a pass lasts long enough to time.
CALLS = {"1 kb": 20_000, "1 Mb": 20}

PAIRS = "AT BV CG DH GC HD KM MK RY SS TA VB WW XX YR at bv cg dh gc hd km mk nn ry ss ta vb ww xx yr".split()
COMPLEMENT = {i: "N" for i in range(128)} | {ord(a): b for a, b in PAIRS}


def soft_masked(n: int, rng: random.Random) -> str:
    """Random bases, lower-case runs covering about half, N runs here and there."""
    parts, size = [], 0
    while size < n:
        run = min(rng.randint(50, 2_000), n - size)
        if rng.random() < 0.02:
            parts.append("N" * run)
        else:
            bases = "".join(rng.choices("ACGT", k=run))
            parts.append(bases.lower() if rng.random() < 0.5 else bases)
        size += run
    return "".join(parts)


@dataclass
class Case:
    op: str  # gelvo's operation as written
    gelvo: Callable[[object], object]  # Sequence -> result
    peer: str | None = None  # the peer's expression, for the legend
    peer_fn: Callable[[str], object] | None = None
    same: Callable[[object, object], bool] = lambda a, b: a == b
    target: float | None = None  # required x faster than the peer


def cases(bio_seq, bio_utils) -> list[Case]:
    out = [
        Case(
            "-s", lambda s: (-s).seq, "seq.translate(table)[::-1]", lambda t: t.translate(COMPLEMENT)[::-1], target=3.0
        ),
        Case("s.complement", lambda s: s.complement.seq, "seq.translate(table)", lambda t: t.translate(COMPLEMENT)),
        Case("s.reverse", lambda s: s.reverse.seq, "seq[::-1]", lambda t: t[::-1]),
        Case(
            "s.gc",
            lambda s: s.gc,
            'count("G")+..+count("c") / len',
            lambda t: (t.count("G") + t.count("C") + t.count("g") + t.count("c")) / len(t),
            target=10.0,
        ),
        Case(
            "s.gc_strict",
            lambda s: s.gc_strict,
            "counts of GCgc / counts of ACGTacgt",
            lambda t: sum(map(t.count, "GCgc")) / sum(map(t.count, "ACGTacgt")),
        ),
        Case("s.gc_iupac", lambda s: s.gc_iupac),
    ]
    if bio_seq is not None:
        out.append(Case("-s", lambda s: (-s).seq, "Bio.Seq.reverse_complement(seq)", bio_seq.reverse_complement))
    if bio_utils is not None:
        # Biopython's definitions differ in details (S counts as GC, N weighs
        # 0.5), so these compare work, not results.
        for op, mode in (("s.gc", "ignore"), ("s.gc_strict", "remove"), ("s.gc_iupac", "weighted")):
            out.append(
                Case(
                    op,
                    lambda s, op=op: getattr(s, op[2:]),
                    f'gc_fraction(seq, "{mode}")',
                    lambda t, mode=mode: bio_utils.gc_fraction(t, mode),
                    same=lambda a, b: True,
                )
            )
    return out


def timed(fn: Callable[[object], object], arg: object, calls: int, repeats: int, clock: str) -> float:
    def run():
        for _ in range(calls):
            fn(arg)

    return best_time(run, repeats, clock) / calls


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--clock", choices=sorted(CLOCKS), default="wall")
    args = parser.parse_args()

    gelvo = find_gelvo()
    if gelvo is None:
        sys.exit(1)
    bio = optional_import("Bio.Seq")
    bio_utils = optional_import("Bio.SeqUtils")
    print(f"gelvo: {gelvo_origin(gelvo)}")
    print(f"Python {sys.version.split()[0]}; {load_note()}; clock {args.clock}, best of {args.repeats}")

    rng = random.Random(args.seed)
    texts = {label: soft_masked(n, rng) for label, n in SIZES.items()}
    values = {label: gelvo.Sequence("chr1", text, 1, len(text)) for label, text in texts.items()}

    headers = ["operation", "size", "gelvo", "MB/s", "peer", "peer time", "x faster", "target"]
    rows, missed = [], []
    for case in cases(bio, bio_utils):
        for label, text in texts.items():
            value, calls = values[label], CALLS[label]
            ours = timed(case.gelvo, value, calls, args.repeats, args.clock)
            row = [case.op, label, fmt_time(ours), f"{len(text) / ours / 1e6:,.0f}", case.peer or "-", "-", "-", "-"]
            if case.peer_fn is not None:
                if not case.same(case.gelvo(value), case.peer_fn(text)):
                    row[5:7] = ["results differ", "-"]
                else:
                    theirs = timed(case.peer_fn, text, calls, args.repeats, args.clock)
                    ratio = theirs / ours
                    row[5:7] = [fmt_time(theirs), fmt_ratio(ratio)]
                    if case.target is not None:
                        row[7] = f">= {case.target:g}x"
                        if ratio < case.target:
                            missed.append(f"{case.op} vs {case.peer} at {label}: {ratio:.3g}x")
            rows.append(row)
    print_table(headers, rows, title="Sequence operations, time per call (MB/s of gelvo)")
    if missed:
        print("\nTargets missed: " + "; ".join(missed))


if __name__ == "__main__":
    main()
