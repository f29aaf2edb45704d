"""`mendseqs correct REFERENCES_OR_INDEX QUERIES`: every query corrected to
the first (or the nearest) close-enough reference, batch by batch, in query
order."""

from __future__ import annotations

import argparse
import contextlib
from dataclasses import dataclass
from typing import IO

from . import progress
from .calls import ModuleCalls
from .command import Command, Session
from .errors import InputError
from .options import DEFAULT_MAX_FLEX, add_batch, add_threads, tolerance
from .guard import answers
from .picking import PICKS, margin, pick
from .prefetch import read_ahead
from .records import STDIN, shown
from .sources import open_source
from .references import Prepared, build, is_saved_index, load
from .summary import Summary
from .output_files import check
from .writing import FORMATS, format_batch, output_format_of, results


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "references",
        metavar="references_or_index",
        help="references (FASTA, FASTQ or one per line, optionally gzipped; - for stdin) or a saved index",
    )
    parser.add_argument("queries", help="FASTA, FASTQ or one sequence per line, optionally gzipped; - for stdin")
    parser.add_argument(
        "--max-flex",
        type=tolerance,
        help=f"edits tolerated in length, count of A and LCS (default {DEFAULT_MAX_FLEX}, or the saved index's)",
    )
    add_threads(parser, "worker threads")
    parser.add_argument("-o", "--output", help="write here instead of stdout; the suffix picks the format")
    parser.add_argument("--format", choices=FORMATS, help="output format (default: from OUT's suffix, else tsv)")
    add_batch(parser)
    parser.add_argument("--quiet", action="store_true", help="no progress display and no summary")
    parser.add_argument(
        "--pick",
        choices=PICKS,
        default="first",
        help="the first close-enough reference in list order (default), or the nearest: "
        "corrected only when unique and --margin closer than the runner-up",
    )
    parser.add_argument(
        "--margin",
        type=margin,
        help="with --pick nearest: how much closer than the runner-up the nearest reference "
        "must be (default 0: any unique nearest one)",
    )


@dataclass(frozen=True)
class CorrectSettings:
    references: str
    queries: str
    max_flex: int | None  # None: the saved index's, or DEFAULT_MAX_FLEX
    threads: int
    output: str | None  # None: stdout
    format: str
    compressed: bool
    batch: int
    quiet: bool
    pick: str
    margin: int


def settings(args: argparse.Namespace) -> CorrectSettings:
    if args.margin is not None and args.pick != "nearest":
        # A margin that silently did nothing would look applied.
        raise InputError("--margin applies only with --pick nearest")
    if args.references == STDIN and args.queries == STDIN:
        raise InputError("the references and the queries cannot both be read from stdin (-)")
    check([("-o", args.output)], [args.references, args.queries])
    output_format, compressed = output_format_of(args.output, args.format)
    return CorrectSettings(
        args.references,
        args.queries,
        args.max_flex,
        args.threads,
        args.output,
        output_format,
        compressed,
        args.batch,
        args.quiet,
        args.pick,
        args.margin or 0,
    )


def prepare(config: CorrectSettings, calls: ModuleCalls) -> Prepared:
    """The references of `config`, prepared once for the whole run: a loaded
    index, or one built from the reference file."""
    if is_saved_index(config.references):
        prepared = load(config.references, calls)
        if config.max_flex is not None and config.max_flex != prepared.index.max_flex:
            raise InputError(
                f"{config.references} was built for --max-flex {prepared.index.max_flex}, "
                f"not {config.max_flex}: build another with `mendseqs index`"
            )
        return prepared
    max_flex = DEFAULT_MAX_FLEX if config.max_flex is None else config.max_flex
    return build(config.references, max_flex, config.threads, calls, unique=config.pick == "nearest")


@dataclass
class Totals:
    reads: int = 0
    matched: int = 0
    # --pick nearest: matched reads split by whether one was picked.
    ambiguous: int = 0


def correct_all(config: CorrectSettings, out: IO[bytes], calls: ModuleCalls) -> Totals:
    prepared = prepare(config, calls)
    # One seam for choosing among the module's ways of matching: both use
    # the same prepared references and differ only in the function called.
    match = prepared.index.nearest if config.pick == "nearest" else prepared.index.correct
    output_format = config.format
    totals = Totals()
    display = progress.display(config.quiet)
    try:
        with (
            open_source(config.queries) as source,
            contextlib.closing(read_ahead(source, config.queries, config.batch)) as stream,
        ):
            for batch in stream:
                if output_format == "fastq" and batch.qualities is None:
                    raise InputError(
                        f"{shown(config.queries)}: FASTQ output needs FASTQ queries (these have no quality values)"
                    )
                found = answers(
                    match, batch.sequences, batch.headers, config.threads, calls, prepared.tolerance, config.queries
                )
                if config.pick == "nearest":
                    picked = pick(found, config.margin, output_format)
                    del found
                    out.write(format_batch(output_format, batch, picked.corrected, picked.notes).encode())
                    totals.matched += picked.unique
                    totals.ambiguous += picked.ambiguous
                    del picked
                else:
                    out.write(format_batch(output_format, batch, found).encode())
                    totals.matched += len(found) - found.count("")
                    del found
                totals.reads += len(batch)
                display.update(totals.reads, source.position(), source.size)
                del batch  # before the next batch is read: one batch in memory, not two
    finally:
        display.close()
    return totals


def run(config: CorrectSettings, session: Session) -> int:
    summary = Summary(config.quiet)
    with results(config.output, config.compressed, session.closed) as out:
        totals = correct_all(config, out, session.calls)
    unmatched = totals.reads - totals.matched - totals.ambiguous
    if config.pick == "first":
        summary.say(totals.reads, [("matched", totals.matched), ("unmatched", unmatched)])
    else:
        summary.say(
            totals.reads, [("unique", totals.matched), ("ambiguous", totals.ambiguous), ("unmatched", unmatched)]
        )
    return 0


COMMAND = Command(
    name="correct",
    help="correct queries against references or a saved index",
    description="Correct every query to the first (or the nearest) close-enough reference.",
    add_arguments=add_arguments,
    settings=settings,
    run=run,
)
