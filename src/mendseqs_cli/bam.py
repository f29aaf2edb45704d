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
rewritten for the trimmed, reoriented record (see modifications.py).
"""

from __future__ import annotations

import contextlib
import itertools
import os
import re
import shlex
import sys
import threading
from collections.abc import Iterator
from importlib import metadata
from typing import IO, Any

from .errors import InputError
from .records import STDIN, Batch, reverse_complement
from .sources import Source
from .writer_thread import WriterThread, naming

# Secondary and supplementary records: a read already seen.
_NOT_PRIMARY = 0x100 | 0x800
_REVERSE = 0x10
# A SAM tag in text: two characters, a type, a value.
_TAG = re.compile(r"[A-Za-z][A-Za-z0-9]:[AifZHB]:")


def _pysam() -> Any:
    # Imported only when SAM or BAM is met: pysam is optional, and the
    # command reads and writes FASTA and FASTQ without it.
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
    # A file that fails to open is closed by pysam as it goes, which fails
    # again and would say so on stderr: the one line is ours.
    # The message is raised once the error is gone (its traceback holds the
    # half-made file), so that the file goes inside this block.
    with _unraisable_dropped():
        try:
            if source.size is not None:
                # No decompression threads: htslib's threaded reader waits
                # forever on some damaged BGZF blocks (found by fuzzing), and
                # one thread decompresses far faster than reads are tagged.
                return pysam.AlignmentFile(raw, "r", check_sq=False)
            read_end, write_end = os.pipe()
            threading.Thread(target=_feed, args=(raw, write_end), name="mendseqs-bam-feed", daemon=True).start()
            with open(read_end, "rb", buffering=0) as pipe:
                return pysam.AlignmentFile(pipe, "r", check_sq=False)
        except (OSError, ValueError) as error:
            failure = str(error)
    kind = "BAM" if source.alignments == "bam" else "SAM"
    raise InputError(f"truncated or damaged {kind} ({failure})")


def batches(source: Source, size: int) -> Iterator[Batch]:
    """The primary records of `source`, `size` at a time."""
    pysam = _pysam()
    alignments = _opened(source, pysam)
    kind = "BAM" if source.alignments == "bam" else "SAM"
    damaged = f"truncated or damaged {kind}"
    read_whole = False
    try:
        try:
            header = alignments.header.to_dict()
        except (AssertionError, ValueError) as error:
            # pysam checks the header's lines with assert statements.
            raise InputError(f"{damaged} header ({error})") from None
        records = alignments.fetch(until_eof=True)
        while True:
            try:
                chunk = list(itertools.islice(records, size))
            except (OSError, ValueError) as error:
                raise InputError(f"{damaged} ({error})") from None
            if not chunk:
                read_whole = True
                return
            try:
                batch = _batch(chunk, header)
            except ValueError as error:
                # htslib cannot give a damaged record's text ("sam_format failed").
                raise InputError(f"{damaged} ({error})") from None
            yield batch
    finally:
        # After htslib met damage, closing fails too (with a stale errno,
        # "No such file"), and so does pysam's own second try when the file
        # object goes: neither may hide the message above or add a second
        # line on stderr ("Exception ignored").
        records = None
        with _unraisable_dropped():
            try:
                alignments.close()
            except OSError as error:
                if read_whole:
                    raise InputError(f"{damaged} ({error.strerror or error})") from None
            finally:
                del alignments


@contextlib.contextmanager
def _unraisable_dropped() -> Iterator[None]:
    """pysam's failures to close a file as it goes (in __dealloc__) unsaid:
    printed through sys.excepthook, then reported as unraisable."""
    hooks = sys.unraisablehook, sys.excepthook
    sys.unraisablehook = lambda unraisable: None
    sys.excepthook = lambda *exc_info: None
    try:
        yield
    finally:
        sys.unraisablehook, sys.excepthook = hooks


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
            sequence, quality = reverse_complement(sequence), quality[::-1]
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
    try:
        return metadata.version("mendseqs")
    except metadata.PackageNotFoundError:
        return "unknown"


class BamWriter:
    """Tagged records into SAM or BAM, from SAM text, by the writer thread
    (parsing and writing let go of the interpreter lock less than
    compressing does, but tagging the next batch needs little of it);
    htslib's threads compress. A failure is raised by the next `write` or
    by `close`."""

    def __init__(self, out: IO[bytes], name: str, header: dict[str, Any], threads: int, sam: bool) -> None:
        pysam = _pysam()
        # htslib writes through a copy of the file descriptor; `out` is
        # closed (and renamed into place) only after `close`.
        # Level 1: on long reads (mostly qualities) within 1% of the size of
        # htslib's default level, for 30% less of the time compressing.
        options = None if sam else ["level=1"]
        file = pysam.AlignmentFile(out, "w" if sam else "wb", header=header, threads=threads, format_options=options)
        parse, parsed_header, write = pysam.AlignedSegment.fromstring, file.header, file.write

        def consume(lines: list[str]) -> None:
            for line in lines:
                write(parse(line, parsed_header))

        named = naming(name)

        def unwritable(error: BaseException) -> BaseException:
            if isinstance(error, ValueError):
                return InputError(f"a record could not be written ({error})")
            return named(error)

        self._thread = WriterThread(consume, file.close, "mendseqs-bam-writer", unwritable)

    def write(self, lines: list[str]) -> None:
        self._thread.write(lines)

    def close(self) -> None:
        self._thread.close()


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
