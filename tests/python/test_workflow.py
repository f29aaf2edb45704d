"""The Snakemake workflow scatters the example data over 4 chunk jobs on
2 cores, and gathers exactly what one run of the example program gives.
Needs snakemake (in the amd64 root only): skipped where it is absent."""
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
DATA = ROOT / "examples" / "data"


@pytest.mark.skipif(shutil.which("snakemake") is None, reason="snakemake is not installed here")
def test_scattered_workflow_gathers_what_one_run_gives(tmp_path):
    references, queries = DATA / "references.txt", DATA / "queries.fasta"
    whole = subprocess.run([sys.executable, ROOT / "examples" / "correct.py", references, queries,
                            "--max-flex", "2"], capture_output=True, text=True, check=True)
    # Its own working directory: snakemake keeps its state in .snakemake/ there.
    run = subprocess.run(
        ["snakemake", "-s", ROOT / "workflow" / "Snakefile", "--cores", "2", "--directory", tmp_path,
         "--config", f"references={references}", f"queries={queries}", "chunks=4", "max_flex=2",
         f"python={sys.executable}", "output=all.tsv"],
        capture_output=True, text=True)
    assert run.returncode == 0, run.stderr[-3000:]
    assert "7 of 7 steps (100%) done" in run.stderr  # split, 4 chunk jobs, gather, all
    assert (tmp_path / "all.tsv").read_text() == whole.stdout
    assert len(whole.stdout.splitlines()) == 2000
    # The chunks were temporary; each chunk job wrote its summary to its log.
    assert not list((tmp_path / "chunks").glob("*.seq"))
    logs = sorted((tmp_path / "logs" / "correct").iterdir())
    assert [re.findall(r"^reads: (\d+),", p.read_text(), re.M) for p in logs] == [["500"]] * 4
