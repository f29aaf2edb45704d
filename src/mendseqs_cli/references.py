"""The references a run matches against: a reference file read whole, or a
saved index, told apart by the file's first bytes."""

from __future__ import annotations

from dataclasses import dataclass

import mendseqs
from mendseqs import ReferenceIndex

from .calls import ModuleCalls
from .errors import InputError
from .guard import Tolerance, short_references
from .reading import read_all
from .records import STDIN, shown

# A saved index starts with these bytes (see ReferenceIndex.save): no text
# file does, as 0x89 cannot start UTF-8 text.
INDEX_MAGIC = b"\x89MSQIDX\n"


def is_saved_index(path: str) -> bool:
    if path == STDIN:
        return False  # an index is mapped from a regular file
    try:
        with open(path, "rb") as file:
            return file.read(len(INDEX_MAGIC)) == INDEX_MAGIC
    except OSError:
        return False  # reading it as sequences reports what is wrong


@dataclass
class Prepared:
    index: ReferenceIndex
    tolerance: Tolerance
    # Identical entries of the reference file left out (see build).
    repeats: int = 0


def load(path: str, calls: ModuleCalls) -> Prepared:
    try:
        index: ReferenceIndex = calls.call(mendseqs.ReferenceIndex.load, path)
    except ValueError as error:
        raise InputError(str(error)) from None
    except OSError as error:
        raise InputError(f"{path}: {error.strerror or error}") from None
    return Prepared(index, Tolerance(index.max_flex, path, None))


def build(path: str, max_flex: int, threads: int, calls: ModuleCalls, unique: bool) -> Prepared:
    """The references of the file at `path`, prepared for `max_flex`.

    `unique`: identical entries are one reference, at the first one's
    position. That changes no first close-enough reference (a later copy
    is never reached before its first), but the nearest one would be tied
    with its own copies."""

    references = read_all(path)
    if not references:
        raise InputError(f"{shown(path)}: no reference sequences")
    # Positions as in the file, before any copy is left out.
    tolerance = Tolerance(max_flex, path, short_references(references, max_flex))
    given = len(references)
    if unique:
        references = list(dict.fromkeys(references))
    index: ReferenceIndex = calls.call(mendseqs.ReferenceIndex, references, max_flex, threads)
    return Prepared(index, tolerance, given - len(references))
