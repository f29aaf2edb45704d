"""What failed calls leave behind: messages, progress bytes, failure reports."""

import os
import re
import resource
import sys

import pytest

from messages import GUARD, JOIN_FAILURE, MARK, banner, flush_failure  # noqa: F401 (re-exported)


_REPORT = re.compile(rb"\nthread '([^'\n]*)' failed at (src/[\w/]+\.[ch]pp):[1-9]\d*:[1-9]\d*:\n([^\n]*)\n")


def reports(stderr):
    """The failure reports that make up `stderr`, as (thread, file, message).

    Fails the test if anything else is there: a report is all a failure
    may write to file descriptor 2."""
    found, at = [], 0
    while at < len(stderr):
        report = _REPORT.match(stderr, at)
        assert report, f"not a failure report at byte {at}: {stderr[at:]!r}"
        thread, source, message = report.groups()
        found.append((thread.decode(), source.decode(), message.decode()))
        at = report.end()
    return found


def messages(stderr):
    """(thread, message) of every failure report in `stderr`."""
    return [(thread, message) for thread, _, message in reports(stderr)]


def _address_space_limit_is_enforced():
    # An emulator may accept the limit and ignore it. The probe is far above
    # what this process uses.
    probe = 2**46 if sys.maxsize > 2**32 else 3 * 2**30
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    try:
        resource.setrlimit(resource.RLIMIT_AS, (probe, hard))
        return resource.getrlimit(resource.RLIMIT_AS)[0] == probe
    except ValueError, OSError:
        return False
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


# The address sanitizer ends the process on an allocation it cannot make
# instead of throwing, and reserves terabytes of shadow memory up front, so
# neither failed allocations nor limits on the address space can be
# exercised under it.
SANITIZED = bool(os.environ.get("MENDSEQS_SANITIZER"))
needs_throwing_allocator = pytest.mark.skipif(
    SANITIZED, reason="the address sanitizer ends the process on a failed allocation"
)
needs_real_allocator = pytest.mark.skipif(
    SANITIZED or not _address_space_limit_is_enforced(),
    reason="address-space limits cannot be tested under the address sanitizer or an emulator",
)

# A worker stack size that no thread can get: more than the address space.
HUGE_STACK = str(2**50 if sys.maxsize > 2**32 else 3 * 2**30)

# Child code that counts the process's threads at rest, and checks that a
# call has left no worker behind: every worker is joined before it returns.
# Under user-mode emulation a joined thread's task may linger for a moment
# after the join returned: the count is read until it holds still.
NO_WORKERS_LEFT = """
import os as _os, time as _time

def _settled_thread_count():
    count, same = len(_os.listdir("/proc/self/task")), 0
    while same < 3:
        _time.sleep(0.01)
        now = len(_os.listdir("/proc/self/task"))
        same, count = (same + 1 if now == count else 0), now
    return count

THREADS_AT_REST = _settled_thread_count()

def assert_no_workers_left():
    left = _settled_thread_count() - THREADS_AT_REST
    assert left == 0, f"{left} threads outlived the call"
"""

# Child code that fills the pipe on fd 1 to the last byte: `filled` bytes
# wait in it, and the next write would block.
FILL_STDOUT = """
import fcntl as _fcntl, os as _os
_flags = _fcntl.fcntl(1, _fcntl.F_GETFL)
_fcntl.fcntl(1, _fcntl.F_SETFL, _flags | _os.O_NONBLOCK)
filled = 0
for _chunk in (b"x" * 4096, b"x"):
    try:
        while True:
            filled += _os.write(1, _chunk)
    except BlockingIOError:
        pass
_fcntl.fcntl(1, _fcntl.F_SETFL, _flags)
"""
