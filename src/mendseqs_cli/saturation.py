"""What a counting run reports: reads by status, per-cell medians, and
sequencing saturation, 1 - molecules / reads over the counted reads (Cell
Ranger's definition), with its curve against depth.

The curve is computed, not resampled: keeping each read with probability
f, a molecule of r reads is seen with probability 1 - (1 - f)^r, so at
depth f the expected molecules are the sum of that over the molecules,
against f times the reads. The molecules are those of the full run: a
molecule split in two by a subsample's clustering is not modelled.
"""

from __future__ import annotations

import statistics
from collections import Counter
from collections.abc import Sequence
from typing import IO, Any

from .counting import Counts, statuses
from .knee import require_matplotlib

FRACTIONS = tuple(i / 20 for i in range(1, 21))


def saturation(reads_per_molecule: Counter[int], fraction: float = 1.0) -> tuple[float, float]:
    """(reads, saturation) expected when each read is kept with `fraction`."""
    reads = fraction * sum(r * n for r, n in reads_per_molecule.items())
    if reads <= 0:
        return 0.0, 0.0
    molecules = sum(n * (1 - (1 - fraction) ** r) for r, n in reads_per_molecule.items())
    return reads, 1 - molecules / reads


def summary(counts: Counts, cells: Sequence[str] | None, seconds: float) -> dict[str, Any]:
    tally = counts.tally
    genes, transcripts = statuses(tally)
    per_cell_genes: Counter[int] = Counter()
    per_cell_umis: Counter[int] = Counter()
    for c, _, n in counts.genes:
        per_cell_genes[c] += 1
        per_cell_umis[c] += n
    ids = {b: i for i, b in enumerate(counts.barcodes)}
    chosen = [ids.get(b, -1) for b in cells] if cells is not None else list(range(len(counts.barcodes)))

    def median(values: list[int]) -> float:
        return float(statistics.median(values)) if values else 0.0

    in_cells = [per_cell_umis.get(c, 0) for c in chosen]
    return {
        "reads": tally.reads,
        "reads_by_status": genes,
        "reads_on_unannotated_chromosomes": tally.unannotated_chromosome,
        "assigned_reads_by_isoform_status": transcripts,
        "novel_junction_chains": len(tally.novel_chains),
        "counted_reads": tally.counted,
        "molecules": tally.molecules,
        "distinct_raw_umis": tally.distinct_umis,
        "sequencing_saturation": round(saturation(tally.reads_per_molecule)[1], 6),
        "barcodes_with_molecules": len(per_cell_umis),
        "cells": len(chosen),
        "cells_from": "list" if cells is not None else "every barcode",
        "molecules_in_cells": sum(in_cells),
        "median_genes_per_cell": median([per_cell_genes.get(c, 0) for c in chosen]),
        "median_molecules_per_cell": median(in_cells),
        "seconds": round(seconds, 3),
    }


def draw(out: IO[bytes], reads_per_molecule: Counter[int]) -> None:
    """Saturation against reads, from 5% of them to all. matplotlib is
    imported here, when a plot is asked for; `plot_unavailable` says
    beforehand whether it can be."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    points = [saturation(reads_per_molecule, f) for f in FRACTIONS]
    figure, axes = plt.subplots(figsize=(6.4, 4.4), dpi=110)
    axes.plot([r for r, _ in points], [s for _, s in points], marker="o", markersize=3, linewidth=1.2)
    axes.set_xlabel("reads counted (subsampled)")
    axes.set_ylabel("sequencing saturation")
    axes.set_ylim(0, 1)
    axes.grid(True, linewidth=0.4, alpha=0.5)
    axes.set_title(f"saturation {points[-1][1]:.3f} at {points[-1][0]:,.0f} reads", fontsize=9)
    figure.tight_layout()
    figure.savefig(out, format="png", metadata={"Software": None})
    plt.close(figure)


def plot_unavailable() -> str | None:
    return require_matplotlib()
