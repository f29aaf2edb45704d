"""The cells of a run (`--cells FILE|auto`) and the per-barcode counts.

A cell list narrows the search: each molecule goes to a listed (or called)
cell when that cell is its raw barcode's unique nearest one among the cells,
within the tolerance and the margin; otherwise to the whole whitelist's
unique nearest entry, as without a list, marked as not a cell (`cell` is
"no" in the table, `cc:A:N` in the tagged reads). Among 2,000 cells a
barcode read with errors rarely has two equally near candidates, where
among hundreds of thousands of entries it often has: that is what the list
buys.

`auto` finds the cells first (pass 1): molecules whose raw barcode is
exactly a whitelist entry are counted per entry, and knee.call_cells picks
the cells from those counts. The reads are then assigned as with a list
(pass 2) from a spool of pass 1's reads and results (see spool.py), so the
input is read, and each read tagged, once.
"""

from __future__ import annotations

import collections
from collections.abc import Iterable, Iterator, Sequence
from typing import Any

from .calls import ModuleCalls
from .errors import InputError
from .reading import read_all, shown

# What a molecule's `cell` says: assigned to a cell of the list, assigned
# to a whitelist entry outside it, or neither (no list, or not assigned).
IN_CELL, OUTSIDE, NO_CELL = "yes", "no", ""
NO_CALL = (
    "--cells auto: no cell can be called, since no molecule's raw barcode is exactly a whitelist entry "
    "(the right whitelist and layout?)"
)
# Statuses whose raw barcode is worth a search among the cells. A molecule
# on both strands of its read stays as it is: which barcode belongs to it
# cannot be told.
SEARCHED = frozenset(("assigned", "ambiguous", "no_match"))
MOLECULE_FIELDS = (
    "segment",
    "strand",
    "flank_start",
    "flank_end",
    "flank_edits",
    "barcode_start",
    "barcode_end",
    "raw_barcode",
    "barcode",
    "distance",
    "runner_up",
    "ties",
    "umi_start",
    "umi_end",
    "umi",
    "insert_start",
    "insert_end",
    "status",
)


def _record(name: str, fields: tuple[str, ...]) -> Any:
    return collections.namedtuple(name, fields)


# A molecule read back from the spool: Molecule's fields, by name.
SpooledMolecule = _record("SpooledMolecule", MOLECULE_FIELDS)
# A molecule with its cell: Molecule's fields, then `cell`.
CellMolecule = _record("CellMolecule", (*MOLECULE_FIELDS, "cell"))


def read_cells(path: str, barcode_length: int | None) -> list[str]:
    """The cells of a plain list or of a Cell Ranger barcodes.tsv(.gz): one
    barcode per line, its first tab-separated field, with Cell Ranger's
    `-1` suffix taken off; in the file's order, each once. All of
    `barcode_length` letters (None: the first one's)."""
    entries = read_all(path)
    cells: list[str] = []
    for number, entry in enumerate(entries, 1):
        barcode = entry.split("\t", 1)[0].strip().upper().removesuffix("-1")
        if barcode_length is None:
            barcode_length = len(barcode)
        if len(barcode) != barcode_length or barcode.strip("ACGT"):
            raise InputError(
                f"{shown(path)}: entry {number} ('{entry[:40]}') is not a cell barcode of {barcode_length} "
                "letters A, C, G, T (with or without -1)"
            )
        cells.append(barcode)
    if not cells:
        raise InputError(f"{shown(path)}: no cells")
    return list(dict.fromkeys(cells))


def check_on_whitelist(cells: list[str], index: Any, threads: int, calls: ModuleCalls, named: str) -> None:
    """Every cell must be a whitelist entry: one that is not could only be
    a mistake (another kit's list, a list of another run)."""
    found = calls.call(index.nearest, cells, threads)
    for number, (cell, near) in enumerate(zip(cells, found, strict=True), 1):
        if near.distance != 0:
            raise InputError(f"{named}: cell {number}, {cell}, is not on the whitelist")


class CellAssigner:
    """Assigns molecules to the cells (see the module's description)."""

    def __init__(self, cells: list[str], max_flex: int, margin: int, threads: int, calls: ModuleCalls) -> None:
        import mendseqs

        self.cells = cells
        self.called = frozenset(cells)
        self.margin, self.threads, self.calls = margin, threads, calls
        # (No cells at all, when none could be called: every molecule keeps
        # the whole list's choice.)
        self.index = calls.call(mendseqs.ReferenceIndex, cells, max_flex, threads) if cells else None

    def assign(self, tagged: Sequence[tuple[Any, ...]], reads: Sequence[str] | None = None) -> list[tuple[Any, ...]]:
        """The molecules of `tagged` with their cells; with the `reads`
        themselves, a barcode that finds no cell is read again (see
        `_read_again`)."""
        out = self._assign(tagged)
        if reads is not None and self.index is not None:
            self._read_again(out, reads)
        return out

    def _read_again(self, out: list[tuple[Any, ...]], reads: Sequence[str]) -> None:
        """A molecule left without a barcode (ambiguous, no match) may have
        had its barcode window read a letter or two off where the flank's
        end was misread. Its window is read again, starting up to two
        letters either way, 15 to 17 letters long; a reading within one
        edit (distance 2) of exactly one cell, and no reading near another,
        gives it that cell: on simulated reads, 456 of 461 such molecules
        got their own cell."""
        wanted: list[tuple[int, int, list[tuple[str, int, int]]]] = []
        for number, molecules in enumerate(out):
            for position, m in enumerate(molecules):
                if m.cell or m.status not in ("ambiguous", "no_match") or m.barcode_start is None:
                    continue
                wanted.append((number, position, _readings(reads[number], m)))
        queries = [text for _, _, readings in wanted for text, _, _ in readings]
        if not queries:
            return
        assert self.index is not None
        found = iter(self.calls.call(self.index.nearest, queries, self.threads))
        for number, position, readings in wanted:
            hits = []
            for reading in readings:
                near = next(found)
                if near.reference and near.ties == 1 and near.distance <= RESCUE_DISTANCE:
                    hits.append((near.distance, near.reference, reading))
            if not hits or len({cell for _, cell, _ in hits}) > 1:
                continue
            distance, cell, (text, start, end) = min(hits)
            m = out[number][position]
            fields = list(m)
            fields[5:12] = [start, end, text, cell, distance, None, 1]
            read = list(out[number])
            read[position] = CellMolecule(*fields[:17], "assigned", IN_CELL)
            out[number] = tuple(read)

    def _assign(self, tagged: Sequence[tuple[Any, ...]]) -> list[tuple[Any, ...]]:
        index = self.index
        queries: list[str] = []
        if index is not None:
            queries = [
                m.raw_barcode for molecules in tagged for m in molecules if m.status in SEARCHED and m.raw_barcode
            ]
        found = iter(self.calls.call(index.nearest, queries, self.threads) if index is not None and queries else ())
        margin = self.margin
        out: list[tuple[Any, ...]] = []
        for molecules in tagged:
            assigned = []
            for m in molecules:
                fields = tuple(m)
                if self.index is not None and m.status in SEARCHED and m.raw_barcode:
                    near = next(found)
                    if (
                        near.reference
                        and near.ties == 1
                        and (near.runner_up is None or near.runner_up - near.distance >= margin)
                    ):
                        # The distances shown are those among the cells.
                        fields = (*fields[:8], near.reference, near.distance, near.runner_up, near.ties, *fields[12:17])
                        assigned.append(CellMolecule(*fields, "assigned", IN_CELL))
                        continue
                # The whole list's choice, which may rest on more than the
                # raw barcode (the read's other readings of it): a cell
                # when it is one.
                cell = NO_CELL if m.status != "assigned" else IN_CELL if m.barcode in self.called else OUTSIDE
                assigned.append(CellMolecule(*fields[:17], m.status, cell))
            out.append(tuple(assigned))
        return out


# How near a cell a barcode read again must be: one edit.
RESCUE_DISTANCE = 2
_COMPLEMENT = str.maketrans("ACGTNacgtn", "TGCANtgcan")


def _readings(read: str, m: Any) -> list[tuple[str, int, int]]:
    """(reading as written, start, end in the read) of the barcode window
    of `m` started up to two letters either way, 15 to 17 letters long,
    other than the one read already."""
    out = []
    length = m.barcode_end - m.barcode_start
    for shift in (-2, -1, 0, 1, 2):
        for size in (length - 1, length, length + 1):
            if m.strand == "+":
                start = m.barcode_start + shift
                end = start + size
            else:  # written from the end of the span, on the other strand
                end = m.barcode_end - shift
                start = end - size
            if start < 0 or end > len(read) or (start, end) == (m.barcode_start, m.barcode_end):
                continue
            text = read[start:end].upper()
            if m.strand == "-":
                text = text.translate(_COMPLEMENT)[::-1]
            out.append((text, start, end))
    return out


def exact_hits(tagged: Iterable[tuple[Any, ...]], into: dict[str, int]) -> None:
    """Pass 1's evidence: molecules whose raw barcode is exactly the
    whitelist entry they were given, counted per entry."""
    for molecules in tagged:
        for m in molecules:
            if m.distance == 0 and m.barcode and m.raw_barcode == m.barcode:
                into[m.barcode] = into.get(m.barcode, 0) + 1


_UMI_DIGITS = str.maketrans("ACGT", "0123")


def _packed(umi: str) -> int | str:
    """A UMI of A, C, G and T as a small integer (half the memory of the
    text, across millions of molecules); any other kept as text."""
    digits = umi.translate(_UMI_DIGITS)
    if len(umi) < 30 and digits.isdigit() and "4" not in digits:
        return int("1" + digits, 4)
    return umi


class BarcodeCounts:
    """Per assigned barcode: reads with a molecule assigned to it, those
    molecules, and their distinct raw UMIs (empty UMIs not counted); exact,
    in memory, about 60 bytes per distinct barcode and UMI. With read
    errors most reads of one molecule carry a UMI of their own, so the
    distinct UMIs count reads more than molecules: `mendseqs count`
    clusters them into molecules per cell and gene."""

    def __init__(self) -> None:
        self.reads: dict[str, int] = {}
        self.molecules: dict[str, int] = {}
        self.umis: dict[str, set[int | str]] = {}

    def add_read(self, molecules: Iterable[tuple[str, str]]) -> None:
        """One read's assigned molecules, as (barcode, UMI) pairs."""
        seen: set[str] = set()
        for barcode, umi in molecules:
            self.molecules[barcode] = self.molecules.get(barcode, 0) + 1
            if barcode not in seen:
                seen.add(barcode)
                self.reads[barcode] = self.reads.get(barcode, 0) + 1
                if barcode not in self.umis:
                    self.umis[barcode] = set()
            if umi:
                self.umis[barcode].add(_packed(umi))

    def rows(self, cells: Iterable[str] | None) -> list[tuple[str, int, int, int, str]]:
        """(barcode, reads, molecules, distinct UMIs, called) for every
        barcode assigned a molecule and every cell, most reads first.
        `called` is yes or no, or empty without a cell list."""
        called = frozenset(cells) if cells is not None else None
        barcodes = set(self.reads) | (called or frozenset())
        rows = [
            (
                b,
                self.reads.get(b, 0),
                self.molecules.get(b, 0),
                len(self.umis.get(b, ())),
                "" if called is None else IN_CELL if b in called else OUTSIDE,
            )
            for b in barcodes
        ]
        rows.sort(key=lambda row: (-row[1], -row[2], row[0]))
        return rows


COUNT_COLUMNS = ("barcode", "reads", "molecules", "distinct_umis", "called")


def counts_text(rows: Iterable[tuple[str, int, int, int, str]]) -> str:
    return "\t".join(COUNT_COLUMNS) + "\n" + "".join(f"{b}\t{r}\t{m}\t{u}\t{c}\n" for b, r, m, u, c in rows)


class Plan:
    """What `--cells` asks of a run: a list read and checked before any
    read is tagged, or `auto`: pass 1's exact hits counted and its batches
    spooled, then the cells called and the batches assigned from the spool."""

    def __init__(self, args: Any, barcode_length: int, index: Any, threads: int, calls: ModuleCalls) -> None:
        self.auto = args.cells == "auto"
        self.max_flex, self.margin, self.threads, self.calls = index.max_flex, args.margin, threads, calls
        self.exact: dict[str, int] = {}
        self.threshold: int | None = None
        self.rule: str | None = None
        self.spool: Any = None
        self.cells: list[str] = []
        self.assigner: CellAssigner | None = None
        if self.auto:
            from .spool import Spool

            self.spool = Spool()
        else:
            self.cells = read_cells(args.cells, barcode_length)
            check_on_whitelist(self.cells, index, threads, calls, shown(args.cells))
            self.assigner = CellAssigner(self.cells, self.max_flex, self.margin, threads, calls)

    def take(self, batch: Any, tagged: list[tuple[Any, ...]]) -> list[tuple[Any, ...]] | None:
        """A batch's molecules with their cells, or None in pass 1 of auto
        (counted and spooled, to come back from `second_pass`)."""
        if self.assigner is not None:
            return self.assigner.assign(tagged, batch.sequences)
        exact_hits(tagged, self.exact)
        self.spool.add(batch, tagged)
        return None

    def second_pass(self) -> Iterator[tuple[Any, list[tuple[Any, ...]]]]:
        """auto: the cells called from pass 1, then each spooled batch with
        its molecules assigned."""
        from .knee import call_cells

        called = call_cells(self.exact)
        if not called.cells:
            raise InputError(NO_CALL)
        self.cells, self.threshold, self.rule = called.cells, called.threshold, called.rule
        self.assigner = CellAssigner(self.cells, self.max_flex, self.margin, self.threads, self.calls)
        for batch, tagged in self.spool:
            yield batch, self.assigner.assign(tagged, batch.sequences)

    def close(self) -> None:
        if self.spool is not None:
            self.spool.close()

    def summary(self, reads: int, reads_in_cells: int, molecules_in_cells: int) -> dict[str, object]:
        out: dict[str, object] = {"source": "auto" if self.auto else "list", "cells": len(self.cells)}
        if self.auto:
            out["rule"] = self.rule
            out["least_exact_hits"] = self.threshold
            out["barcodes_with_exact_hits"] = len(self.exact)
        out["reads_in_cells"] = reads_in_cells
        out["share_of_reads_in_cells"] = round(reads_in_cells / reads, 6) if reads else None
        out["molecules_in_cells"] = molecules_in_cells
        return out
