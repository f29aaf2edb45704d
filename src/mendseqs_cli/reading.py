"""Reading sequences: FASTA, FASTQ or one sequence per line, plain or
gzip-compressed, told apart by their content, never by their names."""
from __future__ import annotations

import gzip
import io
import itertools
import os
import stat
import zlib
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import IO, cast

GZIP_MAGIC = b"\x1f\x8b"
# Editors on some systems start UTF-8 files with a byte-order mark. Left in,
# it would hide a FASTA file's '>' and end up inside the first sequence.
UTF8_BOM = b"\xef\xbb\xbf"


class InputError(Exception):
    """Bad input or arguments: reported as one line, exit status 1."""


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


class Source:
    """An open input file: its text, and how far into the file (in bytes as
    stored, compressed or not) reading has come, for progress estimates."""

    def __init__(self, path: str) -> None:
        self.path = path
        self._raw = open(path, "rb")
        try:
            status = os.fstat(self._raw.fileno())
            self.size: int | None = status.st_size if stat.S_ISREG(status.st_mode) else None
            binary: IO[bytes] = self._raw
            if self._raw.peek(2)[:2] == GZIP_MAGIC:
                binary = cast(IO[bytes], gzip.GzipFile(fileobj=self._raw, mode="rb"))
            peek = getattr(binary, "peek")
            if peek(3)[:3] == UTF8_BOM:
                binary.read(3)
            self.text = io.TextIOWrapper(binary, encoding="utf-8", newline=None)
        except BaseException:
            self._raw.close()
            raise

    def position(self) -> int:
        try:
            return self._raw.tell()
        except (OSError, ValueError):
            return 0

    def close(self) -> None:
        self.text.close()
        self._raw.close()

    def __enter__(self) -> Source:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def batches(source: Source, size: int) -> Iterator[Batch]:
    """The records of `source` in file order, `size` at a time (the last
    batch may be shorter; none is empty)."""
    lines = source.text
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
        if (len(chunk) % 4 == 0 and all(h.startswith("@") for h in heads)
                and all(p.startswith("+") for p in pluses)):
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
                raise InputError(f"line {number + 3}: FASTQ record '{name}' has "
                                 f"{len(sequence)} bases but {len(quality)} quality values")
            yield header[1:].rstrip("\n"), sequence, quality
            number += 3
        header = next(lines, None)
        number += 1


def checked(path: str, stream: Iterator[Batch]) -> Iterator[Batch]:
    """`stream` with every read or decoding failure turned into an
    InputError naming `path`."""
    try:
        yield from stream
    except InputError as error:
        raise InputError(f"{path}: {error}") from None
    except EOFError:
        raise InputError(f"{path}: compressed data ends early (truncated gzip file?)") from None
    except (gzip.BadGzipFile, zlib.error) as error:
        raise InputError(f"{path}: corrupt gzip data ({error})") from None
    except UnicodeDecodeError:
        raise InputError(f"{path}: not a text file (nor gzip-compressed text)") from None
    except OSError as error:
        raise InputError(f"{path}: {error.strerror or error}") from None


def open_source(path: str) -> Source:
    try:
        return Source(path)
    except FileNotFoundError:
        raise InputError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise InputError(f"{path}: is a directory") from None
    except EOFError:
        raise InputError(f"{path}: compressed data ends early (truncated gzip file?)") from None
    except (gzip.BadGzipFile, zlib.error) as error:
        raise InputError(f"{path}: corrupt gzip data ({error})") from None
    except OSError as error:
        raise InputError(f"{path}: {error.strerror or error}") from None


def read_all(path: str) -> list[str]:
    """Every sequence of `path`, e.g. a reference list."""
    with open_source(path) as source:
        sequences: list[str] = []
        for batch in checked(path, batches(source, 1 << 20)):
            sequences += batch.sequences
        return sequences
