"""The workflow's configuration, checked before any job runs: a bad value
stops Snakemake with one clear message instead of a job that "succeeds"
on nothing (`cat` with no files reads Snakemake's own stdin) or a missing
file reported as a rule's missing input.

Config holds every check there is (keys known, files there, whole
numbers in range, the jobs' interpreter asked what only the installed
module knows); Settings (the `correct` target) and tag_settings.TagSettings
(the `tag` target) say which apply to their keys."""

import os
import subprocess


class Config:
    """One target's --config values, and the checks on them."""

    def __init__(self, config, workdir, known, target=""):
        unknown = sorted(set(config) - set(known))
        if unknown:
            for_target = f" for {target}" if target else ""
            raise ValueError(
                f"{unknown[0]}={config[unknown[0]]}: no such setting{for_target} (known: {', '.join(known)})"
            )
        self.values, self.workdir = config, workdir
        # The interpreter the module is installed for.
        self.python = str(config.get("python", "python3.14"))

    def __contains__(self, key):
        return key in self.values

    def text(self, key, default=None):
        value = self.values.get(key, default)
        return None if value is None else str(value)

    def existing(self, key):
        if key not in self.values:
            raise ValueError(f"give {key}=PATH with --config")
        path = str(self.values[key])
        if not os.path.exists(path):
            raise ValueError(
                f"{key}={path}: no such file in {self.workdir} (relative paths are read from "
                "the working directory, which --directory sets: give absolute paths)"
            )
        return path

    def whole(self, key, default, low, high=None):
        text = str(self.values.get(key, default))
        try:
            value = int(text)
        except ValueError:
            raise ValueError(f"{key}={text}: not a whole number") from None
        if low is not None and value < low:
            raise ValueError(f"{key}={text}: must be at least {low}")
        if high is not None and value > high:
            raise ValueError(f"{key}={text}: must be at most {high}")
        return value

    def choice(self, key, default, choices):
        value = str(self.values.get(key, default)).lower()
        if value not in choices:
            raise ValueError(f"{key}={value}: expected {', '.join(choices[:-1])} or {choices[-1]}")
        return value

    def probe(self, code, *args, named):
        """The lines `code` prints, run by the jobs' interpreter (Snakemake's
        own may differ) with `args`; a ValueError it raises (a damaged
        index, named by the loader) is about the setting `named`."""
        try:
            probe = subprocess.run([self.python, "-c", code, *args], capture_output=True, text=True)
        except OSError as error:
            raise ValueError(f"python={self.python}: {error.strerror or error}") from None
        if probe.returncode != 0:
            last = probe.stderr.strip().splitlines()[-1:]
            if last and last[0].startswith("ValueError: "):
                raise ValueError(f"{named}: {last[0].removeprefix('ValueError: ')}")
            raise ValueError(f"python={self.python} cannot import mendseqs: install it for that interpreter ({last})")
        return probe.stdout.split("\n")


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
        given = Config(config, workdir, KNOWN)
        self.python = given.python
        self.references = given.existing("references")
        self.queries = given.existing("queries")
        self.chunks = given.whole("chunks", 4, low=1)
        self.threads = given.whole("threads", 2, low=1)
        self.max_flex = given.whole("max_flex", 3, low=None)
        self.batch = given.whole("batch", 100_000, low=1)
        self.pick = given.choice("pick", "first", PICKS)
        self.margin = given.whole("margin", 0, low=0)
        if "margin" in given and self.pick != "nearest":
            raise ValueError(f"margin={config['margin']}: applies only with pick=nearest")
        self.output = given.text("output", "corrected.tsv")
        self.index_path = "index/references.msqidx"
        # Asked of the jobs' interpreter: the output's format; whether the
        # references are a saved index, and its tolerance (loaded only when
        # there is one given to compare, else None); whether its module can
        # save an index.
        code = (
            "import sys, mendseqs, mendseqs_cli.references as r, mendseqs_cli.writing as w\n"
            "print(w.output_format_of(sys.argv[1], sys.argv[2] or None)[0])\n"
            "index = r.is_saved_index(sys.argv[3])\n"
            "print(index, mendseqs.ReferenceIndex.load(sys.argv[3]).max_flex if index and sys.argv[4] else None)\n"
            "print(hasattr(mendseqs, 'ReferenceIndex'))"
        )
        tolerance_given = "1" if "max_flex" in given else ""
        args = (self.output, given.text("format") or "", self.references, tolerance_given)
        lines = given.probe(code, *args, named=f"references={self.references}")
        self.format = lines[0]
        index, max_flex = lines[1].split()
        given_an_index, saves_indexes = index == "True", lines[2] == "True"
        index_max_flex = None if max_flex == "None" else int(max_flex)
        # Chunk jobs load the index built once, where the module can save
        # one (index=false turns that off); a saved index given as the
        # references is used as it is.
        wanted = given.choice("index", "auto", ("true", "false", "auto"))
        # A saved index carries its own tolerance: one asked for must be it.
        if index_max_flex is not None and self.max_flex != index_max_flex:
            raise ValueError(
                f"max_flex={self.max_flex}: {self.references} was built for max_flex {index_max_flex} "
                "(build another with `mendseqs index`, or leave max_flex out)"
            )
        # (Given to the jobs too, where the command checks it again.)
        self.max_flex_option = "" if given_an_index and "max_flex" not in given else f"--max-flex {self.max_flex}"
        self.pick_options = f"--pick {self.pick}" + (f" --margin {self.margin}" if "margin" in given else "")
        if given_an_index or wanted == "false" or (wanted == "auto" and not saves_indexes):
            self.matched_against = self.references
        else:
            self.matched_against = self.index_path
