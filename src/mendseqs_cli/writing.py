"""Writing results: TSV, FASTA or FASTQ, plain or gzip-compressed, to a file
that appears only when the whole run succeeded, or to any other kind of
destination (a terminal, a pipe, a device) written straight through."""

from __future__ import annotations

import contextlib
import fcntl
import gzip
import os
import stat
import tempfile
from collections.abc import Iterator
from typing import IO, cast

from .errors import InputError, ReaderGone
from .reading import Batch, record_id

FORMATS = ("tsv", "fasta", "fastq")
SUFFIXES = {".tsv": "tsv", ".fasta": "fasta", ".fa": "fasta", ".fna": "fasta", ".fastq": "fastq", ".fq": "fastq"}
# gzip's own default. Python's, level 9, wrote 3% less on the example TSV but
# took 3.5 times as long, more than the correction itself.
COMPRESS_LEVEL = 6
# ISA-L's levels run from 0 to 3; at 2 a FASTQ file comes out within 5% of
# zlib's level 6, at about eighteen times its speed.
ISAL_LEVEL = 2


def output_format_of(path: str | None, chosen: str | None) -> tuple[str, bool]:
    """The output's format, and whether it is gzip-compressed: from the
    suffix, in any letter case, unless `chosen` names the format."""
    if path is None:
        return chosen or "tsv", False
    stem, suffix = os.path.splitext(path)
    compressed = suffix.lower() == ".gz"
    if compressed:
        suffix = os.path.splitext(stem)[1]
    return chosen or SUFFIXES.get(suffix.lower(), "tsv"), compressed


def format_batch(output_format: str, batch: Batch, corrected: list[str], notes: list[str] | None = None) -> str:
    """The records of `batch` with their corrections; `notes`, when given,
    holds per record what follows the correction: further TSV columns (each
    with its leading tab) or further header words (with a leading space)."""
    if notes is None:
        return _format_plain(output_format, batch, corrected)
    # The correction's cell or header word ends where its note begins.
    joined = [fixed + note for fixed, note in zip(corrected, notes, strict=True)]
    if output_format == "tsv":
        return _tsv(batch, joined, corrected, 2 + (notes[0].count("\t") if notes else 0))
    return _format_plain(output_format, batch, joined)


def _tsv(batch: Batch, cells: list[str], corrected: list[str], tabs: int) -> str:
    # The id is the header's first word (record_id, inlined: a call per
    # record costs a tenth of the whole run).
    text = "".join(
        [
            f"{(header.split(None, 1) or ('',))[0]}\t{sequence}\t{fixed}\n"
            for header, sequence, fixed in zip(batch.headers, batch.sequences, cells, strict=True)
        ]
    )
    # Ids hold no whitespace; a tab in a sequence (or in the reference
    # it was corrected to) would shift the columns of its row.
    if text.count("\t") != tabs * len(batch):
        bad = next(
            i
            for i, (sequence, fixed) in enumerate(zip(batch.sequences, corrected, strict=True))
            if "\t" in sequence or "\t" in fixed
        )
        which = "its sequence" if "\t" in batch.sequences[bad] else "the reference it matches"
        raise InputError(
            f"record '{record_id(batch.headers[bad])}': {which} holds a tab, "
            "which TSV output cannot carry (choose --format fasta or fastq)"
        )
    return text


def _format_plain(output_format: str, batch: Batch, corrected: list[str]) -> str:
    if output_format == "tsv":
        return _tsv(batch, corrected, corrected, 2)
    if output_format == "fasta":
        return "".join(
            [
                f">{header} corrected={fixed}\n{sequence}\n"
                for header, sequence, fixed in zip(batch.headers, batch.sequences, corrected, strict=True)
            ]
        )
    assert batch.qualities is not None
    return "".join(
        [
            f"@{header} corrected={fixed}\n{sequence}\n+\n{quality}\n"
            for header, sequence, quality, fixed in zip(
                batch.headers, batch.sequences, batch.qualities, corrected, strict=True
            )
        ]
    )


def above_standard_streams(fd: int) -> int:
    """`fd`, or a copy numbered 3 or more: a result file on 0, 1 or 2 would
    receive whatever else is written there (progress, messages)."""
    if fd > 2:
        return fd
    try:
        return fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 3)
    finally:
        os.close(fd)


@contextlib.contextmanager
def compressed_if(raw: IO[bytes], compressed: bool) -> Iterator[IO[bytes]]:
    if not compressed:
        yield raw
        return
    # No name or time in the gzip header: the same results give the same file.
    with _gzip_writer(raw) as packed:
        yield packed


def _gzip_writer(raw: IO[bytes]) -> IO[bytes]:
    """A compressing writer: ISA-L's where it is installed (at long-read
    rates zlib alone would be the run's bottleneck), else the standard
    library's. Both let go of the interpreter lock while they compress."""
    try:
        from isal import igzip  # type: ignore[import-untyped,import-not-found,unused-ignore]
    except ImportError:
        return cast(
            IO[bytes], gzip.GzipFile(filename="", fileobj=raw, mode="wb", compresslevel=COMPRESS_LEVEL, mtime=0)
        )
    return cast(IO[bytes], igzip.IGzipFile(filename="", fileobj=raw, mode="wb", compresslevel=ISAL_LEVEL, mtime=0))  # type: ignore[no-untyped-call,unused-ignore]


@contextlib.contextmanager
def output_file(path: str, compressed: bool) -> Iterator[IO[bytes]]:
    """A binary stream for the results meant for `path`.

    A regular file (or a path that does not exist yet) is written to a
    temporary file beside it and renamed over it only if the block succeeds,
    so a failed run leaves no partial file. A symbolic link is followed: its
    target is replaced, the link stays. Anything else (a device such as
    /dev/null, a FIFO, a terminal) is written straight through, since
    renaming over it would replace it with a regular file."""
    target = os.path.realpath(path)
    try:
        status: os.stat_result | None = os.stat(target)
    except FileNotFoundError:
        status = None
    except OSError as error:
        raise InputError(f"{path}: {error.strerror or error}") from None
    if status is not None and stat.S_ISDIR(status.st_mode):
        raise InputError(f"{path}: is a directory")
    if status is not None and not stat.S_ISREG(status.st_mode):
        try:
            fd = above_standard_streams(os.open(target, os.O_WRONLY | os.O_CLOEXEC))
        except OSError as error:
            raise InputError(f"{path}: {error.strerror or error}") from None
        with open(fd, "wb") as raw, compressed_if(raw, compressed) as out:
            yield out
        return
    try:
        fd, temporary = tempfile.mkstemp(
            dir=os.path.dirname(target), prefix=f".{os.path.basename(target)}.", suffix=".part"
        )
    except OSError as error:
        raise InputError(f"{path}: {error.strerror or error}") from None
    try:
        with open(above_standard_streams(fd), "wb") as raw:
            umask = os.umask(0)
            os.umask(umask)
            os.fchmod(raw.fileno(), 0o666 & ~umask)  # mkstemp makes it private
            with compressed_if(raw, compressed) as out:
                yield out
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise


@contextlib.contextmanager
def standard_output(fd: int) -> Iterator[IO[bytes]]:
    """Results on standard output, through `fd`, a private copy of it: the
    module's progress bar is sent elsewhere by redirecting file descriptor 1
    during each call, which must not take buffered results with it."""
    with open(fd, "wb") as out:
        yield out


@contextlib.contextmanager
def results(path: str | None, compressed: bool, closed: frozenset[int]) -> Iterator[IO[bytes]]:
    """Where a run's results go: the file `path` (see output_file), or
    stdout. A failed write ends the run with one line naming the output;
    a reader that went away (`| head`) ends it without one."""
    try:
        if path:
            with output_file(path, compressed) as out:
                yield out
        else:
            if 1 in closed:
                raise InputError("stdout is closed: name an output file with -o")
            with standard_output(os.dup(1)) as out:
                yield out
    except BrokenPipeError:
        raise ReaderGone from None
    except OSError as error:
        raise InputError(f"{path or 'stdout'}: {error.strerror or error}") from None
