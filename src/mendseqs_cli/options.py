"""Arguments every subcommand parses the same way, and the parser that
reports a bad one as the run's one error line."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable
from typing import NoReturn

from .errors import InputError

DEFAULT_MAX_FLEX = 3
# Beyond this many threads a batch's chunks are too small to pay for their
# threads, and the module may fail to start them at all.
MAX_THREADS = 1024
DEFAULT_BATCH = 100_000
# A batch is held in memory whole: beyond this, it would not fit anywhere.
MAX_BATCH = 1_000_000_000


class OneLineParser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise InputError(f"{message} (see {self.prog} --help)")


def whole_number(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a whole number") from None


def integer(low: int, high: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        value = whole_number(text)
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"must be between {low:,} and {high:,}, not {text}")
        return value

    return parse


def tolerance(text: str) -> int:
    """A tolerance as given, within what the module takes (a pointer-width
    integer). Every negative tolerance matches nothing, so one beyond that
    range stands as -1; a positive one beyond it could never be met."""
    value = whole_number(text)
    if value > sys.maxsize:
        raise argparse.ArgumentTypeError(f"must be at most {sys.maxsize:,}, not {text}")
    return value if value >= -sys.maxsize - 1 else -1


def add_threads(parser: argparse.ArgumentParser, what: str = "threads") -> None:
    parser.add_argument("--threads", type=integer(1, MAX_THREADS), default=1, help=f"{what} (default 1)")


def add_batch(parser: argparse.ArgumentParser, what: str = "queries corrected per call") -> None:
    parser.add_argument(
        "--batch", type=integer(1, MAX_BATCH), default=DEFAULT_BATCH, help=f"{what} (default {DEFAULT_BATCH:,})"
    )
