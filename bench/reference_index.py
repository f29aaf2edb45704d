"""ReferenceIndex against correct_seq_mt, side by side in one run:

- the large whitelist (W6: 6,794,880 barcodes, k=1, threads=2): building,
  saving and loading the index, a second process's memory when it loads the
  same file, and 100,000 queries through index.correct against one
  correct_seq_mt call with the same arguments;
- the same whitelist at k=1 and k=2: each load from the page cache (the
  best and the median of five) against its build, in wall time and in
  processor time (every thread's, user and system: on a machine other jobs
  share, the wall time of a call with a serial part is stretched more than
  that of one on every core), and once from the disk (the file's pages
  dropped from the cache first);
- the 96 barcodes of examples/data: index.correct against correct_seq_mt.

Every answer is checked against correct_seq_mt's; the ratios are printed
with their targets. --quick runs the 96 barcodes only."""

import argparse
import contextlib
import os
import resource
import subprocess
import sys
import tempfile
import textwrap
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import mendseqs  # noqa: E402
import workloads  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


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


def timed(function, *args):
    start = time.perf_counter()
    result = function(*args)
    return result, time.perf_counter() - start


def cpu_timed(function, *args):
    """(result, wall seconds, processor seconds of every thread, user and system)."""
    before = resource.getrusage(resource.RUSAGE_SELF)
    result, wall = timed(function, *args)
    after = resource.getrusage(resource.RUSAGE_SELF)
    return result, wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def best_of(repeats, function, *args):
    best = None
    for _ in range(repeats):
        result, seconds = timed(function, *args)
        best = seconds if best is None else min(best, seconds)
    return result, best


def verdict(met):
    return "met" if met else "MISSED"


def examples_data():
    with open(os.path.join(ROOT, "examples", "data", "references.txt")) as f:
        references = [line.strip() for line in f if line.strip()]
    with open(os.path.join(ROOT, "examples", "data", "queries.fasta")) as f:
        queries = [line.strip() for line in f if line.strip() and not line.startswith(">")]
    return references, queries


def barcodes(max_flex=3, threads=2):
    references, queries = examples_data()
    index = mendseqs.ReferenceIndex(references, max_flex, threads)
    with progress_discarded():
        expected, plain = best_of(20, mendseqs.correct_seq_mt, references, queries, max_flex, threads)
        got, indexed = best_of(20, index.correct, queries, threads)
    assert got == expected
    print(f"96 barcodes, {len(queries):,} queries, k={max_flex}, threads={threads} (best of 20)")
    print(f"  correct_seq_mt      {plain * 1e3:8.2f} ms")
    print(
        f"  index.correct       {indexed * 1e3:8.2f} ms   {plain / indexed:5.2f}x   target >= 1x "
        f"(no slower): {verdict(indexed <= plain * 1.05)}"
    )


SECOND_PROCESS = textwrap.dedent("""
    import sys, time, mendseqs
    start = time.perf_counter()
    index = mendseqs.ReferenceIndex.load(sys.argv[1])
    seconds = time.perf_counter() - start
    fields = {}
    for line in open("/proc/self/smaps_rollup"):
        name, _, value = line.partition(":")
        if value.strip().endswith("kB"):
            fields[name] = int(value.split()[0])
    print(seconds, fields["Rss"], fields["Shared_Clean"] + fields["Shared_Dirty"],
          fields["Private_Clean"] + fields["Private_Dirty"])
""")


def whitelist(path, threads=2):
    references, queries = workloads.w6(queries=100_000)
    print(f"W6: {len(references):,} references, k=1, threads={threads}; {len(queries):,} queries")
    built, build = timed(mendseqs.ReferenceIndex, references, 1, threads)
    _, save = timed(built.save, path)
    loaded, load = timed(mendseqs.ReferenceIndex.load, path)
    print(f"  build               {build:8.2f} s")
    print(f"  save                {save:8.2f} s   ({os.path.getsize(path) / 2**20:,.0f} MiB file)")
    print(
        f"  load                {load:8.2f} s   {load / build:.3f} of the build   target <= 0.050: "
        f"{verdict(load <= build / 20)}"
    )
    # Another process loads the same file while this one holds it mapped.
    second = subprocess.run(
        [sys.executable, "-c", SECOND_PROCESS, path], capture_output=True, text=True, check=True
    ).stdout.split()
    second_load, rss, shared, private = float(second[0]), *map(int, second[1:])
    print(
        f"  a second process    load {second_load:.2f} s, RSS {rss / 1024:,.0f} MiB: shared "
        f"{shared / 1024:,.0f} MiB, private {private / 1024:,.0f} MiB (interpreter included)"
    )

    with progress_discarded():
        got, indexed = timed(built.correct, queries, threads)
        from_file, loaded_seconds = timed(loaded.correct, queries, threads)
        del loaded
        expected, plain = timed(mendseqs.correct_seq_mt, references, queries, 1, threads)
    assert got == expected and from_file == expected
    print(f"  correct_seq_mt      {plain:8.2f} s   (builds its own index for the batch)")
    print(
        f"  index.correct       {indexed:8.2f} s   {plain / indexed:5.1f}x   target >= 20x: "
        f"{verdict(plain / indexed >= 20)}"
    )
    print(f"  loaded.correct      {loaded_seconds:8.2f} s   {plain / loaded_seconds:5.1f}x")


def median(values):
    ordered = sorted(values)
    return ordered[len(ordered) // 2]


def cold(path):
    """Drops the file's pages from the page cache (this file's only): the
    next load reads it from the disk."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


def loads_against_builds(scratch, threads=2):
    references, _ = workloads.w6(queries=1)
    print(f"W6 loads against builds: {len(references):,} references, threads={threads} (loads: best / median of 5)")
    for k in (1, 2):
        path = os.path.join(scratch, f"w6-k{k}.index")
        built, build, build_cpu = cpu_timed(mendseqs.ReferenceIndex, references, k, threads)
        built.save(path)
        del built
        seconds, cpu = [], []
        for _ in range(5):
            loaded, load, load_cpu = cpu_timed(mendseqs.ReferenceIndex.load, path)
            del loaded
            seconds.append(load)
            cpu.append(load_cpu)
        cold(path)
        _, from_disk = timed(mendseqs.ReferenceIndex.load, path)
        best = min(seconds)
        print(
            f"  k={k}  build {build:7.2f} s   load {best:6.3f} / {median(seconds):6.3f} s   "
            f"{best / build:.3f} of the build   target <= 0.050: {verdict(best <= build / 20)}"
        )
        print(
            f"        processor time: build {build_cpu:7.2f} s   load {min(cpu):6.3f} s   "
            f"{min(cpu) / build_cpu:.3f} of the build   "
            f"({os.path.getsize(path) / 2**20:,.0f} MiB file; from the disk {from_disk:.2f} s)"
        )
        os.unlink(path)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="the 96 barcodes only")
    parser.add_argument("--loads", action="store_true", help="W6's loads against its builds only")
    arguments = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=os.environ.get("MENDSEQS_BUILD")) as scratch:
        if arguments.loads:
            loads_against_builds(scratch)
            return
        barcodes()
        if arguments.quick:
            return
        print()
        whitelist(os.path.join(scratch, "w6.index"))
        print()
        loads_against_builds(scratch)


if __name__ == "__main__":
    main()
