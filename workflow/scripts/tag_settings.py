"""The `tag` target's configuration, checked before any job runs (see
settings.py for why): every key known, every value in range, every file
there, the layout one the installed module knows."""

import os

from settings import Config

KNOWN = (
    "reads",
    "whitelist",
    "layout",
    "cells",
    "expect_cells",
    "output",
    "table",
    "counts",
    "summary",
    "plot",
    "chunks",
    "threads",
    "max_flex",
    "margin",
    "batch",
    "index",
    "python",
)
READ_SUFFIXES = (".fastq", ".fq", ".fasta", ".fa", ".fastq.gz", ".fq.gz", ".fasta.gz", ".fa.gz", ".bam", ".sam")


class TagSettings:
    def __init__(self, config, workdir):
        given = Config(config, workdir, KNOWN, target="tag")
        self.python = given.python
        self.reads = given.existing("reads")
        self.whitelist = given.existing("whitelist")
        if "layout" not in given:
            raise ValueError("give layout=NAME with --config (a preset such as 10x3v3, or a custom layout)")
        self.layout = given.text("layout")
        self.chunks = given.whole("chunks", 4, low=1)
        self.threads = given.whole("threads", 2, low=1)
        self.margin = given.whole("margin", 0, low=0)
        self.batch = given.whole("batch", 5000, low=1)
        self.output = given.text("output", "tagged.fq.gz")
        lower = self.output.lower()
        if not lower.endswith(READ_SUFFIXES):
            raise ValueError(f"output={self.output}: name it .fq/.fastq/.fa/.fasta (optionally .gz), .bam or .sam")
        self.alignments = lower.endswith((".bam", ".sam"))
        self.compressed = lower.endswith(".gz")
        # The chunks' reads: plain in the output's own format, so that the
        # gathered file is one stream like the command's.
        self.part_suffix = "bam" if self.alignments else os.path.splitext(lower.removesuffix(".gz"))[1][1:]
        self.table = given.text("table", "reads.tsv.gz")
        self.counts = given.text("counts", "counts.tsv.gz")
        self.summary = given.text("summary", "summary.json")
        self.plot = given.text("plot") or None
        cells = given.text("cells") or None
        self.auto = cells == "auto"
        self.cells = None
        if cells is not None and not self.auto:
            self.cells = given.existing("cells")
        self.expect_cells = None
        if "expect_cells" in given:
            if not self.auto:
                raise ValueError(f"expect_cells={given.text('expect_cells')}: applies only with cells=auto")
            self.expect_cells = given.whole("expect_cells", None, low=1)
        self.index_path = "index/whitelist.msqidx"
        # Asked of the jobs' interpreter: the layout's barcode length (or
        # why the layout is wrong); whether the whitelist is a saved index,
        # and its tolerance.
        code = (
            "import sys, mendseqs, mendseqs_cli.references as r, mendseqs_cli.layouts as l\n"
            "try:\n"
            "    print(l.layout_of(sys.argv[1]).barcode_length)\n"
            "except l.LayoutError as error:\n"
            "    print('layout:', error); sys.exit(0)\n"
            "index = r.is_saved_index(sys.argv[2])\n"
            "print(index, mendseqs.ReferenceIndex.load(sys.argv[2]).max_flex if index else None)\n"
        )
        lines = given.probe(code, self.layout, self.whitelist, named=f"whitelist={self.whitelist}")
        if lines[0].startswith("layout:"):
            raise ValueError(f"layout={self.layout}: {lines[0].removeprefix('layout: ')}")
        barcode_length = int(lines[0])
        index, max_flex = lines[1].split()
        given_an_index, index_max_flex = index == "True", None if max_flex == "None" else int(max_flex)
        # The command's own bounds: a barcode cannot take as many edits as
        # it has letters.
        if index_max_flex is not None and index_max_flex >= barcode_length:
            raise ValueError(
                f"whitelist={self.whitelist}: built for max_flex {index_max_flex}, which layout {self.layout} "
                f"cannot use (barcodes of {barcode_length} letters): build another with `mendseqs index`"
            )
        self.max_flex = given.whole("max_flex", 2 if index_max_flex is None else index_max_flex, 0, barcode_length - 1)
        if index_max_flex is not None and self.max_flex != index_max_flex:
            raise ValueError(
                f"max_flex={self.max_flex}: {self.whitelist} was built for max_flex {index_max_flex} "
                "(build another with `mendseqs index`, or leave max_flex out)"
            )
        self.max_flex_option = "" if given_an_index else f"--max-flex {self.max_flex}"
        wanted = given.choice("index", "true", ("true", "false"))
        self.matched_against = self.whitelist if given_an_index or wanted == "false" else self.index_path
