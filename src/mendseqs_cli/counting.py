"""The counting run, in three passes.

1. Every record is read once: each primary alignment gets its gene and
   isoform (assign.py); a counted read (a gene, a cell, a UMI) goes to the
   partition file of its (cell, gene) as one short line. With `-o`, the
   records are written with their tags to an unnamed temporary BAM.
2. Partition by partition, each (cell, gene) group's UMIs are clustered
   (umis.py): its molecules go to the matrices, each read's corrected UMI
   to a list sorted by record.
3. With `-o`, the temporary BAM is copied to the output, each counted
   read given its `UB` from the partitions' sorted lists, merged.

Memory: the cells' and matrices' entries, plus one partition at a time
(about 1/64 of the counted reads, some 150 bytes each); see docs/count.md.
"""

from __future__ import annotations

import heapq
import tempfile
from collections import Counter
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Any

from . import aligned, umis
from .annotation import Annotation
from .assign import GENE_STATUSES, TRANSCRIPT_STATUSES, Assigner, Rules
from .errors import InputError
from .matrix import Matrix
from .partitions import PARTS, Partitions, part_of


@dataclass
class Tally:
    reads: int = 0
    genes: Counter[str] = field(default_factory=Counter)
    transcripts: Counter[str] = field(default_factory=Counter)
    unannotated_chromosome: int = 0
    novel_chains: set[int] = field(default_factory=set)
    counted: int = 0  # reads with a gene, a cell and a UMI
    molecules: int = 0
    distinct_umis: int = 0  # distinct raw UMIs per (cell, gene), summed: the uncorrected count
    reads_per_molecule: Counter[int] = field(default_factory=Counter)


@dataclass
class Counts:
    annotation: Annotation
    barcodes: list[str]  # cell ids' barcodes, as in CB without its -1
    genes: list[tuple[int, int, int]]  # (cell id, gene, molecules)
    transcripts: list[tuple[int, int, int]]  # (cell id, transcript, molecules)
    tally: Tally

    def gene_matrix(self) -> Matrix:
        return _matrix(self.barcodes, [(g.id, g.name) for g in self.annotation.genes], self.genes)

    def transcript_matrix(self) -> Matrix:
        genes = self.annotation.genes
        features = [(t.id, genes[t.gene].name) for t in self.annotation.transcripts]
        return _matrix(self.barcodes, features, self.transcripts)


def _matrix(barcodes: list[str], features: list[tuple[str, str]], entries: list[tuple[int, int, int]]) -> Matrix:
    """Columns in barcode order, only barcodes with a count."""
    used = sorted({c for c, _, _ in entries}, key=barcodes.__getitem__)
    column = {c: i for i, c in enumerate(used)}
    ordered = sorted((column[c], f, n) for c, f, n in entries)
    return Matrix(features, [barcodes[c] + "-1" for c in used], ordered)


class FirstPass:
    """Pass 1's state: the assigner, the cells met, the partitions."""

    def __init__(self, annotation: Annotation, rules: Rules, min_mapq: int) -> None:
        self.assigner = Assigner(annotation, rules)
        self.annotated = self.assigner.exons.chromosomes() | self.assigner.bodies.chromosomes()
        self.min_mapq = min_mapq
        self.cells: dict[str, int] = {}
        self.parts = Partitions()
        self.tally = Tally()
        self.with_cell = 0
        self.annotation = annotation

    def record(self, ordinal: int, record: Any) -> tuple[str, int, str, int]:
        """(gene status, gene, isoform status, isoform) of one primary record;
        a counted one is added to its partition."""
        tally = self.tally
        tally.reads += 1
        flag = record.flag
        if flag & aligned.UNMAPPED or record.reference_id < 0:
            return self._status("unmapped")
        if record.mapping_quality < self.min_mapq:
            return self._status("multimapped")
        chrom = record.reference_name
        if chrom not in self.annotated:
            tally.unannotated_chromosome += 1
        strand = "-" if flag & aligned.REVERSE else "+"
        spans, junctions = aligned.shape(record)
        status, gene = self.assigner.gene(chrom, strand, spans)
        cell = aligned.tag_or_none(record, "CB")
        if cell is not None:
            self.with_cell += 1
        if status != "assigned":
            return self._status(status)
        if cell is None:
            return self._status("no_cell")
        umi = aligned.tag_or_none(record, "UR")
        if not umi:
            return self._status("no_umi")
        tally.genes["assigned"] += 1
        tx_status, tx = self.assigner.transcript(gene, strand, spans, junctions)
        tally.transcripts[tx_status] += 1
        if tx_status == "novel":
            tally.novel_chains.add(hash((gene, tuple(junctions))))
        key = str(cell).removesuffix("-1")
        cell_id = self.cells.setdefault(key, len(self.cells))
        tally.counted += 1
        self.parts.add(part_of(cell_id, gene), f"{ordinal}\t{cell_id}\t{gene}\t{tx}\t{umi}\n")
        return "assigned", gene, tx_status, tx

    def _status(self, status: str) -> tuple[str, int, str, int]:
        self.tally.genes[status] += 1
        return status, -1, "", -1


@dataclass
class Corrected:
    """Pass 2's output: each partition's (record, corrected UMI) pairs, by record."""

    files: list[Any] = field(default_factory=list)

    def add(self, pairs: list[tuple[int, str]]) -> None:
        pairs.sort()
        file = tempfile.TemporaryFile(mode="w+", prefix="mendseqs-count-ub-")
        file.writelines(f"{o}\t{u}\n" for o, u in pairs)
        file.seek(0)
        self.files.append(file)

    def merged(self) -> Iterator[tuple[int, str]]:
        def read(file: Any) -> Iterator[tuple[int, str]]:
            for line in file:
                o, u = line.rstrip("\n").split("\t")
                yield int(o), u

        return heapq.merge(*(read(f) for f in self.files))

    def close(self) -> None:
        for file in self.files:
            file.close()


def cluster_partitions(first: FirstPass, distance: int, threads: int, corrected: Corrected | None) -> Counts:
    """Pass 2: every partition's groups clustered into molecules."""
    tally = first.tally
    gene_entries: list[tuple[int, int, int]] = []
    transcript_entries: list[tuple[int, int, int]] = []
    for part in range(PARTS):
        groups: dict[tuple[int, int], list[tuple[int, int, str]]] = {}
        for line in first.parts.lines_of(part):
            o, c, g, t, u = line.rstrip("\n").split("\t")
            groups.setdefault((int(c), int(g)), []).append((int(o), int(t), u))
        keys = sorted(groups)
        prepared = []
        for key in keys:
            reads_per_umi = Counter(u for _, _, u in groups[key])
            distinct = sorted(reads_per_umi)
            prepared.append((distinct, [reads_per_umi[u] for u in distinct]))
        roots = umis.cluster(prepared, distance, threads)
        pairs: list[tuple[int, str]] = []
        per_cell_tx: Counter[tuple[int, int]] = Counter()
        for key, (distinct, _), root in zip(keys, prepared, roots, strict=True):
            position = {u: i for i, u in enumerate(distinct)}
            votes: dict[int, Counter[int]] = {}
            sizes: Counter[int] = Counter()
            for number, isoform, umi in groups[key]:
                r = root[position[umi]]
                sizes[r] += 1
                votes.setdefault(r, Counter())
                if isoform >= 0:
                    votes[r][isoform] += 1
                if corrected is not None:
                    pairs.append((number, distinct[r]))
            tally.molecules += len(sizes)
            tally.distinct_umis += len(distinct)
            tally.reads_per_molecule.update(sizes.values())
            gene_entries.append((key[0], key[1], len(sizes)))
            for r in sizes:
                ranked = votes[r].most_common(2)
                # A molecule's isoform: its reads' most common one, when no other ties it.
                if ranked and (len(ranked) == 1 or ranked[0][1] > ranked[1][1]):
                    per_cell_tx[(key[0], ranked[0][0])] += 1
        transcript_entries.extend((c, t, n) for (c, t), n in per_cell_tx.items())
        if corrected is not None:
            corrected.add(pairs)
    barcodes = sorted(first.cells, key=first.cells.__getitem__)
    return Counts(first.annotation, barcodes, gene_entries, transcript_entries, tally)


def statuses(tally: Tally) -> tuple[dict[str, int], dict[str, int]]:
    return (
        {s: tally.genes.get(s, 0) for s in GENE_STATUSES},
        {s: tally.transcripts.get(s, 0) for s in TRANSCRIPT_STATUSES},
    )


def check_inputs(header: Any, annotated: set[str], path: str, annotation_path: str) -> None:
    """Refuses alignments on none of the annotation's chromosomes (chr1
    against 1, another assembly): every read would be intergenic."""
    if not set(header.references) & annotated:
        shown = ", ".join(list(header.references)[:3])
        raise InputError(
            f"{path}: none of its chromosomes ({shown}...) is in {annotation_path}: another assembly or naming?"
        )
