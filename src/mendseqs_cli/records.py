"""What a read is to the command, below every reader and writer: a batch of
records column by column, a record's id, how messages name an input, and
the one complement table of the command."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

# The path that names stdin (or stdout, for an output), as for most Unix tools.
STDIN = "-"

# IUPAC's complements, upper and lower case; any other letter stays itself.
_COMPLEMENT = str.maketrans("ACGTNacgtn", "TGCANtgcan")


def complement(sequence: str) -> str:
    return sequence.translate(_COMPLEMENT)


def reverse_complement(sequence: str) -> str:
    return sequence.translate(_COMPLEMENT)[::-1]


@dataclass
class Batch:
    """Consecutive records, column by column: cheaper to build and to write
    than one object per record. `headers` hold the FASTA/FASTQ header line
    without its marker, or the line number for one-sequence-per-line input;
    `qualities` is None unless the input is FASTQ (or SAM/BAM with
    qualities). From SAM/BAM, `tags` holds each record's own tags as SAM
    text (tab-separated, "" for none) and `header` the file's header."""

    headers: list[str] = field(default_factory=list)
    sequences: list[str] = field(default_factory=list)
    qualities: list[str] | None = None
    tags: list[str] | None = None
    header: dict[str, Any] | None = None

    def __len__(self) -> int:
        return len(self.sequences)


def record_id(header: str) -> str:
    """A record's id: its header's first word."""
    words = header.split(maxsplit=1)
    return words[0] if words else ""


def shown(path: str) -> str:
    """How messages name an input."""
    return "stdin" if path == STDIN else path
