"""Many small records: index build, open, keys and whole-record fetches.

    python bench/bench_records.py                      # 2,000,000 contigs, about 556 MB
    python bench/bench_records.py --records 200000 --repeats 1   # quick iteration

The file is a draft assembly of --records contigs of 100-400 bp in 60-column
lines, each header with a description after the name; it is generated once
(seeded) into bench/data/ and reused. Every measurement runs in a fresh child
process, so one tool's memory and caches do not land on another's numbers:

- build: the index of each tool written from nothing (.fai / .fxi removed
  first): gelvo's Faidx, `samtools faidx`, pysam.faidx and pyfastx's Fasta.
  Time of the call inside the child; gelvo's .fai must equal samtools'.
- open: the constructor on an up-to-date index, and the resident memory it
  added (VmRSS after minus before).
- keys: the names list (Faidx.keys, Fasta.keys(), pysam's references,
  list(pyfastx.Fasta.keys())), called three times: the first call, and the
  best of the two after it.
- fetch: the same 200,000 randomly chosen records fetched whole; the digest
  of the results must agree between the tools.

Each child runs --repeats times; the best of each number counts. The ratio
columns are gelvo's number over the peer's.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from common import fmt_ratio, fmt_time, load_note, print_table

DATA = Path(__file__).resolve().parent / "data"
SAMTOOLS = os.environ.get("SAMTOOLS", shutil.which("samtools") or "/usr/bin/samtools")
ALPHABET = b"ACGT"


def generate(path: Path, records: int, seed: int) -> None:
    rng = random.Random(seed)
    pool = bytes(rng.choice(ALPHABET) for _ in range(1 << 16))
    tmp = path.with_suffix(".tmp")
    with open(tmp, "wb", buffering=1 << 22) as out:
        for i in range(records):
            length = rng.randint(100, 400)
            at = rng.randrange(len(pool) - length)
            seq = pool[at : at + length]
            lines = b"\n".join(seq[k : k + 60] for k in range(0, length, 60))
            out.write(b">contig_%d len=%d cov=%.1f draft assembly\n%s\n" % (i, length, rng.random() * 90, lines))
    os.replace(tmp, path)


def sample_names(records: int, count: int, seed: int) -> list[str]:
    rng = random.Random(seed + 1)
    return [f"contig_{rng.randrange(records)}" for _ in range(count)]


# ---------------------------------------------------------------- children

# The import comes before the clock starts.
BUILDERS = {
    "gelvo": ("import gelvo", "gelvo.Faidx(PATH)"),
    "pysam": ("import pysam", "pysam.faidx(PATH)"),
    "pyfastx": ("import pyfastx", "pyfastx.Fasta(PATH, build_index=True)"),
}


def rss() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def child(tool: str, path: str, records: int, fetches: int, seed: int) -> dict:
    """Open, keys and fetches of one tool; runs inside the child process."""
    import gc
    import hashlib

    names = sample_names(records, fetches, seed)
    gc.collect()
    gc.disable()
    out: dict = {}
    before = rss()
    t0 = time.perf_counter()
    if tool == "gelvo":
        import gelvo

        fa = gelvo.Faidx(path)
        out["open"] = time.perf_counter() - t0
        out["rss"] = rss() - before
        keys = lambda: fa.keys  # noqa: E731
        fetch = lambda name: fa.fetch_entire_sequence(name).seq  # noqa: E731
    elif tool == "gelvo Fasta":
        import gelvo

        fa = gelvo.Fasta(path)
        out["open"] = time.perf_counter() - t0
        out["rss"] = rss() - before
        keys = fa.keys
        fetch = lambda name: fa[name][:].seq  # noqa: E731
    elif tool == "pysam":
        import pysam

        fa = pysam.FastaFile(path)
        out["open"] = time.perf_counter() - t0
        out["rss"] = rss() - before
        keys = lambda: fa.references  # noqa: E731
        fetch = fa.fetch
    else:
        import pyfastx

        fa = pyfastx.Fasta(path)
        out["open"] = time.perf_counter() - t0
        out["rss"] = rss() - before
        keys = lambda: list(fa.keys())  # noqa: E731
        fetch = lambda name: fa[name].seq  # noqa: E731
    timings = []
    kept = []  # freeing a list of millions of strs would be timed with the next call
    for _ in range(3):
        t0 = time.perf_counter()
        kept.append(keys())
        timings.append(time.perf_counter() - t0)
    listed = kept[-1]
    # The first call makes the names' strs where a tool keeps them; the later
    # calls show what every call after it costs.
    out["keys first"] = timings[0]
    out["keys"] = min(timings[1:])
    out["key_count"] = len(listed)
    t0 = time.perf_counter()
    seqs = [fetch(name) for name in names]
    out["fetch"] = time.perf_counter() - t0
    out["digest"] = hashlib.sha256("\n".join(seqs).encode()).hexdigest()
    return out


def run_child(args: list[str]) -> str:
    proc = subprocess.run([sys.executable, *args], capture_output=True, text=True)
    if proc.returncode != 0:
        sys.exit(f"FAILED: {' '.join(args)}\n{proc.stderr}")
    return proc.stdout


def build_once(tool: str, path: Path) -> float:
    for suffix in (".fai", ".fxi"):
        Path(str(path) + suffix).unlink(missing_ok=True)
    if tool == "samtools":
        t0 = time.perf_counter()
        subprocess.run([SAMTOOLS, "faidx", str(path)], check=True)
        return time.perf_counter() - t0
    setup, call = BUILDERS[tool]
    code = f"import time; {setup}; PATH={str(path)!r}; t0=time.perf_counter(); {call}; print(time.perf_counter()-t0)"
    return float(run_child(["-c", code]))


def available(module: str) -> bool:
    proc = subprocess.run([sys.executable, "-c", f"import {module}"], capture_output=True)
    if proc.returncode != 0:
        print(f"{module}: not importable; skipped")
    return proc.returncode == 0


# ---------------------------------------------------------------- main


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--records", type=int, default=2_000_000)
    parser.add_argument("--fetches", type=int, default=200_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--seed", type=int, default=17)
    parser.add_argument("--child", nargs=2, metavar=("TOOL", "PATH"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(child(args.child[0], args.child[1], args.records, args.fetches, args.seed)))
        return

    DATA.mkdir(exist_ok=True)
    path = DATA / f"records-{args.records}-{args.seed}.fa"
    if not path.exists():
        t0 = time.perf_counter()
        generate(path, args.records, args.seed)
        print(f"generated {path} in {time.perf_counter() - t0:.1f} s")
    print(f"{path}: {path.stat().st_size / 1e6:.0f} MB, {args.records:,} records; {load_note()}")
    # Into the page cache before anything is timed.
    with open(path, "rb") as f:
        while f.read(1 << 24):
            pass

    tools = [t for t in ("gelvo", "pysam", "pyfastx") if available(t)]
    builders = [*tools[:1], "samtools", *tools[1:]] if "gelvo" in tools else ["samtools", *tools]
    build = {t: min(build_once(t, path) for _ in range(args.repeats)) for t in builders}
    # The last build of the loop above is every tool's; the .fai compared and
    # then used for opening is gelvo's, written last.
    if "gelvo" in tools:
        build_once("samtools", path)
        expected = Path(str(path) + ".fai").read_bytes()
        build_once("gelvo", path)
        if Path(str(path) + ".fai").read_bytes() != expected:
            sys.exit("gelvo's .fai differs from samtools'")
    if "pyfastx" in tools:
        code = f"import pyfastx; pyfastx.Fasta({str(path)!r}, build_index=True)"
        if not Path(str(path) + ".fxi").exists():
            run_child(["-c", code])

    rows_tools = ([*tools[:1], "gelvo Fasta", *tools[1:]]) if "gelvo" in tools else tools
    results: dict[str, dict] = {}
    for tool in rows_tools:
        runs = []
        for _ in range(args.repeats):
            argv = [__file__, "--records", str(args.records), "--fetches", str(args.fetches)]
            argv += ["--seed", str(args.seed), "--child", tool, str(path)]
            runs.append(json.loads(run_child(argv)))
        merged = {k: min(r[k] for r in runs) for k in ("open", "rss", "keys first", "keys", "fetch")}
        merged["digest"] = runs[0]["digest"]
        merged["key_count"] = runs[0]["key_count"]
        results[tool] = merged
    digests = {r["digest"] for r in results.values()}
    if len(digests) != 1:
        sys.exit("fetched sequences differ: " + ", ".join(f"{t} {r['digest'][:12]}" for t, r in results.items()))
    if {r["key_count"] for r in results.values()} != {args.records}:
        sys.exit("key counts differ: " + ", ".join(f"{t} {r['key_count']}" for t, r in results.items()))

    ref = "gelvo" if "gelvo" in tools else None

    def ratio(a: float | None, b: float | None) -> str:
        return fmt_ratio(a / b) if a is not None and b else "-"

    rows = [[t, fmt_time(build[t]), ratio(build.get(ref), build[t]) if t != ref else ""] for t in builders]
    print_table(["build", "time", "gelvo/x"], rows, title=f"Index build (best of {args.repeats})")

    rows = []
    for t, r in results.items():
        mine = results.get(ref or "", {})
        rows.append(
            [
                t,
                fmt_time(r["open"]),
                ratio(mine.get("open"), r["open"]) if t != ref else "",
                f"{r['rss'] / 2**20:.0f}",
                f"{r['rss'] / args.records:.0f}",
                fmt_time(r["keys first"]),
                fmt_time(r["keys"]),
                ratio(mine.get("keys"), r["keys"]) if t != ref else "",
                fmt_time(r["fetch"]),
                ratio(mine.get("fetch"), r["fetch"]) if t != ref else "",
            ]
        )
    fetch_col = f"{args.fetches:,} fetches"
    headers = ["tool", "open", "gelvo/x", "+RSS MiB", "B/record", "keys, first", "keys, later", "gelvo/x"]
    headers += [fetch_col, "gelvo/x"]
    print_table(headers, rows, title=f"Open, keys, whole-record fetches (best of {args.repeats})")
    if ref and "samtools" in build:
        print(f"\ntarget: build at most 1/3 of samtools faidx: {build[ref] / build['samtools']:.3f}x")
    print(load_note())


if __name__ == "__main__":
    main()
