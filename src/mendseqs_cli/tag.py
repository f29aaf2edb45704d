"""`mendseqs tag`: raw long single-cell reads in, each molecule's cell
barcode and UMI found, the barcode assigned against the whole whitelist,
and the reads written out trimmed and oriented as the mRNA, with the tags
in their headers.

    mendseqs tag READS... --whitelist LIST_OR_INDEX --layout 10x3v3
        [--max-flex K] [--margin M] [--assigned-only]
        [-o tagged.fq.gz] [--table reads.tsv.gz] [--summary summary.json]
        [--threads N] [--batch B] [--quiet]

This module is the run itself, one pass over the reads (two with
`--cells auto`); its options are tag_options.py, the whitelist
whitelist.py, the records and rows tag_format.py, the files
tag_outputs.py, the counts and summary tag_summary.py.
"""

from __future__ import annotations

import contextlib
import time
from collections.abc import Iterator
from typing import Any

import mendseqs

from . import progress, tag_options
from .barcode_counts import BarcodeCounts
from .cell_plan import Plan
from .command import Command, Session
from .errors import ReaderGone
from .prefetch import prefetched
from .reading import batches
from .records import Batch, shown
from .sources import Source, checked, open_source
from .tag_options import TagSettings
from .tag_outputs import TagOutputs
from .tag_summary import Totals, say_summary
from .whitelist import prepared_index


def stream(paths: tuple[str, ...] | list[str], size: int) -> Iterator[tuple[str, Batch, Source]]:
    """(path as shown, batch, source) over every input in turn."""
    for path in paths:
        with open_source(path) as source:
            batches_of = checked(path, batches(source, size))
            if source.size is not None:
                batches_of = prefetched(batches_of)
            with contextlib.closing(batches_of):
                for batch in batches_of:
                    yield shown(path), batch, source


def tagged(
    index: mendseqs.ReferenceIndex,
    reads: list[str],
    layout: mendseqs.Layout,
    threads: int,
    margin: int,
    qualities: list[str] | None = None,
) -> list[tuple[Any, ...]]:
    # The reads' qualities, when they have them, weigh the barcode's close
    # candidates (FASTA, or a BAM without them: edits alone).
    result: list[tuple[Any, ...]] = index.tag(reads, layout, threads, margin=margin, qualities=qualities)
    return result


def run(config: TagSettings, session: Session) -> int:
    run_started = time.perf_counter()
    calls = session.calls
    threads = config.threads
    index = prepared_index(config.whitelist, config.max_flex, config.layout, config.layout_name, calls, threads)
    plan = None
    if config.cells:
        length = config.layout.barcode_length
        plan = Plan(config.cells, config.margin, length, index, threads, calls, config.expect_cells)
    counts = BarcodeCounts() if config.counts or config.plot else None
    started = time.perf_counter()
    totals = Totals()
    display = progress.display(config.quiet)
    outputs = TagOutputs(config, session.closed, counts, threads)
    try:
        seen = 0
        for path, batch, source in stream(config.reads, config.batch):
            outputs.formatter_for(path, batch)
            molecules = calls.call(
                tagged, index, batch.sequences, config.layout, threads, config.margin, batch.qualities
            )
            seen += len(batch)
            if plan is not None:
                molecules = plan.take(batch, molecules)
            if molecules is not None:
                outputs.write(config.reads[-1], batch, molecules, totals)
            del molecules
            display.update(seen, source.position(), source.size)
        if plan is not None and plan.auto:
            # Pass 2: the cells called, the spooled batches assigned.
            display.close()
            display = progress.display(config.quiet)
            assert plan.spool is not None
            for done, (batch, molecules) in enumerate(plan.second_pass(), 1):
                outputs.write(config.reads[-1], batch, molecules, totals)
                display.update(totals.reads, done, plan.spool.batches)
        outputs.finish_reads()
        tagging = time.perf_counter() - started
        outputs.finish(plan, totals, run_started, tagging)
    except BrokenPipeError:
        raise ReaderGone from None
    finally:
        outputs.discard()
        display.close()
        if plan is not None:
            plan.close()
    if not config.quiet:
        say_summary(totals, time.perf_counter() - run_started, tagging, plan)
    return 0


COMMAND = Command(
    name="tag",
    help="find and assign cell barcodes and UMIs in raw long reads",
    description="Find each read's cell barcode and UMI, assign the barcode against the whole whitelist, "
    "and write the reads trimmed and oriented as the mRNA, with CB/CR/CY/UB/UR/UY tags.",
    add_arguments=tag_options.add_arguments,
    settings=tag_options.settings,
    run=run,
)
