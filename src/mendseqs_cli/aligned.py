"""Aligned reads in (SAM, BAM or CRAM, a file or stdin, through pysam), and
what counting needs of each record: where its bases align, its junctions,
its cell and UMI."""

from __future__ import annotations

import re
import shlex
from collections.abc import Iterator
from typing import Any

from .bam import _pysam, _version
from .errors import InputError

NOT_PRIMARY = 0x100 | 0x800
UNMAPPED = 0x4
REVERSE = 0x10


def pysam_module() -> Any:
    """pysam, or InputError saying how to install it."""
    return _pysam()


def open_aligned(path: str) -> Any:
    """The aligned reads at `path` ("-": stdin), SAM, BAM or CRAM by content.
    Refuses a file with no reference sequences: nothing in it is aligned."""
    pysam = _pysam()
    try:
        opened = pysam.AlignmentFile(path, "r", threads=2, check_sq=False)
    except (OSError, ValueError) as error:
        raise InputError(f"{path}: not readable SAM, BAM or CRAM ({error})") from None
    if not opened.header.references:
        opened.close()
        raise InputError(f"{path}: no @SQ lines: not aligned (align tag's output with minimap2 -ax splice -y first)")
    return opened


def records(opened: Any, path: str) -> Iterator[Any]:
    """Every record, a truncated or damaged file raised as InputError."""
    iterator = opened.fetch(until_eof=True)
    while True:
        try:
            record = next(iterator)
        except StopIteration:
            return
        except (OSError, ValueError) as error:
            raise InputError(f"{path}: truncated or damaged alignments ({error})") from None
        yield record


_INTRON = re.compile(r"(\d+)N")
_REFERENCE_RUN = re.compile(r"(\d+)[MD=X]")


def shape(record: Any) -> tuple[list[tuple[int, int]], list[tuple[int, int]]]:
    """(spans, junctions) of a mapped record, in genomic order: the spans
    are the stretches between introns (CIGAR N), deletions and all, and
    the junctions the introns. The CIGAR is read as text, a few regular
    expression calls per read rather than a Python step per operation:
    reads with errors have dozens of them."""
    position = record.reference_start
    spans: list[tuple[int, int]] = []
    junctions: list[tuple[int, int]] = []
    pieces = _INTRON.split(record.cigarstring)
    for k in range(0, len(pieces), 2):
        length = sum(map(int, _REFERENCE_RUN.findall(pieces[k])))
        spans.append((position, position + length))
        position += length
        if k + 1 < len(pieces):
            intron = int(pieces[k + 1])
            junctions.append((position, position + intron))
            position += intron
    return spans, junctions


def tag_or_none(record: Any, name: str) -> Any:
    try:
        return record.get_tag(name)
    except KeyError:
        return None


def output_header(header: Any, argv: list[str]) -> dict[str, Any]:
    """The input's header (references, read groups, programs, comments)
    with an @PG line for this run, chained after the input's last program."""
    own: dict[str, Any] = header.to_dict()
    programs = own.setdefault("PG", [])
    taken = {pg.get("ID") for pg in programs}
    ident, n = "mendseqs-count", 1
    while ident in taken:
        n += 1
        ident = f"mendseqs-count.{n}"
    line = {"ID": ident, "PN": "mendseqs", "VN": _version(), "CL": shlex.join(argv)}
    # The chain's end: a program no other names as its previous one.
    previous = {pg.get("PP") for pg in programs}
    ends = [pg["ID"] for pg in programs if "ID" in pg and pg["ID"] not in previous]
    if ends:
        line["PP"] = ends[-1]
    programs.append(line)
    return own
