"""The records and table rows of `mendseqs tag`: each molecule's insert,
trimmed and oriented as the mRNA, with its tags, as FASTQ, FASTA or SAM
text; and one TSV row per molecule."""

from __future__ import annotations

from typing import Any

from . import bam
from .cells import IN_CELL
from .errors import InputError
from .modifications import OwnTags
from .output_files import STDOUT, is_regular_target
from .records import Batch, record_id, reverse_complement
from .tag_summary import Totals

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
            own_text = own_tags[number] if own_tags is not None else bam.comment_tags(header)
            # Parsed once per read, whatever its number of molecules.
            own = OwnTags(own_text, sequence) if own_text else None
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
        in_cells = sum(getattr(m, "cell", "") == IN_CELL for m in molecules)
        totals.molecules_in_cells += in_cells
        totals.reads_in_cells += in_cells > 0
        if self.counts is not None:
            self.counts.add_read((m.barcode, m.umi) for m in molecules if m.status == "assigned")

    def record(
        self, read_id: str, several: bool, m: Any, sequence: str, quality: str, own: OwnTags | None = None
    ) -> str:
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
        if own is not None:
            tags += own.for_slice(m.insert_start, m.insert_end, reverse)
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
            tags.append("cc:A:Y" if cell == IN_CELL else "cc:A:N")
        return tags


def _oriented(quality: str, strand: str) -> str:
    return quality[::-1] if strand == "-" else quality


def reads_format(path: str | None, fastq_input: bool) -> tuple[bool, bool]:
    """(FASTQ?, gzip?) for the tagged reads' output (SAM/BAM: see
    bam.output_kind); stdout and devices take the input's kind."""
    if path is None or path == STDOUT or bam.output_kind(path) or not is_regular_target(path):
        return fastq_input, False
    lower = path.lower()
    compressed = lower.endswith(".gz")
    stem = lower[:-3] if compressed else lower
    if stem.endswith((".fa", ".fasta", ".fna")):
        return False, compressed
    if stem.endswith((".fq", ".fastq")):
        return True, compressed
    raise InputError(f"{path}: name tagged reads .fastq, .fq, .fasta or .fa, optionally with .gz, or .bam or .sam")
