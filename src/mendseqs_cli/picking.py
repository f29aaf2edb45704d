"""`--pick nearest`: which reads are corrected when every acceptable
reference is measured, and what each read's row or header says about it.

A read is corrected to its nearest reference only when that reference is
the only one at the smallest distance and every other acceptable reference
is at least `margin` farther (none at all counts as infinitely far).
Otherwise it is left uncorrected, as ambiguous; a read with no acceptable
reference is unmatched."""

from __future__ import annotations

import argparse
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from mendseqs import Nearest

PICKS = ("first", "nearest")


def margin(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a whole number") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, not {text}")
    return value


def kept(found: Nearest, at_least: int) -> bool:
    """Whether a read with this `mendseqs.Nearest` is corrected."""
    if found.ties != 1 or found.distance is None:  # a tie, or nothing close enough
        return False
    return found.runner_up is None or found.runner_up - found.distance >= at_least


@dataclass
class Picked:
    corrected: list[str]
    # Per read, what is appended to its TSV row or its FASTA/FASTQ header.
    notes: list[str]
    unique: int
    ambiguous: int
    unmatched: int


def _cell(value: int | None) -> str:
    return "" if value is None else str(value)


def pick(results: Sequence[Nearest], at_least: int, output_format: str) -> Picked:
    corrected = []
    notes = []
    unique = unmatched = 0
    tsv = output_format == "tsv"
    for found in results:
        if kept(found, at_least):
            corrected.append(found.reference)
            unique += 1
        else:
            corrected.append("")
            unmatched += found.ties == 0
        distance, runner_up = _cell(found.distance), _cell(found.runner_up)
        notes.append(
            f"\t{distance}\t{runner_up}\t{found.ties}"
            if tsv
            else f" distance={distance} runner_up={runner_up} ties={found.ties}"
        )
    return Picked(corrected, notes, unique, len(results) - unique - unmatched, unmatched)
