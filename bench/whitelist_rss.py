"""W7 through the module: 6,794,880 random 16-letter references, k=2,
1,000,000 queries (40% exact, 40% with 1 to 3 edits, 20% random of 15 to 17
letters), threads=2; prints the call's wall time, its answers' count, a
digest of the answers (two builds' calls compare by it) and the process's
peak resident set (the references and queries as Python strings included).
Run alone: the peak is the whole process's.

    python3.14 bench/whitelist_rss.py [--references N] [--queries N]
"""

import argparse
import hashlib
import os
import random
import resource
import sys
import time

import mendseqs


def random_dna(rng: random.Random, count: int, length: int) -> list[str]:
    table = bytes.maketrans(bytes(range(256)), b"ACGT" * 64)
    raw = rng.randbytes(count * length).translate(table).decode("ascii")
    return [raw[i * length : (i + 1) * length] for i in range(count)]


def edited(rng: random.Random, text: str, edits: int) -> str:
    letters = list(text)
    for _ in range(edits):
        at = rng.randrange(len(letters)) if letters else 0
        kind = rng.randrange(3) if letters else 1
        if kind == 0:
            letters[at] = rng.choice("ACGT")
        elif kind == 1:
            letters.insert(at, rng.choice("ACGT"))
        else:
            del letters[at]
    return "".join(letters)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--references", type=int, default=6_794_880)
    parser.add_argument("--queries", type=int, default=1_000_000)
    args = parser.parse_args()
    rng = random.Random(7)
    references = random_dna(rng, args.references, 16)
    queries = []
    for _ in range(args.queries):
        kind = rng.randrange(10)
        source = references[rng.randrange(len(references))]
        if kind < 4:
            queries.append(source)
        elif kind < 8:
            queries.append(edited(rng, source, 1 + rng.randrange(3)))
        else:
            queries.append(random_dna(rng, 1, 15 + rng.randrange(3))[0])
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    devnull = os.open(os.devnull, os.O_WRONLY)
    saved = os.dup(1)
    os.dup2(devnull, 1)  # the progress bar
    try:
        start = time.perf_counter()
        result = mendseqs.correct_seq_mt(references, queries, 2, 2)
        seconds = time.perf_counter() - start
    finally:
        os.dup2(saved, 1)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    matched = sum(1 for r in result if r)
    digest = hashlib.sha256("\n".join(result).encode()).hexdigest()[:16]
    print(
        f"W7 through the module: {len(references):,} references, {len(queries):,} queries, k=2, threads=2: "
        f"{seconds:.1f} s ({len(queries) / seconds:,.0f} queries/s), {matched:,} matched (answers {digest}); "
        f"peak RSS {peak / 1e9:.2f} GB (inputs alone {before / 1e9:.2f} GB; target <= 2.5 GB)"
    )
    sys.stdout.flush()


if __name__ == "__main__":
    main()
