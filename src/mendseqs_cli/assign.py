"""Which gene, and which isoform of it, an aligned read comes from.

Reads from `mendseqs tag` are oriented as the mRNA, so a read aligned to
the forward strand comes from a gene on '+', one aligned reversed from a
gene on '-'.

**Genes.** The read's aligned span between introns (M, =, X and D; not N) is intersected with
each gene's exons (the union over its isoforms). On the read's strand:

- `assigned`: one gene covers at least `min_share` of the aligned bases and
  leads the runner-up by at least `min_lead` of them;
- `ambiguous`: a gene reaches `min_share` but another is within `min_lead`;
- `antisense`: no gene on the read's strand reaches the share, but the
  exons of one on the other strand do;
- `intronic`: neither, but the bodies (first exon to last, introns
  included) of genes on the read's strand hold `min_share` of the bases;
- `intergenic`: none of these.

`unmapped`, `multimapped` (MAPQ below the floor), `no_cell` (no `CB`) and
`no_umi` (no `UR`) are decided before, from the record alone.

**Isoforms.** A read's junctions (CIGAR N) are compared with each isoform
of its gene, each junction end within `tolerance` bases. An isoform is
compatible when the read's junctions are consecutive introns of it that end
its 3' side (a read may be truncated at its 5' end, never at its 3' end,
which is where the poly(A) tail primed), and each block between junctions
lies within the isoform's exon there (so a retained intron shows). Among
several compatible isoforms, those whose 3' end lies within
`end_tolerance` of the read's are kept (isoforms differing by their
poly(A) site). One left: `assigned` to it; several: `ambiguous`; none,
while an isoform's introns hold every junction of the read: `incompatible`;
a junction no isoform of the gene has: `novel`.
"""

from __future__ import annotations

from dataclasses import dataclass

from .annotation import Annotation, merged
from .intervals import IntervalIndex

DEFAULT_MIN_SHARE = 0.5
DEFAULT_MIN_LEAD = 0.1
DEFAULT_TOLERANCE = 5
DEFAULT_END_TOLERANCE = 30

GENE_STATUSES = (
    "assigned",
    "ambiguous",
    "antisense",
    "intronic",
    "intergenic",
    "unmapped",
    "multimapped",
    "no_cell",
    "no_umi",
)
TRANSCRIPT_STATUSES = ("assigned", "ambiguous", "incompatible", "novel")

Block = tuple[int, int]


@dataclass(frozen=True)
class Rules:
    min_share: float = DEFAULT_MIN_SHARE
    min_lead: float = DEFAULT_MIN_LEAD
    tolerance: int = DEFAULT_TOLERANCE
    end_tolerance: int = DEFAULT_END_TOLERANCE


class Assigner:
    def __init__(self, annotation: Annotation, rules: Rules) -> None:
        self.annotation, self.rules = annotation, rules
        exons: list[tuple[str, int, int, int]] = []
        for g, gene in enumerate(annotation.genes):
            spans = merged([e for t in gene.transcripts for e in annotation.transcripts[t].exons])
            exons.extend((gene.chrom, s, e, g) for s, e in spans)
        self.exons: IntervalIndex[int] = IntervalIndex(exons)
        self.bodies: IntervalIndex[int] = IntervalIndex(
            (gene.chrom, gene.start, gene.end, g) for g, gene in enumerate(annotation.genes)
        )
        self._forward = [gene.strand == "+" for gene in annotation.genes]
        # Every isoform's introns, to tell a novel junction from a known one.
        self._introns = [t.introns for t in annotation.transcripts]
        # ... and per gene, for the common case of a junction exactly where annotated.
        self._gene_introns = [{i for t in gene.transcripts for i in self._introns[t]} for gene in annotation.genes]

    def gene(self, chrom: str, strand: str, blocks: list[Block]) -> tuple[str, int]:
        """(status, gene index or -1) of a read aligned as `blocks` on
        `strand` ('+' or '-') of `chrom`: the stretches between its introns,
        deletions included (a deleted base lies in the exon as much as its
        neighbours)."""
        aligned = sum(e - s for s, e in blocks)
        if aligned <= 0:
            return "intergenic", -1
        sense: dict[int, int] = {}
        other: dict[int, int] = {}
        forward = self._forward
        on_plus = strand == "+"
        for start, end in blocks:
            for s, e, g in self.exons.overlapping(chrom, start, end):
                tally = sense if forward[g] == on_plus else other
                tally[g] = tally.get(g, 0) + min(e, end) - max(s, start)
        need = self.rules.min_share * aligned
        if sense:
            if len(sense) == 1:
                ((best, covered),) = sense.items()
                runner_up = 0
            else:
                ranked = sorted(sense.items(), key=lambda item: (-item[1], item[0]))
                (best, covered), runner_up = ranked[0], ranked[1][1]
            if covered >= need:
                if covered - runner_up >= self.rules.min_lead * aligned:
                    return "assigned", best
                return "ambiguous", -1
        if other and max(other.values()) >= need:
            return "antisense", -1
        inside = 0
        for start, end in blocks:
            spans = [
                (max(s, start), min(e, end))
                for s, e, g in self.bodies.overlapping(chrom, start, end)
                if forward[g] == on_plus
            ]
            inside += sum(e - s for s, e in merged(spans))
        if inside >= need:
            return "intronic", -1
        return "intergenic", -1

    def transcript(self, gene: int, strand: str, blocks: list[Block], junctions: list[Block]) -> tuple[str, int]:
        """(status, transcript index or -1) of a read assigned to `gene`.
        `blocks` are the spans between junctions (deletions bridged),
        `junctions` the (donor, acceptor) spans of its introns, both in
        genomic order."""
        candidates = self.annotation.genes[gene].transcripts
        exact = self._gene_introns[gene]
        if any(j not in exact and not self._known(candidates, j) for j in junctions):
            return "novel", -1
        compatible = [t for t in candidates if self._compatible(t, strand, blocks, junctions)]
        if len(compatible) > 1:
            read_end = blocks[-1][1] if strand == "+" else blocks[0][0]
            near = [t for t in compatible if abs(self._three_prime(t) - read_end) <= self.rules.end_tolerance]
            compatible = near or compatible
        if len(compatible) == 1:
            return "assigned", compatible[0]
        if compatible:
            return "ambiguous", -1
        return "incompatible", -1

    def _known(self, candidates: list[int], junction: Block) -> bool:
        tol = self.rules.tolerance
        return any(
            abs(d - junction[0]) <= tol and abs(a - junction[1]) <= tol for t in candidates for d, a in self._introns[t]
        )

    def _three_prime(self, t: int) -> int:
        transcript = self.annotation.transcripts[t]
        return transcript.exons[-1][1] if transcript.strand == "+" else transcript.exons[0][0]

    def _compatible(self, t: int, strand: str, blocks: list[Block], junctions: list[Block]) -> bool:
        tol = self.rules.tolerance
        exons = self.annotation.transcripts[t].exons
        introns = self._introns[t]
        n = len(junctions)
        # The read's junctions must be the isoform's introns first..first+n-1,
        # and reach its 3' end: the last exon on '+', the first on '-'.
        if n > len(introns):
            return False
        first = len(introns) - n if strand == "+" else 0
        for k, (d, a) in enumerate(junctions):
            known_d, known_a = introns[first + k]
            if abs(d - known_d) > tol or abs(a - known_a) > tol:
                return False
        # Each block within its exon (a truncated 5' end may start anywhere in it).
        for k, (s, e) in enumerate(blocks):
            exon_start, exon_end = exons[first + k]
            if s < exon_start - tol or e > exon_end + tol:
                return False
        return True
