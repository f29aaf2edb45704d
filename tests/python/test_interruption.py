"""Ctrl+C and other signals during a long call, in a child interpreter: the
calling thread runs pending signal handlers every few tens of milliseconds,
an exception from a handler ends the call (after its workers have stopped),
and a handler that returns normally changes nothing."""

import os
import signal
import subprocess
import sys
import time

import pytest

from failure_support import NO_WORKERS_LEFT, SANITIZED

# Timed against the clock: run alone (tools/run-tests), never beside other tests.
pytestmark = pytest.mark.serial

# Under emulation or the sanitizers everything is several times slower;
# the bound is the target's with room for a loaded machine, not a benchmark.
LATENCY_LIMIT = 2.0 if SANITIZED or os.uname().machine.startswith("arm") else 0.25


def ctrl_c_latency(code):
    """Seconds from SIGINT to the KeyboardInterrupt of a child running
    `code`, which writes "ready" to stderr before its long call and the
    monotonic time it caught the interrupt after it."""
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        assert child.stderr.readline() == b"ready\n"
        time.sleep(0.5)  # well into the call
        sent = time.monotonic()  # the same clock as the child's
        child.send_signal(signal.SIGINT)
        _, stderr = child.communicate(timeout=120)
    finally:
        child.kill()
    assert child.returncode == 0, stderr
    return float(stderr) - sent


# A call that runs for tens of seconds on a fast core: long unrelated
# sequences under a wide tolerance, each comparison a large band. The call
# holds the interpreter lock, so no thread of the child can send the signal:
# it comes from outside (this process, or a kernel timer).
LONG_CALL = (
    """
import os, random, signal, sys, time, mendseqs
draw = random.Random(5)
def texts(count, length):  # random bytes as letters: fast to make
    letters = draw.randbytes(count * length).translate(bytes.maketrans(bytes(range(256)), b"ACGT" * 64)).decode()
    return [letters[i : i + length] for i in range(0, count * length, length)]
refs = texts(200, 2000)
queries = texts(10_000, 2000)
"""
    + NO_WORKERS_LEFT
)


def interrupted_long_call(call):
    """A child that makes `call` (say `mendseqs.correct_seq_mt(refs, queries,
    500, 2)`) over LONG_CALL's inputs, for ctrl_c_latency: it must end in
    KeyboardInterrupt with no worker left."""
    return (
        LONG_CALL
        + f"""
sys.stderr.write("ready\\n")
sys.stderr.flush()
try:
    {call}
except KeyboardInterrupt:
    ended = time.monotonic()
else:
    raise AssertionError("the call ended before the signal")
assert_no_workers_left()
print(ended, file=sys.stderr)
"""
    )


@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_ends_a_long_call_promptly(threads):
    code = interrupted_long_call(f"mendseqs.correct_seq_mt(refs, queries, 500, {threads})")
    assert 0 <= ctrl_c_latency(code) < LATENCY_LIMIT


@pytest.mark.parametrize("threads", [1, 2])
def test_a_handler_that_raises_ends_the_call_with_its_exception(python, threads):
    run = python(
        LONG_CALL
        + f"""
class Stop(Exception):
    pass

def handler(signum, frame):
    raise Stop("from the handler")

signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.3)
try:
    mendseqs.correct_seq_mt(refs, queries, 500, {threads})
except Stop as stop:
    assert stop.args == ("from the handler",)
else:
    raise AssertionError("the call was not stopped")
assert_no_workers_left()
"""
    )
    assert run.returncode == 0, run


@pytest.mark.parametrize("threads", [1, 2])
def test_handlers_that_return_or_call_the_module_again_change_nothing(python, threads):
    # A timer signal every 2 ms: each handler runs the module itself (its
    # own small call, on the same thread, while the outer call is paused).
    run = python(
        f"""
import random, signal, mendseqs
draw = random.Random(9)
refs = ["".join(draw.choices("ACGT", k=draw.randrange(20, 120))) for _ in range(300)]
queries = ["".join(draw.choices("ACGT", k=draw.randrange(20, 120))) for _ in range(20_000)]
expected = mendseqs.correct_seq_mt(refs, queries, 12, {threads})
inner = []
def handler(signum, frame):
    inner.append(mendseqs.correct_seq_mt(["ACGT"], ["ACGA"], 1, {threads}))
signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
result = mendseqs.correct_seq_mt(refs, queries, 12, {threads})
signal.setitimer(signal.ITIMER_REAL, 0, 0)
assert result == expected
assert inner and all(r == ["ACGT"] for r in inner), inner
""",
        timeout=300,
    )
    assert run.returncode == 0, run
