"""End-to-end benchmark: mendseqs.correct_seq_mt against the two baselines
(the full-table loop and the loop with rapidfuzz's CachedLCSseq), on the
same inputs in the same run, printed as one table with the targets.

The naive loop is too slow for whole workloads; it is timed on a seeded
random subset of the queries and its throughput scaled, which the table
says. Every output is checked against the others (on the subset for the
naive loop): a benchmark of wrong answers would be worthless."""

import argparse
import contextlib
import os
import random
import subprocess
import sys
import textwrap
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import mendseqs  # noqa: E402
import mendseqs_baselines  # noqa: E402
import workloads  # noqa: E402


@contextlib.contextmanager
def progress_discarded():
    """The module writes its progress marks to file descriptor 1."""
    sys.stdout.flush()
    saved = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(null)


def timed(function, *args, repeats=1):
    """Best of `repeats` runs: a call of a few tens of milliseconds timed
    once mostly measures whatever else the machine was doing."""
    best = None
    for _ in range(repeats):
        start = time.perf_counter()
        result = function(*args)
        seconds = time.perf_counter() - start
        best = seconds if best is None else min(best, seconds)
    return best, result


# The module's calls are short and repeated; the baselines' long ones are
# timed once, which if anything favours them.
MODULE_REPEATS = 5


def subset(queries, count, seed):
    picked = sorted(random.Random(seed).sample(range(len(queries)), min(count, len(queries))))
    return picked, [queries[i] for i in picked]


class Table:
    def __init__(self):
        self.rows = []
        self.rates = {}

    def add(self, workload, k, name, queries, seconds, note=""):
        rate = queries / seconds
        self.rates[(workload, k, name)] = rate
        self.rows.append((workload, k, name, queries, seconds, rate, note))
        print(f"  measured {workload} k={k} {name}: {queries} queries in {seconds:.3f} s", file=sys.stderr)

    def print(self):
        print(f"{'workload':<9}{'k':>5}  {'implementation':<24}{'queries':>9}{'seconds':>10}{'queries/s':>13}  note")
        for workload, k, name, queries, seconds, rate, note in self.rows:
            print(f"{workload:<9}{k:>5}  {name:<24}{queries:>9}{seconds:>10.3f}{rate:>13,.0f}  {note}")


def check(label, ours, theirs):
    if ours != theirs:
        bad = sum(a != b for a, b in zip(ours, theirs, strict=True))
        raise SystemExit(f"{label}: results differ in {bad} of {len(ours)} queries")


def run_short_workload(table, name, references, queries, k, naive_count, thread_counts):
    ours = None
    for threads in thread_counts:
        with progress_discarded():
            seconds, result = timed(mendseqs.correct_seq_mt, references, queries, k, threads, repeats=MODULE_REPEATS)
        table.add(name, k, f"mendseqs threads={threads}", len(queries), seconds)
        if ours is not None:
            check(f"{name} threads={threads}", result, ours)
        ours = result
    seconds, result = timed(mendseqs_baselines.rapidfuzz, references, queries, k)
    check(f"{name} rapidfuzz", ours, result)
    table.add(name, k, "rapidfuzz loop", len(queries), seconds, "same results")
    picked, sample = subset(queries, naive_count, seed=len(queries))
    seconds, result = timed(mendseqs_baselines.naive, references, sample, k)
    check(f"{name} naive", [ours[i] for i in picked], result)
    note = (
        f"random subset of {len(sample)} of {len(queries)} queries, same results"
        if len(sample) < len(queries)
        else "same results"
    )
    table.add(name, k, "naive loop", len(sample), seconds, note)


W4_CHILD = """
import os, sys
sys.path.insert(0, {bench!r})
import mendseqs, workloads

def high_water_mb():
    # VmHWM belongs to this process's own address space, so unlike
    # ru_maxrss it carries nothing over from the parent that started it.
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) / 1024

reference, query = workloads.w4()
before = high_water_mb()
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
result = mendseqs.correct_seq_mt([reference], [query], 2000, 1)
print(int(result == [reference]), before, high_water_mb(), file=sys.stderr)
"""


def run_whitelist_workload(table, name, references, queries, k, sample_count):
    """A long whitelist: the module's calls (the index, chosen by its cost
    model) once per thread count, the rapidfuzz loop on a random subset."""
    ours = None
    for threads in (1, 2):
        with progress_discarded():
            seconds, result = timed(mendseqs.correct_seq_mt, references, queries, k, threads)
        table.add(name, k, f"mendseqs threads={threads}", len(queries), seconds)
        if ours is not None:
            check(f"{name} threads={threads}", result, ours)
        ours = result
    picked, sample = subset(queries, sample_count, seed=len(queries))
    seconds, result = timed(mendseqs_baselines.rapidfuzz, references, sample, k)
    check(f"{name} rapidfuzz", [ours[i] for i in picked], result)
    table.add(
        name,
        k,
        "rapidfuzz loop",
        len(sample),
        seconds,
        f"random subset of {len(sample)} of {len(queries)} queries, same results",
    )


W6_CHILD = """
import os, sys, time
sys.path.insert(0, {bench!r})
import mendseqs, workloads

references, queries = workloads.w6()
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
start = time.perf_counter()
result = mendseqs.correct_seq_mt(references, queries, 1, 2)
seconds = time.perf_counter() - start
peak = [int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmHWM:")][0] / 1024
print(seconds, sum(item != "" for item in result), peak, file=sys.stderr)
"""


def run_large_whitelist():
    """W6 in a child process of its own, so its peak RSS is its own."""
    code = W6_CHILD.format(bench=os.path.dirname(os.path.abspath(__file__)))
    child = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True)
    if child.returncode != 0:
        raise SystemExit(f"W6 child failed: {child.stderr}")
    seconds, matched, peak_mb = child.stderr.split()[-3:]
    return float(seconds), int(matched), float(peak_mb)


def run_memory_workload():
    """W4 in a child process of its own, so its peak RSS is its own."""
    code = W4_CHILD.format(bench=os.path.dirname(os.path.abspath(__file__)))
    start = time.perf_counter()
    child = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True)
    seconds = time.perf_counter() - start
    if child.returncode != 0:
        raise SystemExit(f"W4 child failed: {child.stderr}")
    accepted, before_mb, peak_mb = child.stderr.split()[-3:]
    return seconds, accepted == "1", float(before_mb), float(peak_mb)


CALL_MEMORY_CHILD = """
import os, random, sys
sys.path.insert(0, {bench!r})
import mendseqs, workloads

def high_water():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024

rng = random.Random(6)
references = [workloads.random_dna(rng, rng.randint(22, 50)) for _ in range(211)]
queries = [workloads.random_dna(rng, 24) for _ in range({queries})]
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
with open("/proc/self/clear_refs", "w") as clear:
    clear.write("5")  # the peak starts again from here
before = high_water()
result = mendseqs.correct_seq_mt(references, queries, 3, 2)
print(high_water() - before - sys.getsizeof(result), file=sys.stderr)
"""


def run_call_memory(queries):
    """Bytes per query a call adds to peak RSS, beyond its result list, in a
    child process of its own."""
    code = CALL_MEMORY_CHILD.format(bench=os.path.dirname(os.path.abspath(__file__)), queries=queries)
    child = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True)
    if child.returncode != 0:
        raise SystemExit(f"call memory child failed: {child.stderr}")
    return int(child.stderr.split()[-1]) / queries


INTERRUPT_CHILD = """
import random, sys, time, mendseqs
draw = random.Random(5)
refs = ["".join(draw.choices("ACGT", k=2000)) for _ in range(200)]
queries = ["".join(draw.choices("ACGT", k=2000)) for _ in range(10_000)]
sys.stderr.write("ready\\n")
sys.stderr.flush()
try:
    mendseqs.correct_seq_mt(refs, queries, 500, {threads})
except KeyboardInterrupt:
    print(time.monotonic(), file=sys.stderr)
"""


def interrupt_latency(threads):
    """Seconds from SIGINT to KeyboardInterrupt, in a call that would run
    for tens of seconds."""
    import signal

    code = INTERRUPT_CHILD.format(threads=threads)
    child = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE
    )
    child.stderr.readline()
    time.sleep(0.5)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    _, stderr = child.communicate(timeout=120)
    return float(stderr) - sent


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--adapters", required=True, help="porechop/adapters.py")
    parser.add_argument("--quick", action="store_true", help="a tenth of the queries (a smoke run)")
    args = parser.parse_args()
    scale = 10 if args.quick else 1

    table = Table()
    targets = []

    references, queries = workloads.w1(args.adapters, queries=100_000 // scale)
    print(
        f"W1: {len(references)} porechop adapters/barcodes ({min(map(len, references))} to "
        f"{max(map(len, references))} letters), {len(queries)} queries",
        file=sys.stderr,
    )
    run_short_workload(table, "W1", references, queries, 3, 2_000 // scale, (1, 2))
    # What stays in the calling thread whatever the thread count: threads=0
    # reads the arguments and releases them; a call against no references
    # adds the result list (and a trivial pass over the queries, so the sum
    # is an upper bound).
    # A lower bound: reading and releasing, plus a list of the same length
    # made as the result list is (a new list, a reference per entry).
    with progress_discarded():
        conversion, _ = timed(mendseqs.correct_seq_mt, references, queries, 3, 0, repeats=MODULE_REPEATS)
        no_matching, _ = timed(mendseqs.correct_seq_mt, [], queries, 3, 1, repeats=MODULE_REPEATS)
    list_made, _ = timed(list, queries, repeats=MODULE_REPEATS)
    w1_queries = len(queries)
    w1_call = len(queries) / table.rates["W1", 3, "mendseqs threads=1"]
    r = table.rates
    targets.append(("W1 mendseqs vs naive", r["W1", 3, "mendseqs threads=1"] / r["W1", 3, "naive loop"], 100))
    targets.append(("W1 mendseqs vs rapidfuzz", r["W1", 3, "mendseqs threads=1"] / r["W1", 3, "rapidfuzz loop"], 3))
    targets.append(
        ("W1 threads 2 vs threads 1", r["W1", 3, "mendseqs threads=2"] / r["W1", 3, "mendseqs threads=1"], 1.85)
    )
    targets.append(("W1 serial share (%, upper bound), at most", 100 * no_matching / w1_call, 5))

    references, queries = workloads.w2(queries=50_000 // scale)
    for k in (1, 2):
        run_short_workload(table, "W2", references, queries, k, 300 // scale, (1, 2))
        targets.append(
            (f"W2 k={k} mendseqs vs naive", r["W2", k, "mendseqs threads=1"] / r["W2", k, "naive loop"], 100)
        )
        targets.append(
            (f"W2 k={k} mendseqs vs rapidfuzz", r["W2", k, "mendseqs threads=1"] / r["W2", k, "rapidfuzz loop"], 3)
        )
    targets.append(
        ("W2 k=1 threads 2 vs threads 1", r["W2", 1, "mendseqs threads=2"] / r["W2", 1, "mendseqs threads=1"], 1.85)
    )

    references, queries = workloads.w3(queries=2_000 // scale)
    run_short_workload(table, "W3", references, queries, 50, 20 // min(scale, 4), (1,))
    targets.append(("W3 mendseqs vs naive", r["W3", 50, "mendseqs threads=1"] / r["W3", 50, "naive loop"], 50))

    for name, count, k in (("W5a", 737_280, 1), ("W5b", 100_000, 2)):
        references, queries = workloads.w5(references=count, queries=200_000 // scale, k=k)
        print(f"{name}: {count} random 16-letter references, {len(queries)} queries, k={k}", file=sys.stderr)
        run_whitelist_workload(table, name, references, queries, k, 200 // scale)
    references = queries = None
    large = None if args.quick else run_large_whitelist()

    seconds, accepted, before_mb, peak_mb = run_memory_workload()
    per_query = run_call_memory(1_000_000 // scale)
    latencies = [interrupt_latency(threads) for threads in (1, 2)]

    print()
    table.print()
    print()
    print("W4: two sequences of 200,000 letters (1,000 edits apart), k=2000, threads=1, in a child process:")
    print(
        f"    {seconds:.2f} s including start-up and generation, accepted: {accepted}, "
        f"peak RSS (VmHWM) {peak_mb:.1f} MB ({before_mb:.1f} MB before the call); a full table would need "
        f"{200_001 * 200_001 * 4 / 1e9:.0f} GB"
    )
    targets.append(("W4 peak RSS (MB), below", peak_mb, 64))
    if large:
        print(
            f"W6: 6,794,880 random 16-letter references, 100,000 queries, k=1, threads=2, in a child process: "
            f"the call took {large[0]:.1f} s (index built and used), {large[1]} queries matched, "
            f"peak RSS (VmHWM) {large[2]:.0f} MB including the interpreter's own lists"
        )
    print("W5/W6: the index against the module's own scan (the targets) is timed by the engine benchmark above")
    print(
        f"W1: in the calling thread whatever the thread count: reading and releasing the arguments "
        f"(threads=0) {conversion * 1e3:.2f} ms, a list of {w1_queries} references {list_made * 1e3:.2f} ms "
        f"(lower bound {100 * (conversion + list_made) / w1_call:.1f}%); a call against no references "
        f"{no_matching * 1e3:.2f} ms (upper bound {100 * no_matching / w1_call:.1f}%: it also holds a pass over the "
        f"queries that the workers share); of the threads=1 call's {w1_call * 1e3:.1f} ms"
    )
    print(f"W2 k=2: threads 2 vs threads 1: {r['W2', 2, 'mendseqs threads=2'] / r['W2', 2, 'mendseqs threads=1']:.2f}x")
    print(
        f"Call memory: {1_000_000 // scale:,} queries of 24 letters against 211 references add "
        f"{per_query:.1f} bytes per query to peak RSS beyond the input and result lists"
    )
    targets.append(("call memory (bytes/query), at most", per_query, 32))
    print(
        f"Ctrl+C: SIGINT to KeyboardInterrupt in a long call: threads 1 {latencies[0] * 1e3:.1f} ms, "
        f"threads 2 {latencies[1] * 1e3:.1f} ms"
    )
    targets.append(("Ctrl+C latency (ms), at most", 1e3 * max(latencies), 100))
    print()
    print("targets:")
    for label, value, goal in targets:
        if label.startswith("W4"):
            met = value < goal
            print(f"  {label:<32} {goal:>6} MB  {value:>9.1f} MB  {'met' if met else 'NOT MET'}")
        elif "at most" in label:
            met = value <= goal
            print(f"  {label:<32} {goal:>7}  {value:>10.1f}  {'met' if met else 'NOT MET'}")
        else:
            met = value >= goal
            print(f"  {label:<32} {goal:>6}x  {value:>9.1f}x  {'met' if met else 'NOT MET'}")
    print(
        f"\n(one run on {os.cpu_count()} cores; load average {os.getloadavg()[0]:.1f} at the end: "
        "other work on the machine makes every figure noisy, thread scaling most)"
    )


if __name__ == "__main__":
    main()
