"""The `mendseqs` command: correct sequencing reads to close-enough references,
the first or the nearest, from FASTA, FASTQ or one-sequence-per-line files,
plain or gzip-compressed.

    mendseqs index REFERENCES --max-flex K [--threads N] -o FILE
    mendseqs correct REFERENCES_OR_INDEX QUERIES [--max-flex K] [--threads N]
                     [-o OUT] [--format tsv|fasta|fastq] [--batch B] [--quiet]
                     [--pick first|nearest] [--margin M]

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
"""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import sys
import tempfile
import time
from collections.abc import Callable, Generator, Iterator
from dataclasses import dataclass
from typing import IO, Any, NoReturn

from . import progress
from .picking import PICKS, margin, pick
from .prefetch import prefetched
from .reading import Batch, InputError, Source, batches, checked, open_source, read_all, record_id
from .writing import FORMATS, format_batch, output_file, output_format_of, standard_output

PROGRAM = "mendseqs"
DEFAULT_BATCH = 100_000
# A batch is held in memory whole: beyond this, it would not fit anywhere.
MAX_BATCH = 1_000_000_000
DEFAULT_MAX_FLEX = 3
# Beyond this many threads a batch's chunks are too small to pay for their
# threads, and the module may fail to start them at all.
MAX_THREADS = 1024
# A saved index starts with these bytes (see ReferenceIndex.save): no text
# file does, as 0x89 cannot start UTF-8 text.
INDEX_MAGIC = b"\x89MSQIDX\n"
GUARD_MESSAGE = "max_flex cannot be greater than the length of the sequences."


class Stopped(Exception):
    """A termination signal arrived: unwind, clean up, then die by it."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


def say(line: str) -> None:
    """One line on stderr, written at once; lost silently if stderr cannot
    take it (full, closed): the exit status still tells."""
    with contextlib.suppress(OSError):
        os.write(2, f"{line}\n".encode(errors="replace"))


def open_standard_streams() -> frozenset[int]:
    """Puts /dev/null on whichever of file descriptors 0 to 2 are closed,
    so that no file this run opens takes their numbers (results written to
    "stderr", or progress copied into the results). Returns the closed ones."""
    closed = set()
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            closed.add(fd)
            null = os.open(os.devnull, os.O_RDWR)
            if null != fd:
                os.dup2(null, fd)
                os.close(null)
    # The interpreter leaves sys.std* at None for descriptors closed at start.
    if sys.stdout is None:
        sys.stdout = open(1, "w", closefd=False)
    if sys.stderr is None:
        sys.stderr = open(2, "w", closefd=False)
    return frozenset(closed)


def integer(low: int, high: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"'{text}' is not a whole number") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"must be between {low:,} and {high:,}, not {text}")
        return value

    return parse


def tolerance(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a whole number") from None
    # Every negative tolerance matches nothing, so one stands for all.
    return max(value, -1)


class OneLineParser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise InputError(f"{message} (see {self.prog} --help)")


def parser() -> argparse.ArgumentParser:
    top = OneLineParser(prog=PROGRAM, description=(__doc__ or "").splitlines()[0])
    commands = top.add_subparsers(dest="command", required=True, metavar="{index,correct}")
    index = commands.add_parser(
        "index",
        help="prepare the references once and save them",
        description="Prepare the references for --max-flex K and save them to FILE.",
    )
    index.add_argument("references", help="FASTA, FASTQ or one sequence per line, optionally gzipped")
    index.add_argument("--max-flex", type=tolerance, required=True, help="the tolerance the index serves")
    index.add_argument("--threads", type=integer(1, MAX_THREADS), default=1, help="threads (default 1)")
    index.add_argument("-o", "--output", required=True, help="the index file to write")
    correct = commands.add_parser(
        "correct",
        help="correct queries against references or a saved index",
        description="Correct every query to the first (or the nearest) close-enough reference.",
    )
    correct.add_argument(
        "references",
        metavar="references_or_index",
        help="references (FASTA, FASTQ or one per line, optionally gzipped) or a saved index",
    )
    correct.add_argument("queries", help="FASTA, FASTQ or one sequence per line, optionally gzipped")
    correct.add_argument(
        "--max-flex",
        type=tolerance,
        help=f"edits tolerated in length, count of A and LCS (default {DEFAULT_MAX_FLEX}, or the saved index's)",
    )
    correct.add_argument("--threads", type=integer(1, MAX_THREADS), default=1, help="worker threads (default 1)")
    correct.add_argument("-o", "--output", help="write here instead of stdout; the suffix picks the format")
    correct.add_argument("--format", choices=FORMATS, help="output format (default: from OUT's suffix, else tsv)")
    correct.add_argument(
        "--batch",
        type=integer(1, MAX_BATCH),
        default=DEFAULT_BATCH,
        help=f"queries corrected per call (default {DEFAULT_BATCH:,})",
    )
    correct.add_argument("--quiet", action="store_true", help="no progress display and no summary")
    correct.add_argument(
        "--pick",
        choices=PICKS,
        default="first",
        help="the first close-enough reference in list order (default), or the nearest: "
        "corrected only when unique and --margin closer than the runner-up",
    )
    correct.add_argument(
        "--margin",
        type=margin,
        help="with --pick nearest: how much closer than the runner-up the nearest reference "
        "must be (default 0: any unique nearest one)",
    )
    return top


def _panic_name(error: BaseException) -> bool:
    # The module's failures derive from BaseException, and the module
    # exports no name for them.
    return type(error).__name__ == "PanicException"


class ModuleCalls:
    """Runs calls of the module with its progress bar (file descriptor 1)
    discarded, since the run has a display of its own, and its failure
    reports (file descriptor 2) kept aside, so that a failure ends in one
    plain line rather than the module's several."""

    def __init__(self) -> None:
        self._null = os.open(os.devnull, os.O_WRONLY | os.O_CLOEXEC)
        self._reports = tempfile.TemporaryFile()

    def close(self) -> None:
        os.close(self._null)
        self._reports.close()

    @contextlib.contextmanager
    def quiet(self) -> Iterator[None]:
        self._reports.seek(0)
        self._reports.truncate()
        saved = os.dup(1), os.dup(2)
        try:
            os.dup2(self._null, 1)
            os.dup2(self._reports.fileno(), 2)
            yield
        finally:
            os.dup2(saved[0], 1)
            os.dup2(saved[1], 2)
            os.close(saved[0])
            os.close(saved[1])

    def reports(self) -> str:
        self._reports.seek(0)
        return self._reports.read().decode(errors="replace")

    def call(self, function: Callable[..., Any], *args: Any) -> Any:
        try:
            with self.quiet():
                return function(*args)
        except BaseException as error:
            if _panic_name(error):
                raise ModuleFailure(str(error), self.reports()) from None
            raise


class ModuleFailure(Exception):
    def __init__(self, message: str, reports: str) -> None:
        super().__init__(message)
        self.message = message
        self.reports = reports

    def tripped_guard(self) -> bool:
        return self.message == GUARD_MESSAGE or GUARD_MESSAGE in self.reports


def check_tolerance(references: list[str], max_flex: int, where: str) -> None:
    """Refuses a tolerance above the shortest reference's length before any
    work: the module would stop at the first query that reaches it."""
    lengths = list(map(len, references))
    shortest = min(lengths)
    if max_flex > shortest:
        raise InputError(
            f"--max-flex {max_flex} is larger than reference {lengths.index(shortest) + 1} of {where} "
            f"({shortest} letters long): the tolerance cannot exceed "
            "the length of any sequence it compares"
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


def is_saved_index(path: str) -> bool:
    try:
        with open(path, "rb") as file:
            return file.read(len(INDEX_MAGIC)) == INDEX_MAGIC
    except OSError:
        return False  # reading it as sequences reports what is wrong


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
    import mendseqs

    nearest = args.pick == "nearest"
    if is_saved_index(args.references):
        try:
            index = calls.call(mendseqs.ReferenceIndex.load, args.references)
        except ValueError as error:
            raise InputError(str(error)) from None
        except OSError as error:
            raise InputError(f"{args.references}: {error.strerror or error}") from None
        if args.max_flex is not None and args.max_flex != index.max_flex:
            raise InputError(
                f"{args.references} was built for --max-flex {index.max_flex}, "
                f"not {args.max_flex}: build another with `mendseqs index`"
            )
        return Prepared(index.nearest if nearest else index.correct, index.max_flex)
    references = read_all(args.references)
    if not references:
        raise InputError(f"{args.references}: no reference sequences")
    max_flex = DEFAULT_MAX_FLEX if args.max_flex is None else args.max_flex
    check_tolerance(references, max_flex, args.references)
    index = calls.call(mendseqs.ReferenceIndex, references, max_flex, args.threads)
    return Prepared(index.nearest if nearest else index.correct, max_flex)


@dataclass
class Totals:
    reads: int = 0
    matched: int = 0
    # --pick nearest: matched reads split by whether one was picked.
    ambiguous: int = 0


def read_ahead(source: Source, args: argparse.Namespace) -> Generator[Batch]:
    """The batches of the queries, each read while the one before is being
    matched. Only from regular files: a read from a pipe may wait forever,
    and the reading thread must always finish soon once told to stop."""
    stream = checked(args.queries, batches(source, args.batch))
    return stream if source.size is None else prefetched(stream)


def correct_run(args: argparse.Namespace, out: IO[bytes], output_format: str, calls: ModuleCalls) -> Totals:
    prepared = prepare(args, calls)
    totals = Totals()
    display = progress.display(args.quiet)
    try:
        with open_source(args.queries) as source, contextlib.closing(read_ahead(source, args)) as stream:
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


def index_run(args: argparse.Namespace, calls: ModuleCalls) -> int:
    import mendseqs

    references = read_all(args.references)
    if not references:
        raise InputError(f"{args.references}: no reference sequences")
    check_tolerance(references, args.max_flex, args.references)
    index = calls.call(mendseqs.ReferenceIndex, references, args.max_flex, args.threads)
    del references
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
    if not getattr(args, "quiet", False):
        say(f"index: {len(index)} references, max_flex {index.max_flex}, written to {args.output}")
    return 0


def run(args: argparse.Namespace, closed: frozenset[int], calls: ModuleCalls) -> int:
    if args.command == "index":
        return index_run(args, calls)
    if args.margin is not None and args.pick != "nearest":
        # A margin that silently did nothing would look applied.
        raise InputError("--margin applies only with --pick nearest")
    output_format, compressed = output_format_of(args.output, args.format)
    started = time.perf_counter()
    try:
        if args.output:
            with output_file(args.output, compressed) as out:
                totals = correct_run(args, out, output_format, calls)
        else:
            if 1 in closed:
                raise InputError("stdout is closed: name an output file with -o")
            with standard_output(os.dup(1)) as out:
                totals = correct_run(args, out, output_format, calls)
    except BrokenPipeError:  # the reader went away (`| head`): not worth a message
        return 1
    except OSError as error:  # the output could not be written
        raise InputError(f"{args.output or 'stdout'}: {error.strerror or error}") from None
    seconds = time.perf_counter() - started
    if not args.quiet:
        rate = totals.reads / seconds if seconds > 0 else 0.0
        unmatched = totals.reads - totals.matched - totals.ambiguous
        counts = (
            f"matched: {totals.matched}"
            if args.pick == "first"
            else f"unique: {totals.matched}, ambiguous: {totals.ambiguous}"
        )
        say(f"reads: {totals.reads}, {counts}, unmatched: {unmatched}, reads/s: {rate:,.0f}, seconds: {seconds:.3f}")
    return 0


def _raise_stopped(signum: int, frame: object) -> None:
    raise Stopped(signum)


def main(argv: list[str] | None = None) -> int:
    closed = open_standard_streams()
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, _raise_stopped)
    calls = ModuleCalls()
    stopped_by = None
    try:
        args = parser().parse_args(argv)
        return run(args, closed, calls)
    except InputError as error:
        say(f"{PROGRAM}: error: {error}")
        return 1
    except MemoryError:
        say(f"{PROGRAM}: error: out of memory")
        return 1
    except SystemExit as exit:  # --help, --version
        return exit.code if isinstance(exit.code, int) else 0
    except KeyboardInterrupt:
        stopped_by = signal.SIGINT
    except Stopped as stop:
        stopped_by = signal.Signals(stop.signum)
    finally:
        calls.close()
    say(f"{PROGRAM}: stopped by {stopped_by.name}")
    # Die by the signal, as the shell or the scheduler that sent it expects.
    signal.signal(stopped_by, signal.SIG_DFL)
    os.kill(os.getpid(), stopped_by)
    return 128 + stopped_by


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
