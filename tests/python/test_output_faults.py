"""Standard output that refuses writes, is closed, or is slow: what the call
does about each, seen from a child interpreter whose fd 1 is set up so."""

import os
import subprocess
import sys
import textwrap
import time

import pytest

from failure_support import FILL_STDOUT, JOIN_FAILURE, MARK, banner, flush_failure, messages
from messages import line_end_failure

# Timed against the clock: run alone (tools/run-tests), never beside other tests.
pytestmark = pytest.mark.serial

NO_SPACE = flush_failure(28, "StorageFull", "No space left on device")
TOO_LARGE = flush_failure(27, "FileTooLarge", "File too large")
LINE_END_TOO_LARGE = line_end_failure("File too large", 27)


@pytest.mark.parametrize("threads", [1, 2])
def test_a_full_device_fails_the_banner_flush(python, threads):
    with open("/dev/full", "wb") as full:
        run = python(
            f"""
            import mendseqs
            try:
                mendseqs.correct_seq_mt(["ACGT"], ["ACGT"], 0, {threads})
            except BaseException as caught:
                assert type(caught).__name__ == "PanicException"
                assert caught.args == ({NO_SPACE!r},), caught.args
            else:
                raise AssertionError("the call did not fail")
            """,
            stdout=full,
        )
    assert run.returncode == 0, run
    assert messages(run.stderr) == [("main", NO_SPACE)]


BANNER_ONLY, THREE_MARKS = len(banner(1)), len(banner(1) + MARK * 3)

# fd 1 is a file that may not grow past a given size: the write that would
# cross it fails with EFBIG (the signal it would raise is ignored).
LIMITED_FILE = {
    "mark, calling thread": (1, BANNER_ONLY, TOO_LARGE, [("main", TOO_LARGE)]),
    "mark, worker": (2, BANNER_ONLY, JOIN_FAILURE, [("<unnamed>", TOO_LARGE), ("main", JOIN_FAILURE)]),
    "line end, serial": (1, THREE_MARKS, LINE_END_TOO_LARGE, [("main", LINE_END_TOO_LARGE)]),
    "line end, parallel": (2, THREE_MARKS, LINE_END_TOO_LARGE, [("main", LINE_END_TOO_LARGE)]),
}


@pytest.mark.parametrize("threads, limit, message, reported", LIMITED_FILE.values(), ids=LIMITED_FILE.keys())
def test_a_write_that_cannot_grow_the_file_fails_the_call(python, tmp_path, threads, limit, message, reported):
    output = tmp_path / "stdout"
    queries = 1 if limit == BANNER_ONLY else 3
    with open(output, "wb") as file:
        run = python(
            f"""
            import resource, signal, mendseqs
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, ({limit}, resource.RLIM_INFINITY))
            try:
                mendseqs.correct_seq_mt(["ACGT"], ["ACGT"] * {queries}, 0, {threads})
            except BaseException as caught:
                assert type(caught).__name__ == "PanicException"
                assert caught.args == ({message!r},), caught.args
            else:
                raise AssertionError("the call did not fail")
            """,
            stdout=file,
        )
    assert run.returncode == 0, run
    assert output.read_bytes() == (banner(threads) + MARK * 3)[:limit]
    assert messages(run.stderr) == reported


@pytest.mark.parametrize("threads", [1, 2])
def test_a_closed_standard_output_drops_the_display(python, threads):
    run = python(f"""
        import os, mendseqs
        os.close(1)
        result = mendseqs.correct_seq_mt(["ACGT", "TTTT"], ["ACGA", "GGGG", "TTTA"], 1, {threads})
        assert result == ["ACGT", "", "TTTT"], result
        assert os.open(os.devnull, os.O_WRONLY) == 1  # nothing to complain about at exit
        """)
    assert run.returncode == 0, run
    assert run.stdout == b"" and run.stderr == b""


def test_writes_interrupted_by_signals_are_retried():
    # The child fills the pipe on its fd 1, so the banner's write blocks until
    # the test starts reading; meanwhile a timer signal, whose handler does
    # not restart system calls, interrupts that write again and again. The
    # wakeup descriptor counts the signals that arrived during the call.
    code = FILL_STDOUT + textwrap.dedent("""
        import os, signal, socket, sys, time, mendseqs

        counter, counted = socket.socketpair()
        counter.setblocking(False)
        signal.set_wakeup_fd(counter.fileno(), warn_on_full_buffer=False)
        signal.signal(signal.SIGALRM, lambda *_: None)
        signal.siginterrupt(signal.SIGALRM, True)
        signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)
        os.write(2, b"ready\\n")  # the pipe is full: the parent starts its wait now
        started = time.monotonic()
        result = mendseqs.correct_seq_mt(["ACGT"], ["ACGT"] * 3, 0, 1)
        blocked = time.monotonic() - started
        signal.setitimer(signal.ITIMER_REAL, 0, 0)
        counted.setblocking(False)
        signals = len(counted.recv(1 << 16))
        assert result == ["ACGT"] * 3, result
        print(filled, signals, round(blocked, 3), file=sys.stderr)
        """)
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    # Slow platforms take a while to start the child: the wait is counted
    # from the moment its pipe is full, not from the start.
    assert child.stderr.readline() == b"ready\n"
    time.sleep(0.5)  # a slow reader
    stdout, stderr = child.communicate(timeout=120)
    assert child.returncode == 0, (stdout[-200:], stderr)
    filled, signals, blocked = stderr.split()
    assert int(filled) >= 4096
    assert stdout == b"x" * int(filled) + banner(1) + MARK * 3 + b"\n"
    # The call sat in a blocked write for most of the wait, through many
    # interruptions, and still wrote everything.
    assert float(blocked) > 0.2 and int(signals) >= 5, (blocked, signals)


def test_an_error_description_that_is_not_utf8_still_reaches_python(python, tmp_path):
    # In a locale whose messages are Latin-1, the system's description of a
    # write error is not UTF-8. A stand-in strerror_r gives such a text; the
    # call must still raise, with U+FFFD where the bytes were, not abort.
    source = tmp_path / "latin1_strerror.c"
    source.write_text(
        "#include <stddef.h>\n"
        "char *strerror_r(int code, char *buffer, size_t size) {\n"
        "  (void)code; (void)buffer; (void)size;\n"
        '  return "p\\xe9riph\\xe9rique plein";\n'
        "}\n"
    )
    library = tmp_path / "liblatin1_strerror.so"
    compiler = subprocess.run(["cc", "-shared", "-fPIC", "-o", library, source], capture_output=True)
    if compiler.returncode != 0:
        pytest.skip(f"no C compiler to build the stand-in: {compiler.stderr[-200:]!r}")
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(library)]))
    with open("/dev/full", "wb") as full:
        run = python(
            """
            import mendseqs
            try:
                mendseqs.correct_seq_mt(["ACGT"], ["ACGT"], 0, 1)
            except BaseException as caught:
                print(type(caught).__name__, caught.args, file=__import__("sys").stderr)
            """,
            stdout=full,
            env={"LD_PRELOAD": preload},
        )
    assert run.returncode == 0, run
    description = "p\ufffdriph\ufffdrique plein"
    assert f"PanicException ({flush_failure(28, 'StorageFull', description)!r},)" in run.stderr.decode(
        errors="replace"
    ), run
