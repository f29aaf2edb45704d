"""Calls of the module, made quiet: its progress bar (file descriptor 1)
and its failure reports (file descriptor 2) are discarded, since a run has
a display of its own and ends a failure in one plain line of its own. What
failed is read from the exception alone."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Callable, Iterator
from typing import Any

from .errors import ModuleFailure

# The tolerance guard's own message, raised by a call that trips it in the
# calling thread (any call with threads=1).
GUARD_MESSAGE = "max_flex cannot be greater than the length of the sequences."
# What `correct_seq_mt`, and `ReferenceIndex.correct` with it, raise when a
# worker thread fails, whatever the reason (the guard included).
WORKER_FAILURE = "called `Result::unwrap()` on an `Err` value: Any { .. }"


def is_panic(error: BaseException) -> bool:
    # The module's failures derive from BaseException, and the module
    # exports no name for them.
    return type(error).__name__ == "PanicException"


def tripped_guard(failure: ModuleFailure) -> bool:
    return failure.message == GUARD_MESSAGE


def in_a_worker(failure: ModuleFailure) -> bool:
    """A worker failed, for a reason the message does not tell."""
    return failure.message == WORKER_FAILURE


class ModuleCalls:
    def __init__(self) -> None:
        self._null = os.open(os.devnull, os.O_WRONLY | os.O_CLOEXEC)

    def close(self) -> None:
        os.close(self._null)

    @contextlib.contextmanager
    def quiet(self) -> Iterator[None]:
        # A signal handled between these dup2 calls raises in the middle
        # and may leave fd 2 on /dev/null: the run's own lines are written
        # to a copy of stderr taken when it began (errors.stderr_kept), so
        # its last message is never lost that way. (Blocking the signals
        # here would not do: another of the run's threads would take them,
        # and the main thread's handler run all the same.)
        saved = os.dup(1), os.dup(2)
        try:
            os.dup2(self._null, 1)
            os.dup2(self._null, 2)
            yield
        finally:
            os.dup2(saved[0], 1)
            os.dup2(saved[1], 2)
            os.close(saved[0])
            os.close(saved[1])

    def call(self, function: Callable[..., Any], *args: Any) -> Any:
        """`function(*args)`, quiet; the module's failure raised as ModuleFailure."""
        try:
            with self.quiet():
                return function(*args)
        except BaseException as error:
            if is_panic(error):
                raise ModuleFailure(str(error)) from None
            raise
