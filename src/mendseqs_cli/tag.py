"""`mendseqs tag`: raw long single-cell reads in, each molecule's cell
barcode and UMI found, the barcode assigned against the whole whitelist,
and the reads written out trimmed and oriented as the mRNA, with the tags
in their headers.

    mendseqs tag READS... --whitelist LIST_OR_INDEX --layout 10x3v3
        [--max-flex K] [--margin M] [--assigned-only]
        [-o tagged.fq.gz] [--table reads.tsv.gz] [--summary summary.json]
        [--threads N] [--batch B] [--quiet]
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import queue
import threading
import time
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import IO, Any

from . import bam, cell_outputs, cells, progress
from .calls import ModuleCalls
from .command import Command, Session
from .errors import InputError, say
from .options import MAX_THREADS, integer, tolerance
from .prefetch import prefetched
from .reading import STDIN, Batch, batches, checked, open_source, read_all, record_id, shown
from .references import is_saved_index, load
from .writing import output_file, standard_output

DEFAULT_MAX_FLEX = 2
DEFAULT_BATCH = 5_000
STATUSES = ("assigned", "ambiguous", "no_match", "no_flank", "both_strands")
TABLE_COLUMNS = (
    "read_id",
    "segment",
    "strand",
    "flank_start",
    "flank_end",
    "flank_edits",
    "raw_barcode",
    "barcode",
    "distance",
    "runner_up",
    "ties",
    "umi",
    "status",
    "cell",
)
CUSTOM_LAYOUT = "flank=SEQ,barcode=N,umi=N,after=SEQ[,cdna=sense|antisense]"

_COMPLEMENT = str.maketrans("ACGTNacgtn", "TGCANtgcan")


def reverse_complement(sequence: str) -> str:
    return sequence.translate(_COMPLEMENT)[::-1]


def add_arguments(tag: argparse.ArgumentParser) -> None:
    import mendseqs

    tag.add_argument(
        "reads", nargs="+", help="FASTQ or FASTA (optionally gzipped), or unaligned SAM or BAM; - for stdin"
    )
    tag.add_argument("--whitelist", required=True, help="the barcode list (one per line) or a saved index of it")
    tag.add_argument(
        "--layout",
        required=True,
        help=f"a preset ({', '.join(mendseqs.Layout.presets)}) or a custom layout {CUSTOM_LAYOUT}",
    )
    tag.add_argument(
        "--max-flex", type=tolerance, help=f"edits tolerated in a barcode (default {DEFAULT_MAX_FLEX}, or the index's)"
    )
    tag.add_argument(
        "--margin",
        type=integer(0, 1 << 30),
        default=0,
        help="how much closer than the runner-up the nearest entry must be (default 0: any unique nearest one)",
    )
    tag.add_argument("--assigned-only", action="store_true", help="write only molecules given a barcode")
    tag.add_argument(
        "-o",
        "--output",
        help="tagged reads: FASTQ or FASTA by suffix, .gz compressed, or unaligned .bam or .sam (default: stdout)",
    )
    tag.add_argument("--table", help="one TSV row per molecule (.gz compressed)")
    tag.add_argument("--summary", help="counts as JSON")
    tag.add_argument(
        "--cells",
        metavar="FILE|auto",
        help="the cells: a list of whitelist barcodes (Cell Ranger's barcodes.tsv(.gz) with -1 suffixes too), "
        "or auto to call them from the reads; molecules go to a cell first, else to the whole whitelist",
    )
    tag.add_argument("--called-cells", metavar="FILE", help="write the cells (called, or as listed), one per line")
    tag.add_argument("--counts", metavar="FILE", help="per barcode: reads, molecules, distinct UMIs, called (TSV, .gz)")
    tag.add_argument("--plot", metavar="PNG", help="the knee plot: reads per barcode by rank, log-log (matplotlib)")
    tag.add_argument(
        "--threads", type=integer(1, MAX_THREADS), help="worker threads (default: the CPUs this process may use)"
    )
    tag.add_argument(
        "--batch",
        type=integer(1, 10_000_000),
        default=DEFAULT_BATCH,
        help=f"reads per call (default {DEFAULT_BATCH:,})",
    )
    tag.add_argument("--quiet", action="store_true", help="no progress display and no summary line")


def layout_of(text: str) -> Any:
    """A preset by name, or a custom layout from key=value pairs."""
    import mendseqs

    if text in mendseqs.Layout.presets:
        return mendseqs.Layout.preset(text)
    if "=" not in text:
        raise InputError(
            f"--layout: unknown layout '{text}': one of {', '.join(mendseqs.Layout.presets)}, or {CUSTOM_LAYOUT}"
        )
    fields: dict[str, str] = {}
    for item in text.split(","):
        key, equals, value = item.partition("=")
        key = key.strip()
        if not equals or key not in ("flank", "barcode", "umi", "after", "cdna") or key in fields:
            raise InputError(f"--layout: '{item}' is not one of {CUSTOM_LAYOUT}, each given once")
        fields[key] = value.strip()
    missing = [key for key in ("flank", "barcode", "umi", "after") if key not in fields]
    if missing:
        raise InputError(f"--layout: {', '.join(missing)} missing: a custom layout is {CUSTOM_LAYOUT}")
    lengths = {}
    for key in ("barcode", "umi"):
        try:
            lengths[key] = int(fields[key])
        except ValueError:
            raise InputError(f"--layout: {key}={fields[key]} is not a whole number") from None
    sense = fields.get("cdna", "antisense")
    if sense not in ("sense", "antisense"):
        raise InputError(f"--layout: cdna={sense}: say sense or antisense")
    try:
        return mendseqs.Layout(
            fields["flank"].upper(),
            lengths["barcode"],
            lengths["umi"],
            fields["after"].upper(),
            cdna_sense=sense == "sense",
            name="custom",
        )
    except ValueError as error:
        raise InputError(f"--layout: {error}") from None


def prepared_index(args: argparse.Namespace, layout: Any, calls: ModuleCalls, threads: int) -> Any:
    """The whitelist's index: loaded, or built from the list for this run."""
    import mendseqs

    if is_saved_index(args.whitelist):
        index = load(args.whitelist, calls).index
        if args.max_flex is not None and args.max_flex != index.max_flex:
            raise InputError(
                f"{args.whitelist} was built for --max-flex {index.max_flex}, "
                f"not {args.max_flex}: build another with `mendseqs index`"
            )
        return index
    # Identical entries are one barcode: copies would only tie with it.
    barcodes = [barcode.upper() for barcode in read_all(args.whitelist)]
    if not barcodes:
        raise InputError(f"{shown(args.whitelist)}: no barcodes")
    wrong = next((n for n, barcode in enumerate(barcodes, 1) if len(barcode) != layout.barcode_length), None)
    if wrong is not None:
        raise InputError(
            f"{shown(args.whitelist)}: barcode {wrong} is {len(barcodes[wrong - 1])} letters long, "
            f"but layout {args.layout} reads barcodes of {layout.barcode_length}"
        )
    barcodes = list(dict.fromkeys(barcodes))
    max_flex = DEFAULT_MAX_FLEX if args.max_flex is None else args.max_flex
    if not 0 <= max_flex < layout.barcode_length:
        raise InputError(f"--max-flex {max_flex}: must be from 0 to {layout.barcode_length - 1} for this layout")
    return calls.call(mendseqs.ReferenceIndex, barcodes, max_flex, threads)


class Writer:
    """A stream written by a thread of its own, so that compressing (which
    lets go of the interpreter lock) overlaps with tagging and formatting.
    A failure to write is raised by the next `write` or by `close`."""

    def __init__(self, out: IO[bytes]) -> None:
        self._out = out
        self._queue: queue.Queue[bytes | None] = queue.Queue(maxsize=4)
        self._error: BaseException | None = None
        self._thread = threading.Thread(target=self._run, name="mendseqs-writer", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        while (data := self._queue.get()) is not None:
            if self._error is None:
                try:
                    self._out.write(data)
                except BaseException as error:
                    self._error = error

    def _raise(self) -> None:
        if self._error is not None:
            error, self._error = self._error, None
            raise error

    def write(self, text: str) -> None:
        self._raise()
        self._queue.put(text.encode())

    def close(self) -> None:
        self._queue.put(None)
        self._thread.join()
        self._raise()


@dataclass
class Totals:
    reads: int = 0
    molecules: int = 0
    chimeras: int = 0
    both_strand_reads: int = 0
    # With a cell list: reads with a molecule in a cell, and those molecules.
    reads_in_cells: int = 0
    molecules_in_cells: int = 0
    status: dict[str, int] = field(default_factory=lambda: dict.fromkeys(STATUSES, 0))
    flank_edits: dict[int, int] = field(default_factory=dict)

    def median_flank_edits(self) -> float | None:
        total = sum(self.flank_edits.values())
        if not total:
            return None
        ordered = sorted(self.flank_edits.items())

        def at(rank: int) -> int:
            for edits, count in ordered:
                rank -= count
                if rank < 0:
                    return edits
            return ordered[-1][0]

        return (at((total - 1) // 2) + at(total // 2)) / 2


def _cell(value: object) -> str:
    return "" if value is None else str(value)


class Formatter:
    """Tagged records and table rows for one batch. Records are FASTQ or
    FASTA text, or SAM lines for BAM/SAM output (`alignments`); molecules
    given a cell list (cells.CellMolecule) carry their `cell`."""

    def __init__(
        self, layout: Any, fastq: bool, assigned_only: bool, alignments: bool = False, counts: Any = None
    ) -> None:
        self.cdna_sense = layout.cdna_sense
        self.fastq = fastq
        self.assigned_only = assigned_only
        self.alignments = alignments
        self.counts = counts  # cells.BarcodeCounts, when counts are asked for

    def batch(self, batch: Batch, tagged: list[tuple[Any, ...]], totals: Totals) -> tuple[Any, str]:
        records: list[str] = []
        rows: list[str] = []
        qualities = batch.qualities
        own_tags = batch.tags
        for number, molecules in enumerate(tagged):
            header, sequence = batch.headers[number], batch.sequences[number]
            quality = qualities[number] if qualities is not None else ""
            read_id = record_id(header)
            own = own_tags[number] if own_tags is not None else bam.comment_tags(header)
            several = len(molecules) > 1
            self.observe(molecules, totals)
            totals.reads += 1
            totals.chimeras += several
            strands = {m.strand for m in molecules if m.status != "no_flank"}
            totals.both_strand_reads += len(strands) == 2
            for m in molecules:
                totals.molecules += m.status != "no_flank"
                totals.status[m.status] += 1
                if m.flank_edits is not None:
                    totals.flank_edits[m.flank_edits] = totals.flank_edits.get(m.flank_edits, 0) + 1
                rows.append(
                    f"{read_id}\t{m.segment}\t{m.strand if m.flank_start is not None else ''}\t{_cell(m.flank_start)}\t"
                    f"{_cell(m.flank_end)}\t{_cell(m.flank_edits)}\t{m.raw_barcode}\t{m.barcode if m.status == 'assigned' else ''}\t{_cell(m.distance)}\t"
                    f"{_cell(m.runner_up)}\t{m.ties}\t{m.umi}\t{m.status}\t{getattr(m, 'cell', '')}\n"
                )
                if self.assigned_only and m.status != "assigned":
                    continue
                records.append(self.record(read_id, several, m, sequence, quality, own))
        return (records if self.alignments else "".join(records)), "".join(rows)

    def observe(self, molecules: tuple[Any, ...], totals: Totals) -> None:
        """A read's share of the cells' totals and of the counts."""
        in_cells = sum(getattr(m, "cell", "") == cells.IN_CELL for m in molecules)
        totals.molecules_in_cells += in_cells
        totals.reads_in_cells += in_cells > 0
        if self.counts is not None:
            self.counts.add_read((m.barcode, m.umi) for m in molecules if m.status == "assigned")

    def record(self, read_id: str, several: bool, m: Any, sequence: str, quality: str, own: str = "") -> str:
        name = f"{read_id}_{m.segment}" if several else read_id
        insert = sequence[m.insert_start : m.insert_end]
        insert_quality = quality[m.insert_start : m.insert_end]
        reverse = m.flank_start is not None and (m.strand == "+") != self.cdna_sense
        if reverse:
            insert, insert_quality = reverse_complement(insert), insert_quality[::-1]
        tags = self.tags(m, quality)
        if self.alignments:
            # Unaligned (flag 4); the molecule's segment and strand as sg and sr.
            tags.append(f"sg:i:{m.segment}")
            if m.flank_start is not None:
                tags.append(f"sr:A:{m.strand}")
        if own:
            tags += bam.carried(own, m.insert_start, m.insert_end, reverse, sequence)
        if self.alignments:
            return f"{name}\t4\t*\t0\t0\t*\t*\t0\t0\t{insert or '*'}\t{insert_quality or '*'}" + "".join(
                "\t" + tag for tag in tags
            )
        comment = "\t" + "\t".join(tags) if tags else ""
        if self.fastq:
            return f"@{name}{comment}\n{insert}\n+\n{insert_quality}\n"
        return f">{name}{comment}\n{insert}\n"

    def tags(self, m: Any, quality: str) -> list[str]:
        """The molecule's barcode and UMI tags; cc:A:Y or N with a cell list,
        whether its barcode is a cell of the list."""
        tags = []
        if m.raw_barcode:
            if m.status == "assigned":
                tags.append(f"CB:Z:{m.barcode}-1")
            tags.append(f"CR:Z:{m.raw_barcode}")
            if quality:
                tags.append(f"CY:Z:{_oriented(quality[m.barcode_start : m.barcode_end], m.strand)}")
        if m.umi:
            tags.append(f"UB:Z:{m.umi}")
            tags.append(f"UR:Z:{m.umi}")
            if quality:
                tags.append(f"UY:Z:{_oriented(quality[m.umi_start : m.umi_end], m.strand)}")
        cell = getattr(m, "cell", "")
        if cell:
            tags.append("cc:A:Y" if cell == cells.IN_CELL else "cc:A:N")
        return tags


def _oriented(quality: str, strand: str) -> str:
    return quality[::-1] if strand == "-" else quality


def _reads_format(path: str | None, fastq_input: bool) -> tuple[bool, bool]:
    """(FASTQ?, gzip?) for the tagged reads' output (SAM/BAM: see bam.output_kind)."""
    if path is None or bam.output_kind(path):
        return fastq_input, False
    lower = path.lower()
    compressed = lower.endswith(".gz")
    stem = lower[:-3] if compressed else lower
    if stem.endswith((".fa", ".fasta", ".fna")):
        return False, compressed
    if stem.endswith((".fq", ".fastq")):
        return True, compressed
    raise InputError(f"{path}: name tagged reads .fastq, .fq, .fasta or .fa, optionally with .gz, or .bam or .sam")


@contextlib.contextmanager
def _optional_output(path: str | None) -> Iterator[Writer | None]:
    if path is None:
        yield None
        return
    with output_file(path, path.lower().endswith(".gz")) as out:
        writer = Writer(out)
        try:
            yield writer
        finally:
            writer.close()


def _stream(paths: list[str], size: int) -> Iterator[tuple[str, Batch, Any]]:
    """(path, batch, source) over every input in turn."""
    for path in paths:
        with open_source(path) as source:
            stream = checked(path, batches(source, size))
            if source.size is not None:
                stream = prefetched(stream)
            with contextlib.closing(stream):
                for batch in stream:
                    yield shown(path), batch, source


class Outputs:
    """The run's result files, each written whole or not at all: the tagged
    reads (opened at the first batch, whose records decide FASTQ or FASTA)
    and the table."""

    def __init__(
        self,
        args: argparse.Namespace,
        closed: frozenset[int],
        layout: Any,
        stack: contextlib.ExitStack,
        threads: int = 1,
        counts: Any = None,
    ) -> None:
        self.args, self.closed, self.layout, self.stack = args, closed, layout, stack
        self.threads, self.counts = threads, counts
        self.table = stack.enter_context(_optional_output(args.table))
        if self.table is not None:
            self.table.write("\t".join(TABLE_COLUMNS) + "\n")
        self.reads: Writer | bam.BamWriter | None = None
        self.formatter: Formatter | None = None

    def formatter_for(self, path: str, batch: Batch | None) -> Formatter:
        with_qualities = batch is None or batch.qualities is not None
        if self.formatter is None:
            fastq, compressed = _reads_format(self.args.output, with_qualities)
            alignments = bam.output_kind(self.args.output)
            if self.args.output:
                stream = self.stack.enter_context(output_file(self.args.output, compressed))
            elif 1 in self.closed:
                raise InputError("stdout is closed: name an output file with -o")
            else:
                stream = self.stack.enter_context(standard_output(os.dup(1)))
            if alignments:
                header = bam.header_for(batch.header if batch is not None else None)
                self.reads = bam.BamWriter(stream, header, self.threads, alignments == "sam")
            else:
                self.reads = Writer(stream)
            self.stack.callback(self.reads.close)
            self.formatter = Formatter(
                self.layout, fastq, self.args.assigned_only, alignments=bool(alignments), counts=self.counts
            )
        if self.formatter.fastq and not with_qualities and not self.formatter.alignments:
            raise InputError(f"{path}: FASTQ output needs FASTQ reads (these have no quality values)")
        return self.formatter


def run(args: argparse.Namespace, session: Session) -> int:
    closed, calls = session.closed, session.calls
    layout = layout_of(args.layout)
    threads = args.threads or max(1, min(len(os.sched_getaffinity(0)), MAX_THREADS))
    if args.reads.count(STDIN) > 1:
        raise InputError("stdin (-) can be read only once")
    cell_outputs.check(args)
    index = prepared_index(args, layout, calls, threads)
    plan = cells.Plan(args, layout.barcode_length, index, threads, calls) if args.cells else None
    counts = cells.BarcodeCounts() if args.counts or args.plot else None
    started = time.perf_counter()
    totals = Totals()
    display = progress.display(args.quiet)
    try:
        with contextlib.ExitStack() as stack:
            if plan is not None:
                stack.callback(plan.close)
            outputs = Outputs(args, closed, layout, stack, threads, counts)

            def emit(batch: Batch, tagged: list[tuple[Any, ...]]) -> None:
                formatter = outputs.formatter_for(args.reads[-1], batch)
                records, rows = formatter.batch(batch, tagged, totals)
                assert outputs.reads is not None
                outputs.reads.write(records)
                if outputs.table is not None:
                    outputs.table.write(rows)

            seen = 0
            for path, batch, source in _stream(args.reads, args.batch):
                outputs.formatter_for(path, batch)
                tagged = calls.call(_tag, index, batch.sequences, layout, threads, args.margin, batch.qualities)
                seen += len(batch)
                if plan is not None:
                    tagged = plan.take(batch, tagged)
                if tagged is not None:
                    emit(batch, tagged)
                del tagged
                display.update(seen, source.position(), source.size)
            if plan is not None and plan.auto:
                # Pass 2: the cells called, the spooled batches assigned.
                display.close()
                display = progress.display(args.quiet)
                for done, (batch, tagged) in enumerate(plan.second_pass(), 1):
                    emit(batch, tagged)
                    display.update(totals.reads, done, plan.spool.batches)
            outputs.formatter_for(args.reads[-1], None)  # no reads at all: an empty file all the same
            cell_outputs.write(args, plan, counts, totals.reads, totals.reads_in_cells)
        seconds = time.perf_counter() - started
        if args.summary:
            with output_file(args.summary, False) as out:
                out.write(json.dumps(summary(totals, seconds, plan), indent=2).encode() + b"\n")
    except BrokenPipeError:
        return 1
    except OSError as error:
        raise InputError(f"{error.filename or args.output or 'stdout'}: {error.strerror or error}") from None
    finally:
        display.close()
    if not args.quiet:
        counted = ", ".join(f"{status}: {totals.status[status]}" for status in STATUSES)
        rate = totals.reads / seconds if seconds > 0 else 0.0
        in_cells = f", cells: {len(plan.cells)}, reads in cells: {totals.reads_in_cells}" if plan is not None else ""
        say(
            f"reads: {totals.reads}, molecules: {totals.molecules}, {counted}{in_cells}, reads/s: {rate:,.0f}, seconds: {seconds:.3f}"
        )
    return 0


def _tag(
    index: Any, reads: list[str], layout: Any, threads: int, margin: int, qualities: list[str] | None = None
) -> list[tuple[Any, ...]]:
    # The reads' qualities, when they have them, weigh the barcode's
    # candidates (FASTA, or a BAM without them: edits alone).
    result: list[tuple[Any, ...]] = index.tag(reads, layout, threads, margin=margin, qualities=qualities)
    return result


def summary(totals: Totals, seconds: float, plan: Any = None) -> dict[str, object]:
    out: dict[str, object] = {
        "reads": totals.reads,
        "molecules": totals.molecules,
        "chimeras": totals.chimeras,
        "reads_with_both_strands": totals.both_strand_reads,
        "status": totals.status,
        "median_flank_edits": totals.median_flank_edits(),
        "seconds": round(seconds, 3),
        "reads_per_second": round(totals.reads / seconds, 1) if seconds > 0 else None,
    }
    if plan is not None:
        out["cells"] = plan.summary(totals.reads, totals.reads_in_cells, totals.molecules_in_cells)
    return out


COMMAND = Command(
    name="tag",
    help="find and assign cell barcodes and UMIs in raw long reads",
    description="Find each read's cell barcode and UMI, assign the barcode against the whole whitelist, "
    "and write the reads trimmed and oriented as the mRNA, with CB/CR/CY/UB/UR/UY tags.",
    add_arguments=add_arguments,
    run=run,
)
