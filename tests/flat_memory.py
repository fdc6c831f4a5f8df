"""The method of the leak tests: a warm-up round fills caches, free lists and
the worker pool; three further rounds of equal size follow. A leak grows in
both intervals between them; an allocation left running by another test (a
thread, a cache filling up) shows in at most one of them."""

import gc
import os
import sys


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_after(round_of_calls):
    """Runs the round, collects, and gives (allocated blocks, resident bytes)."""
    round_of_calls()
    gc.collect()
    return sys.getallocatedblocks(), resident_bytes()


def assert_flat(run_round, rounds):
    """run_round(start) runs `rounds` calls numbered from start and returns
    memory_after() of them. Fails when both intervals grow by a tenth of a
    block per call, or by 4 MiB of resident memory."""
    ends = [run_round(i * rounds) for i in range(4)][1:]
    print("blocks, resident KiB:", [(blocks, rss >> 10) for blocks, rss in ends])
    assert min(b[0] - a[0] for a, b in zip(ends, ends[1:])) < rounds // 10
    assert min(b[1] - a[1] for a, b in zip(ends, ends[1:])) < 4 << 20
