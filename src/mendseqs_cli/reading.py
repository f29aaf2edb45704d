"""Reading sequences: FASTA, FASTQ or one sequence per line, plain or
gzip-compressed, and unaligned SAM or BAM (see bam.py), told apart by their
content, never by their names."""

from __future__ import annotations

import itertools
import re
from collections.abc import Iterator
from typing import Any, cast

from . import bam
from .errors import InputError
from .records import Batch
from .sources import Source, open_source, reading_errors


def batches(source: Source, size: int) -> Iterator[Batch]:
    """The records of `source` in file order, `size` at a time (the last
    batch may be shorter; none is empty)."""
    if source.alignments is not None:
        yield from bam.batches(source, size)
    elif fast_reader is not None and source.size is not None and source.first_byte in (b">", b"@"):
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


def read_all(path: str) -> list[str]:
    """Every sequence of `path`, e.g. a reference list; read once, so that
    stdin may be a pipe."""
    with open_source(path) as source, reading_errors(path):
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
