"""Molecules as the command passes them on: the module's Molecule, read
back from the spool, or with the cell it was given.

The field names and their order are the module's own (mendseqs.Molecule),
taken from the type itself and never written out here: the records below
are built from them, and fields are read and replaced by name."""

from __future__ import annotations

import collections
from typing import Any

import mendseqs

FIELDS: tuple[str, ...] = tuple(mendseqs.Molecule.__match_args__)


def _record(name: str, fields: tuple[str, ...]) -> Any:
    return collections.namedtuple(name, fields)


# A molecule read back from the spool (see spool.py): Molecule's fields.
SpooledMolecule = _record("SpooledMolecule", FIELDS)
# A molecule with its cell (see cells.py): Molecule's fields, then `cell`.
CellMolecule = _record("CellMolecule", (*FIELDS, "cell"))


def with_cell(molecule: Any, cell: str, **changed: object) -> Any:
    """`molecule` (a Molecule or a SpooledMolecule, whose fields are
    Molecule's in Molecule's order) as a CellMolecule in `cell`, with the
    fields named in `changed` replaced."""
    made = CellMolecule._make((*molecule, cell))
    return made._replace(**changed) if changed else made
