"""One progress display for the whole run, on stderr: reads done, reads per
second, elapsed time and, when the input's size is known, a percentage and
the time left. Drawn by tqdm where it is installed, else by a plain line of
our own with the same figures (a wheel installs without dependencies, so an
offline virtual environment may well lack tqdm)."""

from __future__ import annotations

import os
import sys
import time
from typing import Any, Protocol


class Display(Protocol):
    def update(self, reads: int, done: int, size: int | None) -> None: ...
    def close(self) -> None: ...


class Silent:
    def update(self, reads: int, done: int, size: int | None) -> None:
        pass

    def close(self) -> None:
        pass


def estimated_total(reads: int, done: int, size: int | None) -> int | None:
    """The number of reads the whole input holds, estimated from how far
    into the file `reads` reads took us (`done` of `size` bytes as stored)."""
    if size is None or done <= 0 or size <= 0:
        return None
    return max(reads, round(reads * size / min(done, size)))


class WithTqdm:
    def __init__(self, tqdm: Any) -> None:
        self._bar = tqdm(
            unit=" reads",
            unit_scale=True,
            dynamic_ncols=True,
            file=sys.stderr,
            bar_format="{n_fmt}{unit} {percentage:3.0f}%|{bar}| [{elapsed}<{remaining}, {rate_fmt}]",
        )
        self._reads = 0

    def update(self, reads: int, done: int, size: int | None) -> None:
        total = estimated_total(reads, done, size)
        if total is not None:
            self._bar.total = total
        else:
            self._bar.bar_format = "{n_fmt}{unit} [{elapsed}, {rate_fmt}]"
        self._bar.update(reads - self._reads)
        self._reads = reads

    def close(self) -> None:
        if self._bar.total is not None:
            self._bar.total = self._reads
            self._bar.refresh()
        self._bar.close()


def clock(seconds: float) -> str:
    minutes, seconds = divmod(int(seconds), 60)
    hours, minutes = divmod(minutes, 60)
    return f"{hours}:{minutes:02d}:{seconds:02d}" if hours else f"{minutes:02d}:{seconds:02d}"


class Plain:
    """One line redrawn in place, at most a few times a second."""

    def __init__(self) -> None:
        self._started = time.monotonic()
        self._drawn = 0.0
        self._width = 0
        self._last: tuple[int, int, int | None] | None = None

    def update(self, reads: int, done: int, size: int | None, force: bool = False) -> None:
        self._last = reads, done, size
        now = time.monotonic()
        if not force and now - self._drawn < 0.25:
            return
        self._drawn = now
        elapsed = now - self._started
        rate = reads / elapsed if elapsed > 0 else 0.0
        line = f"{reads:,} reads, {rate:,.0f} reads/s, {clock(elapsed)} elapsed"
        total = estimated_total(reads, done, size)
        if total and rate > 0:
            line += f", {100 * reads / total:3.0f}%, {clock((total - reads) / rate)} left"
        self._draw(line)

    def _draw(self, line: str) -> None:
        padding = " " * max(0, self._width - len(line))
        self._width = len(line)
        try:
            os.write(2, f"\r{line}{padding}".encode())
        except OSError:
            pass

    def close(self) -> None:
        """Leaves the final figures on their line, as tqdm does."""
        if self._last is not None:
            self.update(*self._last, force=True)
            try:
                os.write(2, b"\n")
            except OSError:
                pass


def display(quiet: bool) -> Display:
    """The run's display: none when asked for quiet, or when stderr is not a
    terminal (a log file wants the summary, not a thousand redraws)."""
    try:
        interactive = os.isatty(2)
    except OSError:
        interactive = False
    if quiet or not interactive:
        return Silent()
    try:
        from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]
    except ImportError:
        return Plain()
    return WithTqdm(tqdm)
