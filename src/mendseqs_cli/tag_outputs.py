"""The files of a `mendseqs tag` run, all in one output_files.Outputs and
committed together when the run succeeds: the tagged reads and the table,
written batch by batch by writer threads, then the summary, the cells,
the counts and the plot, written at the end."""

from __future__ import annotations

import json
import time
from typing import Any

from . import bam, cell_outputs
from .barcode_counts import BarcodeCounts
from .errors import InputError
from .output_files import STDOUT, Outputs
from .records import Batch
from .tag_format import TABLE_COLUMNS, Formatter, reads_format
from .tag_options import TagSettings
from .tag_summary import Totals, summary
from .writer_thread import WriterThread, text_writer


class TagOutputs:
    """The tagged reads are opened at the first batch, whose records decide
    FASTQ or FASTA (and whose header a BAM output carries on); with no
    reads at all, at `finish`, as an empty file all the same."""

    def __init__(self, config: TagSettings, closed: frozenset[int], counts: BarcodeCounts | None, threads: int) -> None:
        self.config, self.counts, self.threads = config, counts, threads
        self.files = Outputs(closed)
        self.reads: WriterThread[str] | bam.BamWriter | None = None
        self.formatter: Formatter | None = None
        self.table: WriterThread[str] | None = None
        if config.table is not None:
            self.table = text_writer(self.files.open(config.table, config.table.lower().endswith(".gz")), config.table)
            self.table.write("\t".join(TABLE_COLUMNS) + "\n")

    def formatter_for(self, path: str, batch: Batch | None) -> Formatter:
        with_qualities = batch is None or batch.qualities is not None
        if self.formatter is None:
            output = self.config.output
            fastq, compressed = reads_format(output, with_qualities)
            alignments = bam.output_kind(output)
            stream = self.files.open(output or STDOUT, compressed)
            name = output or "stdout"
            if alignments:
                header = bam.header_for(batch.header if batch is not None else None)
                self.reads = bam.BamWriter(stream, name, header, self.threads, alignments == "sam")
            else:
                self.reads = text_writer(stream, name)
            self.formatter = Formatter(
                self.config.layout, fastq, self.config.assigned_only, alignments=bool(alignments), counts=self.counts
            )
        if self.formatter.fastq and not with_qualities and not self.formatter.alignments:
            raise InputError(f"{path}: FASTQ output needs FASTQ reads (these have no quality values)")
        return self.formatter

    def write(self, path: str, batch: Batch, tagged: list[tuple[Any, ...]], totals: Totals) -> None:
        records, rows = self.formatter_for(path, batch).batch(batch, tagged, totals)
        assert self.reads is not None
        self.reads.write(records)
        if self.table is not None:
            self.table.write(rows)

    def finish_reads(self) -> None:
        """The tagged reads and the table written whole."""
        self.formatter_for(self.config.reads[-1], None)
        self._close_writers()

    def finish(self, plan: Any, totals: Totals, started: float, tagging: float) -> None:
        """The per-barcode files and the summary written, then every file
        committed (`started`: when the run began, on time.perf_counter)."""
        cell_outputs.write(self.files, self.config, plan, self.counts, totals.reads, totals.reads_in_cells)
        if self.config.summary:
            seconds = time.perf_counter() - started
            text = json.dumps(summary(totals, seconds, tagging, plan), indent=2) + "\n"
            self.files.write(self.config.summary, text.encode())
        self.files.commit()

    def _close_writers(self) -> None:
        """Both writers closed, whatever either raises; then the first
        failure raised."""
        writers, self.reads, self.table = [self.reads, self.table], None, None
        failure: BaseException | None = None
        for writer in writers:
            if writer is not None:
                try:
                    writer.close()
                except BaseException as error:
                    failure = failure or error
        if failure is not None:
            raise failure

    def discard(self) -> None:
        """After a failure: the writers stopped, nothing left behind."""
        try:
            self._close_writers()
        except Exception:
            pass  # the failure that brought us here is the one reported
        finally:
            self.files.discard()
