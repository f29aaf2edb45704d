"""What `--cells` asks of a run: a list read and checked before any read
is tagged, or `auto`, in two passes (see cells.py and spool.py)."""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

from .calls import ModuleCalls
from .cells import NO_CALL, CellAssigner, check_on_whitelist, exact_hits, read_cells
from .errors import PROGRAM, InputError, say
from .knee import call_cells
from .records import Batch, shown
from .spool import Spool

AUTO = "auto"


class Plan:
    """What `--cells` asks of a run: a list read and checked before any
    read is tagged, or `auto`: pass 1's exact hits counted and its batches
    spooled, then the cells called and the batches assigned from the spool."""

    def __init__(
        self,
        cells: str,
        margin: int,
        barcode_length: int,
        index: Any,
        threads: int,
        calls: ModuleCalls,
        expect_cells: int | None = None,
    ) -> None:
        """`cells`: a file of cells, or "auto" (calling `expect_cells` of
        them when given)."""
        self.auto = cells == AUTO
        self.expect_cells = expect_cells
        self.warning: str | None = None
        self.max_flex, self.margin, self.threads, self.calls = index.max_flex, margin, threads, calls
        self.exact: dict[str, int] = {}
        self.threshold: int | None = None
        self.rule: str | None = None
        self.spool: Spool | None = None
        self.cells: list[str] = []
        self.assigner: CellAssigner | None = None
        if self.auto:
            self.spool = Spool()
        else:
            self.cells = read_cells(cells, barcode_length)
            check_on_whitelist(self.cells, index, threads, calls, shown(cells))
            self.assigner = CellAssigner(self.cells, self.max_flex, self.margin, threads, calls)

    def take(self, batch: Batch, tagged: list[tuple[Any, ...]]) -> list[tuple[Any, ...]] | None:
        """A batch's molecules with their cells, or None in pass 1 of auto
        (counted and spooled, to come back from `second_pass`)."""
        if self.assigner is not None:
            return self.assigner.assign(tagged, batch.sequences)
        assert self.spool is not None
        exact_hits(tagged, self.exact)
        self.spool.add(batch, tagged)
        return None

    def second_pass(self) -> Iterator[tuple[Batch, list[tuple[Any, ...]]]]:
        """auto: the cells called from pass 1, then each spooled batch with
        its molecules assigned."""
        assert self.spool is not None
        called = call_cells(self.exact, self.expect_cells)
        if not called.cells:
            raise InputError(NO_CALL)
        self.cells, self.threshold, self.rule = called.cells, called.threshold, called.rule
        self.warning = called.warning
        if self.warning is not None:
            say(f"{PROGRAM}: warning: {self.warning}")
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
            if self.warning is not None:
                out["warning"] = self.warning
        out["reads_in_cells"] = reads_in_cells
        out["share_of_reads_in_cells"] = round(reads_in_cells / reads, 6) if reads else None
        out["molecules_in_cells"] = molecules_in_cells
        return out
