"""`mendseqs count`: tagged reads aligned to a genome in, molecules per cell
and gene (and per cell and isoform) out, their UMIs clustered by the engine.

    mendseqs count aligned.bam --annotation genes.gtf.gz --matrix out/
        [--cells cells.txt] [-o counted.bam] [--h5ad counts.h5ad]
        [--summary summary.json] [--plot saturation.png]
        [--min-mapq Q] [--umi-distance D] [--threads N]

See docs/count.md. The arguments are read once into CountSettings; nothing
below this module sees argparse.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import tempfile
import time
from dataclasses import dataclass

from . import aligned, assign, cells, counting, matrix, saturation, umis
from .annotation import read_annotation
from .bam import _version
from .command import Command, Session
from .errors import InputError
from .options import MAX_THREADS, integer

DEFAULT_MIN_MAPQ = 1


@dataclass(frozen=True)
class CountSettings:
    aligned: str
    annotation: str
    matrix: str
    cells: str | None
    output: str | None
    h5ad: str | None
    summary: str | None
    plot: str | None
    min_mapq: int
    umi_distance: int
    rules: assign.Rules
    threads: int
    command_line: tuple[str, ...]


def _share(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a number") from None
    if not 0 <= value <= 1:
        raise argparse.ArgumentTypeError(f"must be between 0 and 1, not {text}")
    return value


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("aligned", help="tagged reads aligned to the genome: SAM, BAM or CRAM, any order; - for stdin")
    parser.add_argument("--annotation", required=True, help="genes: GTF or GFF3, optionally gzipped")
    parser.add_argument("--matrix", required=True, metavar="DIR", help="where the matrices go (Matrix Market)")
    parser.add_argument("--cells", metavar="FILE", help="the called cells, one per line (tag --called-cells)")
    parser.add_argument("-o", "--output", metavar="BAM", help="the records with GX/GN/TX/gs/is/UB tags")
    parser.add_argument("--h5ad", metavar="FILE", help="the gene matrix as AnnData (needs python3-anndata)")
    parser.add_argument("--summary", metavar="FILE", help="counts as JSON")
    parser.add_argument("--plot", metavar="PNG", help="saturation against reads (needs matplotlib)")
    parser.add_argument(
        "--min-mapq",
        type=integer(0, 255),
        default=DEFAULT_MIN_MAPQ,
        help=f"alignments below this MAPQ are not counted (default {DEFAULT_MIN_MAPQ}: multimapped reads are not)",
    )
    parser.add_argument(
        "--umi-distance",
        type=integer(-1, 8),
        default=umis.DEFAULT_DISTANCE,
        help=f"UMIs this many edits apart may be one molecule (default {umis.DEFAULT_DISTANCE}; -1: exact only)",
    )
    parser.add_argument(
        "--min-share",
        type=_share,
        default=assign.DEFAULT_MIN_SHARE,
        help=f"share of aligned bases a gene's exons must hold (default {assign.DEFAULT_MIN_SHARE})",
    )
    parser.add_argument(
        "--min-lead",
        type=_share,
        default=assign.DEFAULT_MIN_LEAD,
        help=f"share by which it must beat the runner-up (default {assign.DEFAULT_MIN_LEAD})",
    )
    parser.add_argument(
        "--junction-tolerance",
        type=integer(0, 1000),
        default=assign.DEFAULT_TOLERANCE,
        help=f"bases a junction may be off an isoform's (default {assign.DEFAULT_TOLERANCE})",
    )
    parser.add_argument("--threads", type=integer(1, MAX_THREADS), default=2, help="threads (default 2)")


def settings(args: argparse.Namespace) -> CountSettings:
    return CountSettings(
        aligned=args.aligned,
        annotation=args.annotation,
        matrix=args.matrix,
        cells=args.cells,
        output=args.output,
        h5ad=args.h5ad,
        summary=args.summary,
        plot=args.plot,
        min_mapq=args.min_mapq,
        umi_distance=args.umi_distance,
        rules=assign.Rules(args.min_share, args.min_lead, args.junction_tolerance),
        threads=args.threads,
        command_line=tuple(sys.argv),
    )


def run(s: CountSettings, session: Session) -> int:
    del session
    return count(s)


def count(s: CountSettings) -> int:
    started = time.monotonic()
    if s.plot and (missing := saturation.plot_unavailable()):
        raise InputError(f"--plot needs matplotlib (Debian: apt install python3-matplotlib): {missing}")
    annotation = read_annotation(s.annotation)
    called = cells.read_cells(s.cells, None) if s.cells else None
    first = counting.FirstPass(annotation, s.rules, s.min_mapq)
    corrected = counting.Corrected() if s.output else None
    source = aligned.open_aligned(s.aligned)
    spool: str | None = None
    try:
        try:
            counting.check_inputs(source.header, first.annotated, s.aligned, s.annotation)
            spool = _first_pass(source, first, s)
        finally:
            source.close()
        if first.tally.reads and not first.with_cell:
            raise InputError(f"{s.aligned}: no read has a CB tag: count reads tagged by mendseqs tag")
        counts = counting.cluster_partitions(first, s.umi_distance, s.threads, corrected)
        first.parts.close()
        _write_outputs(s, counts, called)
        if spool is not None and corrected is not None:
            _third_pass(spool, corrected, s)
    finally:
        first.parts.close()
        if corrected is not None:
            corrected.close()
        if spool is not None and os.path.exists(spool):
            os.unlink(spool)
    report = saturation.summary(counts, called, time.monotonic() - started)
    if s.summary:
        _write_text(s.summary, json.dumps(report, indent=2) + "\n")
    return 0


def _first_pass(source: object, first: counting.FirstPass, s: CountSettings) -> str | None:
    """Pass 1; with -o, the tagged records' temporary BAM's path."""
    pysam = aligned.pysam_module()
    out = None
    path = None
    if s.output:
        directory = os.environ.get("TMPDIR") or "/tmp"
        handle, path = _temporary(directory)
        os.close(handle)
        header = aligned.output_header(source.header, list(s.command_line))  # type: ignore[attr-defined]
        out = pysam.AlignmentFile(path, "wb", header=header, threads=2)
    try:
        for ordinal, record in enumerate(aligned.records(source, s.aligned)):
            if record.flag & aligned.NOT_PRIMARY:
                if out is not None:
                    out.write(record)
                continue
            status, gene, tx_status, tx = first.record(ordinal, record)
            if out is not None:
                # tag writes the raw UMI as UB too; only a counted read's
                # corrected one (pass 3) is left.
                record.set_tag("UB", None)
                record.set_tag("gs", status, "Z")
                if gene >= 0:
                    g = first.annotation.genes[gene]
                    record.set_tag("GX", g.id, "Z")
                    record.set_tag("GN", g.name, "Z")
                    record.set_tag("is", tx_status, "Z")
                if tx >= 0:
                    record.set_tag("TX", first.annotation.transcripts[tx].id, "Z")
                out.write(record)
    except BaseException:
        if path is not None:
            os.unlink(path)
        raise
    finally:
        if out is not None:
            out.close()
    return path


def _temporary(directory: str) -> tuple[int, str]:
    return tempfile.mkstemp(prefix="mendseqs-count-", suffix=".bam", dir=directory)


def _third_pass(spool: str, corrected: counting.Corrected, s: CountSettings) -> None:
    """The spooled records to -o, each counted one with its UB."""
    pysam = aligned.pysam_module()
    assert s.output is not None
    partial = f"{s.output}.partial-{os.getpid()}"
    try:
        with pysam.AlignmentFile(spool, "rb", check_sq=False) as source:
            mode = "wb" if not s.output.endswith(".sam") else "w"
            with pysam.AlignmentFile(partial, mode, template=source, threads=2) as out:
                pending = corrected.merged()
                next_pair = next(pending, None)
                for ordinal, record in enumerate(source.fetch(until_eof=True)):
                    if next_pair is not None and next_pair[0] == ordinal:
                        record.set_tag("UB", next_pair[1], "Z")
                        next_pair = next(pending, None)
                    out.write(record)
        os.replace(partial, s.output)
    except OSError as error:
        raise InputError(f"{s.output}: {error.strerror or error}") from None
    finally:
        if os.path.exists(partial):
            os.unlink(partial)


def _write_outputs(s: CountSettings, counts: counting.Counts, called: list[str] | None) -> None:
    version = _version()
    genes, transcripts = counts.gene_matrix(), counts.transcript_matrix()
    for name, whole in (("gene", genes), ("transcript", transcripts)):
        matrix.write_directory(os.path.join(s.matrix, name, "raw_feature_bc_matrix"), whole, version)
        if called is not None:
            matrix.write_directory(
                os.path.join(s.matrix, name, "filtered_feature_bc_matrix"),
                whole.restricted([b + "-1" for b in called]),
                version,
            )
    if s.h5ad:
        matrix.write_h5ad(s.h5ad, genes.restricted([b + "-1" for b in called]) if called is not None else genes)
    if s.plot:
        try:
            with open(s.plot, "wb") as out:
                saturation.draw(out, counts.tally.reads_per_molecule)
        except OSError as error:
            raise InputError(f"{s.plot}: {error.strerror or error}") from None


def _write_text(path: str, text: str) -> None:
    try:
        with open(path, "w") as out:
            out.write(text)
    except OSError as error:
        raise InputError(f"{path}: {error.strerror or error}") from None


COMMAND = Command(
    name="count",
    help="count molecules per cell and gene from tagged, aligned reads",
    description="Tagged long reads aligned to a genome in; cell x gene and cell x isoform matrices out, "
    "the UMIs of each cell and gene clustered.",
    add_arguments=add_arguments,
    settings=settings,
    run=run,
)
