"""The `tag` target's configuration, checked before any job runs (see
settings.py for why): every key known, every value in range, every file
there, the layout one the installed module knows."""

import os
import subprocess

from settings import Settings

KNOWN = (
    "reads",
    "whitelist",
    "layout",
    "cells",
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
        unknown = sorted(set(config) - set(KNOWN))
        if unknown:
            raise ValueError(f"{unknown[0]}={config[unknown[0]]}: no such setting for tag (known: {', '.join(KNOWN)})")
        self.reads = Settings._existing(config, "reads", workdir)
        self.whitelist = Settings._existing(config, "whitelist", workdir)
        if "layout" not in config:
            raise ValueError("give layout=NAME with --config (a preset such as 10x3v3, or a custom layout)")
        self.layout = str(config["layout"])
        self.chunks = Settings._whole(config, "chunks", 4, low=1)
        self.threads = Settings._whole(config, "threads", 2, low=1)
        self.max_flex = Settings._whole(config, "max_flex", 2, low=0)
        self.margin = Settings._whole(config, "margin", 0, low=0)
        self.batch = Settings._whole(config, "batch", 5000, low=1)
        self.output = str(config.get("output", "tagged.fq.gz"))
        lower = self.output.lower()
        if not lower.endswith(READ_SUFFIXES):
            raise ValueError(f"output={self.output}: name it .fq/.fastq/.fa/.fasta (optionally .gz), .bam or .sam")
        self.alignments = lower.endswith((".bam", ".sam"))
        self.compressed = lower.endswith(".gz")
        # The chunks' reads: plain in the output's own format, so that the
        # gathered file is one stream like the command's.
        self.part_suffix = "bam" if self.alignments else os.path.splitext(lower.removesuffix(".gz"))[1][1:]
        self.table = str(config.get("table", "reads.tsv.gz"))
        self.counts = str(config.get("counts", "counts.tsv.gz"))
        self.summary = str(config.get("summary", "summary.json"))
        self.plot = str(config["plot"]) if config.get("plot") else None
        cells = str(config.get("cells", "")) or None
        self.auto = cells == "auto"
        self.cells = None
        if cells is not None and not self.auto:
            self.cells = Settings._existing(config, "cells", workdir)
        self.python = str(config.get("python", "python3.14"))
        self.index_path = "index/whitelist.msqidx"
        given_an_index, index_max_flex = self._probe("max_flex" in config)
        if index_max_flex is not None and self.max_flex != index_max_flex:
            raise ValueError(
                f"max_flex={self.max_flex}: {self.whitelist} was built for max_flex {index_max_flex} "
                "(build another with `mendseqs index`, or leave max_flex out)"
            )
        if given_an_index and index_max_flex is None:
            self.max_flex_option = ""
        else:
            self.max_flex_option = f"--max-flex {self.max_flex}"
        wanted = str(config.get("index", "true")).lower()
        if wanted not in ("true", "false"):
            raise ValueError(f"index={wanted}: expected true or false")
        self.matched_against = self.whitelist if given_an_index or wanted == "false" else self.index_path

    def _probe(self, tolerance_given):
        """Asks the jobs' interpreter: is the layout known (its message if
        not), is the whitelist a saved index, and its tolerance (loaded only
        to compare with one given)."""
        code = (
            "import sys, mendseqs, mendseqs_cli.references as r, mendseqs_cli.tag as t\n"
            "from mendseqs_cli.errors import InputError\n"
            "try:\n"
            "    t.layout_of(sys.argv[1])\n"
            "except InputError as error:\n"
            "    print('layout:', error); sys.exit(0)\n"
            "index = r.is_saved_index(sys.argv[2])\n"
            "print(index, mendseqs.ReferenceIndex.load(sys.argv[2]).max_flex if index and sys.argv[3] else None)\n"
        )
        try:
            probe = subprocess.run(
                [self.python, "-c", code, self.layout, self.whitelist, "1" if tolerance_given else ""],
                capture_output=True,
                text=True,
            )
        except OSError as error:
            raise ValueError(f"python={self.python}: {error.strerror or error}") from None
        if probe.returncode != 0:
            last = probe.stderr.strip().splitlines()[-1:]
            if last and last[0].startswith("ValueError: "):
                raise ValueError(f"whitelist={self.whitelist}: {last[0].removeprefix('ValueError: ')}")
            raise ValueError(f"python={self.python} cannot import mendseqs: install it for that interpreter ({last})")
        if probe.stdout.startswith("layout:"):
            raise ValueError(f"layout={self.layout}: {probe.stdout.split('--layout: ', 1)[-1].strip()}")
        index, max_flex = probe.stdout.split()
        return index == "True", None if max_flex == "None" else int(max_flex)
