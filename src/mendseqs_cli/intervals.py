"""An interval index built once: which spans of a chromosome overlap a
query span.

Spans are kept in fixed bins of 2^14 bases (each span listed in every bin
it touches), so a query looks at the one or two bins its span touches and
at nothing else: a long read's block costs a few dictionary lookups,
whatever the genome's size. Gene-dense regions put a few dozen spans in a
bin; a gene body longer than a bin is listed in each of its bins (a few
hundred entries for the longest human genes), which costs memory once, not
time per read. Measured against the alternatives in docs/count.md.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import Generic, TypeVar

BIN_SHIFT = 14

Payload = TypeVar("Payload")


class IntervalIndex(Generic[Payload]):
    def __init__(self, spans: Iterable[tuple[str, int, int, Payload]]) -> None:
        self._bins: dict[str, dict[int, list[tuple[int, int, Payload]]]] = {}
        for chrom, start, end, payload in spans:
            bins = self._bins.setdefault(chrom, {})
            for b in range(start >> BIN_SHIFT, ((end - 1) >> BIN_SHIFT) + 1):
                bins.setdefault(b, []).append((start, end, payload))

    def chromosomes(self) -> set[str]:
        return set(self._bins)

    def overlapping(self, chrom: str, start: int, end: int) -> list[tuple[int, int, Payload]]:
        """Every span overlapping [start, end), each once."""
        bins = self._bins.get(chrom)
        if bins is None or end <= start:
            return []
        first, last = start >> BIN_SHIFT, (end - 1) >> BIN_SHIFT
        found: list[tuple[int, int, Payload]] = []
        for b in range(first, last + 1):
            for span in bins.get(b, ()):
                s, e = span[0], span[1]
                # A span listed in several bins is reported from the first
                # bin the query and the span share.
                if s < end and e > start and (b == first or s >> BIN_SHIFT == b):
                    found.append(span)
        return found
