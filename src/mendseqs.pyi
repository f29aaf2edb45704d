# Types of the native module, for mypy, pyright and editors. Installed beside
# the extension and copied beside it in the build tree; `python3.14 -m
# mypy.stubtest mendseqs` checks it against the built module.
#
# Calls that fail for reasons other than their arguments raise an exception
# named PanicException that derives from BaseException. The module exports no
# name for it, so none is declared here: catch BaseException and test
# `type(e).__name__ == "PanicException"`.
from collections.abc import Sequence

__all__ = ["correct_seq_mt"]

def correct_seq_mt(ref_seqs: Sequence[str], query_seqs: Sequence[str], max_flex: int, threads: int) -> list[str]:
    """Each query's first reference, in list order, within `max_flex` of it
    (in length, in the count of `A`, and in the longest common subsequence),
    or "" when none is; computed on `threads` worker threads (0 returns [])."""
