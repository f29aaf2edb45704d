"""Calls of the module, made quiet: its progress bar (file descriptor 1)
and its failure reports (file descriptor 2) are discarded, since a run has
a display of its own and ends a failure in one plain line of its own. What
failed is read from the exception alone."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Callable, Iterator
from typing import Any

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


class ModuleFailure(Exception):
    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message

    def tripped_guard(self) -> bool:
        return self.message == GUARD_MESSAGE

    def in_a_worker(self) -> bool:
        """A worker failed, for a reason the message does not tell."""
        return self.message == WORKER_FAILURE


class ModuleCalls:
    def __init__(self) -> None:
        self._null = os.open(os.devnull, os.O_WRONLY | os.O_CLOEXEC)

    def close(self) -> None:
        os.close(self._null)

    @contextlib.contextmanager
    def quiet(self) -> Iterator[None]:
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
