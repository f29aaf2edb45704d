"""`mendseqs tag` in a single-cell pipeline: unaligned BAM in and out with
the reads' own tags, a cell list given or called from the reads, the
per-barcode counts and the knee plot, and their bad inputs."""

import collections
import csv
import gzip
import importlib.util
import io
import json
import math
import random
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "bench"))
import simulate_reads  # noqa: E402
import tag_bench  # noqa: E402

try:
    import pysam
except ImportError:  # the cell lists need no pysam, BAM does
    pysam = None
needs_pysam = pytest.mark.skipif(pysam is None, reason="python3-pysam is not installed here")

COMMAND = [sys.executable, "-m", "mendseqs_cli"]
HAVE_MATPLOTLIB = importlib.util.find_spec("matplotlib") is not None
CELLS = 100


def mendseqs_command(*args, **options):
    return subprocess.run([*COMMAND, *map(str, args)], capture_output=True, **options)


@pytest.fixture(scope="module")
def simulated(tmp_path_factory):
    """A 20,000-barcode whitelist and its k=2 index; 6,000 reads at 5%
    errors from 100 cells, with their truth and the true cells."""
    where = tmp_path_factory.mktemp("cells")
    whitelist = where / "whitelist.txt"
    whitelist.write_text("\n".join(tag_bench.random_whitelist(20_000, 7)) + "\n")
    index = where / "whitelist.idx"
    built = mendseqs_command("index", whitelist, "--max-flex", "2", "--threads", "2", "-o", index)
    assert built.returncode == 0, built.stderr
    reads, truth = where / "reads.fq.gz", where / "truth.tsv.gz"
    simulate_reads.main([str(whitelist), "-n", "6000", "-o", str(reads), "--truth", str(truth), "--cells", str(CELLS)])
    cells = tag_bench.true_cells(whitelist, 1, CELLS)
    return where, index, reads, tag_bench.read_truth(truth), cells


def table_rows(path):
    text = gzip.decompress(path.read_bytes()).decode() if path.suffix == ".gz" else path.read_text()
    return list(csv.DictReader(io.StringIO(text), delimiter="\t"))


def fastq_tags(path):
    """{record name: {tag: value}} of a tagged FASTQ."""
    with gzip.open(path, "rt") as lines:
        text = lines.read().split("\n")
    out = {}
    for header in text[0::4]:
        if header:
            name, *tags = header[1:].split("\t")
            out[name] = dict((t[:2], t[5:]) for t in tags)
    return out


def modified(read):
    """MM/ML calling every C (ML = its position mod 256, so that a call
    moved anywhere says where it came from) and every third A."""
    cs = [i for i, base in enumerate(read) if base == "C"]
    as_ = [i for i, base in enumerate(read) if base == "A"][::3]
    mm = "MM:Z:C+m?" + ",0" * len(cs) + ";A+a." + "".join(",0" if n == 0 else ",2" for n in range(len(as_))) + ";"
    return mm, [i % 256 for i in cs] + [(i + 7) % 256 for i in as_]


def write_bam(path, records, sam=False):
    """Unaligned records as a basecaller writes them: a read group, a
    parent id, base modifications; one stored reverse-complemented (flag
    16, MM still counting along the read as sequenced) and one secondary
    copy that a reader must skip."""
    header = {
        "HD": {"VN": "1.6", "SO": "unknown"},
        "RG": [{"ID": "run1", "SM": "sample"}],
        "PG": [{"ID": "basecaller", "PN": "basecaller", "VN": "1"}],
    }
    with pysam.AlignmentFile(str(path), "w" if sam else "wb", header=header) as out:
        for number, (name, sequence, quality) in enumerate(records):
            mm, ml = modified(sequence)
            record = pysam.AlignedSegment(out.header)
            record.query_name = name
            record.flag = 4 | (16 if number == 3 else 0)
            stored = simulate_reads.reverse_complement(sequence) if number == 3 else sequence
            record.query_sequence = stored
            record.query_qualities = pysam.qualitystring_to_array(quality[::-1] if number == 3 else quality)
            record.set_tags([("RG", "run1"), ("pi", f"parent{number}"), ("MN", len(sequence))])
            tags = "\t".join([mm, "ML:B:C," + ",".join(map(str, ml))]) if ml else mm
            record = pysam.AlignedSegment.fromstring(record.to_string() + "\t" + tags, out.header)
            out.write(record)
            if number == 5:
                record.flag = 4 | 256
                out.write(record)


def check_modifications(read, record):
    """Every call of the trimmed record points at the base it was made on
    in the read, and none of the slice's calls is lost."""
    sequence = record.query_sequence
    start = read.find(sequence)
    reverse = start < 0
    if reverse:
        start = read.find(simulate_reads.reverse_complement(sequence))
    assert start >= 0
    end = start + len(sequence)
    calls = record.modified_bases
    c_key = ("G", 1, "m") if reverse else ("C", 0, "m")
    got = calls.get(c_key, [])
    # Every C of the slice was called.
    assert len(got) == read[start:end].count("C")
    for position, quality in got:
        original = end - 1 - position if reverse else start + position
        assert read[original] == "C" and quality == original % 256
    a_key = ("T", 1, "a") if reverse else ("A", 0, "a")
    for position, quality in calls.get(a_key, []):
        original = end - 1 - position if reverse else start + position
        assert read[original] == "A" and quality == (original + 7) % 256
    assert record.get_tag("MN") == len(sequence)


@needs_pysam
def test_bam_round_trip_keeps_each_records_own_tags(simulated, tmp_path):
    where, index, reads, _, _ = simulated
    records = tag_bench_records(reads, 300)
    bam, sam = tmp_path / "in.bam", tmp_path / "in.sam"
    write_bam(bam, records)
    write_bam(sam, records, sam=True)
    fastq = tmp_path / "in.fq.gz"
    with gzip.open(fastq, "wt") as out:
        out.writelines(f"@{n}\n{s}\n+\n{q}\n" for n, s, q in records)
    base = ["--whitelist", index, "--layout", "10x3v3", "--threads", "2"]
    runs = {}
    for name, source in (("bam", bam), ("sam", sam), ("fastq", fastq)):
        suffix = "fq.gz" if name == "fastq" else "bam"
        run = mendseqs_command(
            "tag", source, *base, "-o", tmp_path / f"{name}.{suffix}", "--table", tmp_path / f"{name}.tsv"
        )
        assert run.returncode == 0, run.stderr
        runs[name] = table_rows(tmp_path / f"{name}.tsv")
    # The same reads, whichever way they come in (the secondary copy skipped,
    # the reversed one turned back).
    assert runs["bam"] == runs["sam"] == runs["fastq"]
    piped = subprocess.run(
        f"cat {bam} | {sys.executable} -m mendseqs_cli tag - --whitelist {index} --layout 10x3v3 --table {tmp_path / 'pipe.tsv'} -o {tmp_path / 'pipe.bam'}",
        shell=True,
        capture_output=True,
    )
    assert piped.returncode == 0, piped.stderr
    assert table_rows(tmp_path / "pipe.tsv") == runs["bam"]

    with pysam.AlignmentFile(str(tmp_path / "bam.bam"), check_sq=False) as out:
        header = out.header.to_dict()
        written = list(out.fetch(until_eof=True))
    assert header["RG"] == [{"ID": "run1", "SM": "sample"}] and not header.get("SQ")
    assert header["PG"][-1]["PN"] == "mendseqs" and header["PG"][-1]["PP"] == "basecaller"
    # One record per molecule, tagged as the FASTQ is, with segment and strand.
    assert len(written) == len(runs["bam"])
    expected = fastq_tags(tmp_path / "fastq.fq.gz")
    by_read = collections.Counter(row["read_id"] for row in runs["bam"])
    rows = {f"{r['read_id']}_{r['segment']}" if by_read[r["read_id"]] > 1 else r["read_id"]: r for r in runs["bam"]}
    originals = {name: sequence for name, sequence, _ in records}
    checked = 0
    for record in written:
        tags = dict(record.get_tags())
        row = rows[record.query_name]
        assert record.flag == 4
        for tag, value in expected[record.query_name].items():
            assert str(tags[tag]) == value, (tag, record.query_name)
        assert tags["sg"] == int(row["segment"])
        assert tags.get("sr", "") == row["strand"]
        number = int(row["read_id"].removeprefix("read"))
        assert tags["RG"] == "run1" and tags["pi"] == f"parent{number}"
        if record.query_sequence:
            check_modifications(originals[row["read_id"]], record)
            checked += 1
    assert checked > 250


def tag_bench_records(reads, count):
    with gzip.open(reads, "rt") as lines:
        text = lines.read().split("\n")
    return [(text[i][1:], text[i + 1], text[i + 3]) for i in range(0, 4 * count, 4)]


def test_given_cells_with_cell_ranger_suffixes(simulated, tmp_path):
    where, index, reads, truth, cells = simulated
    listed = tmp_path / "barcodes.tsv.gz"
    # Cell Ranger's form: -1 suffixes, gzip; a repeat counts once.
    listed.write_bytes(gzip.compress("".join(f"{c}-1\n" for c in [*cells, cells[0]]).encode()))
    out = {name: tmp_path / name for name in ("t.fq.gz", "t.tsv.gz", "counts.tsv.gz", "s.json", "cells.txt")}
    run = mendseqs_command(
        "tag", reads, "--whitelist", index, "--layout", "10x3v3", "--cells", listed, "-o", out["t.fq.gz"],
        "--table", out["t.tsv.gz"], "--counts", out["counts.tsv.gz"], "--summary", out["s.json"],
        "--called-cells", out["cells.txt"],
    )  # fmt: skip
    assert run.returncode == 0, run.stderr
    rows = table_rows(out["t.tsv.gz"])
    assert out["cells.txt"].read_text().split() == cells
    in_cells = [r for r in rows if r["cell"] == "yes"]
    outside = [r for r in rows if r["cell"] == "no"]
    assert {r["barcode"] for r in in_cells} <= set(cells)
    assert all(r["status"] == "assigned" and r["barcode"] not in cells for r in outside)
    assert all(r["cell"] == "" for r in rows if r["status"] != "assigned")
    # The list lifts recall of the cells' molecules over the whole list alone.
    alone = tmp_path / "alone.tsv.gz"
    run = mendseqs_command(
        "tag", reads, "--whitelist", index, "--layout", "10x3v3", "-o", tmp_path / "a.fq", "--table", alone
    )
    assert run.returncode == 0, run.stderr
    scored = tag_bench.score_cells(out["t.tsv.gz"], truth)
    assert scored.in_cells_right >= 0.995 * scored.in_cells
    assert scored.own_cell >= 0.9 * scored.true_cell_molecules
    assert scored.own_cell > sum(r["status"] == "assigned" for r in table_rows(alone)) * 0.8

    # The FASTQ says cc:A:Y or N as the table says yes or no.
    tags = fastq_tags(out["t.fq.gz"])
    per_read = collections.Counter(r["read_id"] for r in rows)
    for row in rows:
        name = f"{row['read_id']}_{row['segment']}" if per_read[row["read_id"]] > 1 else row["read_id"]
        assert tags[name].get("cc") == {"yes": "Y", "no": "N", "": None}[row["cell"]]

    # Counts: every cell (some may have no read), every assigned barcode.
    counts = table_rows(out["counts.tsv.gz"])
    assert {c["barcode"] for c in counts if c["called"] == "yes"} == set(cells)
    assigned = [r for r in rows if r["status"] == "assigned"]
    assert sum(int(c["molecules"]) for c in counts) == len(assigned)
    per_barcode = collections.defaultdict(set)
    for r in assigned:
        per_barcode[r["barcode"]].add(r["umi"])
    assert {c["barcode"]: int(c["umis"]) for c in counts if int(c["molecules"])} == {
        b: len(u - {""}) for b, u in per_barcode.items()
    }
    figures = json.loads(out["s.json"].read_text())["cells"]
    assert figures["source"] == "list" and figures["cells"] == CELLS
    assert figures["reads_in_cells"] == len({r["read_id"] for r in in_cells})
    assert figures["molecules_in_cells"] == len(in_cells)


def test_auto_calls_the_cells_and_reads_stdin_once(simulated, tmp_path):
    where, index, reads, truth, cells = simulated
    names = ("t.fq.gz", "t.tsv.gz", "counts.tsv.gz", "s.json", "called.txt", "knee.png")
    runs = []
    for label, source, stdin in (("file", reads, None), ("stdin", "-", reads)):
        out = tmp_path / label
        out.mkdir()
        with open(stdin, "rb") if stdin else open("/dev/null", "rb") as given:
            run = mendseqs_command(
                "tag", source, "--whitelist", index, "--layout", "10x3v3", "--cells", "auto", "--batch", "700",
                "-o", out / names[0], "--table", out / names[1], "--counts", out / names[2], "--summary", out / names[3],
                "--called-cells", out / names[4], *(["--plot", out / names[5]] if HAVE_MATPLOTLIB else []), stdin=given,
            )  # fmt: skip
        assert run.returncode == 0, run.stderr
        runs.append(out)
    called = runs[0].joinpath("called.txt").read_text().split()
    seen = {row["barcode"] for rows in truth.values() for row in rows if row["kind"] == "cell"}
    # Within 15% of the cells seen in the reads, nearly all of them true.
    assert abs(len(called) - len(seen)) <= 0.15 * len(seen), (len(called), len(seen))
    assert len(set(called) & set(cells)) >= 0.97 * len(called)
    figures = json.loads(runs[0].joinpath("s.json").read_text())["cells"]
    assert figures["source"] == "auto" and figures["cells"] == len(called) and figures["rule"] == "valley"
    assert figures["share_of_reads_in_cells"] > 0.7
    # Piped in, the reads are spooled for the second pass: the same results.
    for name in names[:3] + names[4:5]:
        assert runs[0].joinpath(name).read_bytes() == runs[1].joinpath(name).read_bytes(), name
    if HAVE_MATPLOTLIB:  # (not in the armhf root)
        assert runs[0].joinpath("knee.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def write_gz(path, text):
    path.write_bytes(gzip.compress(text.encode()))
    return path


@pytest.mark.parametrize(
    "case",
    [
        pytest.param("truncated BAM", marks=needs_pysam),
        "empty cell list",
        "cell not on the whitelist",
        "not a barcode",
        "plot without matplotlib",
        "expected cells without auto",
    ],
)
def test_bad_input_is_one_line_and_leaves_nothing(simulated, tmp_path, case):
    _, index, reads, _, cells = simulated
    source, args, code = reads, ["--whitelist", index, "--layout", "10x3v3"], None
    if case == "truncated BAM":
        whole = tmp_path / "whole.bam"
        write_bam(whole, tag_bench_records(reads, 400))
        source = tmp_path / "cut.bam"
        source.write_bytes(whole.read_bytes()[: whole.stat().st_size // 2])
        expect = "cut.bam: truncated or damaged BAM"
    elif case == "empty cell list":
        args += ["--cells", write_gz(tmp_path / "barcodes.tsv.gz", "\n")]
        expect = "barcodes.tsv.gz: no cells"
    elif case == "cell not on the whitelist":
        args += ["--cells", write_gz(tmp_path / "barcodes.tsv.gz", f"{cells[0]}-1\nACGTACGTACGTACGT-1\n")]
        expect = "cell 2, ACGTACGTACGTACGT, is not on the whitelist"
    elif case == "not a barcode":
        args += ["--cells", write_gz(tmp_path / "barcodes.tsv.gz", f"{cells[0]}-1\n{cells[1]}-2\n")]
        expect = "entry 2 ('" + cells[1] + "-2') is not a cell barcode of 16 letters"
    elif case == "expected cells without auto":
        args += ["--cells", write_gz(tmp_path / "barcodes.tsv.gz", f"{cells[0]}\n"), "--expect-cells", "10"]
        expect = "--expect-cells needs --cells auto"
    else:
        # A child interpreter in which matplotlib cannot be imported.
        code = "import sys; sys.modules['matplotlib'] = None; from mendseqs_cli import main; sys.exit(main())"
        expect = "--plot needs matplotlib, which cannot be imported here"
    outputs = [tmp_path / "out.bam", tmp_path / "table.tsv.gz", tmp_path / "counts.tsv.gz", tmp_path / "knee.png"]
    argv = ["tag", source, *args, "-o", outputs[0], "--table", outputs[1], "--counts", outputs[2]]
    # Where matplotlib is missing (the 32-bit ARM root), --plot is refused
    # before any input is read, which would hide the other cases' errors.
    if HAVE_MATPLOTLIB or code is not None:
        argv += ["--plot", outputs[3]]
    if code is None:
        run = mendseqs_command(*argv, text=True)
    else:
        run = subprocess.run([sys.executable, "-c", code, *map(str, argv)], capture_output=True, text=True)
    assert run.returncode == 1, run
    assert run.stderr.count("\n") == 1 and expect in run.stderr, run.stderr
    assert not [p for p in tmp_path.iterdir() if p.name.startswith((".", "out", "table", "counts", "knee"))]


def test_matplotlib_absent_is_not_needed_without_plot():
    # Asking for no plot never imports it (the command stays usable on a
    # machine without it).
    code = (
        "import sys; sys.modules['matplotlib'] = None\n"
        "import mendseqs_cli.tag, mendseqs_cli.cell_outputs, mendseqs_cli.knee\n"
        "print('matplotlib' in sys.modules and sys.modules['matplotlib'] is not None)"
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert run.returncode == 0 and run.stdout.strip() == "False", run


@pytest.mark.parametrize("strand", ["+", "-"])
def test_a_barcode_window_read_off_by_letters_is_read_again_both_ways_with_its_umi(strand):
    from mendseqs_cli import cells, molecules
    from mendseqs_cli.calls import ModuleCalls

    barcode, umi = "ACGTTGCAACGGTTCA", "TTTACGCATGCA"
    misread = barcode[:8] + "T" + barcode[9:]  # one substitution
    left, right = "GGGGGCTCTTCCGATCT", umi + "T" * 20 + "GCATCG"
    read = left + misread + right
    start = len(left)
    # The window the engine read: two letters late, too far from any cell
    # for the cells' own search (the misread letter besides); the UMI read
    # right after it.
    if strand == "+":
        window, umi_span = (start + 2, start + 18), (start + 18, start + 30)
    else:
        read = simulate_reads.reverse_complement(read)
        start = len(right)
        window, umi_span = (start - 2, start + 14), (start - 14, start - 2)
    raw = read[window[0] : window[1]]
    read_umi = read[umi_span[0] : umi_span[1]]
    if strand == "-":
        raw, read_umi = simulate_reads.reverse_complement(raw), simulate_reads.reverse_complement(read_umi)
    fields = dict.fromkeys(molecules.FIELDS)
    fields |= {"segment": 0, "strand": strand, "flank_edits": 0, "barcode": "", "ties": 0, "status": "no_match"}
    fields |= {"barcode_start": window[0], "barcode_end": window[1], "raw_barcode": raw, "insert_end": len(read)}
    fields |= {"umi_start": umi_span[0], "umi_end": umi_span[1], "umi": read_umi, "insert_start": 0}
    m = molecules.SpooledMolecule(**fields)
    readings = cells._readings(read, m)
    assert (misread, start, start + 16) in readings
    assert all(len(text) in (15, 16, 17) for text, _, _ in readings)
    assert (window[0], window[1]) not in [(s, e) for _, s, e in readings]
    calls = ModuleCalls()
    try:
        assigner = cells.CellAssigner([barcode, "TTTTGGGGCCCCAAAA"], 2, 0, 1, calls)
        ((rescued,),) = assigner.assign([(m,)], [read])
    finally:
        calls.close()
    assert (rescued.barcode, rescued.status, rescued.cell) == (barcode, "assigned", cells.IN_CELL)
    assert (rescued.barcode_start, rescued.barcode_end, rescued.raw_barcode) == (start, start + 16, misread)
    # The UMI comes from beside the barcode as assigned, not as first read.
    assert rescued.umi == umi, rescued
    assert (rescued.umi_end - rescued.umi_start) == len(umi)


def shallow_and_deep_counts(reads_per_cell, seed=1):
    """Exact hits per barcode: 2,000 cells around `reads_per_cell` (log-normal
    means, Poisson draws), 20,000 background barcodes of 1 to 3."""
    rng = random.Random(seed)
    exact = {}
    for cell in range(2000):
        mean, drawn, level = reads_per_cell * math.exp(rng.gauss(0, 0.5)), 0, rng.random()
        limit = math.exp(-mean)
        while level >= limit:
            level *= rng.random()
            drawn += 1
        if drawn:
            exact[f"cell{cell:04}"] = drawn
    for barcode in range(20000):
        exact[f"back{barcode:05}"] = 1 + (rng.random() < 0.15) + (rng.random() < 0.03)
    return exact


def test_the_valley_warns_when_unclear_and_expected_cells_take_the_top():
    from mendseqs_cli.knee import call_cells

    deep = call_cells(shallow_and_deep_counts(20))
    assert deep.warning is None and deep.rule == "valley"
    assert len(deep.cells) > 1900 and all(b.startswith("cell") for b in deep.cells)
    shallow = shallow_and_deep_counts(5)
    valley = call_cells(shallow)
    assert valley.warning is not None and "--expect-cells" in valley.warning
    expected = call_cells(shallow, 2000)
    assert (len(expected.cells), expected.rule, expected.warning) == (2000, "expected", None)
    assert sum(b.startswith("cell") for b in expected.cells) > 1500
    # The top by exact hits, ties in alphabetical order.
    assert expected.cells == sorted(shallow, key=lambda b: (-shallow[b], b))[:2000]


SLOW_PLOT = """
import sys, time
from mendseqs_cli import knee, main
draw = knee.draw
def slow(*args):
    time.sleep(1.5)
    draw(*args)
knee.draw = slow
sys.exit(main())
"""


@pytest.mark.skipif(not HAVE_MATPLOTLIB, reason="matplotlib is not installed here")
def test_the_rate_is_the_tagging_s_and_the_whole_run_is_timed_apart(simulated, tmp_path):
    _, index, reads, _, _ = simulated
    summary = tmp_path / "s.json"
    argv = ["tag", reads, "--whitelist", index, "--layout", "10x3v3", "-o", tmp_path / "t.fq.gz"]
    argv += ["--plot", tmp_path / "knee.png", "--summary", summary, "--quiet"]
    run = subprocess.run([sys.executable, "-c", SLOW_PLOT, *map(str, argv)], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    figures = json.loads(summary.read_text())
    # Drawing the plot (slowed here) is the run's time, not the tagging's.
    assert figures["tagging_seconds"] + 1.4 < figures["seconds"]
    assert figures["reads_per_second"] == pytest.approx(figures["reads"] / figures["tagging_seconds"], rel=0.01)


def test_a_read_s_own_tags_are_parsed_once_for_all_its_molecules(monkeypatch):
    import re

    import mendseqs
    from mendseqs_cli import modifications, molecules
    from mendseqs_cli.records import Batch
    from mendseqs_cli.tag_format import Formatter
    from mendseqs_cli.tag_summary import Totals

    read = "ACGTC" * 400
    own = "MM:Z:C+m,0,3,5;\tML:B:C," + ",".join(["200"] * 3)
    blank = molecules.SpooledMolecule(**dict.fromkeys(molecules.FIELDS))
    fields = {"strand": "+", "ties": 0, "status": "no_flank", "raw_barcode": "", "barcode": "", "umi": ""}
    many = [blank._replace(**fields, segment=n, insert_start=10 * n, insert_end=10 * n + 10) for n in range(100)]
    scans = []
    finditer = re.finditer
    monkeypatch.setattr(modifications.re, "finditer", lambda *args: scans.append(args) or finditer(*args))
    formatter = Formatter(mendseqs.Layout.preset("10x3v3"), fastq=False, assigned_only=False)
    records, _ = formatter.batch(Batch(["r"], [read], None, [own]), [tuple(many)], Totals())
    # Each molecule's record carries the calls in its slice, found by one
    # scan of the read (not one per molecule: quadratic in long chimeras).
    assert len(scans) == 1
    assert records.count("MM:Z:C+m") == 100 and "MM:Z:C+m,0;\tML:B:C,200" in records
