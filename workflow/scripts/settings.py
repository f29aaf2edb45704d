"""The workflow's configuration, checked before any job runs: a bad value
stops Snakemake with one clear message instead of a job that "succeeds"
on nothing (`cat` with no files reads Snakemake's own stdin) or a missing
file reported as a rule's missing input."""

import os
import subprocess

# Every setting there is: a key misspelt, or meant for another tool, would
# otherwise be ignored in silence, and the run look configured.
KNOWN = (
    "references",
    "queries",
    "output",
    "format",
    "chunks",
    "threads",
    "max_flex",
    "batch",
    "pick",
    "margin",
    "index",
    "python",
)
PICKS = ("first", "nearest")


class Settings:
    def __init__(self, config, workdir):
        unknown = sorted(set(config) - set(KNOWN))
        if unknown:
            raise ValueError(f"{unknown[0]}={config[unknown[0]]}: no such setting (known: {', '.join(KNOWN)})")
        self.references = self._existing(config, "references", workdir)
        self.queries = self._existing(config, "queries", workdir)
        self.chunks = self._whole(config, "chunks", 4, low=1)
        self.threads = self._whole(config, "threads", 2, low=1)
        self.max_flex = self._whole(config, "max_flex", 3, low=None)
        self.batch = self._whole(config, "batch", 100_000, low=1)
        self.pick = str(config.get("pick", "first"))
        if self.pick not in PICKS:
            raise ValueError(f"pick={self.pick}: expected first or nearest")
        self.margin = self._whole(config, "margin", 0, low=0)
        if "margin" in config and self.pick != "nearest":
            raise ValueError(f"margin={config['margin']}: applies only with pick=nearest")
        self.output = str(config.get("output", "corrected.tsv"))
        # The interpreter the module is installed for.
        self.python = str(config.get("python", "python3.14"))
        self.index_path = "index/references.msqidx"
        self.format, given_an_index, index_max_flex, saves_indexes = self._probe(
            config.get("format") or "", "max_flex" in config
        )
        # Chunk jobs load the index built once, where the module can save
        # one (index=false turns that off); a saved index given as the
        # references is used as it is.
        wanted = str(config.get("index", "auto")).lower()
        if wanted not in ("auto", "true", "false"):
            raise ValueError(f"index={wanted}: expected true, false or auto")
        # A saved index carries its own tolerance: one asked for must be it.
        if index_max_flex is not None and self.max_flex != index_max_flex:
            raise ValueError(
                f"max_flex={self.max_flex}: {self.references} was built for max_flex {index_max_flex} "
                "(build another with `mendseqs index`, or leave max_flex out)"
            )
        # (Given to the jobs too, where the command checks it again.)
        self.max_flex_option = "" if given_an_index and "max_flex" not in config else f"--max-flex {self.max_flex}"
        self.pick_options = f"--pick {self.pick}" + (f" --margin {self.margin}" if "margin" in config else "")
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

    def _probe(self, chosen_format, tolerance_given):
        """Asks the interpreter the jobs run (Snakemake's own may differ):
        the output's format; whether the references are a saved index, and
        its tolerance (loaded only when there is one given to compare, else
        None); whether its module can save an index."""
        code = (
            "import sys, mendseqs, mendseqs_cli.references as r, mendseqs_cli.writing as w\n"
            "print(w.output_format_of(sys.argv[1], sys.argv[2] or None)[0])\n"
            "index = r.is_saved_index(sys.argv[3])\n"
            "print(index, mendseqs.ReferenceIndex.load(sys.argv[3]).max_flex if index and sys.argv[4] else None)\n"
            "print(hasattr(mendseqs, 'ReferenceIndex'))"
        )
        try:
            probe = subprocess.run(
                [self.python, "-c", code, self.output, chosen_format, self.references, "1" if tolerance_given else ""],
                capture_output=True,
                text=True,
            )
        except OSError as error:
            raise ValueError(f"python={self.python}: {error.strerror or error}") from None
        if probe.returncode != 0:
            last = probe.stderr.strip().splitlines()[-1:]
            if last and last[0].startswith("ValueError: "):  # a damaged index, named by the loader
                raise ValueError(f"references={self.references}: {last[0].removeprefix('ValueError: ')}")
            raise ValueError(f"python={self.python} cannot import mendseqs: install it for that interpreter ({last})")
        output_format, index, max_flex, saves_indexes = probe.stdout.split()
        return output_format, index == "True", None if max_flex == "None" else int(max_flex), saves_indexes == "True"
