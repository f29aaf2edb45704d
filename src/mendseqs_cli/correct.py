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
from .reading import STDIN, open_source, shown
from .references import Prepared, build, is_saved_index, load
from .summary import Summary
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


def prepare(args: argparse.Namespace, calls: ModuleCalls) -> Prepared:
    """The references of `args`, prepared once for the whole run: a loaded
    index, or one built from the reference file."""
    if is_saved_index(args.references):
        prepared = load(args.references, calls)
        if args.max_flex is not None and args.max_flex != prepared.index.max_flex:
            raise InputError(
                f"{args.references} was built for --max-flex {prepared.index.max_flex}, "
                f"not {args.max_flex}: build another with `mendseqs index`"
            )
        return prepared
    max_flex = DEFAULT_MAX_FLEX if args.max_flex is None else args.max_flex
    return build(args.references, max_flex, args.threads, calls, unique=args.pick == "nearest")


@dataclass
class Totals:
    reads: int = 0
    matched: int = 0
    # --pick nearest: matched reads split by whether one was picked.
    ambiguous: int = 0


def correct_all(args: argparse.Namespace, out: IO[bytes], output_format: str, calls: ModuleCalls) -> Totals:
    prepared = prepare(args, calls)
    # One seam for choosing among the module's ways of matching: both use
    # the same prepared references and differ only in the function called.
    match = prepared.index.nearest if args.pick == "nearest" else prepared.index.correct
    totals = Totals()
    display = progress.display(args.quiet)
    try:
        with (
            open_source(args.queries) as source,
            contextlib.closing(read_ahead(source, args.queries, args.batch)) as stream,
        ):
            for batch in stream:
                if output_format == "fastq" and batch.qualities is None:
                    raise InputError(
                        f"{shown(args.queries)}: FASTQ output needs FASTQ queries (these have no quality values)"
                    )
                found = answers(
                    match, batch.sequences, batch.headers, args.threads, calls, prepared.tolerance, args.queries
                )
                if args.pick == "nearest":
                    picked = pick(found, args.margin or 0, output_format)
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


def run(args: argparse.Namespace, session: Session) -> int:
    if args.margin is not None and args.pick != "nearest":
        # A margin that silently did nothing would look applied.
        raise InputError("--margin applies only with --pick nearest")
    if args.references == STDIN and args.queries == STDIN:
        raise InputError("the references and the queries cannot both be read from stdin (-)")
    output_format, compressed = output_format_of(args.output, args.format)
    summary = Summary(args.quiet)
    with results(args.output, compressed, session.closed) as out:
        totals = correct_all(args, out, output_format, session.calls)
    unmatched = totals.reads - totals.matched - totals.ambiguous
    if args.pick == "first":
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
    run=run,
)
