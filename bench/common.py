"""Helpers shared by the benchmark scripts: finding gelvo, timing, tables."""

from __future__ import annotations

import contextlib
import gc
import glob
import importlib
import os
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
# Where `cmake -S . -B build/bench` puts the module; used when gelvo is not
# importable from the environment. GELVO_BUILD_DIR overrides it.
BUILD_DIR = Path(os.environ.get("GELVO_BUILD_DIR", REPO / "build" / "bench"))


def find_gelvo():
    """The gelvo module, or None after printing why it is unavailable."""
    try:
        return importlib.import_module("gelvo")
    except ImportError:
        pass
    if glob.glob(str(BUILD_DIR / "gelvo*.so")):
        sys.path.insert(0, str(BUILD_DIR))
        try:
            return importlib.import_module("gelvo")
        except ImportError as exc:
            print(f"gelvo: found in {BUILD_DIR} but not importable ({exc}); skipped")
            return None
    print(
        f"gelvo: not installed and no build in {BUILD_DIR}; skipped "
        "(build it: cmake -S . -B build/bench -G Ninja "
        f"-DPython_EXECUTABLE={sys.executable} && cmake --build build/bench)"
    )
    return None


def gelvo_origin(gelvo) -> str:
    """Where the module came from, when it was built, and the repository's
    HEAD now (the build may be older than HEAD)."""
    try:
        head = subprocess.run(
            ["git", "-C", str(REPO), "log", "-1", "--format=%h %s"], capture_output=True, text=True, check=True
        ).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        head = "unknown"
    built = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(os.path.getmtime(gelvo.__file__)))
    return f"{gelvo.__file__}, built {built}; repository HEAD: {head}"


def optional_import(name: str):
    """An installed peer module, or None after printing a skip message."""
    try:
        return importlib.import_module(name)
    except ImportError as exc:
        print(f"{name}: not installed ({exc}); skipped")
        return None


CLOCKS = {
    # Wall time: what a caller waits for.
    "wall": time.perf_counter,
    # CPU time of the whole process, worker threads included (user + system,
    # page faults included). On a machine shared with other busy processes it
    # leaves out the time spent waiting for a CPU, so it is the steadier of
    # the two there; for a parallel batch it is the total work, not latency.
    "cpu": time.process_time,
}


@contextlib.contextmanager
def collector_off():
    """The cyclic collector off while timing, so that one implementation's
    garbage does not land on another's clock."""
    was_enabled = gc.isenabled()
    gc.collect()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()


def time_once(run: Callable[[], object], clock: str = "wall") -> float:
    now = CLOCKS[clock]
    t0 = now()
    run()
    return now() - t0


def best_time(run: Callable[[], object], repeats: int, clock: str = "wall") -> float:
    """Minimum time of `repeats` calls of run(), in seconds."""
    with collector_off():
        return min(time_once(run, clock) for _ in range(repeats))


def load_note() -> str:
    """The load average against the CPU count, to judge how quiet the machine was."""
    try:
        one, five, _ = os.getloadavg()
    except OSError:
        return "load average unknown"
    return f"load average {one:.2f} (1 min), {five:.2f} (5 min) on {os.cpu_count()} CPUs"


def print_table(headers: list[str], rows: list[list[str]], title: str | None = None) -> None:
    """A plain-text table, first column left-aligned, the others right-aligned."""
    widths = [max(len(str(r[i])) for r in [headers, *rows]) for i in range(len(headers))]

    def line(cells):
        return "  ".join(str(c).ljust(w) if i == 0 else str(c).rjust(w) for i, (c, w) in enumerate(zip(cells, widths)))

    if title:
        print(f"\n{title}")
    print(line(headers))
    print("  ".join("-" * w for w in widths))
    for r in rows:
        print(line(r))
    sys.stdout.flush()


def fmt_time(seconds: float | None) -> str:
    if seconds is None:
        return "-"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def fmt_ratio(x: float | None) -> str:
    return "-" if x is None else f"{x:.3g}x"
