"""Draws queries per second against the number of references (10^2 to 10^6)
for each implementation, as a PNG; run through `./dev bench --plot`.

Every point is measured in this run, on the same seeded inputs: references
of 20 random letters (the first n of one list), queries half derived from
one of those n with up to 3 edits and half unrelated, k=2. Each point runs
enough queries to take about TARGET_SECONDS (estimated from a short probe,
less the cost of a call with no queries, which the rate still includes);
an implementation whose probe predicts more than CAP_SECONDS for MIN_QUERIES
queries is left out from that size on. Results are checked against each
other on the queries they share."""

import argparse
import os
import random
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import matplotlib  # noqa: E402

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import mendseqs  # noqa: E402
import mendseqs_baselines  # noqa: E402
import workloads  # noqa: E402
from e2e import check, progress_discarded  # noqa: E402

SIZES = [100, 300, 1_000, 3_000, 10_000, 30_000, 100_000, 300_000, 1_000_000]
LENGTH = 20
K = 2
TARGET_SECONDS = 0.5
CAP_SECONDS = 10.0
MIN_QUERIES = 10
MAX_QUERIES = 200_000


# The module's calls are timed on one batch of this many queries, as
# whitelist users run it: how many queries a call holds decides whether the
# candidate index pays (the call's cost model), so a short probe would not
# predict a large call.
BATCH = 100_000


def module(threads):
    def run(references, queries):
        with progress_discarded():
            return mendseqs.correct_seq_mt(references, queries, K, threads)

    run.batch = BATCH
    return run


# One entry per curve, drawn in this order: a label, and a function of
# (references, queries) returning the corrected list.
CURVES = [
    ("mendseqs, threads=1 (scan or index)", module(1)),
    ("mendseqs, threads=2 (scan or index)", module(2)),
    ("rapidfuzz-cpp loop", lambda references, queries: mendseqs_baselines.rapidfuzz(references, queries, K)),
    ("naive loop (full LCS table)", lambda references, queries: mendseqs_baselines.naive(references, queries, K)),
]


def timed(function, references, queries):
    start = time.perf_counter()
    result = function(references, queries)
    return time.perf_counter() - start, result


def measure(function, references, queries):
    """(queries per second, the queries it ran, their results), or None when
    even MIN_QUERIES would take longer than CAP_SECONDS."""
    # A call first reads every reference, whatever the number of queries:
    # that fixed cost is left out of the estimate, so that the measured run
    # has enough queries to make it small.
    if hasattr(function, "batch"):
        seconds, result = timed(function, references, queries[: function.batch])
        return len(result) / seconds, len(result), result
    fixed, _ = timed(function, references, [])
    probe = queries[:MIN_QUERIES]
    seconds, result = timed(function, references, probe)
    if seconds > CAP_SECONDS:
        return None
    per_query = max(seconds - fixed, 1e-9) / len(probe)
    count = int(min(MAX_QUERIES, len(queries), max(MIN_QUERIES, TARGET_SECONDS / per_query)))
    if count > len(probe):
        seconds, result = timed(function, references, queries[:count])
    return count / seconds, count, result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--output", required=True, help="PNG to write")
    args = parser.parse_args()

    rng = random.Random(7)
    every_reference = ["".join(rng.choices(workloads.LETTERS, k=LENGTH)) for _ in range(SIZES[-1])]
    rates = {label: {} for label, _ in CURVES}
    stopped = set()
    for size in SIZES:
        references = every_reference[:size]
        queries = workloads.mixed_queries(random.Random(size), references, MAX_QUERIES, K + 1)
        first = None
        for label, function in CURVES:
            if label in stopped:
                continue
            measured = measure(function, references, queries)
            if measured is None:
                stopped.add(label)
                print(
                    f"  {size:>9} references  {label:<30} left out: {MIN_QUERIES} queries take over {CAP_SECONDS:.0f} s",
                    file=sys.stderr,
                )
                continue
            rate, count, result = measured
            if first is None:
                first = result
            else:
                shared = min(len(first), count)
                check(f"{label} at {size} references", first[:shared], result[:shared])
            rates[label][size] = rate
            print(f"  {size:>9} references  {label:<30} {rate:>12,.0f} queries/s  ({count} queries)", file=sys.stderr)

    print(f"{'references':>10}" + "".join(f"  {label:>28}" for label, _ in CURVES))
    for size in SIZES:
        print(
            f"{size:>10}"
            + "".join(
                f"  {rates[label][size]:>28,.0f}" if size in rates[label] else f"  {'-':>28}" for label, _ in CURVES
            )
        )

    figure, axes = plt.subplots(figsize=(8, 5.5), dpi=110)
    for (label, _), marker in zip(CURVES, "osD^vx*", strict=False):
        sizes = sorted(rates[label])
        axes.plot(sizes, [rates[label][s] for s in sizes], marker=marker, label=label)
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xlabel("number of references")
    axes.set_ylabel("queries per second")
    axes.set_title(
        f"correct_seq_mt: {LENGTH}-letter references, k={K}, half the queries unrelated, "
        f"batches of {BATCH:,}\n"
        f"({os.cpu_count()} cores; naive loop drawn while {MIN_QUERIES} queries take under {CAP_SECONDS:.0f} s)",
        fontsize=10,
    )
    axes.grid(True, which="both", alpha=0.3)
    axes.legend()
    figure.tight_layout()
    figure.savefig(args.output)
    print(f"wrote {args.output}")


if __name__ == "__main__":
    main()
