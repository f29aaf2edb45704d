"""Standard output read by a thread of the caller's own process, as output
capture and notebook kernels do: the call must let go of the interpreter
lock while its output cannot proceed, or neither side ever moves again."""

import signal
import subprocess
import sys
import time

import pytest

from failure_support import FILL_STDOUT, NO_WORKERS_LEFT

# Timed against the clock: run alone (tools/run-tests), never beside other tests.
pytestmark = pytest.mark.serial

# fd 1 becomes a pipe whose only reader is a thread of the same process.
# The pipe starts full and the reader starts only once the call is under
# way, so the call's very first write already finds no room.
PIPE_ON_STDOUT = """
import os
read_end, write_end = os.pipe()
os.dup2(write_end, 1)
"""
DRAINED_PIPE = (
    PIPE_ON_STDOUT
    + FILL_STDOUT
    + """
import os, threading, time, mendseqs
MARK = "\\u25a0".encode()
received = []

def drain():
    time.sleep(0.2)  # runs only when the call lets go of the lock
    while chunk := os.read(read_end, 1 << 16):
        received.append(chunk)

reader = threading.Thread(target=drain)
reader.start()
"""
)

FINISH = """
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
os.close(write_end)
reader.join()
data = b"".join(received)
assert data[:filled] == b"x" * filled
display = data[filled:]
"""


@pytest.mark.parametrize("threads, queries", [(1, 100), (2000, 70_000)], ids=["serial", "2000 workers"])
def test_a_call_whose_output_is_drained_by_its_own_process_completes(python, threads, queries):
    # 2000 workers with chunks of 35 queries write a mark per query: 210 KB.
    run = python(
        DRAINED_PIPE
        + f"""
result = mendseqs.correct_seq_mt(["ACGT"], ["ACGT"] * {queries}, 0, {threads})
assert result == ["ACGT"] * {queries}
"""
        + FINISH
        + f"""
banner = b"    Aligning with {threads} threads: "
marks = {queries} if {threads} > 1 else 50
assert display == banner + MARK * marks + b"\\n", (len(display), display[:80])
""",
        env={"MENDSEQS_MIN_STACK": "65536"},
        timeout=300,
    )
    assert run.returncode == 0, run


@pytest.mark.parametrize("threads", [1, 2])
def test_a_fork_while_output_is_blocked_leaves_a_child_that_can_call(python, threads):
    # The thread that forks runs only while the call waits on its output,
    # that is while the call's writer holds the stream's own lock.
    run = python(
        DRAINED_PIPE.replace("time.sleep(0.2)  # runs", "fork_and_check()  # runs").replace(
            "received = []",
            """received = []
child_status = []

def fork_and_check():
    time.sleep(0.2)
    pid = os.fork()
    if pid == 0:
        os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
        ok = mendseqs.correct_seq_mt(["ACGT"], ["ACGT"] * 3, 0, 2) == ["ACGT"] * 3
        os._exit(0 if ok else 1)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            child_status.append(status)
            return
        time.sleep(0.01)
    os.kill(pid, 9)
    child_status.append("hung")
""",
        )
        + f"""
result = mendseqs.correct_seq_mt(["ACGT"], ["ACGT"] * 200, 0, {threads})
assert result == ["ACGT"] * 200
"""
        + FINISH
        + """
assert child_status == [0], child_status
""",
        timeout=300,
    )
    assert run.returncode == 0, run


@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_ends_a_call_whose_output_never_drains(threads):
    # Output piped into a pager the user has paused: nothing ever reads it,
    # and Ctrl+C must still end the call.
    code = (
        PIPE_ON_STDOUT
        + FILL_STDOUT
        + f"""
import sys, time, mendseqs
sys.stderr.write("ready\\n")
sys.stderr.flush()
try:
    mendseqs.correct_seq_mt(["ACGT"], ["ACGA"] * 10, 1, {threads})
except KeyboardInterrupt:
    print(time.monotonic(), file=sys.stderr)
"""
    )
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        assert child.stderr.readline() == b"ready\n"
        time.sleep(0.3)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        _, stderr = child.communicate(timeout=60)
    finally:
        child.kill()
    assert child.returncode == 0, stderr
    assert 0 <= float(stderr) - sent < 2.0, stderr


def test_a_second_writer_on_stdout_cannot_strand_a_call_in_its_write(python):
    # A Python thread writes large blocks to fd 1 (os.write lets go of the
    # interpreter lock while it blocks), so whenever the drain frees room,
    # that writer may take it between the call's poll and its write (a
    # worker's or the calling thread's). That write then blocks; the call
    # must still let go of the lock for the drain, which needs it to read on. Many short calls give
    # the race many chances; a hang is the failure.
    run = python(
        PIPE_ON_STDOUT
        + """
import os, threading, mendseqs
MARK = "\\u25a0".encode()
received = []
other_done = threading.Event()

def drain():
    while chunk := os.read(read_end, 4096):
        received.append(chunk)

def other_writer():
    block = b"y" * 65536
    while not other_done.is_set():
        os.write(1, block)

reader = threading.Thread(target=drain)
reader.start()
writer = threading.Thread(target=other_writer)
writer.start()
for _ in range(200):
    assert mendseqs.correct_seq_mt(["ACGT"], ["ACGT"] * 392, 0, 8) == ["ACGT"] * 392
other_done.set()
writer.join()
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
os.close(write_end)
reader.join()
data = b"".join(received)
# Marks are written whole (3 bytes, never split by a pipe): 392 per call.
assert data.count(MARK) == 200 * 392, data.count(MARK)
""",
        timeout=120,
    )
    assert run.returncode == 0, run


def test_ctrl_c_while_a_worker_is_stuck_in_its_write_still_joins_every_worker(python):
    # A worker can block inside write() itself, past the poll that found
    # room, when a second writer takes that room first; there a cancelled
    # worker cannot look up, and it leaves only once the drain (which needs
    # the interpreter lock) reads on. The drain sends Ctrl+C at such a
    # moment and pauses, so the call ends while the worker is stuck: the
    # join of its workers must let go of the lock as the call did, or the
    # process hangs.
    run = python(
        PIPE_ON_STDOUT
        + """
import os, signal, sys, threading, time, mendseqs
other_done, in_call, interrupted = threading.Event(), threading.Event(), threading.Event()

def syscall(thread):  # the system call a thread waits in, with its first argument
    try:
        with open(f"/proc/self/task/{thread}/syscall") as status:
            return status.read().split()[:2]
    except OSError:
        return None

def worker_in_write():
    # The second writer waits in write(1, ...) all along: what that looks
    # like here, whatever the processor numbers its system calls.
    writing = syscall(writer.native_id)
    if not writing or writing[0] == "running":
        return False
    others = {writer.native_id, threading.get_native_id(), threading.main_thread().native_id}
    return any(syscall(t) == writing for t in os.listdir("/proc/self/task") if int(t) not in others)

def drain():
    while os.read(read_end, 4096):
        time.sleep(0.001)  # slowly: the pipe stays full, and room is scarce
        if in_call.is_set() and not interrupted.is_set() and worker_in_write():
            interrupted.set()
            os.kill(os.getpid(), signal.SIGINT)
            time.sleep(0.3)  # no room meanwhile: the worker stays in its write

def other_writer():  # one long write that takes whatever room the drain makes
    block = b"y" * (1 << 20)
    while not other_done.is_set():
        os.write(1, block)

reader = threading.Thread(target=drain)
reader.start()
writer = threading.Thread(target=other_writer)
writer.start()
"""
        + NO_WORKERS_LEFT
        + """
deadline = time.monotonic() + 30
try:
    while time.monotonic() < deadline:  # one mark per query: workers write all the time
        in_call.set()
        mendseqs.correct_seq_mt(["ACGT"], ["ACGT"] * 64 * 49, 0, 64)
        in_call.clear()
except KeyboardInterrupt:
    pass
in_call.clear()
if not interrupted.is_set() and os.uname().machine.startswith("arm"):
    os._exit(77)  # see below
assert interrupted.is_set(), "no worker was seen blocked in its write"
assert_no_workers_left()
other_done.set()
writer.join()
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
os.close(write_end)
reader.join()
""",
        timeout=90,
    )
    if run.returncode == 77:
        # Under user-mode emulation the task's syscall file shows the
        # emulator's own calls, which need not tell a write apart.
        pytest.skip("no worker could be seen blocked in its write under emulation")
    assert run.returncode == 0, run
