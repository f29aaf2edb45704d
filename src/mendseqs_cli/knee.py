"""Calling cells from the data, and the knee plot.

The evidence is pass 1's count of molecules per whitelist barcode whose
raw barcode is exactly that entry (no edit to explain away). Barcodes of
real cells carry many such molecules, barcodes seen by chance (ambient
molecules, a read error that lands on another entry, the free barcodes of
an empty bead) carry few. On a log scale the counts of cells spread over a
hump (log-normal, in practice) and those of the background pile up at 1,
2, 3...; the cells are the barcodes above the emptiest stretch between the
two: the *valley* rule below.

The classic rule of other callers, the 95th percentile of the top N
barcodes divided by 20 (or by 10 at the 99th), needs N, the number of cells
expected, and cuts into the lower tail of log-normal counts: on 100,000 of
the project's simulated reads from 2,000 cells it called 1,728 given the
true N, where the valley rule called 1,920, 1,909 of them true (see
bench/tag_bench.py, which prints every rule on the same counts).
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import IO

# Bins of the density of log10(count): a tenth of a decade, fine enough to
# see a gap of one count at low counts, coarse enough to smooth the cells'
# hump where counts run into the hundreds.
BIN = 0.1


# A valley is clear when the barcodes there are at most this share of those
# at the cells' hump right of it: on simulated runs from 2,000 cells, 0.08
# at 20 reads per cell and below 0.01 deeper, where shallow runs (5 to 8
# reads per cell) show no valley at all.
CLEAR_VALLEY = 0.25


@dataclass(frozen=True)
class Call:
    cells: list[str]  # the called barcodes, most exact hits first
    threshold: int  # the least count called
    rule: str
    # Why the call may be wrong (no clear valley), or None.
    warning: str | None = None


def _density(counts: list[int]) -> list[float]:
    """Barcodes per bin of log10(count): a count of v spread evenly over
    [log10(v - 1/2), log10(v + 1/2)), the width it stands for, so that
    integer counts do not leave empty bins between them; then smoothed
    with weights 1, 2, 1."""
    # Bin 0 starts at log10(1/2).
    origin = math.log10(0.5)
    bins = [0.0] * (int((math.log10(max(counts) + 0.5) - origin) / BIN) + 2)
    tally: dict[int, int] = {}
    for count in counts:
        tally[count] = tally.get(count, 0) + 1
    for value, many in tally.items():
        low, high = math.log10(value - 0.5) - origin, math.log10(value + 0.5) - origin
        first, last = int(low / BIN), int(high / BIN)
        for b in range(first, last + 1):
            overlap = min(high, (b + 1) * BIN) - max(low, b * BIN)
            if overlap > 0:
                bins[b] += many * overlap / (high - low)
    return [(bins[max(b - 1, 0)] + 2 * bins[b] + bins[min(b + 1, len(bins) - 1)]) / 4 for b in range(len(bins))]


def valley_threshold(counts: list[int]) -> int:
    """The least count called a cell: where barcodes are sparsest on the log
    scale, left of where most reads are (the cells' hump; the lowest such
    bin when several tie). With no gap at all, every barcode is a cell."""
    return _valley(counts)[0]


def _valley(counts: list[int]) -> tuple[int, bool]:
    """(valley_threshold, whether the valley is clear: see CLEAR_VALLEY)."""
    density = _density(counts)
    origin = math.log10(0.5)
    centre = [origin + (b + 0.5) * BIN for b in range(len(density))]
    # Where the reads are: barcodes x count, per bin.
    mode = max(range(len(density)), key=lambda b: (density[b] * 10 ** centre[b], -b))
    # Right of count 1's own stretch, left of the hump.
    first = int((math.log10(1.5) - origin) / BIN)
    if mode <= first:
        return 1, False
    valley = min(range(first, mode), key=lambda b: (density[b], b))
    clear = density[valley] <= CLEAR_VALLEY * max(density[valley:])
    return max(1, round(10 ** centre[valley])), clear


def classic_threshold(counts: list[int], expected: int, percentile: float = 95, divisor: float = 20) -> int:
    """Other callers' rule: the `percentile` count of the top `expected`
    barcodes, divided by `divisor`."""
    top = sorted(counts, reverse=True)[:expected]
    if not top:
        return 1
    ascending = top[::-1]
    at = ascending[min(len(ascending) - 1, int(percentile / 100 * (len(ascending) - 1)))]
    return max(1, math.ceil(at / divisor))


def call_cells(exact: dict[str, int], expected: int | None = None) -> Call:
    """The cells among the barcodes of `exact` (exact hits per barcode): by
    the valley rule, or the `expected` barcodes with the most exact hits
    (tied ones in alphabetical order) when the number is given."""
    ranked = sorted(exact, key=lambda b: (-exact[b], b))
    if expected is not None:
        cells = ranked[:expected]
        return Call(cells, exact[cells[-1]] if cells else 0, "expected")
    if not exact:
        return Call([], 0, "valley")
    threshold, clear = _valley(list(exact.values()))
    cells = [b for b in ranked if exact[b] >= threshold]
    warning = None
    if not clear:
        warning = (
            f"--cells auto: no clear valley between the background and the cells in the exact hits per barcode "
            f"(a shallow run?); called the {len(cells):,} barcodes with at least {threshold} of them: "
            "give --expect-cells N if the number of cells is known"
        )
    return Call(cells, threshold, "valley", warning)


def draw(out: IO[bytes], reads: list[int], called: list[bool], title: str) -> None:
    """The knee plot: reads per barcode against rank, log-log, most reads
    first, the called cells in colour and the rest in grey. matplotlib is
    imported here, when a plot is asked for, with the Agg backend (no
    display needed); `require_matplotlib` says beforehand whether it is there."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    order = sorted(range(len(reads)), key=lambda i: -reads[i])
    figure, axes = plt.subplots(figsize=(6.4, 4.4), dpi=110)
    ranks = list(range(1, len(order) + 1))
    values = [reads[i] for i in order]
    axes.plot(ranks, values, color="0.6", linewidth=1.2, label="all barcodes", zorder=1)
    cell_ranks = [r for r, i in zip(ranks, order, strict=True) if called[i]]
    cell_values = [reads[i] for i in order if called[i]]
    if cell_ranks:
        axes.scatter(cell_ranks, cell_values, s=3, color="#1f77b4", label="called cells", zorder=2)
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xlabel("barcode rank")
    axes.set_ylabel("reads")
    axes.set_title(title, fontsize=9)
    axes.grid(True, which="major", linewidth=0.4, alpha=0.5)
    if values:
        axes.legend(loc="lower left", fontsize=8)
    figure.tight_layout()
    figure.savefig(out, format="png", metadata={"Software": None})
    plt.close(figure)


def require_matplotlib() -> str | None:
    """None when matplotlib can be imported, else why not."""
    try:
        import matplotlib  # noqa: F401
    except ImportError as error:
        return str(error) or "no module named 'matplotlib'"
    return None
