"""A user with CPython 3.14 installs the module with pip."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


@pytest.mark.skipif(shutil.which("cmake") is None, reason="pip builds the module with CMake")
def test_pip_install_builds_an_importable_module(tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", "--system-site-packages", str(venv)],
                   check=True)
    python = venv / "bin" / "python"
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}  # not the build tree's copy
    # The source is copied so that the build cannot write into the checkout.
    source = tmp_path / "source"
    shutil.copytree(ROOT, source, ignore=shutil.ignore_patterns(".git", "build", "*.so"))
    subprocess.run([python, "-m", "pip", "install", "--no-build-isolation", "--no-index",
                    "--quiet", str(source)], check=True, env=env, cwd=tmp_path)
    run = subprocess.run(
        [python, "-c", "import mendseqs; print(mendseqs.__file__, flush=True); "
                       "print(mendseqs.correct_seq_mt(['ACGT'], ['ACGA'], 1, 1))"],
        capture_output=True, text=True, check=True, env=env, cwd=tmp_path)
    installed_at, _, result = run.stdout.partition("\n")
    assert installed_at.startswith(str(venv)), installed_at
    assert result.endswith("['ACGT']\n")
