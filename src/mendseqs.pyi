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
from typing import final

__all__ = ["correct_seq_mt"]

def correct_seq_mt(ref_seqs: Sequence[str], query_seqs: Sequence[str], max_flex: int, threads: int) -> list[str]:
    """Each query's first reference, in list order, within `max_flex` of it
    (in length, in the count of `A`, and in the longest common subsequence),
    or "" when none is; computed on `threads` worker threads (0 returns [])."""

@final
class ReferenceIndex:
    """The references prepared once for `max_flex` (on `threads` threads),
    for correcting many batches against them; saved with `save`, mapped
    back with `load`. An attribute of the module, not in `__all__`."""

    def __new__(cls, ref_seqs: Sequence[str], max_flex: int, threads: int = 1) -> ReferenceIndex: ...
    def correct(self, query_seqs: Sequence[str], threads: int) -> list[str]:
        """What correct_seq_mt(ref_seqs, query_seqs, max_flex, threads) returns, with
        the same exceptions and progress display; the index is never rebuilt."""
    def save(self, path: str | bytes | os.PathLike[str] | os.PathLike[bytes], /) -> None:
        """Writes the references and the index to `path`, replaced atomically."""
    @classmethod
    def load(cls, path: str | bytes | os.PathLike[str] | os.PathLike[bytes], /) -> ReferenceIndex:
        """The index saved at `path`; ValueError names the file when it is not one."""
    @property
    def max_flex(self) -> int: ...
    def __len__(self) -> int: ...
