"""Writing corrected reads: TSV, FASTA or FASTQ, plain or gzip-compressed,
to a file that appears only when the whole run succeeded, or to any other
kind of destination (stdout, a terminal, a pipe, a device) written
straight through (see output_files.py)."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Iterator
from typing import IO

from .errors import InputError, about
from .output_files import STDOUT, Outputs
from .records import Batch, record_id

FORMATS = ("tsv", "fasta", "fastq")
SUFFIXES = {".tsv": "tsv", ".fasta": "fasta", ".fa": "fasta", ".fna": "fasta", ".fastq": "fastq", ".fq": "fastq"}


def output_format_of(path: str | None, chosen: str | None) -> tuple[str, bool]:
    """The output's format, and whether it is gzip-compressed: from the
    suffix, in any letter case, unless `chosen` names the format."""
    if path is None or path == STDOUT:
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


@contextlib.contextmanager
def results(path: str | None, compressed: bool, closed: frozenset[int]) -> Iterator[IO[bytes]]:
    """Where a run's results go: the file `path` (see output_files), or
    stdout (None or `-`). A failed write ends the run with one line naming
    the output; a reader that went away (`| head`) ends it without one."""
    name = "stdout" if path in (None, STDOUT) else path
    with Outputs(closed) as outputs, about(name):
        if path is None and 1 in closed:
            raise InputError("stdout is closed: name an output file with -o")
        yield outputs.open(path or STDOUT, compressed)
        outputs.commit()
