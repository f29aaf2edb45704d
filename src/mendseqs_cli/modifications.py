"""A read's own SAM tags carried to the record of one of its molecules.

Trimming moves positions, so the tags that count bases along the read are
rewritten for the trimmed, reoriented record: MM (base modifications),
with ML (their probabilities) and MN (the length they were called on).
Other tags bound to positions (a basecaller's move table) describe the
read as it was. The tags come from the input, untrusted: whatever does
not parse, or does not fit the read, is left out, never a failure.
"""

from __future__ import annotations

import bisect
import itertools
import re
from dataclasses import dataclass

from .records import complement

# The tags `mendseqs tag` writes: a read's own ones of these names are
# replaced, not repeated.
OWN = frozenset(("CB", "CR", "CY", "UB", "UR", "UY", "sg", "sr", "cc"))
# The bases an MM entry may count (N: every base).
_BASES = frozenset("ACGTUN")


@dataclass
class _Entry:
    """One MM entry: its base, strand and codes as written, its calls as
    0-based occurrence numbers of the base in the read, and each call's
    ML values."""

    base: str
    strand: str
    codes: str  # with the mode letter, if any
    calls: list[int]
    values: list[list[int]]


class OwnTags:
    """A read's own tags (SAM text), parsed once for all its molecules: the
    tags this command writes left out, and MM/ML/MN ready to be rewritten
    for any slice of the read (an MM that cannot be trusted, having been
    called on another length or not parsing, is left out rather than
    pointing at the wrong bases)."""

    def __init__(self, own: str, read: str) -> None:
        self.kept: list[str] = []
        mm = ml = mn = None
        for tag in own.split("\t") if own else ():
            name = tag[:2]
            if name in OWN:
                continue
            if name == "MM" or name == "Mm":
                mm = tag
            elif name == "ML" or name == "Ml":
                ml = tag
            elif name == "MN":
                mn = tag
            else:
                self.kept.append(tag)
        self._mm_head = mm[:5] if mm else ""
        self._ml_head = ml[:6] if ml else None
        self._mn = mn is not None
        # Each base's positions in the read, found once per read.
        self._where: dict[str, list[int]] = {}
        self._entries = _parsed(mm, ml, mn, read, self._where) if mm is not None else None

    def for_slice(self, start: int, end: int, reverse: bool) -> list[str]:
        """The tags for the record of the read's slice [start, end),
        reverse-complemented when `reverse`."""
        if self._entries is None:
            return list(self.kept)
        texts: list[str] = []
        probabilities: list[int] = []
        for entry in self._entries:
            where = self._where[entry.base]
            low, high = bisect.bisect_left(where, start), bisect.bisect_left(where, end)
            first, last = bisect.bisect_left(entry.calls, low), bisect.bisect_left(entry.calls, high)
            base, strand = entry.base, entry.strand
            if reverse:
                numbers = [high - 1 - n for n in reversed(entry.calls[first:last])]
                order = range(last - 1, first - 1, -1)
                base, strand = complement(base), "-" if strand == "+" else "+"
            else:
                numbers = [n - low for n in entry.calls[first:last]]
                order = range(first, last)
            deltas = [b - a - 1 for a, b in zip([-1, *numbers], numbers, strict=False)]
            texts.append(f"{base}{strand}{entry.codes}" + "".join(f",{d}" for d in deltas) + ";")
            if entry.values:
                probabilities += [v for i in order for v in entry.values[i]]
        tags = [*self.kept, self._mm_head + "".join(texts)]
        if self._ml_head is not None:
            tags.append(self._ml_head + "".join(f",{v}" for v in probabilities))
        if self._mn:
            tags.append(f"MN:i:{end - start}")
        return tags


def _parsed(mm: str, ml: str | None, mn: str | None, read: str, where: dict[str, list[int]]) -> list[_Entry] | None:
    """MM's entries with their ML values, or None when they cannot be
    trusted. Fills `where` with the positions of each base MM counts."""
    if mn is not None and mn[5:] != str(len(read)):
        return None
    if ml and not ml.startswith(("ML:B:C", "Ml:B:C")):
        return None
    try:
        probabilities = [int(p) for p in ml[7:].split(",") if p] if ml else []
        entries: list[_Entry] = []
        used = 0
        for entry in (e for e in mm[5:].split(";") if e):
            head, *steps = entry.split(",")
            base, strand, codes = head[0], head[1], head[2:]
            plain = codes[:-1] if codes and codes[-1] in ".?" else codes
            per_call = 1 if plain.isdigit() else len(plain)
            gaps = [int(step) for step in steps]
            if base not in _BASES or strand not in "+-" or not per_call or any(gap < 0 for gap in gaps):
                return None
            if base not in where:
                where[base] = list(range(len(read))) if base == "N" else [m.start() for m in re.finditer(base, read)]
            calls = [n - 1 for n in itertools.accumulate(gap + 1 for gap in gaps)]
            if calls and calls[-1] >= len(where[base]):
                return None
            values: list[list[int]] = []
            if ml:
                flat = probabilities[used : used + per_call * len(calls)]
                if len(flat) != per_call * len(calls):
                    return None
                values = [flat[i : i + per_call] for i in range(0, len(flat), per_call)]
                used += len(flat)
            entries.append(_Entry(base, strand, codes, calls, values))
        if ml and used != len(probabilities):
            return None
    except ValueError, IndexError:
        return None
    return entries


def carried(own: str, start: int, end: int, reverse: bool, read: str) -> list[str]:
    """A read's own tags for the record of its slice [start, end) (see
    OwnTags; a read with several molecules parses them once)."""
    if not own:
        return []
    return OwnTags(own, read).for_slice(start, end, reverse)
