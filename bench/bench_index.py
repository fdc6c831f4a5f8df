"""Index build time and peak memory: gelvo against `samtools faidx`.

    python bench/bench_index.py                       # 1 GiB wrapped + 256 MiB unwrapped
    python bench/bench_index.py --size 50M --unwrapped-size 20M --repeats 3

Each tool indexes its own full copy of the genome (plain byte copies, no hard
links), in a fresh subprocess per build with no .fai present; the .fai is
deleted between repeats. Wall time is measured around the whole subprocess
(for gelvo that includes starting Python and importing the module; the time
of the constructor alone is shown beside it). Peak memory is the child's
ru_maxrss from wait4(), next to the same tool's peak for a trivial job, so
the difference is what the build itself needed. Both copies are in the page
cache before timing (the copy itself puts them there, and they are read once
more), so the numbers are CPU and memory, not disk.

The unwrapped file holds each record on one line (tens of MB per line for
the chromosomes); comparing its peak memory with the wrapped file's shows
whether a tool's memory grows with line length.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import genome as genome_mod
from common import find_gelvo, fmt_ratio, gelvo_origin, print_table

SAMTOOLS = os.environ.get("SAMTOOLS", shutil.which("samtools") or "/usr/bin/samtools")
GNU_TIME = "/usr/bin/time" if os.access("/usr/bin/time", os.X_OK) else None

GELVO_CHILD = """
import sys, time
import gelvo
if sys.argv[1] != '-':
    t0 = time.perf_counter()
    gelvo.Faidx(sys.argv[1])
    print(time.perf_counter() - t0)
"""


def run_measured(argv: list[str], env: dict[str, str] | None = None) -> tuple[float, int, str]:
    """Run argv to completion: (wall seconds, peak RSS in bytes, stdout).

    Linux carries the RSS high-water mark of the forking process over exec
    into the child's ru_maxrss, so a child forked straight from this (large)
    interpreter would report at least our own RSS. GNU time, itself about
    1 MB, is the launcher instead and reports the child's peak.
    """
    report = Path(os.environ.get("TMPDIR", "/tmp")) / f"gelvo-bench-rss.{os.getpid()}"
    cmd = [GNU_TIME, "-f", "%M", "-o", str(report), *argv] if GNU_TIME else argv
    t0 = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    # wait4 gives this child's own rusage (RUSAGE_CHILDREN would be the
    # maximum over every child so far).
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - t0
    proc.returncode = os.waitstatus_to_exitcode(status)
    out, err = proc.stdout.read().decode(), proc.stderr.read().decode()
    proc.stdout.close()
    proc.stderr.close()
    if proc.returncode != 0:
        sys.exit(f"FAILED ({proc.returncode}): {' '.join(argv)}\n{err}")
    if GNU_TIME:
        rss_kib = int(report.read_text().split()[-1])
        report.unlink()
    else:
        rss_kib = usage.ru_maxrss
    return wall, rss_kib * 1024, out


class Tool:
    def __init__(self, name: str, argv_for, env=None):
        self.name, self.argv_for, self.env = name, argv_for, env

    def build(self, fasta: Path) -> tuple[float, int, float | None]:
        fai = Path(str(fasta) + ".fai")
        fai.unlink(missing_ok=True)
        wall, rss, out = run_measured(self.argv_for(str(fasta)), self.env)
        if not fai.exists():
            sys.exit(f"{self.name} did not write {fai}")
        inner = float(out) if out.strip() else None
        return wall, rss, inner

    def baseline_rss(self, tiny: Path) -> int:
        return run_measured(self.argv_for(str(tiny), baseline=True), self.env)[1]


def make_tools(gelvo) -> list[Tool]:
    tools = []
    if gelvo is not None:
        env = dict(os.environ)
        moddir = str(Path(gelvo.__file__).resolve().parent)
        env["PYTHONPATH"] = os.pathsep.join(p for p in (moddir, env.get("PYTHONPATH")) if p)
        tools.append(
            Tool("gelvo", lambda f, baseline=False: [sys.executable, "-c", GELVO_CHILD, "-" if baseline else f], env)
        )
    if GNU_TIME is None:
        print("GNU time (/usr/bin/time) missing: peak RSS includes this interpreter's own RSS")
    if Path(SAMTOOLS).exists():
        tools.append(Tool("samtools", lambda f, baseline=False: [SAMTOOLS, "faidx", f]))
    else:
        print(f"samtools: not found at {SAMTOOLS}; skipped")
    return tools


def copy_for(tools: list[Tool], src: Path, workdir: Path) -> dict[str, Path]:
    """A private byte copy of src per tool, synced and read once (page cache)."""
    copies = {}
    for t in tools:
        dst = workdir / f"{src.stem}.{t.name}.fa"
        shutil.copyfile(src, dst)  # a real copy: each tool gets its own inode
        copies[t.name] = dst
    os.sync()  # keep write-back of the copies out of the timings
    for dst in copies.values():
        with open(dst, "rb") as f:
            while f.read(1 << 24):
                pass
    return copies


def bench_file(tools: list[Tool], src: Path, label: str, workdir: Path, repeats: int, tiny: Path) -> list[list[str]]:
    copies = copy_for(tools, src, workdir)
    walls: dict[str, list[float]] = {t.name: [] for t in tools}
    inner: dict[str, list[float]] = {t.name: [] for t in tools}
    rss: dict[str, int] = {t.name: 0 for t in tools}
    for i in range(repeats):
        for t in tools if i % 2 == 0 else tools[::-1]:  # alternate who goes first
            w, r, inn = t.build(copies[t.name])
            walls[t.name].append(w)
            rss[t.name] = max(rss[t.name], r)
            if inn is not None:
                inner[t.name].append(inn)
    fais = {name: Path(str(p) + ".fai").read_bytes() for name, p in copies.items()}
    if len(set(fais.values())) > 1:
        for name, data in fais.items():
            first = data.split(b"\n")[0]
            print(f"  {name}: {len(data)} bytes, first line {first!r}")
        sys.exit(f"MISMATCH: the tools wrote different .fai files for {label}")
    nrec = next(iter(fais.values())).count(b"\n") if fais else 0
    print(f"{label}: {len(tools)} tools wrote identical .fai files ({nrec} records)", flush=True)
    size = src.stat().st_size
    rows = []
    for t in tools:
        best = min(walls[t.name])
        rows.append(
            [
                label,
                t.name,
                f"{best:.3f}",
                f"{statistics.median(walls[t.name]):.3f}",
                f"{min(inner[t.name]):.3f}" if inner[t.name] else "-",
                f"{size / best / 1e6:,.0f}",
                f"{rss[t.name] / 2**20:.1f}",
                f"{t.baseline_rss(tiny) / 2**20:.1f}",
            ]
        )
    for dst in copies.values():
        dst.unlink()
        Path(str(dst) + ".fai").unlink(missing_ok=True)
    return rows


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size", help="wrapped genome size (default $GELVO_BENCH_GENOME_SIZE or 1G)")
    ap.add_argument("--unwrapped-size", default="256M", help="unwrapped genome size (default 256M; 0 to skip)")
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--repeats", type=int, default=5, help="builds per tool and file (default 5)")
    args = ap.parse_args()

    gelvo = find_gelvo()
    if gelvo is not None:
        print(f"gelvo: {gelvo_origin(gelvo)}")
    tools = make_tools(gelvo)
    if not tools:
        sys.exit("nothing to measure")
    if GNU_TIME is None:
        print("GNU time (/usr/bin/time) missing: peak RSS includes this interpreter's own RSS")
    if Path(SAMTOOLS).exists():
        version = subprocess.run([SAMTOOLS, "--version"], capture_output=True).stdout
        print(f"samtools: {SAMTOOLS} ({version.decode(errors='replace').splitlines()[0]})")

    files = [(genome_mod.ensure(genome_mod.parse_size(args.size) if args.size else None, args.seed), "wrapped")]
    if args.unwrapped_size not in ("0", ""):
        files.append((genome_mod.ensure(genome_mod.parse_size(args.unwrapped_size), args.seed, width=0), "unwrapped"))

    workdir = genome_mod.DATA_DIR / "index-bench.tmp"
    shutil.rmtree(workdir, ignore_errors=True)
    workdir.mkdir(parents=True)
    tiny = workdir / "tiny.fa"
    tiny.write_text(">t\nACGT\n")
    rows = []
    try:
        for g, shape in files:
            longest = max(r.length for r in g.records)
            line = longest if shape == "unwrapped" else g.width
            label = f"{g.path.stat().st_size / 1e6:,.0f} MB {shape} (longest line {line:,} B)"
            print(f"building {label} x {args.repeats} per tool ...", file=sys.stderr, flush=True)
            rows += bench_file(tools, g.path, label, workdir, args.repeats, tiny)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)

    print_table(
        ["file", "tool", "best s", "median s", "ctor s", "MB/s", "peak RSS MiB", "idle RSS MiB"],
        rows,
        "Index build (wall time of the whole subprocess; ctor = gelvo.Faidx() alone, in-process)",
    )

    target_rows = []
    for label in dict.fromkeys(r[0] for r in rows):
        t = {r[1]: float(r[2]) for r in rows if r[0] == label}
        if "gelvo" in t and "samtools" in t:
            x = t["gelvo"] / t["samtools"]
            target_rows.append(
                [label, "gelvo / samtools time", fmt_ratio(x), "<= 0.5x", "MET" if x <= 0.5 else "MISSED"]
            )
    if target_rows:
        print_table(["file", "ratio", "measured", "target", "verdict"], target_rows, "Targets")


if __name__ == "__main__":
    main()
