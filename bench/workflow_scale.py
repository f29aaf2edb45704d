"""The workflow's `tag` target at scale: the simulator's reads (1,000,000 by
default) against the full 737,280 list, `cells=auto`, in 4 chunks, against
one run of the command on the same reads. Prints both wall times and
whether the gathered table, counts, tagged reads, called cells and summary
counts equal the one run's (compressed files compared as their text).

    python3.14 bench/workflow_scale.py --data DIR [--reads N] [--chunks 4]

The whitelist, its saved index and the reads are those of tag_bench.py
(cached under DIR).
"""

from __future__ import annotations

import argparse
import gzip
import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tag_bench  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
NAMES = {"output": "tagged.fq.gz", "table": "reads.tsv.gz", "counts": "counts.tsv.gz", "summary": "summary.json"}


def timed(argv: list[str]) -> float:
    started = time.perf_counter()
    run = subprocess.run(argv, capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit(f"workflow_scale: {argv[0]} {argv[1:4]} failed:\n{run.stderr[-3000:]}")
    return time.perf_counter() - started


def text(path: Path) -> bytes:
    return gzip.decompress(path.read_bytes()) if path.suffix == ".gz" else path.read_bytes()


def summary(path: Path) -> dict:
    counts = json.loads(path.read_text())
    del counts["seconds"], counts["tagging_seconds"], counts["reads_per_second"]
    return counts


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", type=Path, required=True, help="cache of whitelists, indexes and reads")
    parser.add_argument("--references", type=int, default=737_280)
    parser.add_argument("--reads", type=int, default=1_000_000)
    parser.add_argument("--chunks", type=int, default=4)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    if shutil.which("snakemake") is None:
        print("workflow_scale: snakemake is not installed here; skipped")
        return 0

    index, reads, _ = tag_bench.prepared(args.data, args.references, args.reads, args.seed, sys.executable)
    work = args.data / f"workflow-{args.references}-{args.reads}-{args.chunks}"
    shutil.rmtree(work, ignore_errors=True)
    whole, scattered = work / "whole", work / "scattered"
    whole.mkdir(parents=True)

    one = timed(
        [
            sys.executable, "-m", "mendseqs_cli", "tag", str(reads), "--whitelist", str(index), "--layout", "10x3v3",
            "--cells", "auto", "--threads", str(args.threads), "--quiet",
            "-o", str(whole / NAMES["output"]), "--table", str(whole / NAMES["table"]),
            "--counts", str(whole / NAMES["counts"]), "--summary", str(whole / NAMES["summary"]),
            "--called-cells", str(whole / "called.txt"),
        ]
    )  # fmt: skip
    flow = timed(
        [
            "snakemake", "-s", str(ROOT / "workflow" / "Snakefile"), "tag", "--cores", str(args.threads),
            "--directory", str(scattered), "--config", f"python={sys.executable}", f"whitelist={index}",
            f"reads={reads}", "layout=10x3v3", "cells=auto", f"chunks={args.chunks}", f"threads={args.threads}",
        ]
    )  # fmt: skip

    checks = {
        "table": text(scattered / NAMES["table"]) == text(whole / NAMES["table"]),
        "counts": text(scattered / NAMES["counts"]) == text(whole / NAMES["counts"]),
        "tagged reads": text(scattered / NAMES["output"]) == text(whole / NAMES["output"]),
        "called cells": (scattered / "cells" / "called.txt").read_text() == (whole / "called.txt").read_text(),
        "summary counts": summary(scattered / NAMES["summary"]) == summary(whole / NAMES["summary"]),
    }
    counted = summary(whole / NAMES["summary"])
    print(
        f"  {args.reads:,} reads, {args.references:,} list, cells=auto: one run {one:.1f} s, "
        f"workflow in {args.chunks} chunks {flow:.1f} s (each read tagged twice there)"
    )
    print(f"  cells called: {counted['cells']['cells']:,}")
    for name, same in checks.items():
        print(f"  {name:15} {'the same as one run' if same else 'DIFFERENT from one run'}")
    shutil.rmtree(work)
    return 0 if all(checks.values()) else 1


if __name__ == "__main__":
    sys.exit(main())
