"""How a run ends: every failure in one line on stderr and exit status 1; a
termination signal by cleaning up, saying so and dying by that signal.

Every subcommand's failures are mapped to their line here, in `reported`,
and nowhere else: a subcommand raises InputError for what it can explain,
wraps the use of a file in `about(name)` so that a failing system call
names that file, and lets the module's failures (ModuleFailure, see
calls.py) and anything else of the kinds below propagate."""

from __future__ import annotations

import contextlib
import fcntl
import os
import signal
from collections.abc import Callable, Iterator

PROGRAM = "mendseqs"


class InputError(Exception):
    """Bad input or arguments: reported as one line, exit status 1."""


class ReaderGone(Exception):
    """The reader of the results went away (`| head`): exit status 1, and
    nothing worth a message."""


class ModuleFailure(Exception):
    """The module failed (its PanicException, caught by calls.ModuleCalls):
    its message is the run's error line unless a caller explains it better."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


class Stopped(Exception):
    """A termination signal arrived: unwind, clean up, then die by it."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


def described(error: OSError, name: str | None = None) -> str:
    """`NAME: what went wrong` for a failed system call on the file `name`
    (else the one the error names)."""
    return f"{name or error.filename or 'a file'}: {error.strerror or error}"


@contextlib.contextmanager
def about(name: str) -> Iterator[None]:
    """A failed system call in the block (but a reader gone away) as an
    InputError naming the file `name`: the one line that tells the user
    which of the run's files failed."""
    try:
        yield
    except BrokenPipeError:
        raise ReaderGone from None
    except OSError as error:
        raise InputError(described(error, name)) from None


# A copy of stderr taken when the run began (see stderr_kept), or None.
_stderr: int | None = None


@contextlib.contextmanager
def stderr_kept() -> Iterator[None]:
    """For the block, `say` writes to a copy of stderr taken here: fd 2
    itself is pointed at /dev/null around every module call (calls.py),
    and a signal that lands in the middle of putting it back must not take
    the run's last line with it."""
    global _stderr
    previous = _stderr
    _stderr = fcntl.fcntl(2, fcntl.F_DUPFD_CLOEXEC, 3)
    try:
        yield
    finally:
        os.close(_stderr)
        _stderr = previous


def say(line: str) -> None:
    """One line on stderr, written at once; lost silently if stderr cannot
    take it (full, closed): the exit status still tells."""
    with contextlib.suppress(OSError):
        os.write(2 if _stderr is None else _stderr, f"{line}\n".encode(errors="replace"))


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
    except ModuleFailure as failure:
        say(f"{PROGRAM}: error: {failure.message}")
        return 1
    except BrokenPipeError:
        return 1
    except OSError as error:
        say(f"{PROGRAM}: error: {described(error)}")
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
