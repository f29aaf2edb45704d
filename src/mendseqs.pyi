# Types of the native module, for mypy, pyright and editors. Installed beside
# the extension and copied beside it in the build tree; `python3.14 -m
# mypy.stubtest mendseqs` checks it against the built module.
#
# Calls that fail for reasons other than their arguments raise an exception
# named PanicException that derives from BaseException. The module exports no
# name for it, so none is declared here: catch BaseException and test
# `type(e).__name__ == "PanicException"`.
import os
from collections.abc import Sequence
from typing import Final, final

from _typeshed import structseq

__all__ = ["correct_seq_mt"]

def correct_seq_mt(ref_seqs: Sequence[str], query_seqs: Sequence[str], max_flex: int, threads: int) -> list[str]:
    """Each query's first reference, in list order, within `max_flex` of it
    (in length, in the count of `A`, and in the longest common subsequence),
    or "" when none is; computed on `threads` worker threads (0 returns [])."""

# Not in __all__: a star import gives correct_seq_mt only.

@final
class Nearest(structseq[str | int | None], tuple[str, int | None, int | None, int]):
    """A query's nearest accepted reference: a tuple with named fields, like
    os.stat_result."""

    __match_args__: Final = ("reference", "distance", "runner_up", "ties")
    @property
    def reference(self) -> str:
        """The accepted reference at the smallest distance (the earliest in list
        order among equals), or "" when none is accepted."""
    @property
    def distance(self) -> int | None:
        """len(query) + len(reference) - 2 * LCS, or None."""
    @property
    def runner_up(self) -> int | None:
        """The smallest distance among the other accepted references, or None."""
    @property
    def ties(self) -> int:
        """How many accepted references share the smallest distance (0 when none)."""

def nearest(ref_seqs: Sequence[str], query_seqs: Sequence[str], max_flex: int, threads: int) -> list[Nearest]:
    """Each query's nearest accepted reference (accepted as by correct_seq_mt).
    Every reference that passes both filters is examined, so any of them
    tripping the tolerance guard fails the call: PanicException with the
    guard's own message ("max_flex cannot be greater than the length of the
    sequences."), on any number of threads, where correct_seq_mt reports a
    guard in a worker as "called `Result::unwrap()` on an `Err` value: Any
    { .. }"."""

@final
class ReferenceIndex:
    """The references prepared once for `max_flex` (on `threads` threads),
    for correcting many batches against them; saved with `save`, mapped
    back with `load`. An attribute of the module, not in `__all__`."""

    def __new__(cls, ref_seqs: Sequence[str], max_flex: int, threads: int = 1) -> ReferenceIndex: ...
    def correct(self, query_seqs: Sequence[str], threads: int) -> list[str]:
        """What correct_seq_mt(ref_seqs, query_seqs, max_flex, threads) returns, with
        the same exceptions and progress display; the index is never rebuilt."""
    def nearest(self, query_seqs: Sequence[str], threads: int) -> list[Nearest]:
        """What nearest(ref_seqs, query_seqs, max_flex, threads) returns, with
        the same exceptions (the guard's own message on any number of threads)
        and progress display; the index is never rebuilt."""
    def save(self, path: str | bytes | os.PathLike[str] | os.PathLike[bytes], /) -> None:
        """Writes the references and the index to `path`, replaced atomically."""
    @classmethod
    def load(cls, path: str | bytes | os.PathLike[str] | os.PathLike[bytes], /) -> ReferenceIndex:
        """The index saved at `path`; ValueError names the file when it is not one."""
    @property
    def max_flex(self) -> int: ...
    def __len__(self) -> int: ...
