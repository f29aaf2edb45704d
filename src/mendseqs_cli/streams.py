"""The standard streams as the run found them."""

from __future__ import annotations

import os
import stat
import sys

# What stands in for a closed stdin (see open_standard_streams): its device
# and inode, by which a path that leads to it (/dev/stdin, /proc/self/fd/0,
# a link to either) is known for what it is.
_closed_stdin: tuple[int, int] | None = None
_stdin_was_closed = False


def _placeholder(fd: int) -> int:
    """An empty file for a closed descriptor: reading it ends at once and
    writing it discards. For stdin, a memory file of its own, which no path
    the user could name leads to by accident; /dev/null elsewhere."""
    if fd == 0:
        try:
            return os.memfd_create("mendseqs: stdin was closed")
        except AttributeError, OSError:
            pass
    return os.open(os.devnull, os.O_RDWR)


def open_standard_streams() -> frozenset[int]:
    """Puts an empty file on whichever of file descriptors 0 to 2 are
    closed, so that no file this run opens takes their numbers (results
    written to "stderr", or progress copied into the results). Returns the
    closed ones."""
    global _closed_stdin, _stdin_was_closed
    closed = set()
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            closed.add(fd)
            stand_in = _placeholder(fd)
            if stand_in != fd:
                os.dup2(stand_in, fd)
                os.close(stand_in)
    if 0 in closed:
        _stdin_was_closed = True
        status = os.fstat(0)
        _closed_stdin = (status.st_dev, status.st_ino)
    # The interpreter leaves sys.std* at None for descriptors closed at start.
    if sys.stdout is None:
        sys.stdout = open(1, "w", closefd=False)
    if sys.stderr is None:
        sys.stderr = open(2, "w", closefd=False)
    return frozenset(closed)


def is_closed_stdin(status: os.stat_result, path: str) -> bool:
    """Whether `path`, opened for reading with this status, is stdin while
    stdin was closed when the run began: to be refused, not read as empty."""
    if path == "-":
        return _stdin_was_closed
    if _closed_stdin is None or stat.S_ISCHR(status.st_mode):
        return False  # /dev/null is a device: the user's own empty input
    return (status.st_dev, status.st_ino) == _closed_stdin
