"""`mendseqs index REFERENCES --max-flex K -o FILE`: the references
prepared once and saved, for any number of later `mendseqs correct` runs."""

from __future__ import annotations

import argparse
import contextlib
import os
import tempfile

from .command import Command, Session
from .errors import InputError, say
from .options import add_threads, tolerance
from .references import build_index


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("references", help="FASTA, FASTQ or one sequence per line, optionally gzipped")
    parser.add_argument("--max-flex", type=tolerance, required=True, help="the tolerance the index serves")
    add_threads(parser)
    parser.add_argument("-o", "--output", required=True, help="the index file to write")


def run(args: argparse.Namespace, session: Session) -> int:
    calls = session.calls
    index = build_index(args.references, args.max_flex, args.threads, calls)
    target = os.path.realpath(args.output)
    if os.path.isdir(target):
        raise InputError(f"{args.output}: is a directory")
    if os.path.exists(target) and not os.path.isfile(target):
        raise InputError(f"{args.output}: not a regular file (an index is mapped from a regular file)")
    try:
        fd, temporary = tempfile.mkstemp(
            dir=os.path.dirname(target), prefix=f".{os.path.basename(target)}.", suffix=".part"
        )
    except OSError as error:
        raise InputError(f"{args.output}: {error.strerror or error}") from None
    os.close(fd)
    try:
        try:
            calls.call(index.save, temporary)
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(temporary, 0o666 & ~umask)  # mkstemp makes it private
            os.replace(temporary, target)
        except (OSError, ValueError) as error:
            raise InputError(f"{args.output}: {getattr(error, 'strerror', None) or error}") from None
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise
    say(f"index: {len(index)} references, max_flex {index.max_flex}, written to {args.output}")
    return 0


COMMAND = Command(
    name="index",
    help="prepare the references once and save them",
    description="Prepare the references for --max-flex K and save them to FILE.",
    add_arguments=add_arguments,
    run=run,
)
