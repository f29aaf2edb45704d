"""What a `mendseqs tag` run counts, and how it reports the counts: the
summary (`--summary`, JSON) and the line that ends the run on stderr."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

from .errors import say

STATUSES = ("assigned", "ambiguous", "no_match", "no_flank", "both_strands")


@dataclass
class Totals:
    reads: int = 0
    molecules: int = 0
    chimeras: int = 0
    both_strand_reads: int = 0
    # With a cell list: reads with a molecule in a cell, and those molecules.
    reads_in_cells: int = 0
    molecules_in_cells: int = 0
    status: dict[str, int] = field(default_factory=lambda: dict.fromkeys(STATUSES, 0))
    flank_edits: dict[int, int] = field(default_factory=dict)

    def median_flank_edits(self) -> float | None:
        total = sum(self.flank_edits.values())
        if not total:
            return None
        ordered = sorted(self.flank_edits.items())

        def at(rank: int) -> int:
            for edits, count in ordered:
                rank -= count
                if rank < 0:
                    return edits
            return ordered[-1][0]

        return (at((total - 1) // 2) + at(total // 2)) / 2


def summary(totals: Totals, seconds: float, tagging: float, plan: Any = None) -> dict[str, object]:
    """The run's figures: `seconds` the whole run's, `tagging` the time the
    reads took, from the first read to the last tagged read written
    (without the whitelist's loading, the cells' files or the plot): the
    rate is the reads' over that time."""
    out: dict[str, object] = {
        "reads": totals.reads,
        "molecules": totals.molecules,
        "chimeras": totals.chimeras,
        "reads_with_both_strands": totals.both_strand_reads,
        "status": totals.status,
        "median_flank_edits": totals.median_flank_edits(),
        "seconds": round(seconds, 3),
        "tagging_seconds": round(tagging, 3),
        "reads_per_second": round(totals.reads / tagging, 1) if tagging > 0 else None,
    }
    if plan is not None:
        out["cells"] = plan.summary(totals.reads, totals.reads_in_cells, totals.molecules_in_cells)
    return out


def say_summary(totals: Totals, seconds: float, tagging: float, plan: Any = None) -> None:
    counted = ", ".join(f"{status}: {totals.status[status]}" for status in STATUSES)
    rate = totals.reads / tagging if tagging > 0 else 0.0
    in_cells = f", cells: {len(plan.cells)}, reads in cells: {totals.reads_in_cells}" if plan is not None else ""
    say(
        f"reads: {totals.reads}, molecules: {totals.molecules}, {counted}{in_cells}, "
        f"reads/s: {rate:,.0f}, seconds: {seconds:.3f}"
    )
