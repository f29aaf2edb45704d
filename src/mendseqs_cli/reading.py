"""Reading sequences: FASTA, FASTQ or one sequence per line, plain or
gzip-compressed, told apart by their content, never by their names."""

from __future__ import annotations

import contextlib
import gzip
import io
import itertools
import os
import re
import stat
import zlib
from collections.abc import Generator, Iterator
from dataclasses import dataclass, field
from typing import IO, Any, cast

from .errors import InputError
from .streams import is_closed_stdin

GZIP_MAGIC = b"\x1f\x8b"
# Editors on some systems start UTF-8 files with a byte-order mark. Left in,
# it would hide a FASTA file's '>' and end up inside the first sequence.
UTF8_BOM = b"\xef\xbb\xbf"


@dataclass
class Batch:
    """Consecutive records, column by column: cheaper to build and to write
    than one object per record. `headers` hold the FASTA/FASTQ header line
    without its marker, or the line number for one-sequence-per-line input;
    `qualities` is None unless the input is FASTQ."""

    headers: list[str] = field(default_factory=list)
    sequences: list[str] = field(default_factory=list)
    qualities: list[str] | None = None

    def __len__(self) -> int:
        return len(self.sequences)


def record_id(header: str) -> str:
    """A record's id: its header's first word."""
    words = header.split(maxsplit=1)
    return words[0] if words else ""


# The path that names stdin, as for most Unix tools.
STDIN = "-"


class ClosedStdin(Exception):
    """The input is stdin, which was closed when the run began."""


def shown(path: str) -> str:
    """How messages name an input."""
    return "stdin" if path == STDIN else path


class Source:
    """An open input file ("-": stdin): its (decompressed) bytes, and how
    far into the file (in bytes as stored, compressed or not) reading has
    come, for progress estimates."""

    def __init__(self, path: str, start: int | None = None) -> None:
        self.path = path
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
            if self._raw.peek(2)[:2] == GZIP_MAGIC:
                self.binary = _gunzip(self._raw)
            peek = cast(io.BufferedReader, self.binary).peek
            if peek(3)[:3] == UTF8_BOM:
                self.binary.read(3)
            self.first_byte = peek(1)[:1]
        except BaseException:
            self._raw.close()
            raise

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


def _gunzip(raw: IO[bytes]) -> IO[bytes]:
    """A decompressing reader: ISA-L's where it is installed (several times
    faster than zlib on x86_64), else the standard library's."""
    try:
        from isal import igzip  # type: ignore[import-untyped,import-not-found,unused-ignore]
    except ImportError:
        return cast(IO[bytes], gzip.GzipFile(fileobj=raw, mode="rb"))
    return cast(IO[bytes], igzip.IGzipFile(fileobj=raw, mode="rb"))  # type: ignore[no-untyped-call,unused-ignore]


def batches(source: Source, size: int) -> Iterator[Batch]:
    """The records of `source` in file order, `size` at a time (the last
    batch may be shorter; none is empty)."""
    if fast_reader is not None and source.size is not None and source.first_byte in (b">", b"@"):
        yield from _fast_batches(source, size)
    else:
        yield from _batches(source.text, size)


def _batches(lines: Iterator[str], size: int) -> Iterator[Batch]:
    """Record by record in Python: any format, any text, and the messages
    that say what is wrong where."""
    number = 0
    for line in lines:
        number += 1
        if line.strip():
            break
    else:
        return
    if line.startswith(">"):
        yield from _in_batches(_fasta(line, lines), size, with_qualities=False)
    elif line.startswith("@"):
        yield from _fastq_batches(line, number, lines, size)
    else:
        first = (str(number), line.strip(), None)
        rest = ((str(n), stripped, None) for n, text in enumerate(lines, number + 1) if (stripped := text.strip()))
        yield from _in_batches(itertools.chain([first], rest), size, with_qualities=False)


fast_reader: Any  # the dnaio module, or None where it is not installed
try:
    import dnaio as _dnaio  # type: ignore[import-untyped,import-not-found,unused-ignore]

    fast_reader = _dnaio
except ImportError:
    fast_reader = None


class _Irregular(Exception):
    """Something the fast reader reads otherwise than _batches would."""


_WHITESPACE = re.compile(r"\s")


def _edge_space(texts: list[str]) -> bool:
    """Whether any text may start or end in whitespace (which a FASTQ line
    loses when read by _batches): whitespace sorts before every visible
    ASCII character, which is all dnaio passes on. Cheaper than a search."""
    return bool(texts) and (min(texts) < "!" or min([text[-1:] for text in texts]) < "!")


def _fast_batches(source: Source, size: int) -> Iterator[Batch]:
    """FASTA and FASTQ through dnaio, several times faster than Python's
    own line reading. Where dnaio refuses something (non-ASCII text, blank
    lines between records, a '+' line naming another record, bad data of
    any kind) or would read it otherwise (spaces around a sequence), the
    file is read again from its start by _batches, which skips the records
    already passed on and takes over: the records, and the messages about
    bad ones, are the same either way. Only for regular files, which can be
    read twice."""
    fastq = source.first_byte == b"@"
    consumed = 0
    try:
        reader = fast_reader.open(source.binary, fileformat="fastq" if fastq else "fasta", mode="r")
    except Exception:
        reader = None
    if reader is not None:
        with reader:
            while True:
                try:
                    chunk = list(itertools.islice(reader, size))
                    batch = Batch(
                        [r.name for r in chunk],
                        [r.sequence for r in chunk],
                        [r.qualities for r in chunk] if fastq else None,
                    )
                    if batch.qualities is None:
                        if _WHITESPACE.search("".join(batch.sequences)):
                            raise _Irregular  # FASTA lines are stripped one by one
                    elif _edge_space(batch.sequences) or _edge_space(batch.qualities):
                        batch.sequences = [s.strip() for s in batch.sequences]
                        batch.qualities = [q.strip() for q in batch.qualities]
                        if list(map(len, batch.sequences)) != list(map(len, batch.qualities)):
                            raise _Irregular
                except Exception:
                    break
                if not chunk:
                    return
                yield batch
                consumed += len(batch)
    with source.again() as again:
        for batch in _batches(again.text, size):
            if consumed >= len(batch):
                consumed -= len(batch)
                continue
            if consumed:
                batch = Batch(
                    batch.headers[consumed:],
                    batch.sequences[consumed:],
                    None if batch.qualities is None else batch.qualities[consumed:],
                )
                consumed = 0
            yield batch


Record = tuple[str, str, str | None]


def _in_batches(records: Iterator[Record], size: int, with_qualities: bool) -> Iterator[Batch]:
    while chunk := list(itertools.islice(records, size)):
        headers, sequences, qualities = (list(column) for column in zip(*chunk, strict=True))
        yield Batch(headers, sequences, cast(list[str], qualities) if with_qualities else None)


def _fasta(first: str, lines: Iterator[str]) -> Iterator[Record]:
    header, parts = first[1:].rstrip("\n"), list[str]()
    for line in lines:
        if line.startswith(">"):
            yield header, "".join(parts), None
            header, parts = line[1:].rstrip("\n"), []
        else:
            parts.append(line.strip())
    yield header, "".join(parts), None


def _fastq_batches(first: str, number: int, lines: Iterator[str], size: int) -> Iterator[Batch]:
    """FASTQ four lines at a time, sliced column-wise while the input is
    regular (no blank lines between records, nothing malformed): several
    times faster than one record at a time. At the first irregularity the
    rest is read record by record, which also reports what is wrong."""
    pending = [first]
    while True:
        chunk = pending + list(itertools.islice(lines, 4 * size - len(pending)))
        pending = []
        if not chunk:
            return
        heads, sequences, pluses, qualities = chunk[0::4], chunk[1::4], chunk[2::4], chunk[3::4]
        if len(chunk) % 4 == 0 and all(h.startswith("@") for h in heads) and all(p.startswith("+") for p in pluses):
            sequences = [s.strip() for s in sequences]
            qualities = [q.strip() for q in qualities]
            if list(map(len, sequences)) == list(map(len, qualities)):
                yield Batch([h[1:].rstrip("\n") for h in heads], sequences, qualities)
                number += len(chunk)
                continue
        # Irregular: record by record from this chunk's first line on.
        records = _fastq(number, itertools.chain(chunk, lines))
        yield from _in_batches(records, size, with_qualities=True)
        return


def _fastq(number: int, lines: Iterator[str]) -> Iterator[Record]:
    """Four lines a record: @header, sequence, +[header], quality; blank
    lines may separate records. `number` is the first line's."""
    header = next(lines, None)
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
            yield header[1:].rstrip("\n"), sequence, quality
            number += 3
        header = next(lines, None)
        number += 1


@contextlib.contextmanager
def _reading_errors(path: str) -> Iterator[None]:
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
    except (gzip.BadGzipFile, zlib.error) as error:
        raise InputError(f"{name}: corrupt gzip data ({error})") from None
    except UnicodeDecodeError:
        raise InputError(f"{name}: not a text file (nor gzip-compressed text)") from None
    except OSError as error:
        raise InputError(f"{name}: {error.strerror or error}") from None


def checked(path: str, stream: Iterator[Batch]) -> Generator[Batch]:
    """`stream` with every read or decoding failure turned into an
    InputError naming `path`."""
    with _reading_errors(path):
        yield from stream


def open_source(path: str) -> Source:
    with _reading_errors(path):
        return Source(path)


def read_all(path: str) -> list[str]:
    """Every sequence of `path`, e.g. a reference list; read once, so that
    stdin may be a pipe."""
    with open_source(path) as source, _reading_errors(path):
        if source.first_byte in (b">", b"@"):
            return [sequence for batch in batches(source, 1 << 20) for sequence in batch.sequences]
        # One per line, most likely: only the sequences are wanted, not
        # their line numbers, so blocks of lines are stripped at once,
        # several times faster than record by record.
        sequences: list[str] = []
        blank: list[str] = []
        while block := source.text.readlines(1 << 24):
            if not sequences:
                first = next((line for line in block if line.strip()), "")
                if first[:1] in (">", "@"):  # blank lines, then FASTA or FASTQ after all
                    lines = itertools.chain(blank, block, source.text)
                    return [sequence for batch in _batches(lines, 1 << 20) for sequence in batch.sequences]
                if not first:
                    blank += block  # kept for the line numbers of messages
            sequences += [stripped for stripped in map(str.strip, block) if stripped]
        return sequences
