"""The example program, run as a user would: every input format, every
output format, and bad input that must leave no output file behind."""
import gzip
import os
import subprocess
import sys
from pathlib import Path

import pytest

import mendseqs

ROOT = Path(__file__).resolve().parents[2]
DATA = ROOT / "examples" / "data"
REFERENCES = (DATA / "references.txt").read_text().split()
RECORDS = [(r.split("\n")[0], r.split("\n")[1]) for r in (DATA / "queries.fasta").read_text().split(">")[1:]]
QUERIES = [sequence for _, sequence in RECORDS]


def correct(*args, cwd=None):
    return subprocess.run([sys.executable, str(ROOT / "examples" / "correct.py"), *map(str, args)],
                          capture_output=True, text=True, cwd=cwd)


def expected(max_flex=3):
    saved = os.dup(1)  # the module's progress bar goes to fd 1
    with open(os.devnull, "w") as null:
        os.dup2(null.fileno(), 1)
    try:
        return mendseqs.correct_seq_mt(REFERENCES, QUERIES, max_flex, 1)
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def fastq_text(records):
    return "".join(f"@{name} extra words\n{seq}\n+\n{'I' * len(seq)}\n" for name, seq in records)


def test_shipped_data_to_stdout_as_tsv():
    run = correct(DATA / "references.txt", DATA / "queries.fasta", "--max-flex", "3", "--threads", "2")
    assert run.returncode == 0, run.stderr
    rows = [line.split("\t") for line in run.stdout.splitlines()]
    assert rows == [[name, seq, fixed] for (name, seq), fixed in zip(RECORDS, expected(), strict=True)]
    matched = sum(1 for row in rows if row[2])
    assert len(QUERIES) // 2 < matched < len(QUERIES)
    # Progress went to stderr, then the summary.
    assert run.stderr.startswith("    Aligning with 2 threads: ")
    assert f"reads: {len(QUERIES)}, matched: {matched}, unmatched: {len(QUERIES) - matched}, reads/s: " in run.stderr


def test_input_format_is_told_from_content_and_output_from_suffix(tmp_path):
    # gzip-compressed FASTQ under a name that says neither, and gzipped
    # one-per-line references: the content decides.
    queries = tmp_path / "queries.txt"
    queries.write_bytes(gzip.compress(fastq_text(RECORDS).encode()))
    references = tmp_path / "refs"
    references.write_bytes(gzip.compress("\n".join(REFERENCES).encode()))
    # Batches smaller than the input, of a size that does not divide it.
    run = correct(references, queries, "--batch", "300", "--threads", "2", "-o", tmp_path / "out.fastq.gz")
    assert run.returncode == 0, run.stderr
    written = gzip.decompress((tmp_path / "out.fastq.gz").read_bytes()).decode()
    assert written == "".join(f"@{name} extra words corrected={fixed}\n{seq}\n+\n{'I' * len(seq)}\n"
                              for (name, seq), fixed in zip(RECORDS, expected(), strict=True))
    run = correct(references, queries, "-o", tmp_path / "out.fa")
    assert run.returncode == 0, run.stderr
    assert (tmp_path / "out.fa").read_text().splitlines()[:2] == [f">{RECORDS[0][0]} extra words corrected={expected()[0]}",
                                                                   RECORDS[0][1]]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.fa", "out.fastq.gz", "queries.txt", "refs"]


def truncated_gzip(path):
    data = gzip.compress(fastq_text(RECORDS).encode())
    path.write_bytes(data[: len(data) // 2])


def quality_too_short(path):
    text = fastq_text(RECORDS[:1500]) + "@bad\nACGTACGT\n+\nIIII\n" + fastq_text(RECORDS[1500:])
    path.write_text(text)


@pytest.mark.parametrize("case, message", [
    ("truncated gzip", "truncated gzip"),
    ("quality length", "line 6004: FASTQ record 'bad' has 8 bases but 4 quality values"),
    ("empty references", "no reference sequences"),
    ("missing file", "no such file"),
    ("max_flex too large", "max_flex cannot be greater than the length of the sequences"),
])
def test_bad_input_fails_in_one_line_and_leaves_no_output(tmp_path, case, message):
    references, queries = DATA / "references.txt", tmp_path / "queries"
    args = []
    if case == "truncated gzip":
        truncated_gzip(queries)
    elif case == "quality length":
        quality_too_short(queries)
    elif case == "empty references":
        references = tmp_path / "empty.fa"
        references.write_text("\n")
        queries = DATA / "queries.fasta"
    elif case == "missing file":
        queries = tmp_path / "absent.fq"
    else:
        queries, args = DATA / "queries.fasta", ["--max-flex", "30"]
    out = tmp_path / "out" / "result.tsv.gz"
    out.parent.mkdir()
    # Small batches: the failure comes after some results were written.
    run = correct(references, queries, "-o", out, "--batch", "100", *args)
    assert run.returncode == 1
    error = [line for line in run.stderr.splitlines() if "Aligning" not in line]
    # The module reports its own failures on fd 2 as well, before ours.
    assert len(error) == 1 or case == "max_flex too large", run.stderr
    assert error[-1].startswith("correct.py: error: ") and message in error[-1], run.stderr
    assert list(out.parent.iterdir()) == []  # neither the output nor its temporary file
