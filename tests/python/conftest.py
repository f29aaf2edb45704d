import os
import subprocess
import sys
import textwrap

import pytest
from hypothesis import settings
from hypothesis.database import DirectoryBasedExampleDatabase

# Hypothesis keeps its examples outside the checkout (the environment points
# it at the build tree); without that, it keeps none.
_examples = os.environ.get("MENDSEQS_HYPOTHESIS_DIR")
settings.register_profile(
    "mendseqs",
    database=DirectoryBasedExampleDatabase(_examples) if _examples else None,
    deadline=None,
)
settings.load_profile("mendseqs")


class Run:
    """What a child interpreter left on file descriptors 1 and 2, as bytes."""

    def __init__(self, completed):
        self.returncode = completed.returncode
        self.stdout = completed.stdout
        self.stderr = completed.stderr

    def __repr__(self):
        return f"Run(returncode={self.returncode}, stdout={self.stdout!r}, stderr={self.stderr!r})"


def run_python(code, *, stdout=subprocess.PIPE, env=None, timeout=120):
    """Runs `code` in a fresh interpreter, capturing its fds 1 and 2 exactly."""
    completed = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        stdout=stdout,
        stderr=subprocess.PIPE,
        env={**os.environ, **(env or {})},
        timeout=timeout,
    )
    return Run(completed)


@pytest.fixture
def python():
    return run_python


def pytest_configure(config):
    # tools/run-tests runs the others on every processor at once, then these
    # alone: their limits are measured against the clock.
    config.addinivalue_line("markers", "serial: timed against the clock; never run beside other tests")
