"""What a subcommand is: a name, its arguments and what it does with them.
Each lives in a module of its own that defines COMMAND; the entry point
lists them by module name."""

from __future__ import annotations

import argparse
from collections.abc import Callable
from dataclasses import dataclass

from .calls import ModuleCalls


@dataclass(frozen=True)
class Session:
    """What every subcommand's run is given besides its arguments."""

    # The standard streams (0 to 2) that were closed when the run began.
    closed: frozenset[int]
    calls: ModuleCalls


@dataclass(frozen=True)
class Command:
    name: str
    help: str  # one line, in `mendseqs --help`
    description: str  # the first line of `mendseqs NAME --help`
    add_arguments: Callable[[argparse.ArgumentParser], None]
    # The exit status; failures raise (see errors.reported).
    run: Callable[[argparse.Namespace, Session], int]
