"""A progress bar on standard error for long runs, drawn by tqdm."""

from __future__ import annotations

import contextlib
import sys
from collections.abc import Iterator

# Below this many regions a run is over before a bar would tell anything.
THRESHOLD = 5_000


class _Bar:
    """Counts regions; opens a tqdm bar once the run is known to be long enough."""

    def __init__(self, total: int | None, enabled: bool):
        self.total = total
        self.enabled = enabled and sys.stderr.isatty() and (total is None or total > THRESHOLD)
        self.done = 0
        self.bar = None
        if self.enabled and total is not None:
            self._open()

    def _open(self) -> None:
        from tqdm import tqdm  # only a terminal run pays for the import

        self.bar = tqdm(total=self.total, unit=" regions", unit_scale=True, file=sys.stderr, leave=False)
        self.bar.update(self.done)

    def update(self, count: int) -> None:
        self.done += count
        if self.bar is not None:
            self.bar.update(count)
        elif self.enabled and self.done > THRESHOLD:  # standard input: no total known
            self._open()

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


@contextlib.contextmanager
def bar(total: int | None, enabled: bool) -> Iterator[_Bar]:
    """A counter of regions done that shows itself on a terminal (total None: unknown)."""
    counter = _Bar(total, enabled)
    try:
        yield counter
    finally:
        counter.close()
