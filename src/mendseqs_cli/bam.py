"""Unaligned SAM and BAM, in and out, through htslib (Debian's pysam).

In: each primary record is a read (secondary and supplementary records
repeat a read and are skipped; a reverse-strand record is turned back into
the read as sequenced), with its own tags kept as SAM text. Out: one
unaligned record per molecule, as the FASTQ output has it, with the tags
of `mendseqs tag` and the read's own tags, and a header that keeps the
input's read groups, programs and comments (not its references: nothing
is aligned any more) and adds an @PG line for the run. htslib compresses
with threads of its own.

Trimming moves positions, so the tags that count bases along the read are
rewritten for the trimmed, reoriented record: MM (base modifications),
with ML (their probabilities) and MN (the length they were called on).
Other tags bound to positions (a basecaller's move table) describe the
read as it was.
"""

from __future__ import annotations

import bisect
import itertools
import os
import re
import shlex
import sys
import threading
from collections.abc import Iterator
from typing import IO, Any

from .errors import InputError
from .reading import STDIN, Batch, Source

# Secondary and supplementary records: a read already seen.
_NOT_PRIMARY = 0x100 | 0x800
_REVERSE = 0x10
_COMPLEMENT = str.maketrans("ACGTNacgtn", "TGCANtgcan")
# The tags `mendseqs tag` writes: a read's own ones of these names are
# replaced, not repeated.
OWN = frozenset(("CB", "CR", "CY", "UB", "UR", "UY", "sg", "sr", "cc"))
# A SAM tag in text: two characters, a type, a value.
_TAG = re.compile(r"[A-Za-z][A-Za-z0-9]:[AifZHB]:")


def _pysam() -> Any:
    try:
        import pysam  # type: ignore[import-untyped,import-not-found,unused-ignore]
    except ImportError:
        raise InputError(
            "SAM/BAM needs pysam (Debian: apt install python3-pysam; elsewhere: pip install pysam)"
        ) from None
    # htslib's own warnings would be a second line on stderr; what goes
    # wrong is raised, and reported once.
    pysam.set_verbosity(0)
    return pysam


def _feed(raw: IO[bytes], fd: int) -> None:
    """Copies a pipe's bytes, the ones already peeked at first, into `fd`
    for htslib; stops when the reader closes its end."""
    try:
        with open(fd, "wb", buffering=0) as out:
            while chunk := raw.read1(1 << 16):  # type: ignore[attr-defined]
                out.write(chunk)
    except OSError:
        pass


def _opened(source: Source, pysam: Any) -> Any:
    raw = source.raw()
    try:
        if source.size is not None:
            return pysam.AlignmentFile(raw, "r", check_sq=False, threads=2)
        read_end, write_end = os.pipe()
        threading.Thread(target=_feed, args=(raw, write_end), name="mendseqs-bam-feed", daemon=True).start()
        with open(read_end, "rb", buffering=0) as pipe:
            return pysam.AlignmentFile(pipe, "r", check_sq=False)
    except (OSError, ValueError) as error:
        kind = "BAM" if source.alignments == "bam" else "SAM"
        raise InputError(f"truncated or damaged {kind} ({error})") from None


def batches(source: Source, size: int) -> Iterator[Batch]:
    """The primary records of `source`, `size` at a time."""
    pysam = _pysam()
    alignments = _opened(source, pysam)
    kind = "BAM" if source.alignments == "bam" else "SAM"
    with alignments:
        header = alignments.header.to_dict()
        records = alignments.fetch(until_eof=True)
        while True:
            try:
                chunk = list(itertools.islice(records, size))
            except (OSError, ValueError) as error:
                raise InputError(f"truncated or damaged {kind} ({error})") from None
            if not chunk:
                return
            yield _batch(chunk, header)


def _batch(records: list[Any], header: dict[str, Any]) -> Batch:
    names: list[str] = []
    sequences: list[str] = []
    qualities: list[str] = []
    tags: list[str] = []
    with_qualities = False
    for record in records:
        # One call into htslib per record, its SAM text, is cheaper than
        # asking for the fields one by one.
        fields = record.to_string().split("\t", 11)
        flag = int(fields[1])
        if flag & _NOT_PRIMARY:
            continue
        sequence, quality = fields[9], fields[10]
        if sequence == "*":
            sequence = ""
        if quality == "*":
            quality = ""
        else:
            with_qualities = True
        if flag & _REVERSE:
            sequence, quality = sequence.translate(_COMPLEMENT)[::-1], quality[::-1]
        names.append(fields[0])
        sequences.append(sequence)
        qualities.append(quality)
        tags.append(fields[11] if len(fields) > 11 else "")
    if with_qualities:
        # A record without qualities among others with them: Phred 0, as
        # FASTQ has no way to say "none".
        qualities = [q if q or not s else "!" * len(s) for s, q in zip(sequences, qualities, strict=True)]
    return Batch(names, sequences, qualities if with_qualities else None, tags, header)


def comment_tags(header: str) -> str:
    """The SAM tags of a FASTQ header's comment (`samtools fastq -T`,
    basecallers), tab-separated; other words are not tags and stay out."""
    if "\t" not in header:
        return ""
    return "\t".join(word for word in header.split("\t")[1:] if _TAG.match(word))


def carried(own: str, start: int, end: int, reverse: bool, read: str) -> list[str]:
    """A read's own tags (SAM text) for the record of its slice
    [start, end), reverse-complemented when `reverse`: the tags this command
    writes left out, MM/ML/MN rewritten for the slice."""
    if not own:
        return []
    kept: list[str] = []
    mm = ml = mn = None
    for tag in own.split("\t"):
        name = tag[:2]
        if name in OWN:
            continue
        if name == "MM" or name == "Mm":
            mm = tag
        elif name == "ML" or name == "Ml":
            ml = tag
        elif name == "MN":
            mn = tag
        else:
            kept.append(tag)
    if mm is not None:
        moved = _modifications(mm, ml, mn, start, end, reverse, read)
        if moved is not None:
            kept += moved
    return kept


def _modifications(
    mm: str, ml: str | None, mn: str | None, start: int, end: int, reverse: bool, read: str
) -> list[str] | None:
    """MM and ML for the slice, or None when they cannot be trusted (they
    were called on another length, or do not parse): left out rather than
    pointing at the wrong bases."""
    if mn is not None and mn[5:] != str(len(read)):
        return None
    try:
        probabilities = [int(p) for p in ml[7:].split(",") if p] if ml else []
        if ml and not ml.startswith(("ML:B:C", "Ml:B:C")):
            return None
        entries = [e for e in mm[5:].split(";") if e]
        out_entries: list[tuple[int, str]] = []  # (first call's position, text) to keep MM's order
        out_probabilities: list[list[int]] = []
        used = 0
        for entry in entries:
            head, *steps = entry.split(",")
            base, strand, codes = head[0], head[1], head[2:]
            mode = ""
            if codes and codes[-1] in ".?":
                codes, mode = codes[:-1], codes[-1]
            per_call = len(codes) if not codes.isdigit() else 1
            if base == "N":
                where = list(range(len(read)))
            else:
                where = [m.start() for m in re.finditer(base, read)]
            calls = list(itertools.accumulate(int(step) + 1 for step in steps))  # 1-based occurrence numbers
            if calls and calls[-1] > len(where):
                return None
            values = probabilities[used : used + per_call * len(calls)] if ml else []
            if ml and len(values) != per_call * len(calls):
                return None
            used += per_call * len(calls)
            low, high = bisect.bisect_left(where, start), bisect.bisect_left(where, end)
            kept = [(n - 1, i) for i, n in enumerate(calls) if low <= n - 1 < high]
            if reverse:
                numbers = [high - 1 - n for n, _ in reversed(kept)]
                order = [i for _, i in reversed(kept)]
                base = base.translate(_COMPLEMENT)
                strand = "-" if strand == "+" else "+"
            else:
                numbers = [n - low for n, _ in kept]
                order = [i for _, i in kept]
            deltas = [b - a - 1 for a, b in zip([-1, *numbers], numbers, strict=False)]
            out_entries.append((0, f"{base}{strand}{codes}{mode}" + "".join(f",{d}" for d in deltas) + ";"))
            out_probabilities.append([v for i in order for v in values[per_call * i : per_call * (i + 1)]])
        if ml and used != len(probabilities):
            return None
    except ValueError, IndexError:
        return None
    tags = [mm[:5] + "".join(text for _, text in out_entries)]
    if ml:
        flat = [str(v) for values in out_probabilities for v in values]
        tags.append(ml[:6] + "".join("," + v for v in flat))
    if mn is not None:
        tags.append(f"MN:i:{end - start}")
    return tags


def header_for(header: dict[str, Any] | None) -> dict[str, Any]:
    """The output's header: the input's read groups, programs and
    comments, no references, and an @PG line for this run chained to the
    input's last program."""
    out: dict[str, Any] = {"HD": {"VN": "1.6", "SO": "unknown"}}
    given = header or {}
    for key in ("RG", "PG", "CO"):
        if given.get(key):
            out[key] = list(given[key])
    programs = out.setdefault("PG", [])
    ids = {p.get("ID") for p in programs}
    new_id = next(
        i for i in itertools.chain(["mendseqs"], (f"mendseqs.{n}" for n in itertools.count(1))) if i not in ids
    )
    line: dict[str, str] = {"ID": new_id, "PN": "mendseqs", "VN": _version()}
    # The last program of the input's chain: one no other names as its PP.
    previous = {p.get("PP") for p in programs}
    last = [p["ID"] for p in programs if p.get("ID") not in previous]
    if last:
        line["PP"] = last[-1]
    line["CL"] = shlex.join(["mendseqs", *sys.argv[1:]]) if sys.argv[0] != "-c" else "mendseqs"
    programs.append(line)
    return out


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version("mendseqs")
    except metadata.PackageNotFoundError:
        return "unknown"


class BamWriter:
    """Tagged records into SAM or BAM, from SAM text, in a thread of its
    own (parsing and writing let go of the interpreter lock less than
    compressing does, but tagging the next batch needs little of it);
    htslib's threads compress. A failure is raised by the next `write` or
    by `close`."""

    def __init__(self, out: IO[bytes], header: dict[str, Any], threads: int, sam: bool) -> None:
        import queue

        pysam = _pysam()
        self._pysam = pysam
        # htslib writes through a copy of the file descriptor; `out` is
        # closed (and renamed into place) only after `close`.
        # Level 1: on long reads (mostly qualities) within 1% of the size of
        # htslib's default level, for 30% less of the time compressing.
        options = None if sam else ["level=1"]
        self._file = pysam.AlignmentFile(
            out, "w" if sam else "wb", header=header, threads=threads, format_options=options
        )
        self._header = self._file.header
        self._queue: queue.Queue[list[str] | None] = queue.Queue(maxsize=4)
        self._error: BaseException | None = None
        self._thread = threading.Thread(target=self._run, name="mendseqs-bam-writer", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        parse, header, write = self._pysam.AlignedSegment.fromstring, self._header, self._file.write
        while (lines := self._queue.get()) is not None:
            if self._error is None:
                try:
                    for line in lines:
                        write(parse(line, header))
                except BaseException as error:
                    self._error = error

    def _raise(self) -> None:
        if self._error is not None:
            error, self._error = self._error, None
            if isinstance(error, ValueError):
                raise InputError(f"a record could not be written ({error})") from None
            raise error

    def write(self, lines: list[str]) -> None:
        self._raise()
        self._queue.put(lines)

    def close(self) -> None:
        self._queue.put(None)
        self._thread.join()
        try:
            self._file.close()
        except BaseException as error:
            self._error = self._error or error
        self._raise()


def output_kind(path: str | None) -> str | None:
    """ "bam" or "sam" when `path` names alignments, else None."""
    if path is None or path == STDIN:
        return None
    lower = path.lower()
    if lower.endswith(".bam"):
        return "bam"
    if lower.endswith(".sam"):
        return "sam"
    return None
