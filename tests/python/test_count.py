"""`mendseqs count`: gene and isoform rules on hand-built alignments, UMI
clustering against an all-pairs reference, the outputs read back by the
libraries users load them with, and bad input."""

import gzip
import json
import random
import subprocess
import sys

import pytest

from mendseqs_cli import umis
from mendseqs_cli.annotation import read_annotation
from mendseqs_cli.assign import Assigner, Rules
from oracle import lcs_length

pysam = pytest.importorskip("pysam")

COMMAND = [sys.executable, "-m", "mendseqs_cli", "count"]

# Gene A (+) with four isoforms: A.1 all three exons, A.2 skipping the
# second, A.3 an alternative 3' end (the second exon run on), A.4 the
# second intron retained. B (-) two exons. C and D (+) overlap each other.
# E (-): E.2 skips E.1's middle exon.
GTF = """\
#!comment
chr1\tt\tgene\t1001\t3500\t.\t+\t.\tgene_id "A"; gene_name "Alpha";
chr1\tt\texon\t1001\t1200\t.\t+\t.\tgene_id "A"; transcript_id "A.1"; gene_name "Alpha";
chr1\tt\texon\t2001\t2200\t.\t+\t.\tgene_id "A"; transcript_id "A.1"; gene_name "Alpha";
chr1\tt\texon\t3001\t3500\t.\t+\t.\tgene_id "A"; transcript_id "A.1"; gene_name "Alpha";
chr1\tt\texon\t1001\t1200\t.\t+\t.\tgene_id "A"; transcript_id "A.2"; gene_name "Alpha";
chr1\tt\texon\t3001\t3500\t.\t+\t.\tgene_id "A"; transcript_id "A.2"; gene_name "Alpha";
chr1\tt\texon\t1001\t1200\t.\t+\t.\tgene_id "A"; transcript_id "A.3"; gene_name "Alpha";
chr1\tt\texon\t2001\t2600\t.\t+\t.\tgene_id "A"; transcript_id "A.3"; gene_name "Alpha";
chr1\tt\texon\t1001\t1200\t.\t+\t.\tgene_id "A"; transcript_id "A.4"; gene_name "Alpha";
chr1\tt\texon\t2001\t3500\t.\t+\t.\tgene_id "A"; transcript_id "A.4"; gene_name "Alpha";
chr1\tt\texon\t5001\t5400\t.\t-\t.\tgene_id "B"; transcript_id "B.1"; gene_name "Beta";
chr1\tt\texon\t6001\t6200\t.\t-\t.\tgene_id "B"; transcript_id "B.1"; gene_name "Beta";
chr1\tt\texon\t7001\t7600\t.\t+\t.\tgene_id "C"; transcript_id "C.1"; gene_name "Gamma";
chr1\tt\texon\t7101\t7700\t.\t+\t.\tgene_id "D"; transcript_id "D.1"; gene_name "Delta";
chr1\tt\texon\t8001\t8200\t.\t-\t.\tgene_id "E"; transcript_id "E.1"; gene_name "Epsilon";
chr1\tt\texon\t8501\t8700\t.\t-\t.\tgene_id "E"; transcript_id "E.1"; gene_name "Epsilon";
chr1\tt\texon\t9001\t9300\t.\t-\t.\tgene_id "E"; transcript_id "E.1"; gene_name "Epsilon";
chr1\tt\texon\t8001\t8200\t.\t-\t.\tgene_id "E"; transcript_id "E.2"; gene_name "Epsilon";
chr1\tt\texon\t9001\t9300\t.\t-\t.\tgene_id "E"; transcript_id "E.2"; gene_name "Epsilon";
"""

# (name, strand, CIGAR-like spans: (start, end) aligned, joined by introns), gene status, gene, isoform status, isoform
CASES = [
    ("full A.1", "+", [(1000, 1200), (2000, 2200), (3000, 3500)], "assigned", "A", "assigned", "A.1"),
    ("A.1 cut at 5'", "+", [(2050, 2200), (3000, 3500)], "assigned", "A", "assigned", "A.1"),
    ("last exon only", "+", [(3100, 3500)], "assigned", "A", "ambiguous", None),
    ("skipped exon", "+", [(1000, 1200), (3000, 3500)], "assigned", "A", "assigned", "A.2"),
    ("alternative 3' end", "+", [(1000, 1200), (2000, 2600)], "assigned", "A", "assigned", "A.3"),
    ("retained intron", "+", [(1000, 1200), (2000, 3500)], "assigned", "A", "assigned", "A.4"),
    ("novel junction", "+", [(1000, 1200), (2600, 3500)], "assigned", "A", "novel", None),
    ("past the 3' end", "+", [(1000, 1200), (2000, 2200), (3000, 3700)], "assigned", "A", "incompatible", None),
    ("minus strand", "-", [(5000, 5400), (6000, 6200)], "assigned", "B", "assigned", "B.1"),
    (
        "minus, more junctions than E.2",
        "-",
        [(8000, 8200), (8500, 8700), (9000, 9300)],
        "assigned",
        "E",
        "assigned",
        "E.1",
    ),
    ("minus, cut at 5'", "-", [(8000, 8200), (9000, 9150)], "assigned", "E", "assigned", "E.2"),
    ("antisense", "-", [(1000, 1200), (2000, 2200)], "antisense", None, None, None),
    ("intronic", "+", [(1300, 1900)], "intronic", None, None, None),
    ("intergenic", "+", [(20000, 20500)], "intergenic", None, None, None),
    ("two genes", "+", [(7100, 7600)], "ambiguous", None, None, None),
]


@pytest.fixture(scope="module")
def annotation(tmp_path_factory):
    path = tmp_path_factory.mktemp("gtf") / "genes.gtf.gz"
    with gzip.open(path, "wt") as out:
        out.write(GTF)
    return read_annotation(str(path))


@pytest.mark.parametrize("case", CASES, ids=[c[0] for c in CASES])
def test_rules_on_hand_built_alignments(annotation, case):
    _, strand, spans, gene_status, gene, tx_status, tx = case
    assigner = Assigner(annotation, Rules())
    status, g = assigner.gene("chr1", strand, spans)
    assert (status, annotation.genes[g].id if g >= 0 else None) == (gene_status, gene)
    if g >= 0:
        junctions = [(a[1], b[0]) for a, b in zip(spans, spans[1:], strict=False)]
        t_status, t = assigner.transcript(g, strand, spans, junctions)
        assert (t_status, annotation.transcripts[t].id if t >= 0 else None) == (tx_status, tx)


def test_a_junction_within_the_tolerance_still_matches(annotation):
    assigner = Assigner(annotation, Rules(tolerance=5))
    g = [x.id for x in annotation.genes].index("A")
    spans = [(1000, 1203), (1997, 2200), (3004, 3500)]
    junctions = [(1203, 1997), (2200, 3004)]
    status, t = assigner.transcript(g, "+", spans, junctions)
    assert (status, annotation.transcripts[t].id) == ("assigned", "A.1")
    assert Assigner(annotation, Rules(tolerance=2)).transcript(g, "+", spans, junctions) == ("novel", -1)


# --- UMI clustering ------------------------------------------------------------------------------


def accepted(query, reference, k):
    return (
        abs(len(query) - len(reference)) <= k
        and abs(query.count("A") - reference.count("A")) <= k
        and lcs_length(query, reference) >= len(reference) - k
    )


def all_pairs_directional(group, k):
    """The molecules of one group, every pair compared: a set of frozensets
    of UMIs, each reached from its most-read UMI by steps to UMIs of at most
    (reads + 1) / 2 reads."""
    counts = dict(group)
    order = sorted(counts, key=lambda u: (-counts[u], u))
    taken, molecules = set(), set()
    for root in order:
        if root in taken:
            continue
        members, frontier = {root}, [root]
        taken.add(root)
        while frontier:
            u = frontier.pop()
            for v in order:
                near = accepted(u, v, k) or accepted(v, u, k)
                if v not in taken and near and counts[u] >= 2 * counts[v] - 1:
                    taken.add(v)
                    members.add(v)
                    frontier.append(v)
        molecules.add(frozenset(members))
    return molecules


def random_group(rng):
    """UMIs of a few molecules, each read several times with errors of every
    kind, slips included, and sometimes a stray short UMI."""
    umis_ = {}
    for _ in range(rng.randint(1, 6)):
        true = "".join(rng.choice("ACGT") for _ in range(rng.choice((6, 8, 10))))
        for _ in range(rng.randint(1, 8)):
            read = list(true)
            for _ in range(rng.choice((0, 0, 1, 2))):
                at = rng.randrange(len(read))
                kind = rng.randrange(3)
                if kind == 0:
                    read[at] = rng.choice("ACGT")
                elif kind == 1:
                    read.insert(at, rng.choice("ACGT"))
                elif len(read) > 1:
                    del read[at]
            text = "".join(read)
            umis_[text] = umis_.get(text, 0) + 1
    if rng.random() < 0.2:
        umis_["AC"] = 1  # shorter than the tolerance: the engine's guard must not trip
    return sorted(umis_.items())


@pytest.mark.parametrize("k", [0, 1, 2])
def test_clustering_matches_all_pairs_directional(k):
    rng = random.Random(k)
    groups = [random_group(rng) for _ in range(150)]
    prepared = [([u for u, _ in g], [n for _, n in g]) for g in groups]
    for threads in (1, 2):
        roots = umis.cluster(prepared, k, threads)
        for group, root in zip(groups, roots, strict=True):
            names = [u for u, _ in group]
            found = {}
            for i, r in enumerate(root):
                found.setdefault(r, set()).add(names[i])
            assert {frozenset(s) for s in found.values()} == all_pairs_directional(group, k), group
            # A molecule is named after its most-read UMI.
            for r, members in found.items():
                assert min(members, key=lambda u: (-dict(group)[u], u)) == names[r]


# --- the command, end to end -------------------------------------------------------------------

CELL1, CELL2 = "AAAACCCCGGGGTTTT", "CCCCAAAATTTTGGGG"


def write_bam(path, reads, header=None, sort=False):
    header = header or {
        "HD": {"VN": "1.6", "SO": "unsorted"},
        "SQ": [{"SN": "chr1", "LN": 100000}],
        "RG": [{"ID": "run1", "SM": "s"}],
    }
    with pysam.AlignmentFile(str(path), "wb", header=header) as out:
        for n, (strand, spans, tags, extra) in enumerate(reads):
            record = pysam.AlignedSegment(out.header)
            record.query_name = f"r{n}"
            length = sum(e - s for s, e in spans)
            record.query_sequence = "A" * length
            record.query_qualities = pysam.qualitystring_to_array("I" * length)
            record.flag = 16 if strand == "-" else 0
            record.reference_id = 0
            record.reference_start = spans[0][0]
            record.mapping_quality = 60
            cigar = []
            for i, (s, e) in enumerate(spans):
                if i:
                    cigar.append((3, s - spans[i - 1][1]))
                cigar.append((0, e - s))
            record.cigartuples = cigar
            for name, value in tags.items():
                record.set_tag(name, value, "Z")
            record.set_tag("RG", "run1", "Z")
            for key, value in extra.items():
                setattr(record, key, value)
            out.write(record)


def hand_built_reads():
    a1 = [(1000, 1200), (2000, 2200), (3000, 3500)]
    reads = []
    # Cell 1, gene A: one molecule of five reads, a sixth with a UMI one edit off, and a second molecule.
    for _ in range(5):
        reads.append(("+", a1, {"CB": CELL1 + "-1", "UR": "ACGTACGTACGT"}, {}))
    reads[0][2]["UB"] = "ACGTACGTACGT"  # tag's raw UMI, as tag writes it
    reads.append(("+", a1, {"CB": CELL1 + "-1", "UR": "ACGTACGTACGA"}, {}))
    reads.append(("+", a1, {"CB": CELL1 + "-1", "UR": "TTTTGGGGCCCC"}, {}))
    reads.append(("+", a1, {"CB": CELL1 + "-1", "UR": "TTTTGGGGCCCC"}, {}))
    # Cell 2, gene B: one molecule.
    reads.append(("-", [(5000, 5400), (6000, 6200)], {"CB": CELL2 + "-1", "UR": "GGGGAAAATTTT"}, {}))
    # Not counted: no cell; multimapped; unmapped; antisense; a barcode outside the cells.
    reads.append(("+", a1, {"UR": "ACGTACGTACGT", "UB": "ACGTACGTACGT"}, {}))
    reads.append(("+", a1, {"CB": CELL1 + "-1", "UR": "ACGTACGTACGT"}, {"mapping_quality": 0}))
    reads.append(("+", a1, {"CB": CELL1 + "-1", "UR": "ACGTACGTACGT"}, {"flag": 4}))
    reads.append(("-", a1, {"CB": CELL1 + "-1", "UR": "ACGTACGTACGT"}, {}))
    reads.append(("+", a1, {"CB": "GGGGGGGGAAAAAAAA-1", "UR": "CCCCCCCCAAAA"}, {}))
    return reads


@pytest.fixture(scope="module")
def counted(tmp_path_factory):
    where = tmp_path_factory.mktemp("count")
    (where / "genes.gtf").write_text(GTF)
    (where / "cells.txt").write_text(f"{CELL1}\n{CELL2}-1\n")
    write_bam(where / "in.bam", hand_built_reads())
    h5ad = ["--h5ad", where / "counts.h5ad"] if _have("anndata") else []
    run = subprocess.run(
        [
            *COMMAND,
            where / "in.bam",
            "--annotation",
            where / "genes.gtf",
            "--cells",
            where / "cells.txt",
            "--matrix",
            where / "out",
            "-o",
            where / "out.bam",
            "--summary",
            where / "summary.json",
            *h5ad,
        ],
        capture_output=True,
        text=True,
    )
    assert run.returncode == 0, run.stderr
    return where


def _have(name):
    try:
        __import__(name)
    except ImportError:
        return False
    return True


def test_summary_counts_every_status_and_the_molecules(counted):
    summary = json.loads((counted / "summary.json").read_text())
    statuses = summary["reads_by_status"]
    assert summary["reads"] == 14
    assert (statuses["assigned"], statuses["no_cell"], statuses["multimapped"]) == (10, 1, 1)
    assert (statuses["unmapped"], statuses["antisense"]) == (1, 1)
    # Cell 1's gene A: two molecules from three distinct UMIs; cell 2: one; the stray barcode: one.
    assert (summary["molecules"], summary["distinct_raw_umis"]) == (4, 5)
    assert summary["sequencing_saturation"] == pytest.approx(1 - 4 / 10)
    assert (summary["cells"], summary["median_molecules_per_cell"]) == (2, 1.5)


def test_output_bam_carries_tags_and_header(counted):
    with pysam.AlignmentFile(str(counted / "out.bam"), check_sq=False) as bam:
        header = bam.header.to_dict()
        records = list(bam)
    assert header["RG"] == [{"ID": "run1", "SM": "s"}]
    assert header["PG"][-1]["PN"] == "mendseqs"
    assert len(records) == 14
    first, off_by_one = records[0], records[5]
    assert (first.get_tag("GX"), first.get_tag("GN"), first.get_tag("TX")) == ("A", "Alpha", "A.1")
    assert (first.get_tag("gs"), off_by_one.get_tag("UR"), off_by_one.get_tag("UB")) == (
        "assigned",
        "ACGTACGTACGA",
        "ACGTACGTACGT",
    )
    assert records[9].get_tag("gs") == "no_cell" and not records[9].has_tag("UB")
    assert records[12].get_tag("gs") == "antisense"


def test_matrices_load_in_scipy_and_anndata(counted):
    io = pytest.importorskip("scipy.io")
    filtered = counted / "out" / "gene" / "filtered_feature_bc_matrix"
    matrix = io.mmread(gzip.open(filtered / "matrix.mtx.gz")).toarray()
    features = gzip.open(filtered / "features.tsv.gz", "rt").read().splitlines()
    barcodes = gzip.open(filtered / "barcodes.tsv.gz", "rt").read().splitlines()
    assert features[0] == "A\tAlpha\tGene Expression" and len(features) == 5
    assert barcodes == [CELL1 + "-1", CELL2 + "-1"]
    assert matrix.tolist() == [[2, 0], [0, 1], [0, 0], [0, 0], [0, 0]]
    raw = counted / "out" / "gene" / "raw_feature_bc_matrix"
    assert io.mmread(gzip.open(raw / "matrix.mtx.gz")).shape == (5, 3)
    isoforms = counted / "out" / "transcript" / "filtered_feature_bc_matrix"
    by_isoform = io.mmread(gzip.open(isoforms / "matrix.mtx.gz")).toarray()
    names = [line.split("\t")[0] for line in gzip.open(isoforms / "features.tsv.gz", "rt").read().splitlines()]
    assert by_isoform[names.index("A.1")].tolist() == [2, 0] and by_isoform[names.index("B.1")].tolist() == [0, 1]
    if _have("anndata"):
        import anndata

        adata = anndata.read_h5ad(counted / "counts.h5ad")
        assert adata.shape == (2, 5)
        assert list(adata.obs_names) == [CELL1 + "-1", CELL2 + "-1"]
        assert list(adata.var["gene_ids"]) == ["A", "B", "C", "D", "E"]
        assert adata.X.toarray().tolist() == matrix.T.tolist()


def _truncated(where):
    write_bam(where / "whole.bam", hand_built_reads() * 200)
    data = (where / "whole.bam").read_bytes()
    (where / "bad.bam").write_bytes(data[: len(data) // 2])


def _no_cb(where):
    write_bam(where / "bad.bam", [("+", [(1000, 1200)], {"UR": "ACGT"}, {})])


def _other_names(where):
    header = {"HD": {"VN": "1.6"}, "SQ": [{"SN": "1", "LN": 100000}]}
    write_bam(where / "bad.bam", [("+", [(1000, 1200)], {"CB": CELL1, "UR": "ACGT"}, {})], header=header)


def _unaligned(where):
    (where / "bad.bam").write_text("@HD\tVN:1.6\nr1\t4\t*\t0\t0\t*\t*\t0\t0\tACGT\tIIII\n")


def _gtf_without_gene_id(where):
    write_bam(where / "bad.bam", hand_built_reads())
    (where / "genes.gtf").write_text('chr1\tt\texon\t1\t100\t.\t+\t.\ttranscript_id "T";\n')


@pytest.mark.parametrize(
    "make, message",
    [
        (_truncated, "truncated"),
        (_no_cb, "no read has a CB tag"),
        (_other_names, "none of its chromosomes"),
        (_unaligned, "no @SQ lines"),
        (_gtf_without_gene_id, "an exon without gene_id"),
    ],
    ids=["truncated BAM", "no CB", "chromosomes not in the GTF", "unaligned", "GTF without gene_id"],
)
def test_bad_input_is_one_clear_line_and_writes_nothing(tmp_path, make, message):
    (tmp_path / "genes.gtf").write_text(GTF)
    make(tmp_path)
    run = subprocess.run(
        [
            *COMMAND,
            tmp_path / "bad.bam",
            "--annotation",
            tmp_path / "genes.gtf",
            "--matrix",
            tmp_path / "out",
            "-o",
            tmp_path / "out.bam",
        ],
        capture_output=True,
        text=True,
    )
    assert run.returncode == 1
    assert run.stderr.startswith("mendseqs: error: ") and message in run.stderr, run.stderr
    assert run.stderr.count("\n") == 1
    assert not (tmp_path / "out").exists() and not (tmp_path / "out.bam").exists()
