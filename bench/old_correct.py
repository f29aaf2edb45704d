# The example program as it stood before the `mendseqs` command replaced it,
# kept unchanged for bench/cli_bench.py to time side by side with the command.
"""Correct query sequences to the first close-enough reference.

    python3.14 examples/correct.py REFERENCES QUERIES [--max-flex K] [--threads N]
                                   [-o OUT] [--format tsv|fasta|fastq] [--batch B]

Both inputs may be FASTA, FASTQ or one sequence per line, plain or
gzip-compressed; the format is told from the content, not the name. The
queries are read, corrected and written in batches of B records, so memory
stays flat however long the input is.

Output, in query order: TSV (read id, raw sequence, corrected sequence,
empty when no reference is close enough) on stdout, or in OUT in the format
its suffix names (.tsv, .fasta/.fa, .fastq/.fq, each optionally .gz; other
suffixes get TSV) unless --format says otherwise. FASTA and FASTQ output keep
each record as read and append " corrected=SEQUENCE" to its header. OUT
appears only when the whole run succeeded.

The module's progress bar and a summary go to stderr. Bad input ends the run
with a one-line error and exit status 1.
"""

from __future__ import annotations

import argparse
import contextlib
import gzip
import io
import itertools
import os
import sys
import tempfile
import time
import zlib
from collections.abc import Iterator
from dataclasses import dataclass
from typing import IO, NamedTuple, cast

import mendseqs

GZIP_MAGIC = b"\x1f\x8b"
FORMATS = ("tsv", "fasta", "fastq")
SUFFIXES = {".tsv": "tsv", ".fasta": "fasta", ".fa": "fasta", ".fna": "fasta", ".fastq": "fastq", ".fq": "fastq"}
DEFAULT_BATCH = 100_000
# gzip's own default. Python's, level 9, wrote 3% less on the example TSV but
# took 3.5 times as long, more than the correction itself.
COMPRESS_LEVEL = 6


class InputError(Exception):
    """Bad input or arguments: reported as one line, exit status 1."""


class Record(NamedTuple):
    """One input sequence. `header` is the FASTA/FASTQ header line without
    its marker; for one-sequence-per-line input it is the line number."""

    header: str
    sequence: str
    quality: str | None

    @property
    def id(self) -> str:
        return self.header.split(maxsplit=1)[0] if self.header.strip() else ""


def open_text(path: str) -> IO[str]:
    """`path` as text, decompressed when it starts with the gzip magic."""
    raw = open(path, "rb")
    try:
        compressed = raw.peek(2)[:2] == GZIP_MAGIC
        binary: IO[bytes] = cast(IO[bytes], gzip.GzipFile(fileobj=raw, mode="rb")) if compressed else raw
        return io.TextIOWrapper(binary, encoding="utf-8", newline=None)
    except BaseException:
        raw.close()
        raise


def records(path: str) -> Iterator[Record]:
    """The records of `path` in file order, whatever its format."""
    with open_text(path) as text:
        number = 0
        for line in text:
            number += 1
            if line.strip():
                break
        else:
            return
        if line.startswith(">"):
            yield from fasta_records(line, text)
        elif line.startswith("@"):
            yield from fastq_records(line, number, text)
        else:
            yield Record(str(number), line.strip(), None)
            for line in text:
                number += 1
                if sequence := line.strip():
                    yield Record(str(number), sequence, None)


def fasta_records(first: str, lines: IO[str]) -> Iterator[Record]:
    header, parts = first[1:].rstrip("\n"), list[str]()
    for line in lines:
        if line.startswith(">"):
            yield Record(header, "".join(parts), None)
            header, parts = line[1:].rstrip("\n"), []
        else:
            parts.append(line.strip())
    yield Record(header, "".join(parts), None)


def fastq_records(first: str, number: int, lines: IO[str]) -> Iterator[Record]:
    """Four lines a record: @header, sequence, +[header], quality; blank
    lines may separate records. `number` is the first line's."""
    header: str | None = first
    while header is not None:
        if header.strip():
            if not header.startswith("@"):
                raise InputError(f"line {number}: a FASTQ record must start with '@'")
            sequence, plus, quality = next(lines, None), next(lines, None), next(lines, None)
            name = header[1:].strip()
            if quality is None or sequence is None or plus is None:
                raise InputError(f"line {number}: FASTQ record '{name}' is cut short")
            if not plus.startswith("+"):
                raise InputError(f"line {number + 2}: expected '+' in FASTQ record '{name}'")
            sequence, quality = sequence.strip(), quality.strip()
            if len(quality) != len(sequence):
                raise InputError(
                    f"line {number + 3}: FASTQ record '{name}' has "
                    f"{len(sequence)} bases but {len(quality)} quality values"
                )
            yield Record(header[1:].rstrip("\n"), sequence, quality)
            number += 3
        header = next(lines, None)
        number += 1


def checked(path: str, stream: Iterator[Record]) -> Iterator[Record]:
    """`stream` with every read or decoding failure turned into an
    InputError naming `path`."""
    try:
        yield from stream
    except InputError as error:
        raise InputError(f"{path}: {error}") from None
    except FileNotFoundError:
        raise InputError(f"{path}: no such file") from None
    except EOFError:
        raise InputError(f"{path}: compressed data ends early (truncated gzip file?)") from None
    except (gzip.BadGzipFile, zlib.error) as error:
        raise InputError(f"{path}: corrupt gzip data ({error})") from None
    except UnicodeDecodeError:
        raise InputError(f"{path}: not a text file (nor gzip-compressed text)") from None
    except OSError as error:
        raise InputError(f"{path}: {error.strerror or error}") from None


@contextlib.contextmanager
def progress_on_stderr() -> Iterator[None]:
    """The module draws its progress bar on file descriptor 1; point that at
    stderr meanwhile, so that stdout carries nothing but results."""
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        os.dup2(2, 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def correct(references: list[str], queries: list[str], max_flex: int, threads: int) -> list[str]:
    try:
        with progress_on_stderr():
            return mendseqs.correct_seq_mt(references, queries, max_flex, threads)
    except BaseException as error:
        # The module's failures derive from BaseException, and the module
        # exports no name for them.
        if type(error).__name__ == "PanicException":
            raise InputError(str(error)) from None
        raise


def format_record(output_format: str, record: Record, corrected: str) -> str:
    if output_format == "tsv":
        return f"{record.id}\t{record.sequence}\t{corrected}\n"
    if output_format == "fasta":
        return f">{record.header} corrected={corrected}\n{record.sequence}\n"
    return f"@{record.header} corrected={corrected}\n{record.sequence}\n+\n{record.quality}\n"


def output_format_of(path: str | None, chosen: str | None) -> tuple[str, bool]:
    """The output's format, and whether it is gzip-compressed."""
    if path is None:
        return chosen or "tsv", False
    stem, suffix = os.path.splitext(path)
    compressed = suffix == ".gz"
    if compressed:
        suffix = os.path.splitext(stem)[1]
    return chosen or SUFFIXES.get(suffix.lower(), "tsv"), compressed


@contextlib.contextmanager
def output_file(path: str, compressed: bool) -> Iterator[IO[str]]:
    """A text stream that becomes `path` only if the block succeeds: it is
    written to a temporary file beside it and renamed at the end."""
    directory = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(dir=directory, prefix=f".{os.path.basename(path)}.", suffix=".part")
    try:
        with open(fd, "wb") as raw:
            umask = os.umask(0)
            os.umask(umask)
            os.fchmod(raw.fileno(), 0o666 & ~umask)  # mkstemp makes it private
            # No name or time in the gzip header: the same results give the same file.
            binary: IO[bytes] = raw
            if compressed:
                binary = cast(
                    IO[bytes], gzip.GzipFile(filename="", fileobj=raw, mode="wb", compresslevel=COMPRESS_LEVEL, mtime=0)
                )
            with io.TextIOWrapper(binary, encoding="utf-8", newline="\n") as text:
                yield text
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise


@dataclass
class Totals:
    reads: int = 0
    matched: int = 0


def run(args: argparse.Namespace, out: IO[str], output_format: str) -> Totals:
    references = [record.sequence for record in checked(args.references, records(args.references))]
    if not references:
        raise InputError(f"{args.references}: no reference sequences")
    totals = Totals()
    queries = checked(args.queries, records(args.queries))
    while batch := list(itertools.islice(queries, args.batch)):
        if output_format == "fastq" and batch[0].quality is None:
            raise InputError(f"{args.queries}: FASTQ output needs FASTQ queries (these have no quality values)")
        corrected = correct(references, [record.sequence for record in batch], args.max_flex, args.threads)
        out.writelines(
            format_record(output_format, record, result) for record, result in zip(batch, corrected, strict=True)
        )
        totals.reads += len(batch)
        totals.matched += sum(1 for result in corrected if result)
        del batch, corrected  # before the next batch is read: one batch in memory, not two
    return totals


def positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("references", help="FASTA, FASTQ or one sequence per line, optionally gzipped")
    parser.add_argument("queries", help="FASTA, FASTQ or one sequence per line, optionally gzipped")
    parser.add_argument(
        "--max-flex", type=int, default=3, help="edits tolerated in length, count of A and LCS (default 3)"
    )
    parser.add_argument("--threads", type=positive, default=1, help="worker threads (default 1)")
    parser.add_argument("-o", "--output", help="write here instead of stdout; the suffix picks the format")
    parser.add_argument("--format", choices=FORMATS, help="output format (default: from OUT's suffix, else tsv)")
    parser.add_argument(
        "--batch", type=positive, default=DEFAULT_BATCH, help=f"queries corrected per call (default {DEFAULT_BATCH})"
    )
    args = parser.parse_args(argv)

    output_format, compressed = output_format_of(args.output, args.format)
    started = time.perf_counter()
    try:
        if args.output:
            with output_file(args.output, compressed) as out:
                totals = run(args, out, output_format)
        else:
            totals = run(args, sys.stdout, output_format)
            sys.stdout.flush()
    except InputError as error:
        print(f"correct.py: error: {error}", file=sys.stderr)
        return 1
    except BrokenPipeError:  # the reader went away (`| head`): not worth a message
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except OSError as error:  # the output could not be written
        print(f"correct.py: error: {args.output or 'stdout'}: {error.strerror or error}", file=sys.stderr)
        return 1
    seconds = time.perf_counter() - started
    rate = totals.reads / seconds if seconds > 0 else 0.0
    print(
        f"reads: {totals.reads}, matched: {totals.matched}, unmatched: {totals.reads - totals.matched}, "
        f"reads/s: {rate:,.0f}, seconds: {seconds:.3f}",
        file=sys.stderr,
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
