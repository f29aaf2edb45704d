"""The tolerance guard, explained: the module refuses to compare a read and
a reference that passed both filters when either is shorter than
`max_flex`. A run that meets it ends with one line naming the read and, where
the run knows it, the reference, instead of the module's message."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from .calls import ModuleCalls, in_a_worker, tripped_guard
from .errors import InputError, ModuleFailure
from .records import record_id, shown

Matcher = Callable[[list[str], int], list[Any]]

WHY = "the tolerance cannot exceed the length of any sequence it compares"


@dataclass
class Tolerance:
    """What a run knows about its references, to explain a tripped guard."""

    max_flex: int
    references: str  # the path they came from
    # (position from 1, text) of every reference shorter than max_flex, in
    # list order; None when unknown (an index loaded from a file).
    short: list[tuple[int, str]] | None

    def explain(self, query: str, header: str, queries: str) -> str:
        read = f"{shown(queries)}: read '{record_id(header)}'"
        if len(query) < self.max_flex:
            return f"{read} is {len(query)} letters long, shorter than --max-flex {self.max_flex}: {WHY}"
        # Then the reference it met is the short one: the first, in list
        # order, to pass both filters (as the module walks them).
        for position, reference in self.short or []:
            if abs(len(query) - len(reference)) <= self.max_flex and (
                abs(query.count("A") - reference.count("A")) <= self.max_flex
            ):
                return (
                    f"{read} meets reference {position} of {shown(self.references)} ({len(reference)} letters "
                    f"long), shorter than --max-flex {self.max_flex}: {WHY}"
                )
        return f"{read} meets a reference of {shown(self.references)} shorter than --max-flex {self.max_flex}: {WHY}"


def short_references(references: list[str], max_flex: int) -> list[tuple[int, str]]:
    return [(position, text) for position, text in enumerate(references, 1) if len(text) < max_flex]


def _trips(match: Matcher, queries: list[str], calls: ModuleCalls) -> bool:
    """Whether matching `queries` in the calling thread trips the guard,
    where the module raises the guard's own message."""
    try:
        calls.call(match, queries, 1)
    except ModuleFailure as failure:
        if tripped_guard(failure):
            return True
        raise
    return False


def first_tripping(match: Matcher, queries: list[str], calls: ModuleCalls, known: bool) -> int | None:
    """The position of the first query that trips the guard on its own, or
    None when none does (`known`: the whole list is known to).

    Halving in the calling thread: each query meets the guard or not
    whatever the others are, and a call there stops at the first query
    that does, so the search costs about one pass over the list."""
    low, high = 0, len(queries)
    if not known and not _trips(match, queries, calls):
        return None
    while high - low > 1:
        middle = (low + high) // 2
        if _trips(match, queries[low:middle], calls):
            high = middle
        else:
            low = middle
    return low


def answers(
    match: Matcher,
    queries: list[str],
    headers: list[str],
    threads: int,
    calls: ModuleCalls,
    tolerance: Tolerance,
    where: str,
) -> list[Any]:
    """`match(queries, threads)`, quiet; a tripped guard as an InputError
    naming the read (of the file `where`) that tripped it, any other
    failure of the module as it is (see errors.reported).

    A guard tripped in a worker thread may reach us as the module's
    message for any worker's failure: the queries are then matched again
    in the calling thread, which tells the guard by its own message."""
    try:
        result: list[Any] = calls.call(match, queries, threads)
        return result
    except ModuleFailure as failure:
        if not (tripped_guard(failure) or in_a_worker(failure)):
            raise
        at = first_tripping(match, queries, calls, known=tripped_guard(failure))
        if at is None:  # a worker failed, and not for the guard
            raise
        raise InputError(tolerance.explain(queries[at], headers[at], where)) from None
