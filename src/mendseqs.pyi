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
from typing import ClassVar, Final, final

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
class Layout:
    """What surrounds the cell barcode and the UMI in one library kit:
    Read 1's end (the flank), the barcode's and the UMI's lengths, and what
    follows the UMI (polyT, matched as a run of its letter, or the TSO).
    Sequences are upper-cased; ValueError when they are not 1 to 64 letters
    (0 to 64 for after_umi) of A, C, G, T. An attribute of the module, not
    in `__all__`."""

    presets: ClassVar[tuple[str, ...]]
    def __new__(
        cls,
        flank: str,
        barcode_length: int,
        umi_length: int,
        after_umi: str,
        *,
        cdna_sense: bool = False,
        name: str = "custom",
    ) -> Layout: ...
    @classmethod
    def preset(cls, name: str, /) -> Layout:
        """The layout of a kit named in `Layout.presets`; ValueError naming
        the known presets otherwise."""
    @property
    def name(self) -> str: ...
    @property
    def flank(self) -> str: ...
    @property
    def barcode_length(self) -> int: ...
    @property
    def umi_length(self) -> int: ...
    @property
    def after_umi(self) -> str: ...
    @property
    def cdna_sense(self) -> bool:
        """Whether the cDNA after after_umi on the '+' strand reads as the mRNA
        (5' kits)."""

@final
class Molecule(
    structseq[str | int | None],
    tuple[
        int,
        str,
        int | None,
        int | None,
        int | None,
        int | None,
        int | None,
        str,
        str,
        int | None,
        int | None,
        int,
        int | None,
        int | None,
        str,
        int,
        int,
        str,
    ],
):
    """One molecule found in a read by ReferenceIndex.tag. Spans are 0-based,
    half-open, on the read as given (for '-' molecules too); strings are
    oriented as written, upper case, other letters as N."""

    __match_args__: Final = (
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
    @property
    def segment(self) -> int:
        """0-based order of the molecule in its read, by flank position."""
    @property
    def strand(self) -> str:
        """'+' when the read holds the flank then the barcode as written, '-'
        for their reverse complement."""
    @property
    def flank_start(self) -> int | None: ...
    @property
    def flank_end(self) -> int | None: ...
    @property
    def flank_edits(self) -> int | None: ...
    @property
    def barcode_start(self) -> int | None: ...
    @property
    def barcode_end(self) -> int | None: ...
    @property
    def raw_barcode(self) -> str:
        """The read's letters where the assigned entry aligns (the first
        barcode_length letters after the flank when none), or "" when none."""
    @property
    def barcode(self) -> str:
        """The whitelist entry that fits the read best after the flank, as
        listed, or ""."""
    @property
    def distance(self) -> int | None:
        """The barcode's own edits against that entry (the flank's are not
        counted), or None."""
    @property
    def runner_up(self) -> int | None:
        """The next candidate's own edits, or None when there is none."""
    @property
    def ties(self) -> int:
        """How many candidates fit as well (0 when none fits)."""
    @property
    def umi_start(self) -> int | None: ...
    @property
    def umi_end(self) -> int | None: ...
    @property
    def umi(self) -> str: ...
    @property
    def insert_start(self) -> int: ...
    @property
    def insert_end(self) -> int:
        """The cDNA's span ends here: flank, barcode, UMI and after_umi
        trimmed, bounded by the neighbouring molecule or the read's end."""
    @property
    def status(self) -> str:
        """'assigned', 'ambiguous', 'no_match', 'no_flank' or 'both_strands'."""

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
    def neighbours(self, query_seqs: Sequence[str], threads: int) -> list[tuple[int, ...]]:
        """Each query's accepted references (accepted as by correct), as the
        ascending positions in the list; every reference that passes both
        filters is examined (the guard as in nearest). The interpreter lock
        is let go meanwhile and nothing is printed."""
    def tag(
        self,
        reads: Sequence[str],
        layout: Layout,
        threads: int,
        *,
        margin: int = 0,
        qualities: Sequence[str] | None = None,
    ) -> list[tuple[Molecule, ...]]:
        """Every read's molecules, never none (a read without a flank is one
        'no_flank' molecule spanning it); the interpreter lock is let go
        meanwhile and nothing is printed. A barcode is assigned when its
        nearest entry is unique and the runner-up at least `margin` further.
        `qualities`: each read's base qualities (Phred + 33, as in FASTQ; ""
        for a read without): a two-edit barcode whose runner-up is one edit
        further stands when the runner-up's edits fall on letters far surer
        than its own; without them, edits alone."""
    def save(self, path: str | bytes | os.PathLike[str] | os.PathLike[bytes], /) -> None:
        """Writes the references and the index to `path`, replaced atomically."""
    @classmethod
    def load(cls, path: str | bytes | os.PathLike[str] | os.PathLike[bytes], /) -> ReferenceIndex:
        """The index saved at `path`; ValueError names the file when it is not one."""
    @property
    def max_flex(self) -> int: ...
    def __len__(self) -> int: ...
