"""The options of `mendseqs tag`, parsed once into TagSettings: below
`settings` nothing sees argparse's Namespace."""

from __future__ import annotations

import argparse
import os
from dataclasses import dataclass

import mendseqs

from . import knee
from .cell_plan import AUTO
from .errors import InputError
from .layouts import CUSTOM_LAYOUT, LayoutError, layout_of
from .options import MAX_THREADS, integer, tolerance
from .output_files import check
from .records import STDIN
from .whitelist import DEFAULT_MAX_FLEX

DEFAULT_BATCH = 5_000


@dataclass(frozen=True)
class TagSettings:
    reads: tuple[str, ...]
    whitelist: str
    layout: mendseqs.Layout
    layout_name: str  # as given, for messages
    max_flex: int | None  # None: the saved index's, or DEFAULT_MAX_FLEX
    margin: int
    assigned_only: bool
    output: str | None  # tagged reads; None: stdout
    table: str | None
    summary: str | None
    cells: str | None  # a file of cells, or "auto"
    expect_cells: int | None  # with auto: call this many cells
    called_cells: str | None
    counts: str | None
    plot: str | None
    threads: int
    batch: int
    quiet: bool


def add_arguments(tag: argparse.ArgumentParser) -> None:
    tag.add_argument(
        "reads", nargs="+", help="FASTQ or FASTA (optionally gzipped), or unaligned SAM or BAM; - for stdin"
    )
    tag.add_argument("--whitelist", required=True, help="the barcode list (one per line) or a saved index of it")
    tag.add_argument(
        "--layout",
        required=True,
        help=f"a preset ({', '.join(mendseqs.Layout.presets)}) or a custom layout {CUSTOM_LAYOUT}",
    )
    tag.add_argument(
        "--max-flex", type=tolerance, help=f"edits tolerated in a barcode (default {DEFAULT_MAX_FLEX}, or the index's)"
    )
    tag.add_argument(
        "--margin",
        type=integer(0, 1 << 30),
        default=0,
        help="how much closer than the runner-up the nearest entry must be (default 0: any unique nearest one)",
    )
    tag.add_argument("--assigned-only", action="store_true", help="write only molecules given a barcode")
    tag.add_argument(
        "-o",
        "--output",
        help="tagged reads: FASTQ or FASTA by suffix, .gz compressed, or unaligned .bam or .sam "
        "(default, or -: stdout)",
    )
    tag.add_argument("--table", help="one TSV row per molecule (.gz compressed; - for stdout)")
    tag.add_argument("--summary", help="counts as JSON")
    tag.add_argument(
        "--cells",
        metavar="FILE|auto",
        help="the cells: a list of whitelist barcodes (Cell Ranger's barcodes.tsv(.gz) with -1 suffixes too), "
        "or auto to call them from the reads; molecules go to a cell first, else to the whole whitelist",
    )
    tag.add_argument(
        "--expect-cells",
        metavar="N",
        type=integer(1, 100_000_000),
        help="with --cells auto: call the N barcodes with the most exact hits, not the valley rule's cells",
    )
    tag.add_argument("--called-cells", metavar="FILE", help="write the cells (called, or as listed), one per line")
    tag.add_argument("--counts", metavar="FILE", help="per barcode: reads, molecules, distinct UMIs, called (TSV, .gz)")
    tag.add_argument("--plot", metavar="PNG", help="the knee plot: reads per barcode by rank, log-log (matplotlib)")
    tag.add_argument(
        "--threads", type=integer(1, MAX_THREADS), help="worker threads (default: the CPUs this process may use)"
    )
    tag.add_argument(
        "--batch",
        type=integer(1, 10_000_000),
        default=DEFAULT_BATCH,
        help=f"reads per call (default {DEFAULT_BATCH:,})",
    )
    tag.add_argument("--quiet", action="store_true", help="no progress display and no summary line")


def settings(args: argparse.Namespace) -> TagSettings:
    """The settings of `args`, and what can be told wrong from them alone."""
    try:
        layout = layout_of(args.layout)
    except LayoutError as error:
        raise InputError(f"--layout: {error}") from None
    if args.reads.count(STDIN) > 1:
        raise InputError("stdin (-) can be read only once")
    if args.expect_cells is not None and args.cells != AUTO:
        raise InputError("--expect-cells needs --cells auto")
    if args.called_cells and not args.cells:
        raise InputError("--called-cells needs --cells (FILE or auto)")
    if args.plot:
        missing = knee.require_matplotlib()
        if missing is not None:
            raise InputError(
                f"--plot needs matplotlib, which cannot be imported here ({missing}): "
                "install it (Debian: apt install python3-matplotlib; elsewhere: pip install matplotlib), or leave --plot out"
            )
    outputs = (
        ("-o", args.output) if args.output is not None else ("the tagged reads (stdout, without -o)", STDIN),
        ("--table", args.table),
        ("--summary", args.summary),
        ("--called-cells", args.called_cells),
        ("--counts", args.counts),
        ("--plot", args.plot),
    )
    inputs = [*args.reads, args.whitelist] + ([args.cells] if args.cells and args.cells != AUTO else [])
    check(outputs, inputs)
    threads = args.threads or max(1, min(len(os.sched_getaffinity(0)), MAX_THREADS))
    return TagSettings(
        reads=tuple(args.reads),
        whitelist=args.whitelist,
        layout=layout,
        layout_name=args.layout,
        max_flex=args.max_flex,
        margin=args.margin,
        assigned_only=args.assigned_only,
        output=None if args.output == STDIN else args.output,
        table=args.table,
        summary=args.summary,
        cells=args.cells,
        expect_cells=args.expect_cells,
        called_cells=args.called_cells,
        counts=args.counts,
        plot=args.plot,
        threads=threads,
        batch=args.batch,
        quiet=args.quiet,
    )
