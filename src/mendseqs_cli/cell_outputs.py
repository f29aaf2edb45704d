"""The run's per-barcode results: the counts table, the cells, the knee
plot; each written whole, or not at all."""

from __future__ import annotations

import argparse
from typing import Any

from . import knee
from .cells import BarcodeCounts, counts_text
from .errors import InputError
from .writing import output_file


def check(args: argparse.Namespace) -> None:
    """What can be told wrong before any read is tagged."""
    if args.called_cells and not args.cells:
        raise InputError("--called-cells needs --cells (FILE or auto)")
    if args.plot:
        missing = knee.require_matplotlib()
        if missing is not None:
            raise InputError(
                f"--plot needs matplotlib, which cannot be imported here ({missing}): "
                "install it (Debian: apt install python3-matplotlib; elsewhere: pip install matplotlib), or leave --plot out"
            )


def _gz(path: str) -> bool:
    return path.lower().endswith(".gz")


def write(args: argparse.Namespace, plan: Any, counts: BarcodeCounts | None, reads: int, reads_in_cells: int) -> None:
    cells = plan.cells if plan is not None else None
    if args.called_cells:
        with output_file(args.called_cells, _gz(args.called_cells)) as out:
            out.write("".join(f"{cell}\n" for cell in cells or ()).encode())
    if counts is None:
        return
    rows = counts.rows(cells)
    if args.counts:
        with output_file(args.counts, _gz(args.counts)) as out:
            out.write(counts_text(rows).encode())
    if args.plot:
        plot(args.plot, rows, reads, reads_in_cells if cells is not None else None)


def plot(path: str, rows: list[tuple[str, int, int, int, str]], reads: int, reads_in_cells: int | None) -> None:
    """The knee plot of `rows` (see cells.BarcodeCounts.rows); the reads
    in cells are given with a cell list."""
    called = sum(row[4] == "yes" for row in rows)
    title = f"{reads:,} reads; {sum(row[1] > 0 for row in rows):,} barcodes assigned a molecule"
    if reads_in_cells is not None:
        title += f"\n{called:,} cells, holding {reads_in_cells / reads if reads else 0:.1%} of the reads"
    shown = [row for row in rows if row[1] > 0]
    with output_file(path, False) as out:
        knee.draw(out, [row[1] for row in shown], [row[4] == "yes" for row in shown], title)
