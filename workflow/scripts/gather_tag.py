"""Gathers the `tag` chunk jobs' results, in chunk order, into what one run
of `mendseqs tag` on the whole input writes:

- the tagged reads: text parts concatenated (compressed when the name ends
  in .gz, by the command's own writer, as one stream); BAM/SAM parts'
  records into one file with the first part's header;
- the table: the parts' rows under one header row;
- the counts (and the knee plot), from the gathered table by the
  command's own counting, with the cells;
- the summary: the parts' counts summed, the median flank edits and the
  cells' figures from the gathered table, the cell call's own figures
  (`--call`, from call_cells.py) for cells=auto.

    python3.14 workflow/scripts/gather_tag.py --reads OUT --table TSV --counts TSV --summary JSON
        [--cells FILE] [--call JSON] [--plot PNG]
        --read-parts PART... --table-parts PART... --summary-parts PART...
"""

import argparse
import csv
import json
import shutil
import sys

from mendseqs_cli import cell_outputs
from mendseqs_cli.barcode_counts import BarcodeCounts, counts_text
from mendseqs_cli.cells import IN_CELL, read_cells
from mendseqs_cli.errors import InputError
from mendseqs_cli.output_files import Outputs, output_file
from mendseqs_cli.tag_summary import STATUSES, Totals, summary


def gather_reads(output, parts):
    lower = output.lower()
    if lower.endswith((".bam", ".sam")):
        import pysam

        pysam.set_verbosity(0)
        with pysam.AlignmentFile(parts[0], "r", check_sq=False) as first:
            header = first.header.to_dict()
        with output_file(output, False) as stream:
            with pysam.AlignmentFile(stream, "w" if lower.endswith(".sam") else "wb", header=header, threads=2) as out:
                for part in parts:
                    with pysam.AlignmentFile(part, "r", check_sq=False) as records:
                        for record in records.fetch(until_eof=True):
                            out.write(record)
        return
    with output_file(output, lower.endswith(".gz")) as out:
        for part in parts:
            with open(part, "rb") as source:
                shutil.copyfileobj(source, out, 1 << 20)


def gather_table(output, parts, counts, totals):
    """The parts' rows under one header; each row counted as the command
    counts it (per read: its assigned molecules' barcodes and UMIs, its
    molecules in cells)."""
    columns = None
    with output_file(output, output.lower().endswith(".gz")) as out:
        for number, part in enumerate(parts):
            with open(part, encoding="utf-8", newline="") as lines:
                header = lines.readline()
                if number == 0:
                    out.write(header.encode())
                    columns = header.rstrip("\n").split("\t")
                read, molecules = None, []
                rows = csv.DictReader(lines, fieldnames=columns, delimiter="\t", quoting=csv.QUOTE_NONE)
                for row in rows:
                    out.write(("\t".join(row[c] for c in columns) + "\n").encode())
                    if row["read_id"] != read:
                        count_read(molecules, counts, totals)
                        read, molecules = row["read_id"], []
                    molecules.append(row)
                count_read(molecules, counts, totals)


def count_read(rows, counts, totals):
    if not rows:
        return
    counts.add_read((row["barcode"], row["umi"]) for row in rows if row["status"] == "assigned")
    in_cells = sum(row["cell"] == IN_CELL for row in rows)
    totals.molecules_in_cells += in_cells
    totals.reads_in_cells += in_cells > 0
    for row in rows:
        if row["flank_edits"]:
            edits = int(row["flank_edits"])
            totals.flank_edits[edits] = totals.flank_edits.get(edits, 0) + 1


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    for option in ("--reads", "--table", "--counts", "--summary"):
        parser.add_argument(option, required=True)
    parser.add_argument("--cells")
    parser.add_argument("--call")
    parser.add_argument("--plot")
    for option in ("--read-parts", "--table-parts", "--summary-parts"):
        parser.add_argument(option, nargs="+", required=True)
    args = parser.parse_args()
    try:
        gather_reads(args.reads, args.read_parts)
        counts, totals = BarcodeCounts(), Totals()
        gather_table(args.table, args.table_parts, counts, totals)
        # (Checked by the chunk jobs already.)
        cells = read_cells(args.cells, None) if args.cells else None
        rows = counts.rows(cells)
        with output_file(args.counts, args.counts.lower().endswith(".gz")) as out:
            out.write(counts_text(rows).encode())
        parts = [json.loads(open(part).read()) for part in args.summary_parts]
        gathered = summed(parts, totals, cells, json.loads(open(args.call).read()) if args.call else None)
        with output_file(args.summary, False) as out:
            out.write(json.dumps(gathered, indent=2).encode() + b"\n")
        if args.plot:
            with Outputs() as files:
                reads_in_cells = totals.reads_in_cells if cells is not None else None
                cell_outputs.plot(files, args.plot, rows, gathered["reads"], reads_in_cells)
                files.commit()
    except (InputError, OSError, ValueError) as error:
        print(f"gather_tag.py: error: {error}", file=sys.stderr)
        return 1
    return 0


def summed(parts, totals, cells, call):
    """The summary one run would write, from the parts' and the table's counts."""
    for key in ("reads", "molecules", "chimeras"):
        setattr(totals, key, sum(part[key] for part in parts))
    totals.both_strand_reads = sum(part["reads_with_both_strands"] for part in parts)
    totals.status = {status: sum(part["status"][status] for part in parts) for status in STATUSES}
    seconds = sum(part["seconds"] for part in parts)
    gathered = summary(totals, seconds, sum(part["tagging_seconds"] for part in parts))
    if cells is not None:
        figures = {"source": "auto" if call else "list", "cells": len(cells)}
        if call:
            figures.update(call)
        reads = totals.reads
        figures["reads_in_cells"] = totals.reads_in_cells
        figures["share_of_reads_in_cells"] = round(totals.reads_in_cells / reads, 6) if reads else None
        figures["molecules_in_cells"] = totals.molecules_in_cells
        gathered["cells"] = figures
    return gathered


if __name__ == "__main__":
    sys.exit(main())
