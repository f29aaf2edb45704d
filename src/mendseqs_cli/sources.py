"""Opening an input: a file or stdin, plain or gzip-compressed, its format
(text, or SAM or BAM) told by its first bytes, never by its name; and
every failure to open, read or decode it as one line naming it."""

from __future__ import annotations

import contextlib
import gzip
import io
import os
import re
import stat
import zlib
from collections.abc import Generator, Iterator
from typing import IO, Any, cast

from .errors import InputError, described
from .records import STDIN, Batch, shown
from .streams import is_closed_stdin

GZIP_MAGIC = b"\x1f\x8b"
# Editors on some systems start UTF-8 files with a byte-order mark. Left in,
# it would hide a FASTA file's '>' and end up inside the first sequence.
UTF8_BOM = b"\xef\xbb\xbf"
# What SAM text starts with: a header line, or a header-less record (a
# name, which cannot start with '@', then a numeric flag, a reference
# name and two numbers). No FASTA, FASTQ or sequence line looks so.
SAM_START = re.compile(rb"@(HD|SQ|RG|PG|CO)\t|[!-?A-~][!-~]*\t\d+\t[^\t\n]+\t\d+\t\d+\t")
BAM_MAGIC = b"BAM\x01"


class ClosedStdin(Exception):
    """The input is stdin, which was closed when the run began."""


class Source:
    """An open input file ("-": stdin): its (decompressed) bytes, and how
    far into the file (in bytes as stored, compressed or not) reading has
    come, for progress estimates."""

    def __init__(self, path: str, start: int | None = None) -> None:
        self.path = path
        self.alignments: str | None = None
        if path == STDIN:
            # A copy, so that closing this source leaves fd 0 to the process.
            self._raw = open(os.dup(0), "rb")
        else:
            self._raw = open(path, "rb")
        self._text: IO[str] | None = None
        try:
            status = os.fstat(self._raw.fileno())
            if is_closed_stdin(status, path):
                raise ClosedStdin
            regular = stat.S_ISREG(status.st_mode)
            # Where a regular file's reading starts: stdin redirected from a
            # file may have been read partly before the run began.
            self._start = start if start is not None else (self._raw.tell() if regular else 0)
            if regular and path == STDIN:
                self._raw.seek(self._start)
            self.size: int | None = status.st_size if regular else None
            self.binary: IO[bytes] = self._raw
            # "bam" or "sam" for alignments (read by htslib from the raw
            # bytes, left unread here), else None.
            self.alignments = _alignments_in(self._raw)
            if self.alignments is not None:
                self.first_byte = b""
                return
            if self._raw.peek(2)[:2] == GZIP_MAGIC:
                self.binary = _gunzip(self._raw)
            peek = cast(io.BufferedReader, self.binary).peek
            if peek(3)[:3] == UTF8_BOM:
                self.binary.read(3)
            self.first_byte = peek(1)[:1]
        except BaseException:
            self._raw.close()
            raise

    def raw(self) -> IO[bytes]:
        """The file as stored, from where reading started: for a reader
        of its own (htslib's). A pipe's first bytes, peeked at to tell its
        format, are still in its buffer, in front of the rest."""
        if self.size is None:
            return self._raw
        # Unbuffered from here: htslib reads through a copy of the file
        # descriptor, whose offset is then what `position` reports.
        raw = self._raw.detach()
        raw.seek(self._start)
        self._raw = self.binary = cast(Any, raw)
        return self.binary

    def again(self) -> Source:
        """The same input opened anew, from where this one started; only for
        regular files (stdin included when it is one), which can be read twice."""
        return Source(self.path, self._start)

    @property
    def text(self) -> IO[str]:
        if self._text is None:
            self._text = io.TextIOWrapper(self.binary, encoding="utf-8", newline=None)
        return self._text

    def position(self) -> int:
        try:
            return self._raw.tell()
        except OSError, ValueError:
            return 0

    def close(self) -> None:
        if self._text is not None:
            self._text.close()
        self.binary.close()
        self._raw.close()

    def __enter__(self) -> Source:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _alignments_in(raw: io.BufferedReader) -> str | None:
    """ "bam" or "sam" when the input is BAM, or SAM (bgzip-compressed or
    not), by its first bytes; peeked at, none consumed."""
    head = raw.peek(1 << 16)
    if head[:2] == GZIP_MAGIC:
        try:
            head = zlib.decompressobj(16 + zlib.MAX_WBITS).decompress(head, 1 << 10)
        except zlib.error:
            return None  # reading it as gzip says what is wrong
        if head[:4] == BAM_MAGIC:
            return "bam"
    return "sam" if SAM_START.match(head) else None


# ISA-L's decompressor where it is installed (pyproject's `fast` extra),
# several times faster than zlib on x86_64; its own error for damaged data.
fast_gzip: Any
try:
    from isal import igzip as fast_gzip  # type: ignore[import-untyped,import-not-found,unused-ignore,no-redef]
    from isal import isal_zlib as _isal_zlib  # type: ignore[import-untyped,import-not-found,unused-ignore]

    _DAMAGED: tuple[type[Exception], ...] = (gzip.BadGzipFile, zlib.error, cast(type[Exception], _isal_zlib.error))
except ImportError:
    fast_gzip = None
    _DAMAGED = (gzip.BadGzipFile, zlib.error)


def _gunzip(raw: IO[bytes]) -> IO[bytes]:
    """A decompressing reader: ISA-L's where it is installed, else the
    standard library's."""
    if fast_gzip is None:
        return cast(IO[bytes], gzip.GzipFile(fileobj=raw, mode="rb"))
    return cast(IO[bytes], fast_gzip.IGzipFile(fileobj=raw, mode="rb"))


@contextlib.contextmanager
def reading_errors(path: str) -> Iterator[None]:
    """Every failure to open, read or decode `path` turned into an
    InputError naming it."""
    name = shown(path)
    try:
        yield
    except ClosedStdin:
        raise InputError(
            "stdin is closed: name a file to read instead of -"
            if path == STDIN
            else f"{path} is stdin, which is closed: name a file to read instead"
        ) from None
    except InputError as error:
        raise InputError(f"{name}: {error}") from None
    except FileNotFoundError:
        raise InputError(f"{name}: no such file") from None
    except IsADirectoryError:
        raise InputError(f"{name}: is a directory") from None
    except EOFError:
        raise InputError(f"{name}: compressed data ends early (truncated gzip file?)") from None
    except _DAMAGED as error:
        raise InputError(f"{name}: corrupt gzip data ({error})") from None
    except UnicodeDecodeError:
        raise InputError(f"{name}: not a text file (nor gzip-compressed text)") from None
    except OSError as error:
        raise InputError(described(error, name)) from None


def checked(path: str, stream: Iterator[Batch]) -> Generator[Batch]:
    """`stream` with every read or decoding failure turned into an
    InputError naming `path`."""
    with reading_errors(path):
        yield from stream


def open_source(path: str) -> Source:
    with reading_errors(path):
        return Source(path)
