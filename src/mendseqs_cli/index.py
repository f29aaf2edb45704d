"""`mendseqs index REFERENCES --max-flex K -o FILE`: the references
prepared once and saved, for any number of later `mendseqs correct` runs."""

from __future__ import annotations

import argparse
import os
from dataclasses import dataclass

from .command import Command, Session
from .errors import InputError, about, say
from .options import add_threads, tolerance
from .output_files import check
from .references import build


@dataclass(frozen=True)
class IndexSettings:
    references: str
    max_flex: int
    threads: int
    output: str


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("references", help="FASTA, FASTQ or one sequence per line, optionally gzipped; - for stdin")
    parser.add_argument("--max-flex", type=tolerance, required=True, help="the tolerance the index serves")
    add_threads(parser)
    parser.add_argument("-o", "--output", required=True, help="the index file to write")


def settings(args: argparse.Namespace) -> IndexSettings:
    check([("-o", args.output)], [args.references])
    return IndexSettings(args.references, args.max_flex, args.threads, args.output)


def run(config: IndexSettings, session: Session) -> int:
    calls = session.calls
    # Without repeats: an index may serve --pick nearest, where a copy of
    # a barcode would tie with it.
    prepared = build(config.references, config.max_flex, config.threads, calls, unique=True)
    index = prepared.index
    target = os.path.realpath(config.output)
    if os.path.isdir(target):
        raise InputError(f"{config.output}: is a directory")
    if os.path.exists(target) and not os.path.isfile(target):
        raise InputError(f"{config.output}: not a regular file (an index is mapped from a regular file)")
    # save() writes a file beside the target and renames it over the target
    # once complete: a failed or stopped run leaves no partial index.
    try:
        with about(config.output):
            calls.call(index.save, config.output)
    except ValueError as error:
        raise InputError(f"{config.output}: {error}") from None
    notes = []
    if prepared.repeats:
        notes.append(f"{prepared.repeats} repeated {'entry' if prepared.repeats == 1 else 'entries'} left out")
    if short := prepared.tolerance.short:
        notes.append(f"{len(short)} shorter than max_flex: a read that meets one of them is an error")
    details = f" ({'; '.join(notes)})" if notes else ""
    say(f"index: {len(index)} references{details}, max_flex {index.max_flex}, written to {config.output}")
    return 0


COMMAND = Command(
    name="index",
    help="prepare the references once and save them",
    description="Prepare the references for --max-flex K and save them to FILE.",
    add_arguments=add_arguments,
    settings=settings,
    run=run,
)
