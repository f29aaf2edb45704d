"""Every allocation the interpreter makes for a call, failed in turn.

A child interpreter forks once per allocation: in the fork, the
interpreter's allocators (not the module's own) refuse exactly the n-th
allocation from the start of the call. Each fork's fd 1, fd 2 and outcome
are collected. This reaches failures that have no other trigger: the result
list that cannot be made, the PanicException type and the export list that
cannot be made during initialisation, and a PanicException that cannot be
raised, which ends the process."""

import json
import re
import signal

from failure_support import GUARD, MARK, banner, messages
from messages import API_CALL_FAILED, UNCAUGHT

SCAN = """
import json, os, sys, _testcapi

def attempt(start, directory):
    paths = [os.path.join(directory, name) for name in ("out", "err", "outcome")]
    pid = os.fork()
    if pid == 0:
        try:
            out, err, outcome = (os.open(p, os.O_WRONLY | os.O_CREAT | os.O_TRUNC) for p in paths)
            os.dup2(out, 1)
            os.dup2(err, 2)
            _testcapi.set_nomemory(start, start + 1)
            try:
                result = call()
            except BaseException as caught:
                _testcapi.remove_mem_hooks()
                text = f"{type(caught).__name__}: {caught}"
            else:
                _testcapi.remove_mem_hooks()
                text = f"returned {result!r}"
            os.write(outcome, text.encode())
        finally:
            os._exit(0)
    _, status = os.waitpid(pid, 0)
    out, err, outcome = (open(p, "rb").read().decode("utf-8", "surrogateescape") for p in paths)
    return {"start": start, "signal": os.WTERMSIG(status) if os.WIFSIGNALED(status) else 0,
            "stdout": out, "stderr": err, "outcome": outcome}

# The call as it goes without a failed allocation, then with the 0th, 1st,
# ... failed, until 20 attempts in a row went as the first: the window has
# moved past the end of the call.
normal = attempt(10**9, directory)
attempts, unharmed = [], 0
while unharmed < 20:
    attempts.append(attempt(len(attempts), directory))
    unharmed = unharmed + 1 if attempts[-1] == dict(normal, start=len(attempts) - 1) else 0
print(json.dumps([normal] + attempts))
"""

CALL = """
import mendseqs
REFS, QUERIES = ["ACGT", "ACG"], ["ACGT", "ACGA"]
"""

# The module's entry point called directly, so that the attempts fail only
# what it allocates, not the import machinery's own work.
INITIALISATION = """
import ctypes, importlib.util
init = ctypes.PyDLL(importlib.util.find_spec("mendseqs").origin).PyInit_mendseqs
init.restype = ctypes.py_object

def call():
    try:
        return init()
    except BaseException as failure:
        # Nothing was kept of the failed attempt: this one starts afresh.
        assert init().__all__ == ["correct_seq_mt"]
        raise failure
"""


def scan(python, tmp_path, setup):
    run = python(f"directory = {str(tmp_path)!r}\n" + setup + SCAN)
    assert run.returncode == 0, run
    normal, *attempts = json.loads(run.stdout)
    return attempts, normal


def test_failed_allocations_inside_a_successful_call(python, tmp_path):
    attempts, normal = scan(python, tmp_path, CALL + "call = lambda: mendseqs.correct_seq_mt(REFS, QUERIES, 1, 1)")
    assert normal["outcome"] == "returned ['ACGT', 'ACGT']"
    outcomes = {attempt["outcome"] for attempt in attempts}
    assert outcomes <= {normal["outcome"], "MemoryError: ", f"PanicException: {API_CALL_FAILED}"}, outcomes
    assert all(attempt["signal"] == 0 for attempt in attempts)

    # The result list or one of its strings could not be made: the pending
    # MemoryError is printed through sys.stderr, then the failure report;
    # the display was complete.
    failed = [a for a in attempts if a["outcome"] == f"PanicException: {API_CALL_FAILED}"]
    assert failed, "no attempt reached the result conversion"
    for attempt in failed:
        printed, report = attempt["stderr"].split("\nthread ", 1)
        assert printed == "MemoryError\n", printed
        assert messages(("\nthread " + report).encode()) == [("main", API_CALL_FAILED)]
        assert attempt["stdout"].encode("utf-8", "surrogateescape") == banner(1) + MARK * 2 + b"\n"


def test_a_panic_exception_that_cannot_be_raised_ends_the_process(python, tmp_path):
    attempts, normal = scan(python, tmp_path, CALL + "call = lambda: mendseqs.correct_seq_mt(REFS, ['AC'], 3, 1)")
    assert normal["outcome"] == f"PanicException: {GUARD}"
    aborted = [a for a in attempts if a["signal"]]
    assert aborted, "no attempt failed while raising"
    for attempt in aborted:
        # The message could not be made: that failure is reported after the
        # pending MemoryError, then the process ends.
        assert attempt["signal"] == signal.SIGABRT and attempt["outcome"] == ""
        # Under user-mode emulation, the emulator notes the signal itself.
        stderr = re.sub(r"qemu: uncaught target signal 6 .*\n\Z", "", attempt["stderr"])
        guard, raising = stderr.split("MemoryError\n")
        assert messages(guard.encode()) == [("main", GUARD)]
        assert messages(raising.encode()) == [("main", API_CALL_FAILED), ("main", UNCAUGHT)]
    # Everything else raised an exception in the caller.
    for attempt in attempts:
        if not attempt["signal"]:
            assert attempt["outcome"] in (normal["outcome"], "MemoryError: "), attempt


def test_a_failed_initialisation_keeps_nothing_and_the_next_one_succeeds(python, tmp_path):
    # Initialisation is the module's first need of the PanicException type
    # (to compare the missing __all__ with it). When that creation fails, the
    # failure is unrecoverable; raising it needs the type again, and this
    # time the creation succeeds. Each failed attempt is followed by one
    # that must succeed: neither the type slot nor the module cache kept
    # anything of the failure.
    attempts, normal = scan(python, tmp_path, INITIALISATION)
    assert normal["outcome"] == "returned <module 'mendseqs'>"
    memory_error = "PyErr { type: <class 'MemoryError'>, value: , traceback: None }"
    type_failure = f"Failed to initialize new exception type.: {memory_error}"
    append_failure = f"could not append __name__ to __all__: {memory_error}"
    outcomes = {a["outcome"] for a in attempts}
    assert outcomes == {
        normal["outcome"],
        "MemoryError: ",
        "PanicException: " + type_failure,
        "PanicException: " + append_failure,
    }, outcomes
    for attempt in attempts:
        assert attempt["signal"] == 0, attempt
        if attempt["outcome"].startswith("PanicException: "):
            message = attempt["outcome"].removeprefix("PanicException: ")
            assert messages(attempt["stderr"].encode()) == [("main", message)]
        else:
            assert attempt["stderr"] == ""
