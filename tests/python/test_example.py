"""The example program, run as a user would."""
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
DATA = ROOT / "examples" / "data"


def test_example_corrects_the_shipped_data_set():
    run = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "correct.py"), str(DATA / "references.txt"),
         str(DATA / "queries.fasta"), "--max-flex", "3", "--threads", "2"],
        capture_output=True, text=True, check=True,
    )
    references = set((DATA / "references.txt").read_text().split())
    queries = [line for line in (DATA / "queries.fasta").read_text().splitlines()
               if not line.startswith(">")]
    corrected = run.stdout.split("\n")[:-1]  # results only: progress went to stderr
    assert len(corrected) == len(queries)
    assert all(line == "" or line in references for line in corrected)
    matched = sum(1 for line in corrected if line)
    # Most reads derive from a barcode with at most three edits.
    assert matched > len(queries) // 2
    assert run.stderr.startswith("    Aligning with 2 threads: ")
    assert f"queries: {len(queries)}, matched: {matched}, unmatched: {len(queries) - matched}" in run.stderr
