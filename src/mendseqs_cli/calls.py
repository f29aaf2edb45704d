"""Calls of the module, made quiet: its progress bar (file descriptor 1) is
discarded, since a run has a display of its own, and its failure reports
(file descriptor 2) are kept aside, so that a failure ends in one plain
line rather than the module's several."""

from __future__ import annotations

import contextlib
import os
import tempfile
from collections.abc import Callable, Iterator
from typing import Any

GUARD_MESSAGE = "max_flex cannot be greater than the length of the sequences."


def is_panic(error: BaseException) -> bool:
    # The module's failures derive from BaseException, and the module
    # exports no name for them.
    return type(error).__name__ == "PanicException"


class ModuleFailure(Exception):
    def __init__(self, message: str, reports: str) -> None:
        super().__init__(message)
        self.message = message
        self.reports = reports

    def tripped_guard(self) -> bool:
        return self.message == GUARD_MESSAGE or GUARD_MESSAGE in self.reports


class ModuleCalls:
    def __init__(self) -> None:
        self._null = os.open(os.devnull, os.O_WRONLY | os.O_CLOEXEC)
        self._reports = tempfile.TemporaryFile()

    def close(self) -> None:
        os.close(self._null)
        self._reports.close()

    @contextlib.contextmanager
    def quiet(self) -> Iterator[None]:
        self._reports.seek(0)
        self._reports.truncate()
        saved = os.dup(1), os.dup(2)
        try:
            os.dup2(self._null, 1)
            os.dup2(self._reports.fileno(), 2)
            yield
        finally:
            os.dup2(saved[0], 1)
            os.dup2(saved[1], 2)
            os.close(saved[0])
            os.close(saved[1])

    def reports(self) -> str:
        self._reports.seek(0)
        return self._reports.read().decode(errors="replace")

    def call(self, function: Callable[..., Any], *args: Any) -> Any:
        """`function(*args)`, quiet; the module's failure raised as ModuleFailure."""
        try:
            with self.quiet():
                return function(*args)
        except BaseException as error:
            if is_panic(error):
                raise ModuleFailure(str(error), self.reports()) from None
            raise
