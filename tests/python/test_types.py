"""The type stub against the built module, and mypy on code that uses it.
Needs mypy (in the amd64 root only): skipped where it is absent."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import mendseqs

ROOT = Path(__file__).resolve().parents[2]
mypy = pytest.importorskip("mypy", reason="mypy is not installed here")

MISUSE = """\
import mendseqs
mendseqs.correct_seq_mt([b"ACGT"], ["ACGA"], 1, 1)
mendseqs.correct_seq_mt(["ACGT"], ["ACGA"], "1", 1)
fixed: list[bytes] = mendseqs.correct_seq_mt(["ACGT"], ["ACGA"], 1, 1)
"""


def run_mypy(module, *args, cwd):
    # mypy does not search PYTHONPATH for stubs; point it at the module's folder.
    env = {**os.environ, "MYPYPATH": str(Path(mendseqs.__file__).parent)}
    return subprocess.run([sys.executable, "-m", module, *args], capture_output=True, text=True, env=env, cwd=cwd)


def test_stub_matches_the_built_module(tmp_path):
    assert (Path(mendseqs.__file__).parent / "mendseqs.pyi").is_file()
    run = run_mypy("mypy.stubtest", "mendseqs", cwd=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr


def test_mypy_passes_the_command_and_the_example_and_flags_misuse(tmp_path):
    run = run_mypy(
        "mypy",
        "--strict",
        "--cache-dir",
        os.devnull,
        str(ROOT / "src" / "mendseqs_cli"),
        str(ROOT / "examples" / "snap.py"),
        cwd=tmp_path,
    )
    assert run.returncode == 0, run.stdout
    (tmp_path / "misuse.py").write_text(MISUSE)
    run = run_mypy("mypy", "--strict", "--cache-dir", os.devnull, "misuse.py", cwd=tmp_path)
    assert run.returncode == 1
    flagged = sorted({line.split(":")[1] for line in run.stdout.splitlines() if ": error:" in line})
    assert flagged == ["2", "3", "4"], run.stdout
