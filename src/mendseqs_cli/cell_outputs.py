"""The run's per-barcode results: the called cells, the counts table, the
knee plot; written into the run's outputs, committed with the others."""

from __future__ import annotations

from typing import Any

from . import knee
from .barcode_counts import BarcodeCounts, counts_text
from .errors import about
from .output_files import Outputs
from .tag_options import TagSettings


def _gz(path: str) -> bool:
    return path.lower().endswith(".gz")


def write(
    files: Outputs, config: TagSettings, plan: Any, counts: BarcodeCounts | None, reads: int, reads_in_cells: int
) -> None:
    cells = plan.cells if plan is not None else None
    if config.called_cells:
        files.write(
            config.called_cells, "".join(f"{cell}\n" for cell in cells or ()).encode(), _gz(config.called_cells)
        )
    if counts is None:
        return
    rows = counts.rows(cells)
    if config.counts:
        files.write(config.counts, counts_text(rows).encode(), _gz(config.counts))
    if config.plot:
        plot(files, config.plot, rows, reads, reads_in_cells if cells is not None else None)


def plot(
    files: Outputs, path: str, rows: list[tuple[str, int, int, int, str]], reads: int, reads_in_cells: int | None
) -> None:
    """The knee plot of `rows` (see barcode_counts.BarcodeCounts.rows); the
    reads in cells are given with a cell list."""
    called = sum(row[4] == "yes" for row in rows)
    title = f"{reads:,} reads; {sum(row[1] > 0 for row in rows):,} barcodes assigned a molecule"
    if reads_in_cells is not None:
        title += f"\n{called:,} cells, holding {reads_in_cells / reads if reads else 0:.1%} of the reads"
    shown = [row for row in rows if row[1] > 0]
    out = files.open(path)
    with about(path):
        knee.draw(out, [row[1] for row in shown], [row[4] == "yes" for row in shown], title)
