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

from .records import complement

# The tags `mendseqs tag` writes: a read's own ones of these names are
# replaced, not repeated.
OWN = frozenset(("CB", "CR", "CY", "UB", "UR", "UY", "sg", "sr", "cc"))
# The bases an MM entry may count (N: every base).
_BASES = frozenset("ACGTUN")


def carried(own: str, start: int, end: int, reverse: bool, read: str) -> list[str]:
    """A read's own tags (SAM text) for the record of its slice
    [start, end), reverse-complemented when `reverse`: the tags this command
    writes left out, MM/ML/MN rewritten for the slice."""
    if not own:
        return []
    kept: list[str] = []
    mm = ml = mn = None
    for tag in own.split("\t"):
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
            kept.append(tag)
    if mm is not None:
        moved = _modifications(mm, ml, mn, start, end, reverse, read)
        if moved is not None:
            kept += moved
    return kept


def _modifications(
    mm: str, ml: str | None, mn: str | None, start: int, end: int, reverse: bool, read: str
) -> list[str] | None:
    """MM and ML for the slice, or None when they cannot be trusted (they
    were called on another length, or do not parse): left out rather than
    pointing at the wrong bases."""
    if mn is not None and mn[5:] != str(len(read)):
        return None
    try:
        probabilities = [int(p) for p in ml[7:].split(",") if p] if ml else []
        if ml and not ml.startswith(("ML:B:C", "Ml:B:C")):
            return None
        entries = [e for e in mm[5:].split(";") if e]
        out_entries: list[tuple[int, str]] = []  # (first call's position, text) to keep MM's order
        out_probabilities: list[list[int]] = []
        used = 0
        for entry in entries:
            head, *steps = entry.split(",")
            base, strand, codes = head[0], head[1], head[2:]
            mode = ""
            if codes and codes[-1] in ".?":
                codes, mode = codes[:-1], codes[-1]
            per_call = len(codes) if not codes.isdigit() else 1
            if base not in _BASES or strand not in "+-":
                return None
            if base == "N":
                where = list(range(len(read)))
            else:
                where = [m.start() for m in re.finditer(base, read)]
            calls = list(itertools.accumulate(int(step) + 1 for step in steps))  # 1-based occurrence numbers
            if calls and calls[-1] > len(where):
                return None
            values = probabilities[used : used + per_call * len(calls)] if ml else []
            if ml and len(values) != per_call * len(calls):
                return None
            used += per_call * len(calls)
            low, high = bisect.bisect_left(where, start), bisect.bisect_left(where, end)
            kept = [(n - 1, i) for i, n in enumerate(calls) if low <= n - 1 < high]
            if reverse:
                numbers = [high - 1 - n for n, _ in reversed(kept)]
                order = [i for _, i in reversed(kept)]
                base = complement(base)
                strand = "-" if strand == "+" else "+"
            else:
                numbers = [n - low for n, _ in kept]
                order = [i for _, i in kept]
            deltas = [b - a - 1 for a, b in zip([-1, *numbers], numbers, strict=False)]
            out_entries.append((0, f"{base}{strand}{codes}{mode}" + "".join(f",{d}" for d in deltas) + ";"))
            out_probabilities.append([v for i in order for v in values[per_call * i : per_call * (i + 1)]])
        if ml and used != len(probabilities):
            return None
    except ValueError, IndexError:
        return None
    tags = [mm[:5] + "".join(text for _, text in out_entries)]
    if ml:
        flat = [str(v) for values in out_probabilities for v in values]
        tags.append(ml[:6] + "".join("," + v for v in flat))
    if mn is not None:
        tags.append(f"MN:i:{end - start}")
    return tags
