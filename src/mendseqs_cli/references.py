"""The references a run matches against: a reference file read whole, or a
saved index, told apart by the file's first bytes."""

from __future__ import annotations

from typing import TYPE_CHECKING

from .calls import ModuleCalls
from .errors import InputError
from .reading import read_all

if TYPE_CHECKING:
    from mendseqs import ReferenceIndex

# A saved index starts with these bytes (see ReferenceIndex.save): no text
# file does, as 0x89 cannot start UTF-8 text.
INDEX_MAGIC = b"\x89MSQIDX\n"


def is_saved_index(path: str) -> bool:
    try:
        with open(path, "rb") as file:
            return file.read(len(INDEX_MAGIC)) == INDEX_MAGIC
    except OSError:
        return False  # reading it as sequences reports what is wrong


def read_references(path: str) -> list[str]:
    references = read_all(path)
    if not references:
        raise InputError(f"{path}: no reference sequences")
    return references


def check_tolerance(references: list[str], max_flex: int, where: str) -> None:
    """Refuses a tolerance above the shortest reference's length before any
    work: the module would stop at the first query that reaches it."""
    lengths = list(map(len, references))
    shortest = min(lengths)
    if max_flex > shortest:
        raise InputError(
            f"--max-flex {max_flex} is larger than reference {lengths.index(shortest) + 1} of {where} "
            f"({shortest} letters long): the tolerance cannot exceed "
            "the length of any sequence it compares"
        )


def load_index(path: str, calls: ModuleCalls) -> ReferenceIndex:
    import mendseqs

    try:
        index: ReferenceIndex = calls.call(mendseqs.ReferenceIndex.load, path)
    except ValueError as error:
        raise InputError(str(error)) from None
    except OSError as error:
        raise InputError(f"{path}: {error.strerror or error}") from None
    return index


def build_index(path: str, max_flex: int, threads: int, calls: ModuleCalls) -> ReferenceIndex:
    """The references of the file at `path`, prepared for `max_flex`."""
    import mendseqs

    references = read_references(path)
    check_tolerance(references, max_flex, path)
    index: ReferenceIndex = calls.call(mendseqs.ReferenceIndex, references, max_flex, threads)
    return index
