"""Failed calls as the Python caller sees them: PanicException, the failure
reports on file descriptor 2, the progress bytes left on file descriptor 1,
and that a failed call leaves no worker thread behind."""

import textwrap

import pytest

from messages import SPAWN_FAILURE

from failure_support import (
    GUARD,
    HUGE_STACK,
    JOIN_FAILURE,
    MARK,
    NO_WORKERS_LEFT,
    banner,
    messages,
    needs_real_allocator,
)


def child(*parts):
    return "\n".join(textwrap.dedent(part) for part in parts)


def test_guard_in_the_calling_thread_raises_panic_exception(python):
    run = python(
        f"""
        import mendseqs
        try:
            try:
                mendseqs.correct_seq_mt(["ACG"], ["ACG", "ACG", "AC", "ACG"], 3, 1)
            except Exception:
                raise SystemExit("caught by `except Exception`")
        except BaseException as caught:
            failure = caught
        PanicException = type(failure)
        assert not isinstance(failure, Exception)
        assert PanicException.__mro__ == (PanicException, BaseException, object), PanicException.__mro__
        assert PanicException.__module__ == "pyo3_runtime"
        assert PanicException.__name__ == PanicException.__qualname__ == "PanicException"
        assert failure.args == ({GUARD!r},), failure.args
        assert str(failure) == {GUARD!r}
        doc = PanicException.__doc__
        first, second = doc.strip().split("\\n\\n")
        assert doc.startswith("\\n") and "unrecoverabl" in first, doc
        assert "SystemExit" in second and "BaseException" in second, doc
        assert not hasattr(mendseqs, "PanicException")
        """
    )
    assert run.returncode == 0, run
    assert run.stdout == banner(1) + MARK * 3
    assert messages(run.stderr) == [("main", GUARD)]


def test_an_uncaught_panic_exception_ends_the_interpreter_with_its_traceback(python):
    run = python("import mendseqs\nmendseqs.correct_seq_mt(['ACG'], ['AC'], 3, 1)\n")
    assert run.returncode == 1
    report, traceback = run.stderr.split(b"Traceback (most recent call last):\n")
    assert messages(report) == [("main", GUARD)]
    assert traceback.endswith(b"\npyo3_runtime.PanicException: " + GUARD.encode() + b"\n")


def test_every_failure_in_every_thread_raises_the_same_type_object(python):
    run = python(
        """
        import threading, mendseqs

        def failure(threads):
            try:
                mendseqs.correct_seq_mt(["ACG"], ["AC"], 3, threads)
            except BaseException as caught:
                return caught

        failures = [failure(1), failure(2), failure(1)]
        elsewhere = []
        thread = threading.Thread(target=lambda: elsewhere.append(failure(1)), name="elsewhere")
        thread.start()
        thread.join()
        # A bare thread has no name of its own, only the one it inherited.
        import _thread
        done = threading.Event()
        _thread.start_new_thread(lambda: (elsewhere.append(failure(1)), done.set()), ())
        done.wait()
        types = {id(type(caught)) for caught in failures + elsewhere}
        assert len(types) == 1 and len(failures + elsewhere) == 5, failures + elsewhere
        assert type(failures[0]).__name__ == "PanicException"
        """
    )
    assert run.returncode == 0, run
    assert messages(run.stderr) == [
        ("main", GUARD),
        ("<unnamed>", GUARD),
        ("main", JOIN_FAILURE),
        ("main", GUARD),
        ("elsewhere", GUARD),
        ("<unnamed>", GUARD),
    ]


# Worker 0 trips the guard on its first query; worker 1 has a chunk of long
# queries still ahead of it when the call fails: unrelated sequences under a
# wide tolerance, so that each takes a large share of a full LCS table
# (about 10 ms on a current x86-64 core, 250 ms for the chunk).
WORKER_GUARD = """
import os, random, mendseqs
draw = random.Random(7)
slow, reference = ("".join(draw.choices("ACGT", k=40_000)) for _ in range(2))
queries = ["AC"] + ["ACG"] * 24 + [slow] * 25
try:
    mendseqs.correct_seq_mt(["ACG", reference], queries, 20_000, 2)
except BaseException as caught:
    failure = caught
assert type(failure).__name__ == "PanicException" and failure.args == (JOIN_FAILURE,), failure
os.write(1, b"|")
"""


def test_guard_in_a_worker_cancels_the_other_workers_before_the_call_fails(python):
    run = python(
        child(
            NO_WORKERS_LEFT,
            f"JOIN_FAILURE = {JOIN_FAILURE!r}",
            WORKER_GUARD,
            """
        assert_no_workers_left()
        import time
        time.sleep(0.3)  # long enough for worker 1 to mark several more queries
        os.write(1, b"|")
        assert mendseqs.correct_seq_mt(["ACGT"], ["ACGT"], 0, 2) == ["ACGT"]
        """,
        )
    )
    assert run.returncode == 0, run
    first_call, after_return, second_call = run.stdout.split(b"|")
    assert first_call.startswith(banner(2))
    marks = first_call[len(banner(2)) :]
    # One mark of worker 0, and worker 1's up to its cancellation; nothing
    # after the call returned.
    assert MARK <= marks < MARK * 26 and marks == MARK * (len(marks) // len(MARK)), marks
    assert after_return == b""
    assert second_call == banner(2) + MARK + b"\n"
    assert messages(run.stderr) == [("<unnamed>", GUARD), ("main", JOIN_FAILURE)]


def test_a_worker_that_cannot_start_fails_the_call(python):
    run = python(
        f"""
        import mendseqs
        try:
            mendseqs.correct_seq_mt(["ACGT"], ["ACGT"] * 4, 0, 2)
        except BaseException as caught:
            assert caught.args == ({SPAWN_FAILURE!r},), caught
        else:
            raise AssertionError("the call did not fail")
        # The serial path starts no thread and is not affected.
        assert mendseqs.correct_seq_mt(["ACGT"], ["ACGT"], 0, 1) == ["ACGT"]
        """,
        env={"MENDSEQS_MIN_STACK": HUGE_STACK},
    )
    assert run.returncode == 0, run
    assert run.stdout == banner(2) + banner(1) + MARK + b"\n"
    assert messages(run.stderr) == [("main", SPAWN_FAILURE)]


@needs_real_allocator
def test_workers_started_before_a_failed_start_are_cancelled_and_joined(python):
    # Stacks of 1 GiB and room for one more: worker 0 starts, worker 1 cannot.
    run = python(
        child(
            NO_WORKERS_LEFT,
            """
        import os, resource, time, mendseqs
        slow = "ACGT" * 2500
        with open("/proc/self/status") as status:
            in_use = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
        _, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (in_use + 3 * 2**29, hard))
        try:
            mendseqs.correct_seq_mt([slow], [slow] * 50, 0, 2)
        except BaseException as caught:
            failure = caught
        assert_no_workers_left()
        os.write(1, b"|")
        time.sleep(0.2)
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
        assert failure.args[0].startswith("failed to spawn thread: Os { code: 11, "), failure
        """,
        ),
        env={"MENDSEQS_MIN_STACK": str(2**30)},
    )
    assert run.returncode == 0, run
    during, after = run.stdout.split(b"|")
    assert during.startswith(banner(2)) and len(during) <= len(banner(2) + MARK * 25)
    assert after == b""
    [(thread, message)] = messages(run.stderr)
    assert thread == "main" and message.startswith("failed to spawn thread: ")


FAILING_CALLS = {
    "tolerance guard": "correct(refs, ['AC'], 3, 1)",
    "guard in a worker": "correct(refs, ['AC', 'ACG'], 3, 2)",
    "thread start": "correct(refs, queries, 0, 2)",
    "argument": "correct(refs, [1], 0, 1)",
    "iteration": "correct(refs, Refusing(), 0, 1)",
}


@pytest.mark.parametrize("call", FAILING_CALLS.values(), ids=FAILING_CALLS.keys())
def test_failed_calls_leave_no_python_object_behind(python, call):
    # Every object a failed call made or took a reference to is released on
    # the way out: repeating the call does not make the heap grow.
    run = python(
        child(
            NO_WORKERS_LEFT,
            f"""
        import gc, sys, mendseqs
        correct = mendseqs.correct_seq_mt
        refs, queries = ["ACG", "ACGT" * 100], ["ACGT" * 100] * 10
        class Refusing(list):
            def __iter__(self):
                raise ValueError("refused")
        def fail():
            try:
                {call}
            except BaseException:
                return
            raise AssertionError("the call did not fail")
        for _ in range(20):
            fail()
        assert_no_workers_left()
        gc.collect()
        before = sys.getallocatedblocks(), sys.getrefcount(refs[1])
        for _ in range(300):
            fail()
        assert_no_workers_left()
        gc.collect()
        after = sys.getallocatedblocks(), sys.getrefcount(refs[1])
        assert after[1] == before[1] and after[0] - before[0] < 100, (before, after)
        """,
        ),
        env={"MENDSEQS_MIN_STACK": HUGE_STACK} if "queries" in call else None,
    )
    assert run.returncode == 0, run
