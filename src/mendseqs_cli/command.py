"""What a subcommand is: a name, its arguments, the typed settings it reads
from them, and what it does with those settings.

Each subcommand lives in a module of its own that defines COMMAND; the
entry point lists them by module name. The pattern, for a new one:

- `add_arguments(parser)` declares the options (shared ones in options.py);
- `settings(args)` is the only code that reads argparse's Namespace: it
  returns a frozen dataclass of typed settings, checking what can be told
  wrong from the arguments alone (raise errors.InputError);
- `run(settings, session)` does the work and returns the exit status. It
  raises for failures and never reports them itself: errors.reported turns
  every failure into the run's one line, and errors.about(name) names the
  file a failed system call was about. Outputs go through writing.Outputs,
  which commits them all together when the run succeeds.
"""

from __future__ import annotations

import argparse
from collections.abc import Callable
from dataclasses import dataclass

from .calls import ModuleCalls


@dataclass(frozen=True)
class Session:
    """What every subcommand's run is given besides its settings."""

    # The standard streams (0 to 2) that were closed when the run began.
    closed: frozenset[int]
    calls: ModuleCalls


@dataclass(frozen=True)
class Command[S]:
    name: str
    help: str  # one line, in `mendseqs --help`
    description: str  # the first line of `mendseqs NAME --help`
    add_arguments: Callable[[argparse.ArgumentParser], None]
    # The parsed arguments as typed settings (S, a frozen dataclass).
    settings: Callable[[argparse.Namespace], S]
    # The exit status; failures raise (see errors.reported).
    run: Callable[[S, Session], int]
