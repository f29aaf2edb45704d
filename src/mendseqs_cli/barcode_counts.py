"""Per-barcode counts of a run (`--counts`, `--plot`): reads, molecules and
distinct UMIs per assigned barcode, and their table."""

from __future__ import annotations

from collections.abc import Iterable

from .cells import IN_CELL, OUTSIDE

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
    molecules, and their distinct UMIs (empty UMIs not counted); exact, in
    memory, about 60 bytes per distinct barcode and UMI."""

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


COUNT_COLUMNS = ("barcode", "reads", "molecules", "umis", "called")


def counts_text(rows: Iterable[tuple[str, int, int, int, str]]) -> str:
    return "\t".join(COUNT_COLUMNS) + "\n" + "".join(f"{b}\t{r}\t{m}\t{u}\t{c}\n" for b, r, m, u, c in rows)
