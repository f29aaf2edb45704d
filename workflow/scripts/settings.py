"""The workflow's configuration, checked before any job runs: a bad value
stops Snakemake with one clear message instead of a job that "succeeds"
on nothing (`cat` with no files reads Snakemake's own stdin) or a missing
file reported as a rule's missing input."""

import os
import subprocess


class Settings:
    def __init__(self, config, workdir):
        self.references = self._existing(config, "references", workdir)
        self.queries = self._existing(config, "queries", workdir)
        self.chunks = self._whole(config, "chunks", 4, low=1)
        self.threads = self._whole(config, "threads", 2, low=1)
        self.max_flex = self._whole(config, "max_flex", 3, low=None)
        self.batch = self._whole(config, "batch", 100_000, low=1)
        self.output = str(config.get("output", "corrected.tsv"))
        # The interpreter the module is installed for.
        self.python = str(config.get("python", "python3.14"))
        self.index_path = "index/references.msqidx"
        self.format, given_an_index, saves_indexes = self._probe(config.get("format") or "")
        # Chunk jobs load the index built once, where the module can save
        # one (index=false turns that off); a saved index given as the
        # references is used as it is.
        wanted = str(config.get("index", "auto")).lower()
        if wanted not in ("auto", "true", "false"):
            raise ValueError(f"index={wanted}: expected true, false or auto")
        # A saved index carries its own tolerance.
        self.max_flex_option = "" if given_an_index else f"--max-flex {self.max_flex}"
        if given_an_index or wanted == "false" or (wanted == "auto" and not saves_indexes):
            self.matched_against = self.references
        else:
            self.matched_against = self.index_path

    @staticmethod
    def _existing(config, key, workdir):
        if key not in config:
            raise ValueError(f"give {key}=PATH with --config")
        path = str(config[key])
        if not os.path.exists(path):
            raise ValueError(
                f"{key}={path}: no such file in {workdir} (relative paths are read from "
                "the working directory, which --directory sets: give absolute paths)"
            )
        return path

    @staticmethod
    def _whole(config, key, default, low):
        text = str(config.get(key, default))
        try:
            value = int(text)
        except ValueError:
            raise ValueError(f"{key}={text}: not a whole number") from None
        if low is not None and value < low:
            raise ValueError(f"{key}={text}: must be at least {low}")
        return value

    def _probe(self, chosen_format):
        """Asks the interpreter the jobs run (Snakemake's own may differ):
        the output's format, whether the references are a saved index, and
        whether its module can save one."""
        code = (
            "import sys, mendseqs, mendseqs_cli.references as r, mendseqs_cli.writing as w\n"
            "print(w.output_format_of(sys.argv[1], sys.argv[2] or None)[0])\n"
            "print(r.is_saved_index(sys.argv[3]))\n"
            "print(hasattr(mendseqs, 'ReferenceIndex'))"
        )
        try:
            probe = subprocess.run(
                [self.python, "-c", code, self.output, chosen_format, self.references], capture_output=True, text=True
            )
        except OSError as error:
            raise ValueError(f"python={self.python}: {error.strerror or error}") from None
        if probe.returncode != 0:
            raise ValueError(
                f"python={self.python} cannot import mendseqs: install it for that interpreter "
                f"({probe.stderr.strip().splitlines()[-1:]})"
            )
        output_format, given_an_index, saves_indexes = probe.stdout.split()
        return output_format, given_an_index == "True", saves_indexes == "True"
