"""Where a run's results go, for every subcommand: no output may name an
input or another output, stdout (`-`) and devices take results straight
through, and a run that fails leaves none of its files behind and names
the one that failed."""

import gzip
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
DATA = ROOT / "examples" / "data"
sys.path.insert(0, str(ROOT / "bench"))
import simulate_reads  # noqa: E402
import tag_bench  # noqa: E402

COMMAND = [sys.executable, "-m", "mendseqs_cli"]


def mendseqs_command(*args, **options):
    return subprocess.run([*COMMAND, *map(str, args)], capture_output=True, text=True, **options)


@pytest.fixture(scope="module")
def small(tmp_path_factory):
    """A 500-barcode whitelist and 60 simulated reads, plain FASTQ."""
    where = tmp_path_factory.mktemp("outputs")
    whitelist = where / "whitelist.txt"
    whitelist.write_text("\n".join(tag_bench.random_whitelist(500, 3)) + "\n")
    packed = where / "reads.fq.gz"
    simulate_reads.main(
        [str(whitelist), "-n", "60", "-o", str(packed), "--truth", str(where / "t.tsv"), "--cells", "20"]
    )
    reads = where / "reads.fq"
    reads.write_bytes(gzip.decompress(packed.read_bytes()))
    return whitelist, reads


def tag(small, *outputs):
    whitelist, reads = small
    return mendseqs_command("tag", reads, "--whitelist", whitelist, "--layout", "10x3v3", "--quiet", *outputs)


def leftovers(folder):
    return sorted(p.name for p in folder.iterdir())


def test_an_output_naming_an_input_or_another_output_is_refused(small, tmp_path):
    whitelist, reads = small
    before = reads.read_bytes()
    link = tmp_path / "link.fq"
    link.symlink_to(reads)
    same = tmp_path / "same.tsv"
    cases = [
        (["-o", reads], f"-o {reads} is the input {reads}"),
        (["-o", link], f"-o {link} is the input {reads}"),  # the same file, by its inode
        (["--table", whitelist], "is the input"),
        (["-o", tmp_path / "same.fq", "--table", tmp_path / "same.fq"], "--table"),
        (["--table", same, "--counts", same, "--summary", same], f"{same} is also --table's file"),
    ]
    for outputs, expect in cases:
        run = tag(small, *outputs)
        assert run.returncode == 1 and run.stderr.count("\n") == 1 and expect in run.stderr, (outputs, run.stderr)
    assert reads.read_bytes() == before
    assert leftovers(tmp_path) == ["link.fq"]
    queries = tmp_path / "queries.fa"
    queries.write_bytes((DATA / "queries.fasta").read_bytes())
    run = mendseqs_command("correct", DATA / "references.txt", queries, "-o", queries)
    assert run.returncode == 1 and "is the input" in run.stderr
    assert queries.read_bytes() == (DATA / "queries.fasta").read_bytes()
    run = mendseqs_command("index", DATA / "references.txt", "--max-flex", "1", "-o", DATA / "references.txt")
    assert run.returncode == 1 and "is the input" in run.stderr


def test_a_failed_run_leaves_no_output_and_names_the_file_that_failed(small, tmp_path):
    names = ["-o", tmp_path / "out.fq", "--table", tmp_path / "t.tsv", "--counts", tmp_path / "c.tsv"]
    # A directory that is not there is found before any read is tagged.
    run = tag(small, *names, "--summary", tmp_path / "nowhere" / "s.json")
    assert run.returncode == 1 and "--summary" in run.stderr and "no such directory" in run.stderr, run.stderr
    assert leftovers(tmp_path) == []
    # A device that fails to take the results: named, and nothing else kept.
    if os.path.exists("/dev/full"):
        run = tag(small, "-o", tmp_path / "out.fq", "--table", "/dev/full", "--summary", tmp_path / "s.json")
        assert run.returncode == 1 and run.stderr == "mendseqs: error: /dev/full: No space left on device\n"
        assert leftovers(tmp_path) == []


def test_stdout_and_devices_take_results_straight_through(small, tmp_path):
    alone = tag(small, "-o", tmp_path / "reads.fq", "--table", tmp_path / "t.tsv")
    assert alone.returncode == 0, alone.stderr
    table, records = (tmp_path / "t.tsv").read_text(), (tmp_path / "reads.fq").read_text()
    assert table.startswith("read_id\t") and records.startswith("@")
    dashed = tag(small, "-o", "/dev/null", "--table", "-")
    assert dashed.returncode == 0 and dashed.stdout == table, dashed.stderr
    device = tag(small, "--table", "/dev/stdout", "-o", tmp_path / "again.fq")
    assert device.returncode == 0 and device.stdout == table, device.stderr
    assert (tmp_path / "again.fq").read_text() == records
    reads_out = tag(small, "-o", "-")
    assert reads_out.returncode == 0 and reads_out.stdout == records
    both = tag(small, "-o", "-", "--table", "-")
    assert both.returncode == 1 and "both name stdout" in both.stderr
    without_o = tag(small, "--table", "-")  # the tagged reads go to stdout already
    assert without_o.returncode == 1 and "both name stdout" in without_o.stderr
    corrected = mendseqs_command("correct", DATA / "references.txt", DATA / "queries.fasta", "-o", "-")
    assert corrected.returncode == 0 and corrected.stdout.count("\n") == 2000
