"""The Snakemake workflow scatters the example data over 4 chunk jobs on
2 cores, and gathers byte for byte what one run of the command writes.
Needs snakemake (in the amd64 root only): skipped where it is absent."""

import gzip
import json
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest


ROOT = Path(__file__).resolve().parents[2]
DATA = ROOT / "examples" / "data"
needs_snakemake = pytest.mark.skipif(shutil.which("snakemake") is None, reason="snakemake is not installed here")


def snakemake(directory, *config, cwd=None):
    return subprocess.run(
        [
            "snakemake",
            "-s",
            ROOT / "workflow" / "Snakefile",
            "--cores",
            "2",
            "--directory",
            directory,
            "--config",
            f"python={sys.executable}",
            *config,
        ],
        capture_output=True,
        text=True,
        cwd=cwd,
    )


@needs_snakemake
@pytest.mark.parametrize("output, pick", [("all.tsv", []), ("all.fa.GZ", ["--pick", "nearest", "--margin", "1"])])
def test_scattered_workflow_gathers_what_one_run_gives(tmp_path, output, pick):
    references, queries = DATA / "references.txt", DATA / "queries.fasta"
    whole = tmp_path / "whole" / output
    whole.parent.mkdir()
    subprocess.run(
        [sys.executable, "-m", "mendseqs_cli", "correct", references, queries, "--max-flex", "2", *pick, "-o", whole],
        check=True,
    )
    # Its own working directory: snakemake keeps its state in .snakemake/ there.
    work = tmp_path / "work"
    settings = [f"{option[2:]}={value}" for option, value in zip(pick[::2], pick[1::2], strict=True)]
    run = snakemake(
        work,
        f"references={references}",
        f"queries={queries}",
        "chunks=4",
        "max_flex=2",
        f"output={output}",
        *settings,
    )
    assert run.returncode == 0, run.stderr[-3000:]
    # split, the index built once, 4 chunk jobs, gather, all.
    assert "8 of 8 steps (100%) done" in run.stderr
    assert (work / output).read_bytes() == whole.read_bytes()
    if output.endswith(".GZ"):
        assert gzip.decompress(whole.read_bytes()).count(b"\n>") == 1999
    # The chunks were temporary; each chunk job wrote its summary to its log.
    assert not list((work / "chunks").glob("*.seq"))
    logs = sorted((work / "logs" / "correct").iterdir())
    assert [re.findall(r"^reads: (\d+),", p.read_text(), re.M) for p in logs] == [["500"]] * 4
    assert (work / "index" / "references.msqidx").read_bytes()[:8] == b"\x89MSQIDX\n"


# Checked by the Snakefile's Settings before Snakemake plans any job (the
# test below shows a refusal stopping Snakemake itself): here directly.
@pytest.mark.parametrize(
    "config, message",
    [
        ({"chunks": 0}, "chunks=0: must be at least 1"),
        ({"chunks": -2}, "chunks=-2: must be at least 1"),
        ({"chunks": "two"}, "chunks=two: not a whole number"),
        ({"index": "maybe"}, "index=maybe: expected true, false or auto"),
        ({"colour": "red"}, "colour=red: no such setting"),
        ({"pick": "best"}, "pick=best: expected first or nearest"),
        ({"margin": 1}, "margin=1: applies only with pick=nearest"),
        ({"pick": "nearest", "margin": -1}, "margin=-1: must be at least 0"),
        ({"max_flex": 1, "references": "SAVED"}, "max_flex=1: SAVED was built for max_flex 2"),
    ],
)
def test_bad_settings_are_refused_before_any_job(tmp_path, config, message):
    sys.path.insert(0, str(ROOT / "workflow" / "scripts"))
    try:
        from settings import Settings
    finally:
        sys.path.pop(0)
    given = {"references": str(DATA / "references.txt"), "queries": str(DATA / "queries.fasta")}
    given |= {"python": sys.executable, **config}
    if given["references"] == "SAVED":  # a saved index brings its own tolerance
        saved = tmp_path / "refs.msqidx"
        command = [sys.executable, "-m", "mendseqs_cli", "index", DATA / "references.txt", "--max-flex", "2"]
        subprocess.run([*command, "-o", saved], check=True, capture_output=True)
        given["references"], message = str(saved), message.replace("SAVED", str(saved))
    with pytest.raises(ValueError) as refused:
        Settings(given, str(tmp_path))
    assert message in str(refused.value)


@needs_snakemake
def test_relative_paths_are_read_from_the_working_directory(tmp_path):
    # Relative to --directory, as Snakemake reads every path: the message
    # says so, where it once reported a rule's missing input.
    (tmp_path / "run1").mkdir()
    shutil.copy(DATA / "references.txt", tmp_path / "refs.txt")
    shutil.copy(DATA / "queries.fasta", tmp_path / "run1" / "reads.fa")
    run = snakemake("run1", "references=refs.txt", "queries=reads.fa", cwd=tmp_path)
    assert run.returncode != 0
    assert "references=refs.txt: no such file in " in run.stderr and "give absolute paths" in run.stderr
    run = snakemake("run1", f"references={tmp_path / 'refs.txt'}", "queries=reads.fa", cwd=tmp_path)
    assert run.returncode == 0, run.stderr[-3000:]
    assert len((tmp_path / "run1" / "corrected.tsv").read_text().splitlines()) == 2000


@needs_snakemake
@pytest.mark.parametrize("kind, output, cells", [("fastq", "tagged.fq.gz", "auto"), ("bam", "tagged.bam", "list")])
def test_tag_target_gathers_what_one_run_gives(tmp_path, kind, output, cells):
    pysam = pytest.importorskip("pysam", reason="python3-pysam is not installed here")
    sys.path.insert(0, str(ROOT / "bench"))
    import simulate_reads
    import tag_bench

    whitelist = tmp_path / "whitelist.txt"
    whitelist.write_text("\n".join(tag_bench.random_whitelist(20_000, 7)) + "\n")
    reads, truth = tmp_path / "reads.fq.gz", tmp_path / "truth.tsv.gz"
    simulate_reads.main([str(whitelist), "-n", "2000", "-o", str(reads), "--truth", str(truth), "--cells", "60"])
    if kind == "bam":
        reads = tag_bench.as_bam(reads)
    cell_option = "auto"
    if cells == "list":
        cell_option = tmp_path / "barcodes.tsv"
        cell_option.write_text("".join(f"{c}-1\n" for c in tag_bench.true_cells(whitelist, 1, 60)))
    whole = tmp_path / "whole"
    whole.mkdir()
    names = {"output": output, "table": "reads.tsv.gz", "counts": "counts.tsv.gz", "summary": "summary.json"}
    one = subprocess.run(
        [
            sys.executable, "-m", "mendseqs_cli", "tag", reads, "--whitelist", whitelist, "--layout", "10x3v3",
            "--cells", cell_option, "-o", whole / output, "--table", whole / names["table"],
            "--counts", whole / names["counts"], "--summary", whole / names["summary"],
            "--called-cells", whole / "called.txt", "--quiet",
        ],
        capture_output=True, text=True,
    )  # fmt: skip
    assert one.returncode == 0, one.stderr
    work = tmp_path / "work"
    run = snakemake(
        work, f"whitelist={whitelist}", f"reads={reads}", "layout=10x3v3", f"cells={cell_option}", "chunks=4",
        f"output={output}", "plot=knee.png",
    )  # fmt: skip
    assert run.returncode == 0, run.stderr[-3000:]
    # The table and the counts line for line, the reads record for record
    # (compressed in other pieces, the same text compresses to other bytes).
    for name in (names["table"], names["counts"]):
        assert gzip.decompress((work / name).read_bytes()) == gzip.decompress((whole / name).read_bytes()), name
    if kind == "bam":

        def records(path):
            with pysam.AlignmentFile(str(path), check_sq=False) as alignments:
                return [r.to_string() for r in alignments.fetch(until_eof=True)]

        assert records(work / output) == records(whole / output)
    else:
        assert gzip.decompress((work / output).read_bytes()) == gzip.decompress((whole / output).read_bytes())
    summaries = [json.loads((where / names["summary"]).read_text()) for where in (work, whole)]
    for summary in summaries:
        del summary["seconds"], summary["tagging_seconds"], summary["reads_per_second"]
    assert summaries[0] == summaries[1]
    if cells == "auto":
        assert (work / "cells" / "called.txt").read_text() == (whole / "called.txt").read_text()
        assert summaries[0]["cells"]["source"] == "auto"
        # Every chunk was counted, then tagged against the cells called once.
        assert len(list((work / "logs" / "exact_hits").iterdir())) == 4
    assert len(list((work / "logs" / "tag").iterdir())) == 4
    assert (work / "knee.png").read_bytes()[:4] == b"\x89PNG"
    assert not list((work / "chunks").glob("*"))  # temporary


@pytest.mark.parametrize(
    "config, message",
    [
        ({"max_flex": 16}, "max_flex=16: must be at most 15"),
        ({"max_flex": 99}, "max_flex=99: must be at most 15"),
        ({"layout": "flank=ACGT,barcode=99999999999999999999999,umi=12,after=TTTT"}, "barcode=9999"),
        ({"layout": "10x9v9"}, "layout=10x9v9: unknown layout"),
        ({"chunks": 0}, "chunks=0: must be at least 1"),
        ({"colour": "red"}, "colour=red: no such setting for tag"),
        ({"expect_cells": 100}, "expect_cells=100: applies only with cells=auto"),
        ({"cells": "auto", "expect_cells": 0}, "expect_cells=0: must be at least 1"),
    ],
)
def test_bad_tag_settings_are_refused_before_any_job(tmp_path, config, message):
    sys.path.insert(0, str(ROOT / "workflow" / "scripts"))
    try:
        from tag_settings import TagSettings
    finally:
        sys.path.pop(0)
    (tmp_path / "whitelist.txt").write_text("ACGTACGTACGTACGT\n")
    (tmp_path / "reads.fq").write_text("")
    given = {"whitelist": str(tmp_path / "whitelist.txt"), "reads": str(tmp_path / "reads.fq"), "layout": "10x3v3"}
    with pytest.raises(ValueError) as refused:
        TagSettings({**given, "python": sys.executable, **config}, str(tmp_path))
    assert message in str(refused.value)
