"""`mendseqs tag` run as a user would, on the project's simulated reads
scored against their truth, and on every kind of bad input."""

import collections
import csv
import gzip
import io
import json
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "bench"))
import simulate_reads  # noqa: E402
import tag_bench  # noqa: E402

COMMAND = [sys.executable, "-m", "mendseqs_cli"]
READS = 2_000


def mendseqs_command(*args, **options):
    return subprocess.run([*COMMAND, *map(str, args)], capture_output=True, text=True, **options)


@pytest.fixture(scope="module")
def simulated(tmp_path_factory):
    """A 20,000-barcode whitelist, its k=2 index, and 2,000 simulated reads
    at 5% errors with their truth."""
    where = tmp_path_factory.mktemp("tag")
    whitelist = where / "whitelist.txt"
    whitelist.write_text("\n".join(tag_bench.random_whitelist(20_000, 7)) + "\n")
    index = where / "whitelist.idx"
    built = mendseqs_command("index", whitelist, "--max-flex", "2", "--threads", "2", "-o", index)
    assert built.returncode == 0, built.stderr
    reads, truth = where / "reads.fq.gz", where / "truth.tsv.gz"
    simulate_reads.main([str(whitelist), "-n", str(READS), "-o", str(reads), "--truth", str(truth), "--cells", "200"])
    return where, whitelist, index, reads, truth


def fastq_records(path):
    with gzip.open(path, "rt") as lines:
        text = lines.read().split("\n")
    return [(text[i], text[i + 1], text[i + 3]) for i in range(0, len(text) - 1, 4)]


def test_simulated_reads_end_to_end(simulated):
    where, _, index, reads, truth_path = simulated
    out, table, summary = where / "tagged.fq.gz", where / "reads.tsv.gz", where / "summary.json"
    run = mendseqs_command(
        "tag", reads, "--whitelist", index, "--layout", "10x3v3", "-o", out, "--table", table,
        "--summary", summary, "--threads", "2", "--batch", "700",
    )  # fmt: skip
    assert run.returncode == 0, run.stderr
    truth = tag_bench.read_truth(truth_path)
    # Floors under what the barcodes alone allow (the benchmark prints the
    # real margins on larger runs).
    score, alone = tag_bench.score_table(table, truth), tag_bench.baseline(index, truth, 0, 1)
    assert score.right / score.on_list > alone.right / alone.on_list - 0.06, (score, alone)
    assert score.right / score.assigned > alone.right / alone.assigned - 0.015, (score, alone)
    assert score.strand_right >= 0.995 * score.right, score
    assert score.umi_close >= 0.85 * score.right, score

    counts = json.loads(summary.read_text())
    assert counts["reads"] == READS
    rows = list(csv.DictReader(io.StringIO(gzip.decompress(table.read_bytes()).decode()), delimiter="\t"))
    assert set(rows[0]) >= set(
        "read_id segment strand flank_start flank_end flank_edits raw_barcode barcode distance "
        "runner_up ties umi status".split()
    )
    assert sum(counts["status"].values()) == len(rows)
    assert {row["read_id"] for row in rows} == set(truth)
    assert counts["chimeras"] == len({r["read_id"] for r in rows if r["segment"] == "1"})
    assert 0 < counts["chimeras"] < 0.1 * READS

    # Every molecule is written (none assigned-only here), chimeras as one
    # record each, and the tags of assigned ones are those of the table.
    records = fastq_records(out)
    assert len(records) == len(rows)
    per_read = collections.Counter(row["read_id"] for row in rows)
    by_name = {f"{r['read_id']}_{r['segment']}" if per_read[r["read_id"]] > 1 else r["read_id"]: r for r in rows}
    for header, sequence, quality in records:
        name, *tags = header[1:].split("\t")
        row = by_name[name]
        assert len(sequence) == len(quality)
        tag_values = dict(tag.split(":Z:") for tag in tags)
        if row["status"] == "assigned":
            assert tag_values["CB"] == row["barcode"] + "-1"
            assert tag_values["CR"] == row["raw_barcode"]
            assert len(tag_values["CY"]) == len(row["raw_barcode"])
            assert tag_values["UR"] == row["umi"] and len(tag_values["UY"]) == len(row["umi"])
        else:
            assert "CB" not in tag_values
        if row["status"] == "no_flank":
            assert not tags

    # The reads oriented as the mRNA: in a 3' kit the cDNA's far adapter
    # then comes first, reverse-complemented, whichever way the read held it.
    assigned = [seq for header, seq, _ in records if "\tCB:Z:" in header]
    adapter = simulate_reads.reverse_complement(simulate_reads.ADAPTER_3P)
    seeds = [adapter[i : i + 10] for i in (0, 10, 20)]
    assert sum(any(seed in seq[:90] for seed in seeds) for seq in assigned) > 0.8 * len(assigned)

    only = mendseqs_command(
        "tag", reads, "--whitelist", index, "--layout", "10x3v3", "--assigned-only", "--quiet", "-o", where / "a.fq"
    )
    assert only.returncode == 0 and only.stderr == "", only.stderr
    assigned_rows = sum(row["status"] == "assigned" for row in rows)
    assert (where / "a.fq").read_text().count("\n") == 4 * assigned_rows


def write_gz(path, text):
    path.write_bytes(gzip.compress(text.encode()))
    return path


@pytest.mark.parametrize(
    "case",
    [
        "truncated gzip",
        "quality length",
        "unknown layout",
        "wrong barcode length",
        "index max-flex",
        "bad custom layout",
        "overflowing layout",
        "index tolerance past the barcode",
    ],
)
def test_bad_input_is_one_line_and_leaves_nothing(simulated, tmp_path, case):
    _, whitelist, index, reads, _ = simulated
    args = ["--whitelist", index, "--layout", "10x3v3"]
    reads_arg = reads
    expect = ""
    if case == "truncated gzip":
        reads_arg = tmp_path / "cut.fq.gz"
        reads_arg.write_bytes(reads.read_bytes()[:5000])
        expect = "truncated gzip"
    elif case == "quality length":
        reads_arg = write_gz(tmp_path / "bad.fq.gz", "@r1\nACGTACGT\n+\nIIII\n")
        expect = "8 bases but 4 quality values"
    elif case == "unknown layout":
        args[-1] = "10x9v9"
        expect = "unknown layout '10x9v9'"
    elif case == "wrong barcode length":
        short = tmp_path / "short.txt"
        short.write_text("ACGTACGTACGT\nTTTTACGTACGT\n")
        args[1] = short
        expect = "12 letters long, but layout 10x3v3 reads barcodes of 16"
    elif case == "index max-flex":
        args += ["--max-flex", "1"]
        expect = "was built for --max-flex 2, not 1"
    elif case == "bad custom layout":
        args[-1] = "flank=ACGT,barcode=16,umi=x,after=TTTT"
        expect = "umi=x is not a whole number"
    elif case == "overflowing layout":
        args[-1] = "flank=ACGT,barcode=99999999999999999999999,umi=12,after=TTTT"
        expect = "--layout: barcode=99999999999999999999999 is out of range"
    elif case == "index tolerance past the barcode":
        loose = tmp_path / "loose.idx"
        tiny = tmp_path / "tiny.txt"
        tiny.write_text("ACGTACGTACGTACGT\nTTTTACGTACGTACGT\n")
        assert mendseqs_command("index", tiny, "--max-flex", "16", "-o", loose).returncode == 0
        tiny.unlink()
        args[1] = loose
        expect = "built for --max-flex 16, which layout 10x3v3 cannot use"
    outputs = [tmp_path / "out.fq.gz", tmp_path / "table.tsv.gz", tmp_path / "summary.json"]
    run = mendseqs_command(
        "tag", reads_arg, *args, "-o", outputs[0], "--table", outputs[1], "--summary", outputs[2], "--batch", "500"
    )
    assert run.returncode == 1, run
    assert run.stderr.count("\n") == 1 and expect in run.stderr, run.stderr
    assert run.stdout == ""
    assert sorted(p.name for p in tmp_path.iterdir() if p.name.startswith((".", "out", "table", "summary"))) == []
    assert "Traceback" not in run.stderr
