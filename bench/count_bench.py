"""`mendseqs count` against the simulator's truth, and its speed and memory,
all printed in one run.

    python3 bench/count_bench.py --data DIR [--reads 10000] [--quick]

The road: genome_sim.py (Badread's nanopore2023 models) -> `mendseqs tag`
-> minimap2 -splice -> `mendseqs count`, scored read by read (gene,
isoform) and cell by cell (molecules) against the truth. Speed and memory
are measured on the road's aligned reads copied under other cell barcodes
(each copy a cell set of its own, so the UMI groups keep their sizes):
that many reads cost what the simulator's would, without aligning them.
"""

from __future__ import annotations

import argparse
import functools
import collections
import gzip
import json
import os
import random
import statistics
import subprocess
import sys
import time
from pathlib import Path

print = functools.partial(print, flush=True)  # noqa: A001 - the figures appear as they come

HERE = Path(__file__).resolve().parent
MENDSEQS = [sys.executable, "-m", "mendseqs_cli"]


def timed(command: list[str], **options: object) -> tuple[float, float, int]:
    """(wall seconds, CPU seconds, peak RSS in KiB) of one child process."""
    started = time.monotonic()
    process = subprocess.Popen(command, **options)  # type: ignore[call-overload]
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode:
        raise SystemExit(f"failed ({process.returncode}): {' '.join(map(str, command))}")
    return time.monotonic() - started, usage.ru_utime + usage.ru_stime, usage.ru_maxrss


def shell(text: str) -> tuple[float, float, int]:
    return timed(["bash", "-o", "pipefail", "-c", text])


def simulate(data: Path, reads: int) -> Path:
    where = data / f"sim-{reads}"
    if not (where / "truth.tsv.gz").exists():
        subprocess.run(
            [sys.executable, HERE / "genome_sim.py", where, "--reads", str(reads), "--cells", "100"], check=True
        )
    return where


def truth_of(where: Path) -> dict[str, dict[str, str]]:
    with gzip.open(where / "truth.tsv.gz", "rt") as lines:
        header = next(lines).rstrip("\n").split("\t")
        return {
            row[0]: dict(zip(header, row, strict=True)) for row in (line.rstrip("\n").split("\t") for line in lines)
        }


def counted_reads(bam: Path) -> dict[str, dict[str, str]]:
    import pysam

    out = {}
    with pysam.AlignmentFile(str(bam), check_sq=False) as records:
        for r in records:
            if r.flag & 0x900:
                continue
            tags = dict(r.get_tags())
            out[r.query_name.split("_")[0]] = {k: str(v) for k, v in tags.items()}
    return out


def score(truth: dict[str, dict[str, str]], reads: dict[str, dict[str, str]], summary: dict) -> None:
    gene_right = gene_wrong = gene_all = 0
    tx_right = tx_wrong = tx_all = 0
    for name, read in reads.items():
        t = truth[name]
        if read.get("gs") == "unmapped":
            continue
        if t["single_gene"] == "1":
            gene_all += 1
            gene_right += read.get("GX") == t["gene_id"]
            gene_wrong += "GX" in read and read["GX"] != t["gene_id"]
        if t["first_exon"] == "1":
            tx_all += 1
            tx_right += read.get("TX") == t["transcript_id"]
            tx_wrong += "TX" in read and read["TX"] != t["transcript_id"]
    print(
        f"gene assignment, aligned reads of single-gene loci: {gene_right / gene_all:.4f} right, "
        f"{gene_wrong / gene_all:.4f} wrong (target >= 0.98, <= 0.005; {gene_all:,} reads)"
    )
    print(
        f"isoform assignment, aligned reads reaching the first exon: {tx_right / tx_all:.4f} right, "
        f"{tx_wrong / tx_all:.4f} wrong (target >= 0.90, <= 0.02; {tx_all:,} reads)"
    )
    # Molecules: the truth is the molecules among the reads count counted (a UB), per cell and gene
    # as count assigned them, so that the figure is the UMI step's alone.
    true_molecules: dict[tuple[str, str], set[str]] = collections.defaultdict(set)
    found: dict[tuple[str, str], set[str]] = collections.defaultdict(set)
    raw: dict[tuple[str, str], set[str]] = collections.defaultdict(set)
    for name, read in reads.items():
        if read.get("gs") != "assigned" or "UB" not in read:
            continue
        key = (read["CB"], read["GX"])
        true_molecules[key].add(truth[name]["molecule"])
        found[key].add(read["UB"])
        raw[key].add(read["UR"])
    per_cell = collections.defaultdict(lambda: [0, 0, 0])
    for key in true_molecules:
        cell = per_cell[key[0]]
        cell[0] += len(true_molecules[key])
        cell[1] += len(found[key])
        cell[2] += len(raw[key])
    errors = [abs(f - t) / t for t, f, _ in per_cell.values()]
    raw_errors = [abs(r - t) / t for t, _, r in per_cell.values()]
    exact = sum(len(found[k]) == len(true_molecules[k]) for k in true_molecules) / len(true_molecules)
    print(
        f"molecules per cell, median relative error: {statistics.median(errors):.4f} clustered, "
        f"{statistics.median(raw_errors):.4f} as distinct raw UMIs (target <= 0.02; {len(per_cell)} cells)"
    )
    print(f"molecules per (cell, gene) exact: {exact:.4f} of {len(true_molecules):,} entries (target >= 0.95)")
    print(
        f"summary: {json.dumps(summary['reads_by_status'])}; isoforms {json.dumps(summary['assigned_reads_by_isoform_status'])}; "
        f"saturation {summary['sequencing_saturation']}"
    )


def replicate(source: Path, target: Path, copies: int) -> int:
    """The primary records of `source`, `copies` times, each copy under cell
    barcodes of its own (the copy number in the barcode's first letters)."""
    import pysam

    letters = "ACGT"
    with pysam.AlignmentFile(str(source)) as bam:
        records = [r for r in bam if not r.flag & 0x900]
        with pysam.AlignmentFile(str(target), "wb", template=bam, threads=2) as out:
            for copy in range(copies):
                prefix = "".join(letters[(copy >> (2 * i)) & 3] for i in range(6))
                for r in records:
                    if r.has_tag("CB"):
                        r.set_tag("CB", prefix + r.get_tag("CB")[6:], "Z")
                    out.write(r)
    return copies * len(records)


def umi_group(distance: int) -> None:
    sys.path.insert(0, str(Path(os.environ.get("MENDSEQS_BUILD", "/build")) / "python"))
    from mendseqs_cli import umis

    rng = random.Random(7)
    group = sorted({"".join(rng.choice("ACGT") for _ in range(12)) for _ in range(100_000)})
    counts = [rng.randint(1, 5) for _ in group]
    started = time.perf_counter()
    roots = umis.cluster([(group, counts)], distance, 2)[0]
    seconds = time.perf_counter() - started
    import edlib

    sample = group[:20]
    started = time.perf_counter()
    for q in sample:
        for r in group:
            edlib.align(q, r, k=distance)
    pairs = (time.perf_counter() - started) / len(sample) * len(group) / 2
    print(
        f"one UMI group of {len(group):,} distinct UMIs at {distance} edits: clustered in {seconds:.2f} s "
        f"(target <= 1 s) into {len(set(roots)):,} molecules; all pairs by edlib, extrapolated from "
        f"{len(sample)} rows: {pairs:,.0f} s"
    )


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--data", type=Path, required=True)
    parser.add_argument("--reads", type=int, default=10_000)
    parser.add_argument("--memory", default="1000000", help="reads for the memory runs, comma-separated")
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    if args.quick:
        args.reads, args.memory = 2_000, "100000"
    where = simulate(args.data, args.reads)
    work = args.data / f"road-{args.reads}"
    work.mkdir(parents=True, exist_ok=True)
    threads = "2"
    cpu: dict[str, float] = {}
    road = work / "road.json"  # tag's and minimap2's CPU, kept with their outputs for a rerun
    if road.exists():
        cpu = json.loads(road.read_text())
    else:
        _, cpu["tag"], _ = timed(
            [
                *MENDSEQS,
                "tag",
                where / "raw.fq.gz",
                "--whitelist",
                where / "whitelist.txt",
                "--layout",
                "10x3v3",
                "--cells",
                where / "cells.txt",
                "--assigned-only",
                "--threads",
                threads,
                "--quiet",
                "-o",
                work / "tagged.fq.gz",
            ]
        )
        _, cpu["minimap2"], _ = shell(
            f"minimap2 -ax splice -y -t {threads} --secondary=no {where}/genome.fa "
            f"{work}/tagged.fq.gz 2>/dev/null | samtools view -b -o {work}/aligned.bam -"
        )
        road.write_text(json.dumps(cpu))
    wall, cpu["count"], rss = timed(
        [
            *MENDSEQS,
            "count",
            work / "aligned.bam",
            "--annotation",
            where / "genes.gtf",
            "--cells",
            where / "cells.txt",
            "--matrix",
            work / "matrix",
            "-o",
            work / "counted.bam",
            "--summary",
            work / "summary.json",
            "--threads",
            threads,
        ]
    )
    summary = json.loads((work / "summary.json").read_text())
    print(f"== the road on {args.reads:,} simulated reads (Badread nanopore2023): tag -> minimap2 -> count")
    score(truth_of(where), counted_reads(work / "counted.bam"), summary)
    # The UMIs tag reads from raw reads are often 3 or more edits from the truth (a barcode read
    # with an indel shifts the UMI's window): the molecules again at tolerance 3.
    timed(
        [
            *MENDSEQS,
            "count",
            work / "aligned.bam",
            "--annotation",
            where / "genes.gtf",
            "--cells",
            where / "cells.txt",
            "--matrix",
            work / "matrix3",
            "-o",
            work / "counted3.bam",
            "--summary",
            work / "summary3.json",
            "--threads",
            threads,
            "--umi-distance",
            "3",
        ]
    )
    print("-- the same at --umi-distance 3")
    score(truth_of(where), counted_reads(work / "counted3.bam"), json.loads((work / "summary3.json").read_text()))
    total = sum(cpu.values())
    print(
        f"whole road: {args.reads / total:,.0f} reads per CPU-second (target >= 550: 50x 11); CPU seconds "
        + ", ".join(f"{k} {v:.1f} ({v / total:.0%})" for k, v in cpu.items())
    )
    print("== count alone, BAM in, matrix out, 2 threads (the road's reads copied under other barcodes)")
    for size in [int(s) for s in args.memory.split(",") if s]:
        copies = max(1, round(size / args.reads))
        big = args.data / f"replicated-{args.reads}x{copies}.bam"
        if not big.exists():
            replicate(work / "aligned.bam", big, copies)
        wall, seconds, rss = timed(
            [
                *MENDSEQS,
                "count",
                big,
                "--annotation",
                where / "genes.gtf",
                "--matrix",
                args.data / "matrix-big",
                "--summary",
                args.data / "big.json",
                "--threads",
                threads,
            ]
        )
        n = json.loads((args.data / "big.json").read_text())["reads"]
        print(
            f"{n:,} reads: {n / wall:,.0f} reads/s wall (target >= 100,000), {n / seconds:,.0f} per CPU-second; "
            f"peak RSS {rss / 1024:,.0f} MiB ({rss / 1024 / (n / 1e7):,.0f} MiB per 10 million reads; "
            f"target <= 1,024)"
        )
    umi_group(2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
