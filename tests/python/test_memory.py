"""Memory exhaustion in the module's own allocations raises MemoryError and
leaves the process able to go on. The child interpreter runs under a limit
on its address space, set just above what it uses plus what the call's
earlier allocations need, so that one large allocation cannot succeed."""

import textwrap

import pytest

from failure_support import MARK, banner, needs_real_allocator

MiB = 1 << 20
# One allocator arena, and a fixed threshold above which every allocation is
# a mapping of its own: the address space the call needs is then what the
# sizes below say.
ALLOCATOR = {"MALLOC_ARENA_MAX": "1", "MALLOC_MMAP_THRESHOLD_": "131072"}

# setup: Python code defining refs, queries, threads and `fits`, the bytes
# the call must be able to allocate before the one that is to fail.
SCENARIOS = {
    "argument views": (
        """
        refs, queries, threads = ["A"] * (4 * MiB), [], 1
        fits = 0
        """,
        lambda out: out == b"",
    ),
    "result positions": (
        """
        refs, queries, threads = ["A"], ["A"] * (4 * MiB), 1
        fits = 4 * MiB * 24  # the views of the queries and their references
        """,
        lambda out: out == banner(1),
    ),
    "matcher storage": (
        """
        big = "ACGT" * (4 * MiB)
        refs, queries, threads = [big], [big], 1
        fits = 0
        """,
        lambda out: out == banner(1) + MARK,
    ),
    "matcher storage in a worker": (
        """
        big = "ACGT" * (4 * MiB)
        refs, queries, threads = [big], [big, "A"], 2
        fits = 2 * 2 * MiB  # two worker stacks
        """,
        lambda out: out == banner(2) + MARK * 2,
    ),
}


@needs_real_allocator
@pytest.mark.parametrize("setup, display_ok", SCENARIOS.values(), ids=SCENARIOS.keys())
def test_exhausted_memory_raises_memory_error(python, setup, display_ok):
    code = (
        textwrap.dedent("""
        import os, resource, mendseqs
        MiB = 1 << 20
        """)
        + textwrap.dedent(setup)
        + textwrap.dedent("""
        with open("/proc/self/status") as status:
            in_use = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
        _, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (in_use + fits + 16 * MiB, hard))
        try:
            mendseqs.correct_seq_mt(refs, queries, 0, threads)
        except BaseException as caught:
            failure = caught
        else:
            failure = None
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
        assert type(failure) is MemoryError, repr(failure)
        # The process goes on as before.
        os.write(1, b"|")
        del refs, queries
        assert mendseqs.correct_seq_mt(["ACGT"], ["ACGT"], 0, threads) == ["ACGT"]
        """)
    )
    run = python(code, env=ALLOCATOR, timeout=60)
    assert run.returncode == 0, run
    during, after = run.stdout.split(b"|")
    assert display_ok(during), during[:200]
    assert after.endswith(MARK + b"\n")
    # Not an unrecoverable failure: no report.
    assert run.stderr == b""
