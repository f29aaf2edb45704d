"""The standard streams as the run found them."""

from __future__ import annotations

import os
import sys


def open_standard_streams() -> frozenset[int]:
    """Puts /dev/null on whichever of file descriptors 0 to 2 are closed,
    so that no file this run opens takes their numbers (results written to
    "stderr", or progress copied into the results). Returns the closed ones."""
    closed = set()
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            closed.add(fd)
            null = os.open(os.devnull, os.O_RDWR)
            if null != fd:
                os.dup2(null, fd)
                os.close(null)
    # The interpreter leaves sys.std* at None for descriptors closed at start.
    if sys.stdout is None:
        sys.stdout = open(1, "w", closefd=False)
    if sys.stderr is None:
        sys.stderr = open(2, "w", closefd=False)
    return frozenset(closed)
