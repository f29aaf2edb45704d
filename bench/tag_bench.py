"""`mendseqs tag` on the simulator's reads: accuracy against the truth and
speed, with the baseline of the barcodes alone printed beside it.

For each whitelist size: a seeded random list of 16-letter barcodes, its
index built and saved once (cached), reads simulated once (cached), then
the command run as a user runs it (FASTQ.gz in, FASTQ.gz and a TSV.gz
table out, 2 threads, the saved index) in a child process for its time
and peak RSS.

Scored per molecule:
  recall     molecules whose true barcode is on the list and that were
             assigned it, of the molecules whose true barcode is on the list
  precision  right assignments of all assignments (off-list molecules and
             reads with no structure count as wrong when assigned)
  umi        rightly assigned molecules whose UMI is within 2 edits of the truth
  strand     rightly assigned molecules on the right strand
The baseline takes the true barcodes, mutates them at their read's error
rate with the simulator's error model, and corrects them alone with
ReferenceIndex.nearest (a unique nearest entry that beats the runner-up by
the margin): what a caller that located every barcode perfectly could do.
"""

from __future__ import annotations

import argparse
import collections
import csv
import gzip
import json
import os
import random
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import simulate_reads  # noqa: E402


def random_whitelist(count: int, seed: int) -> list[str]:
    rng = random.Random(seed)
    seen: set[str] = set()
    out: list[str] = []
    while len(out) < count:
        barcode = rng.randbytes(16).translate(simulate_reads._FROM_BYTE).decode()
        if barcode not in seen:
            seen.add(barcode)
            out.append(barcode)
    return out


def edit_distance(a: str, b: str) -> int:
    previous = list(range(len(b) + 1))
    for i, x in enumerate(a, 1):
        current = [i]
        for j, y in enumerate(b, 1):
            current.append(min(previous[j] + 1, current[j - 1] + 1, previous[j - 1] + (x != y)))
        previous = current
    return previous[-1]


@dataclass
class Score:
    on_list: int = 0
    assigned: int = 0
    right: int = 0
    umi_close: int = 0
    strand_right: int = 0

    def line(self, name: str) -> str:
        recall = self.right / self.on_list if self.on_list else 0.0
        precision = self.right / self.assigned if self.assigned else 0.0
        text = f"{name}: recall {recall:.4f}, precision {precision:.4f} ({self.right:,} right of {self.assigned:,} assigned, {self.on_list:,} on the list)"
        if self.umi_close or self.strand_right:
            text += f"; UMI within 2 edits {self.umi_close / max(1, self.right):.4f}, strand right {self.strand_right / max(1, self.right):.4f}"
        return text


def read_truth(path: Path) -> dict[str, list[dict[str, str]]]:
    truth: dict[str, list[dict[str, str]]] = collections.defaultdict(list)
    with gzip.open(path, "rt") as lines:
        for row in csv.DictReader(lines, delimiter="\t"):
            truth[row["read_id"]].append(row)
    return truth


def score_table(table: Path, truth: dict[str, list[dict[str, str]]]) -> Score:
    score = Score()
    for rows in truth.values():
        score.on_list += sum(row["on_whitelist"] == "1" for row in rows)
    with gzip.open(table, "rt") as lines:
        by_read: dict[str, list[dict[str, str]]] = collections.defaultdict(list)
        for row in csv.DictReader(lines, delimiter="\t"):
            if row["status"] == "assigned":
                by_read[row["read_id"]].append(row)
    for read_id, assigned in by_read.items():
        left = [row for row in truth.get(read_id, []) if row["on_whitelist"] == "1"]
        for row in assigned:
            score.assigned += 1
            match = next((t for t in left if t["barcode"] == row["barcode"]), None)
            if match is None:
                continue
            left.remove(match)
            score.right += 1
            score.umi_close += edit_distance(row["umi"], match["umi"]) <= 2
            score.strand_right += row["strand"] == match["strand"]
    return score


def baseline(index_path: Path, truth: dict[str, list[dict[str, str]]], margin: int, seed: int) -> Score:
    import mendseqs

    index = mendseqs.ReferenceIndex.load(str(index_path))
    simulator = simulate_reads.Simulator(["A" * 16], simulate_reads.KITS["10x3v3"], 0.0, 1, seed)
    molecules = [row for rows in truth.values() for row in rows if row["kind"] != "none"]
    mutated = [simulator.mutate(row["barcode"], float(row["error_rate"])) for row in molecules]
    saved = os.dup(1)  # the module's progress bar
    try:
        with open(os.devnull, "wb") as null:
            os.dup2(null.fileno(), 1)
        found = index.nearest(mutated, 2)
    finally:
        os.dup2(saved, 1)
        os.close(saved)
    score = Score()
    for row, near in zip(molecules, found, strict=True):
        score.on_list += row["on_whitelist"] == "1"
        unique = near.reference and near.ties == 1
        if unique and (near.runner_up is None or near.runner_up - near.distance >= margin):
            score.assigned += 1
            score.right += near.reference == row["barcode"]
    return score


def prepared(data: Path, references: int, reads: int, seed: int, python: str) -> tuple[Path, Path, Path]:
    """The whitelist's saved index, the reads and their truth (cached)."""
    data.mkdir(parents=True, exist_ok=True)
    whitelist = data / f"whitelist-{references}-{seed}.txt"
    index = data / f"whitelist-{references}-{seed}-k2.idx"
    fastq = data / f"reads-{references}-{reads}-{seed}.fq.gz"
    truth = data / f"truth-{references}-{reads}-{seed}.tsv.gz"
    if not whitelist.exists():
        partial = whitelist.with_suffix(".part")
        partial.write_text("\n".join(random_whitelist(references, seed)) + "\n")
        partial.rename(whitelist)
    if not index.exists():
        started = time.perf_counter()
        subprocess.run(
            [
                python,
                "-m",
                "mendseqs_cli",
                "index",
                str(whitelist),
                "--max-flex",
                "2",
                "--threads",
                "2",
                "-o",
                str(index),
            ],
            check=True,
        )
        print(
            f"  built and saved the k=2 index of {references:,} barcodes in {time.perf_counter() - started:.1f} s",
            file=sys.stderr,
        )
    if not truth.exists():
        started = time.perf_counter()
        simulate_reads.main(
            [
                str(whitelist),
                "-n",
                str(reads),
                "-o",
                str(fastq) + ".part",
                "--truth",
                str(truth) + ".part",
                "--seed",
                str(seed),
            ]
        )
        os.rename(str(fastq) + ".part", fastq)
        os.rename(str(truth) + ".part", truth)
        print(f"  simulated {reads:,} reads in {time.perf_counter() - started:.1f} s", file=sys.stderr)
    return index, fastq, truth


def run_tag(
    python: str, index: Path, fastq: Path, out: Path, threads: int, margin: int
) -> tuple[float, int, dict[str, object]]:
    """Seconds, peak RSS in bytes and the summary of one `mendseqs tag` run in a child."""
    table, summary = out / "table.tsv.gz", out / "summary.json"
    command = [
        python,
        "-m",
        "mendseqs_cli",
        "tag",
        str(fastq),
        "--whitelist",
        str(index),
        "--layout",
        "10x3v3",
        "--max-flex",
        "2",
    ]
    command += [
        "--margin",
        str(margin),
        "-o",
        str(out / "tagged.fq.gz"),
        "--table",
        str(table),
        "--summary",
        str(summary),
    ]
    command += ["--threads", str(threads)]
    started = time.perf_counter()
    child = subprocess.Popen(command, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - started
    if status != 0:
        raise SystemExit(f"mendseqs tag failed: {command}")
    return seconds, usage.ru_maxrss * 1024, json.loads(summary.read_text())


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", type=Path, required=True, help="cache of whitelists, indexes and reads")
    parser.add_argument("--references", type=int, nargs="+", default=[737_280, 6_794_880])
    parser.add_argument("--reads", type=int, default=100_000)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--margin", type=int, default=0)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    python = sys.executable
    for references in args.references:
        print(f"{references:,} random 16-letter barcodes, k=2, {args.reads:,} simulated reads at 5% errors (10x 3' v3)")
        index, fastq, truth_path = prepared(args.data, references, args.reads, args.seed, python)
        truth = read_truth(truth_path)
        out = args.data / f"tag-{references}"
        out.mkdir(exist_ok=True)
        seconds, rss, summary = run_tag(python, index, fastq, out, args.threads, args.margin)
        reads = sum(1 for _ in truth)
        print(
            f"  mendseqs tag: {reads / seconds:,.0f} reads/s ({seconds:.1f} s, {args.threads} threads, FASTQ.gz in, FASTQ.gz + TSV.gz out), peak RSS {rss / 2**30:.2f} GiB"
        )
        print("  " + score_table(out / "table.tsv.gz", truth).line("mendseqs tag"))
        print("  " + baseline(index, truth, args.margin, args.seed).line("barcodes alone (baseline)"))
        print(f"  summary: {json.dumps(summary.get('status', summary))}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
