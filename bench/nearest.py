"""mendseqs.nearest measured: against two exact rapidfuzz baselines (in
Python, process.extract with LCSseq over every reference, then the same
filters and the same choice; in C++, the same loop with CachedLCSseq, the
harder one to beat), against correct_seq_mt on a long whitelist, and how
ambiguous the first hit is there (accepted references per random barcode).
One run, same inputs, ratios printed with their targets; every answer
checked against the baselines'."""

import argparse
import os
import random
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from rapidfuzz import process  # noqa: E402
from rapidfuzz.distance import LCSseq  # noqa: E402

import mendseqs  # noqa: E402
import mendseqs_baselines  # noqa: E402
import workloads  # noqa: E402
from e2e import progress_discarded, subset, timed  # noqa: E402


def as_tuples(found):
    return [tuple(n) for n in found]


def extract_nearest(references, queries, k):
    """Every reference scored by process.extract, then the filters, the
    guard and the acceptance test, then the nearest: the same answer as
    mendseqs.nearest, as tuples."""
    lengths = [len(r) for r in references]
    a_counts = [r.count("A") for r in references]
    found = []
    for query in queries:
        length, a_count = len(query), query.count("A")
        accepted = []
        for _, common, i in process.extract(query, references, scorer=LCSseq.similarity, limit=None):
            if abs(length - lengths[i]) > k or abs(a_count - a_counts[i]) > k:
                continue
            if k > min(length, lengths[i]):
                raise RuntimeError("max_flex cannot be greater than the length of the sequences.")
            if common >= lengths[i] - k:
                accepted.append((length + lengths[i] - 2 * common, i))
        if not accepted:
            found.append(("", None, None, 0))
            continue
        accepted.sort()
        distance, i = accepted[0]
        ties = sum(d == distance for d, _ in accepted)
        found.append((references[i], distance, accepted[1][0] if len(accepted) > 1 else None, ties))
    return found


def against_rapidfuzz(name, references, queries, k, sample_count):
    with progress_discarded():
        ours_seconds, ours = timed(mendseqs.nearest, references, queries, k, 1, repeats=3)
    mine = as_tuples(ours)
    ours_rate = len(queries) / ours_seconds
    print(f"  {name}, k={k}: nearest {ours_rate:,.0f} queries/s ({len(queries):,} queries)")
    picked, sample = subset(queries, sample_count, seed=len(queries))
    for label, loop, count in (
        ("process.extract + LCSseq (Python)", extract_nearest, max(len(sample) // 10, 20)),
        ("CachedLCSseq loop (C++)", mendseqs_baselines.nearest_rapidfuzz, len(sample)),
    ):
        seconds, theirs = timed(loop, references, sample[:count], k)
        if [mine[i] for i in picked[:count]] != theirs:
            raise SystemExit(f"{name}: nearest differs from the {label}")
        rate = count / seconds
        ratio = ours_rate / rate
        print(
            f"    {label:<36}{rate:>12,.0f} queries/s ({count:,} queries, same answers)  nearest {ratio:7.1f}x"
            f"  (target >= 20x: {'met' if ratio >= 20 else 'NOT met'})"
        )


def nearest_against_correct(references, queries, k):
    """The one-shot calls on the same queries, one thread, each building
    its candidate index inside the call (the time printed includes it)."""
    with progress_discarded():
        correct_seconds, first = timed(mendseqs.correct_seq_mt, references, queries, k, 1)
        nearest_seconds, found = timed(mendseqs.nearest, references, queries, k, 1)
    for f, n in zip(first, found, strict=True):
        if (n.distance is None) != (f == ""):
            raise SystemExit("nearest and correct_seq_mt disagree on whether a reference is accepted")
    per_correct = correct_seconds / len(queries) * 1e6
    per_nearest = nearest_seconds / len(queries) * 1e6
    ratio = per_nearest / per_correct
    print(
        f"  {len(references):,} refs k={k}, {len(queries):,} queries: correct_seq_mt {per_correct:.1f} us/query,"
        f" nearest {per_nearest:.1f} us/query (index build included in both): {ratio:.2f}x"
        f"  (target <= 2x: {'met' if ratio <= 2 else 'NOT met'})"
    )


def mean_accepted(references, samples, k):
    """Accepted references per sample, every reference scored, on two threads."""
    halves = [samples[: len(samples) // 2], samples[len(samples) // 2 :]]
    counts = [None, None]

    def count(i):
        counts[i] = mendseqs_baselines.accepted_counts(references, halves[i], k)

    threads = [threading.Thread(target=count, args=(i,)) for i in (0, 1)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    everything = counts[0] + counts[1]
    return sum(everything) / len(everything)


def loaded_whitelist_nearest(whitelist, queries):
    """W7's list at k=2 as a pipeline meets it: built once, saved, then
    loaded from its file by the job that asks for the nearest entries."""
    index = mendseqs.ReferenceIndex(whitelist, 2, 2)
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "w7.msqidx")
        index.save(path)
        del index
        loaded = mendseqs.ReferenceIndex.load(path)
        with progress_discarded():
            seconds, found = timed(loaded.nearest, queries, 1)
        del loaded
    per_query = seconds / len(queries) * 1e6
    unique = sum(1 for n in found if n.ties == 1)
    print(
        f"  6,794,880 references, k=2, loaded from its file, one thread: {per_query:.1f} us per query "
        f"(target <= 10 us; {len(queries):,} queries, {unique:,} with one nearest)"
    )


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="a tenth of the work")
    args = parser.parse_args()
    scale = 10 if args.quick else 1

    print("nearest against the exact rapidfuzz loop (one thread each):")
    rng = random.Random(17)
    barcodes = [workloads.random_dna(rng, 24) for _ in range(96)]
    against_rapidfuzz(
        "96 barcodes of 24 letters",
        barcodes,
        workloads.mixed_queries(rng, barcodes, 100_000 // scale, 4),
        3,
        20_000 // scale,
    )
    rng = random.Random(18)
    whitelist = workloads.random_barcodes(rng, 10_000)
    against_rapidfuzz(
        "10,000 barcodes of 16 letters",
        whitelist,
        workloads.whitelist_queries(rng, whitelist, 50_000 // scale, 2),
        2,
        2_000 // scale,
    )

    print("nearest against correct_seq_mt, per query:")
    started = time.perf_counter()
    whitelist, queries = workloads.w5(references=737_280, queries=200_000 // scale, k=2, seed=19)
    nearest_against_correct(whitelist, queries, 2)

    print("how ambiguous the first hit is: accepted references per random 16-letter barcode")
    samples = workloads.random_barcodes(random.Random(20), 300 // scale)
    for k in (1, 2):
        print(f"  737,280 references, k={k}: {mean_accepted(whitelist, samples, k):.2f} ({len(samples)} samples)")
    del whitelist, queries
    if not args.quick:
        large = workloads.random_barcodes(random.Random(21), 6_794_880)
        samples = workloads.random_barcodes(random.Random(22), 60)
        print(f"  6,794,880 references, k=2: {mean_accepted(large, samples, 2):.1f} ({len(samples)} samples)")
        loaded_whitelist_nearest(large, workloads.whitelist_queries(random.Random(23), large, 100_000, 2))
    print(f"  ({time.perf_counter() - started:.0f} s for the whitelist part)")


if __name__ == "__main__":
    main()
