"""W7 whole calls against release 8ac1ee9: 6,794,880 random 16-letter
barcodes, 1,000,000 queries at k=2 (40% exact, 40% with 1 to 3 edits, 20%
random), 2 threads. Each build runs in a process of its own, which calls
correct_seq_mt twice on the same data: the second call is the steady state
(the first pays for never-touched memory too). Both must give the same
answers (a digest of them).

    release_w7.py --release-python DIR [--references N] [--queries N]
"""

import argparse
import os
import pathlib
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent

CHILD = r"""
import hashlib, resource, sys, time
sys.path.insert(0, {bench!r})
import mendseqs, workloads
whitelist, queries = workloads.w5(references={references}, queries={queries}, k=2, seed=7)
def cpu():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime
for call in range(2):
    start, start_cpu = time.perf_counter(), cpu()
    answers = mendseqs.correct_seq_mt(whitelist, queries, 2, 2)
    seconds, cpu_seconds = time.perf_counter() - start, cpu() - start_cpu
    digest = hashlib.sha256("\n".join(answers).encode()).hexdigest()[:16]
    print(f"\ntimed {{seconds:.2f}} {{cpu_seconds:.2f}} {{digest}}", flush=True)
"""


def run(python_dir, references, queries):
    env = dict(os.environ, PYTHONPATH=str(python_dir))
    code = CHILD.format(bench=str(HERE), references=references, queries=queries)
    out = subprocess.run([sys.executable, "-c", code], env=env, check=True, capture_output=True, text=True).stdout
    # The calls' progress goes to the same stream: only the timed lines count.
    rows = [line.split()[1:] for line in out.split("\n") if line.startswith("timed ")]
    return [float(r[0]) for r in rows], [float(r[1]) for r in rows], {r[2] for r in rows}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--release-python", required=True, type=pathlib.Path)
    parser.add_argument("--references", type=int, default=6_794_880)
    parser.add_argument("--queries", type=int, default=1_000_000)
    args = parser.parse_args()
    this_python = pathlib.Path(os.environ["MENDSEQS_BUILD"]) / "python"
    results = {}
    for name, where in (("release 8ac1ee9", args.release_python), ("this build", this_python)):
        started = time.perf_counter()
        seconds, cpu_seconds, digests = run(where, args.references, args.queries)
        results[name] = (seconds, cpu_seconds, digests)
        print(
            f"  {name}: calls {', '.join(f'{s:.2f} s' for s in seconds)}"
            f" (processor time {', '.join(f'{s:.2f} s' for s in cpu_seconds)};"
            f" process {time.perf_counter() - started:.0f} s); digest {' '.join(sorted(digests))}",
            flush=True,
        )
    (old, old_cpu, old_digests), (new, new_cpu, new_digests) = results["release 8ac1ee9"], results["this build"]
    same = old_digests == new_digests and len(new_digests) == 1
    print(
        f"  {args.references:,} references, {args.queries:,} queries, k=2, 2 threads: whole call, steady state"
        f" (second call): {old[1] / new[1]:.2f}x the release by the clock, {old_cpu[1] / new_cpu[1]:.2f}x by"
        f" processor time (first calls {old[0] / new[0]:.2f}x; target >= 3x at 6,794,880, >= 2x at 737,280);"
        f" {'same answers' if same else 'answers DIFFER'}"
    )
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
