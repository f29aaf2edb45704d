"""`mendseqs correct REFERENCES_OR_INDEX QUERIES`: every query corrected to
the first (or the nearest) close-enough reference, batch by batch, in query
order."""

from __future__ import annotations

import argparse
import contextlib
from collections.abc import Callable
from dataclasses import dataclass
from typing import IO, Any

from . import progress
from .calls import ModuleCalls, ModuleFailure
from .command import Command, Session
from .errors import InputError
from .options import DEFAULT_MAX_FLEX, add_batch, add_threads, tolerance
from .picking import PICKS, margin, pick
from .prefetch import read_ahead
from .reading import open_source, record_id
from .references import build_index, is_saved_index, load_index
from .summary import Summary
from .writing import FORMATS, format_batch, output_format_of, results


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "references",
        metavar="references_or_index",
        help="references (FASTA, FASTQ or one per line, optionally gzipped) or a saved index",
    )
    parser.add_argument("queries", help="FASTA, FASTQ or one sequence per line, optionally gzipped")
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


def explain_guard(queries: list[str], headers: list[str], max_flex: int, where: str) -> str:
    """The plain reason for a tripped tolerance guard: some query is
    shorter than the tolerance."""
    for header, query in zip(headers, queries, strict=True):
        if len(query) < max_flex:
            return (
                f"{where}: read '{record_id(header)}' is {len(query)} letters long, shorter than "
                f"--max-flex {max_flex}: the tolerance cannot exceed the length of any sequence it compares"
            )
    return f"--max-flex {max_flex} is larger than a sequence it was compared with"


Matcher = Callable[[list[str], int], list[Any]]


@dataclass
class Prepared:
    """What `correct` matches against: a function of (queries, threads)
    answering for --pick (a list of corrected sequences for first, of
    `mendseqs.Nearest` for nearest), and the tolerance it serves."""

    match: Matcher
    max_flex: int


def prepare(args: argparse.Namespace, calls: ModuleCalls) -> Prepared:
    """The references of `args`, prepared once for the whole run: a loaded
    index, or one built from the reference file.

    One seam for choosing among the module's ways of matching: all use the
    same prepared references and differ only in the function called."""
    if is_saved_index(args.references):
        index = load_index(args.references, calls)
        if args.max_flex is not None and args.max_flex != index.max_flex:
            raise InputError(
                f"{args.references} was built for --max-flex {index.max_flex}, "
                f"not {args.max_flex}: build another with `mendseqs index`"
            )
    else:
        max_flex = DEFAULT_MAX_FLEX if args.max_flex is None else args.max_flex
        index = build_index(args.references, max_flex, args.threads, calls)
    return Prepared(index.nearest if args.pick == "nearest" else index.correct, index.max_flex)


@dataclass
class Totals:
    reads: int = 0
    matched: int = 0
    # --pick nearest: matched reads split by whether one was picked.
    ambiguous: int = 0


def correct_all(args: argparse.Namespace, out: IO[bytes], output_format: str, calls: ModuleCalls) -> Totals:
    prepared = prepare(args, calls)
    totals = Totals()
    display = progress.display(args.quiet)
    try:
        with (
            open_source(args.queries) as source,
            contextlib.closing(read_ahead(source, args.queries, args.batch)) as stream,
        ):
            for batch in stream:
                if output_format == "fastq" and batch.qualities is None:
                    raise InputError(f"{args.queries}: FASTQ output needs FASTQ queries (these have no quality values)")
                try:
                    answers = calls.call(prepared.match, batch.sequences, args.threads)
                except ModuleFailure as failure:
                    if failure.tripped_guard():
                        raise InputError(
                            explain_guard(batch.sequences, batch.headers, prepared.max_flex, args.queries)
                        ) from None
                    raise InputError(failure.message) from None
                if args.pick == "nearest":
                    picked = pick(answers, args.margin or 0, output_format)
                    del answers
                    out.write(format_batch(output_format, batch, picked.corrected, picked.notes).encode())
                    totals.matched += picked.unique
                    totals.ambiguous += picked.ambiguous
                    del picked
                else:
                    out.write(format_batch(output_format, batch, answers).encode())
                    totals.matched += len(answers) - answers.count("")
                    del answers
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
