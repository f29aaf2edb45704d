"""The line that ends a successful run on stderr: how many reads, how each
was answered, and how fast."""

from __future__ import annotations

import time

from .errors import say


class Summary:
    """Times a run from its creation; `say` prints the run's figures."""

    def __init__(self, quiet: bool) -> None:
        self.quiet = quiet
        self._started = time.perf_counter()

    def say(self, reads: int, counts: list[tuple[str, int]]) -> None:
        """`reads: N, NAME: COUNT..., reads/s: R, seconds: S`, unless quiet."""
        seconds = time.perf_counter() - self._started
        if self.quiet:
            return
        rate = reads / seconds if seconds > 0 else 0.0
        named = "".join(f", {name}: {count}" for name, count in counts)
        say(f"reads: {reads}{named}, reads/s: {rate:,.0f}, seconds: {seconds:.3f}")
