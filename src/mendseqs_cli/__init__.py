"""The `mendseqs` command: correct sequencing reads to close-enough references,
the first or the nearest, from FASTA, FASTQ or one-sequence-per-line files,
plain or gzip-compressed.

    mendseqs index REFERENCES --max-flex K [--threads N] -o FILE
    mendseqs correct REFERENCES_OR_INDEX QUERIES [--max-flex K] [--threads N]
                     [-o OUT] [--format tsv|fasta|fastq] [--batch B] [--quiet]
                     [--pick first|nearest] [--margin M]
    mendseqs tag READS... --whitelist LIST_OR_INDEX --layout LAYOUT [...]
                 (raw long single-cell reads: see tag.py)

`index` prepares the references once and saves them; `correct` takes either
such a file or the references themselves (told apart by the file's first
bytes), and prepares them at most once per run. Queries are read, corrected
and written B records at a time, so memory stays flat however long the
input is. Output, in query order: TSV (read id, raw sequence, corrected
sequence, empty when no reference is close enough) on stdout, or in OUT in
the format its suffix names (.tsv, .fasta/.fa, .fastq/.fq, each optionally
.gz, in any letter case; other suffixes get TSV) unless --format says
otherwise. FASTA and FASTQ output keep each record as read and append
" corrected=SEQUENCE" to its header. A regular OUT appears only when the
whole run succeeded.

--pick nearest measures every close-enough reference and corrects a read
only to a nearest one that no other reference ties and that beats the
runner-up by at least --margin (default 0); its distance, the runner-up's
and the number of ties follow as three more TSV columns, or as
" distance=D runner_up=R ties=T" in FASTA/FASTQ headers (empty when none).

A progress display (on a terminal) and a summary go to stderr. Every
failure, bad input included, ends the run with one line on stderr and exit
status 1; SIGINT, SIGTERM and SIGHUP remove the unfinished output, say so in
one line and end the process by that signal.

This module is only the entry point: each subcommand is a module of its own
defining COMMAND (see command.py), listed here.
"""

from __future__ import annotations

import argparse
import importlib
import sys
from typing import Any, NoReturn, cast

from .calls import ModuleCalls
from .command import Command, Session
from .errors import PROGRAM, finish, reported, say, stderr_kept, stop_on_signals
from .options import OneLineParser
from .streams import open_standard_streams

# The subcommands, by module name, in the order `--help` lists them.
COMMANDS = ("index", "correct", "tag")


def commands() -> list[Command[Any]]:
    return [cast(Command[Any], importlib.import_module(f".{name}", __name__).COMMAND) for name in COMMANDS]


def parser() -> argparse.ArgumentParser:
    top = OneLineParser(prog=PROGRAM, description=(__doc__ or "").splitlines()[0])
    subparsers = top.add_subparsers(dest="command", required=True, metavar="{" + ",".join(COMMANDS) + "}")
    for command in commands():
        sub = subparsers.add_parser(command.name, help=command.help, description=command.description)
        command.add_arguments(sub)
        sub.set_defaults(chosen=command)
    return top


def main(argv: list[str] | None = None) -> int:
    closed = open_standard_streams()
    stop_on_signals()
    calls = ModuleCalls()
    with stderr_kept():
        try:

            def work() -> int:
                args = parser().parse_args(argv)
                command = cast(Command[Any], args.chosen)
                # Below this line nothing sees the parsed arguments, only
                # the command's typed settings.
                return command.run(command.settings(args), Session(closed, calls))

            outcome = reported(work)
        finally:
            calls.close()
        return finish(outcome)


def entry_point() -> NoReturn:
    status = main()
    # Whatever argparse printed (--help) is flushed here, where a failure
    # can still be reported, rather than by the interpreter at exit (status 120).
    try:
        sys.stdout.flush()
    except OSError as error:
        say(f"{PROGRAM}: error: stdout: {error.strerror or error}")
        status = 1
        sys.stdout = None
    sys.exit(status)
