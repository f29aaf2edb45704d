"""The `mendseqs` command against the tool it replaced (the example program as
it was, taken from the history by bench/fetch-old-tool), on the same seeded
whitelist input in the
same run: 1,000,000 FASTQ.gz reads against 6,794,880 references at k=1 with
2 threads, from the reference file and from a saved index. Both outputs are
checked to be identical. Before that, the readers the command could use are
timed on the same reads file, since parsing sets the pace once the index is
built.

    python3.14 bench/cli_bench.py --data DIR --old-tool FILE [--references N] [--reads N]
"""

import argparse
import gzip
import hashlib
import os
import random
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import workloads  # noqa: E402

TARGET_FROM_INDEX = 10.0
TARGET_FROM_REFERENCES = 4.0


def make_data(directory, references, reads, seed=16):
    """The whitelist and the reads, written once and kept (seeded)."""
    os.makedirs(directory, exist_ok=True)
    stem = os.path.join(directory, f"whitelist-{references}-{reads}-{seed}")
    refs_path, reads_path = f"{stem}.txt", f"{stem}.fq.gz"
    if not (os.path.exists(refs_path) and os.path.exists(reads_path)):
        print(f"  generating {references:,} references and {reads:,} reads (seeded)", file=sys.stderr)
        rng = random.Random(seed)
        whitelist = workloads.random_barcodes(rng, references)
        queries = workloads.whitelist_queries(rng, whitelist, reads, 1)
        with open(refs_path + ".part", "w") as out:
            out.write("\n".join(whitelist) + "\n")
        with gzip.open(reads_path + ".part", "wt", compresslevel=6) as out:
            out.writelines(f"@read{i} sample=1\n{q}\n+\n{'F' * len(q)}\n" for i, q in enumerate(queries))
        os.replace(refs_path + ".part", refs_path)
        os.replace(reads_path + ".part", reads_path)
    return refs_path, reads_path


def timed_reader(name, function, path):
    start = time.perf_counter()
    count = function(path)
    seconds = time.perf_counter() - start
    print(f"  {name:<44}{count:>10,} reads {seconds:>8.2f} s {count / seconds:>12,.0f} reads/s")
    return count


def read_with_command(path):
    from mendseqs_cli.reading import batches
    from mendseqs_cli.sources import checked, open_source

    with open_source(path) as source:
        return sum(len(batch) for batch in checked(path, batches(source, 100_000)))


def read_with_old_tool(old_tool):
    def read(path):
        sys.path.insert(0, os.path.dirname(old_tool))
        import old_correct

        return sum(1 for _ in old_correct.checked(path, old_correct.records(path)))

    return read


def read_with_dnaio(threads):
    def read(path):
        import dnaio

        with dnaio.open(path, open_threads=threads) as records:
            return sum(1 for _ in records)

    return read


def run_timed(label, command, reads):
    start = time.perf_counter()
    run = subprocess.run(command, capture_output=True, text=True)
    seconds = time.perf_counter() - start
    if run.returncode != 0:
        raise SystemExit(f"{label} failed: {run.stderr[-2000:]}")
    print(f"  measured {label}: {seconds:.2f} s", file=sys.stderr)
    return seconds


def digest(path):
    with open(path, "rb") as file:
        return hashlib.file_digest(file, "sha256").hexdigest()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--data", required=True)
    parser.add_argument("--old-tool", required=True, help="old_correct.py, from bench/fetch-old-tool")
    parser.add_argument("--references", type=int, default=6_794_880)
    parser.add_argument("--reads", type=int, default=1_000_000)
    args = parser.parse_args()
    refs, reads = make_data(args.data, args.references, args.reads)
    python = sys.executable

    print(f"readers, {args.reads:,} FASTQ.gz reads (one process, one after another):")
    timed_reader("old tool (record by record)", read_with_old_tool(args.old_tool), reads)
    timed_reader("the command's reader (dnaio, batched columns)", read_with_command, reads)
    try:
        timed_reader("dnaio + xopen, decompressing in this thread", read_with_dnaio(0), reads)
        timed_reader("dnaio + xopen, decompressing in a helper", read_with_dnaio(1), reads)
    except ImportError:
        print("  dnaio is not installed here")

    import mendseqs

    out = os.path.join(args.data, "out")
    os.makedirs(out, exist_ok=True)
    common = ["--threads", "2", "--max-flex", "1"]
    rows = []
    old = run_timed(
        "old tool",
        [python, args.old_tool, refs, reads, *common, "-o", f"{out}/old.tsv"],
        args.reads,
    )
    rows.append(("old tool (examples/correct.py before)", old, None, None))
    new = run_timed(
        "command from references",
        [python, "-m", "mendseqs_cli", "correct", refs, reads, *common, "-o", f"{out}/new.tsv", "--quiet"],
        args.reads,
    )
    rows.append(("mendseqs correct REFERENCES", new, old / new, TARGET_FROM_REFERENCES))
    same = digest(f"{out}/old.tsv") == digest(f"{out}/new.tsv")
    if hasattr(mendseqs, "ReferenceIndex"):
        index = f"{out}/whitelist.msqidx"
        build = run_timed(
            "index",
            [python, "-m", "mendseqs_cli", "index", refs, "--max-flex", "1", "--threads", "2", "-o", index],
            args.reads,
        )
        loaded = run_timed(
            "command from the index",
            [
                python,
                "-m",
                "mendseqs_cli",
                "correct",
                index,
                reads,
                "--threads",
                "2",
                "-o",
                f"{out}/indexed.tsv",
                "--quiet",
            ],
            args.reads,
        )
        rows.append(("mendseqs correct INDEX", loaded, old / loaded, TARGET_FROM_INDEX))
        same = same and digest(f"{out}/old.tsv") == digest(f"{out}/indexed.tsv")
        print(f"  (mendseqs index took {build:.2f} s, once)")
    else:
        print("  (this build has no ReferenceIndex: the saved-index row is missing)")
    if not same:
        raise SystemExit("the outputs differ: the timing is void")

    print(
        f"\nthe command, {args.reads:,} FASTQ.gz reads against {args.references:,} references, k=1, threads=2, "
        "TSV file out, same run:"
    )
    print(f"  {'run':<40}{'seconds':>9}{'reads/s':>12}{'vs old':>9}{'target':>9}  met")
    for name, seconds, ratio, target in rows:
        verdict = "" if target is None else ("yes" if ratio >= target else "NO")
        print(
            f"  {name:<40}{seconds:>9.2f}{args.reads / seconds:>12,.0f}"
            f"{'' if ratio is None else f'{ratio:.1f}x':>9}{'' if target is None else f'{target:.0f}x':>9}  {verdict}"
        )
    print("  outputs identical: yes")


if __name__ == "__main__":
    main()
