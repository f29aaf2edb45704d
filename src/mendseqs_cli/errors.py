"""How a run ends: every failure in one line on stderr and exit status 1; a
termination signal by cleaning up, saying so and dying by that signal."""

from __future__ import annotations

import contextlib
import os
import signal
from collections.abc import Callable

PROGRAM = "mendseqs"


class InputError(Exception):
    """Bad input or arguments: reported as one line, exit status 1."""


class ReaderGone(Exception):
    """The reader of the results went away (`| head`): exit status 1, and
    nothing worth a message."""


class Stopped(Exception):
    """A termination signal arrived: unwind, clean up, then die by it."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


def say(line: str) -> None:
    """One line on stderr, written at once; lost silently if stderr cannot
    take it (full, closed): the exit status still tells."""
    with contextlib.suppress(OSError):
        os.write(2, f"{line}\n".encode(errors="replace"))


def _raise_stopped(signum: int, frame: object) -> None:
    raise Stopped(signum)


def stop_on_signals() -> None:
    """SIGTERM and SIGHUP (how schedulers and Snakemake stop jobs) unwind the
    run as Ctrl+C does, so that its unfinished output is removed."""
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, _raise_stopped)


Outcome = int | signal.Signals


def reported(work: Callable[[], int]) -> Outcome:
    """Runs `work`: its exit status, 1 after saying what went wrong, or the
    signal that stopped it (see `finish`)."""
    try:
        return work()
    except InputError as error:
        say(f"{PROGRAM}: error: {error}")
        return 1
    except MemoryError:
        say(f"{PROGRAM}: error: out of memory")
        return 1
    except ReaderGone:
        return 1
    except SystemExit as exit:  # --help, --version
        return exit.code if isinstance(exit.code, int) else 0
    except KeyboardInterrupt:
        return signal.SIGINT
    except Stopped as stop:
        return signal.Signals(stop.signum)


def finish(outcome: Outcome) -> int:
    """The exit status of `outcome`; a stopped run says so and ends the
    process by its signal, as the shell or the scheduler that sent it expects."""
    if not isinstance(outcome, signal.Signals):
        return outcome
    say(f"{PROGRAM}: stopped by {outcome.name}")
    signal.signal(outcome, signal.SIG_DFL)
    os.kill(os.getpid(), outcome)
    return 128 + outcome
