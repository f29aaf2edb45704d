"""Seeded simulator of a single-cell long-read library on a synthetic
genome, with the truth of every read: the project's ground truth for
`mendseqs count`, alone or after `tag` and minimap2.

    python3 bench/genome_sim.py OUTDIR [--reads N] [--cells C] [--seed S]
        [--errors badread|uniform|none] [--error-rate 0.05] [--tagged] [--no-raw]

writes into OUTDIR: genome.fa, genes.gtf, whitelist.txt, cells.txt,
raw.fq.gz (raw reads as the sequencer gives them, for `tag`, each read
sequenced whole), truth.tsv.gz (one row per read) and, with --tagged,
tagged.fq.gz: the reads as `tag` writes them (the insert oriented as the
mRNA, CB/UR/UY in the header), for counting without `tag`; their insert
and UMI are sequenced apart, so a 12-letter UMI gets more errors than the
same letters within a whole read.

The genome: chromosomes of random sequence holding multi-exon genes on
both strands, some overlapping an antisense partner at their 3' ends.
Genes have one to four isoforms: the full one, one skipping an internal
exon, one with an alternative 3' end (its last exon replaced by a longer
penultimate one), and, for some, one retaining an intron.

The library: cells with log-normal sizes and per-gene log-normal
expression; molecules (cell, isoform, random UMI), each read
Geometric(1/3) + ... times (mean 3: PCR duplicates); each read the
molecule's mRNA with its poly(A), cut at the 5' end in half of the reads
(nanopore cDNA's truncation), then sequenced with errors: Badread's
nanopore2023 models (per-read identity from its beta distribution), or a
uniform model.
"""

from __future__ import annotations

import argparse
import gzip
import itertools
import os
import random
import sys
from dataclasses import dataclass, field

READ1_END = "CTACACGACGCTCTTCCGATCT"
ADAPTER_3P = "CCCATGTACTCTGCGTTGATACCACTGCTT"
ADAPTER_5P = "AATGTACTTCGTTCAGTTACGTATTGCT"
_COMPLEMENT = str.maketrans("ACGTN", "TGCAN")
_FROM_BYTE = bytes(b"ACGT"[i % 4] for i in range(256))
_OTHER = {letter: "ACGT".replace(letter, "") for letter in "ACGT"}
TRUTH_COLUMNS = ("read_id", "cell", "umi", "molecule", "gene_id", "transcript_id", "first_exon", "single_gene")


def reverse_complement(sequence: str) -> str:
    return sequence.translate(_COMPLEMENT)[::-1]


@dataclass
class Isoform:
    id: str
    exons: list[tuple[int, int]]  # 0-based half-open, genomic order


@dataclass
class Gene:
    id: str
    chrom: str
    strand: str
    isoforms: list[Isoform] = field(default_factory=list)
    overlapped: bool = False  # shares bases with another gene (either strand)

    @property
    def span(self) -> tuple[int, int]:
        return min(e[0][0] for e in (i.exons for i in self.isoforms)), max(i.exons[-1][1] for i in self.isoforms)


class Genome:
    def __init__(self, rng: random.Random, chromosomes: int = 2, length: int = 1_500_000) -> None:
        self.rng = rng
        self.sequences = {f"chr{i + 1}": self.dna(length) for i in range(chromosomes)}
        self.genes: list[Gene] = []
        for chrom, sequence in self.sequences.items():
            at = 5_000
            while at < len(sequence) - 40_000:
                gene = self.gene(f"G{len(self.genes) + 1:04d}", chrom, at, rng.choice("+-"))
                self.genes.append(gene)
                end = gene.span[1]
                if rng.random() < 0.15:  # an antisense partner over this one's 3' side
                    start = end - rng.randint(200, 600)
                    partner = self.gene(f"G{len(self.genes) + 1:04d}", chrom, start, "-" if gene.strand == "+" else "+")
                    gene.overlapped = partner.overlapped = True
                    self.genes.append(partner)
                    end = max(end, partner.span[1])
                at = end + rng.randint(2_000, 15_000)
        self._splice_sites()

    def _splice_sites(self) -> None:
        """GT...AG at every intron's ends, on its gene's strand, as an
        aligner's splice model expects (it would shift a junction in random
        sequence to the nearest such site)."""
        edited = {chrom: bytearray(sequence.encode()) for chrom, sequence in self.sequences.items()}
        for gene in self.genes:
            donor, acceptor = (b"GT", b"AG") if gene.strand == "+" else (b"CT", b"AC")
            for isoform in gene.isoforms:
                for (_, end), (start, _) in zip(isoform.exons, isoform.exons[1:], strict=False):
                    edited[gene.chrom][end : end + 2] = donor
                    edited[gene.chrom][start - 2 : start] = acceptor
        self.sequences = {chrom: bytes(sequence).decode() for chrom, sequence in edited.items()}

    def dna(self, length: int) -> str:
        return self.rng.randbytes(length).translate(_FROM_BYTE).decode()

    def gene(self, ident: str, chrom: str, start: int, strand: str) -> Gene:
        rng = self.rng
        count = rng.randint(2, 7)
        lengths = [rng.randint(80, 300) for _ in range(count - 1)] + [rng.randint(300, 1200)]
        if strand == "-":  # the 3' exon (the long one) at the low end
            lengths.reverse()
        exons, at = [], start
        for length in lengths:
            exons.append((at, at + length))
            at += length + rng.randint(150, 2500)
        gene = Gene(ident, chrom, strand, [Isoform(f"{ident}.1", exons)])
        if count >= 3 and rng.random() < 0.5:
            skip = rng.randint(1, count - 2)
            gene.isoforms.append(Isoform(f"{ident}.2", exons[:skip] + exons[skip + 1 :]))
        if count >= 3 and rng.random() < 0.4:
            # The alternative 3' end: the last exon dropped, the one before it run on into the intron.
            if strand == "+":
                alt = exons[:-2] + [(exons[-2][0], exons[-2][1] + rng.randint(300, 600))]
            else:
                alt = [(exons[1][0] - rng.randint(300, 600), exons[1][1])] + exons[2:]
            gene.isoforms.append(Isoform(f"{ident}.3", alt))
        if count >= 3 and rng.random() < 0.2:
            k = rng.randint(0, count - 2)
            gene.isoforms.append(Isoform(f"{ident}.4", exons[:k] + [(exons[k][0], exons[k + 1][1])] + exons[k + 2 :]))
        return gene

    def mrna(self, gene: Gene, isoform: Isoform) -> str:
        sequence = self.sequences[gene.chrom]
        spliced = "".join(sequence[s:e] for s, e in isoform.exons)
        return spliced if gene.strand == "+" else reverse_complement(spliced)

    def write(self, directory: str) -> None:
        with open(os.path.join(directory, "genome.fa"), "w") as out:
            for chrom, sequence in self.sequences.items():
                out.write(f">{chrom}\n")
                out.writelines(sequence[i : i + 80] + "\n" for i in range(0, len(sequence), 80))
        with open(os.path.join(directory, "genes.gtf"), "w") as out:
            out.write("#!genome-build synthetic\n")
            for gene in self.genes:
                start, end = gene.span
                common = f'gene_id "{gene.id}"; gene_name "N{gene.id}";'
                out.write(f"{gene.chrom}\tsim\tgene\t{start + 1}\t{end}\t.\t{gene.strand}\t.\t{common}\n")
                for iso in gene.isoforms:
                    attributes = f'{common} transcript_id "{iso.id}";'
                    s, e = iso.exons[0][0], iso.exons[-1][1]
                    out.write(f"{gene.chrom}\tsim\ttranscript\t{s + 1}\t{e}\t.\t{gene.strand}\t.\t{attributes}\n")
                    for n, (s, e) in enumerate(iso.exons, 1):
                        out.write(
                            f"{gene.chrom}\tsim\texon\t{s + 1}\t{e}\t.\t{gene.strand}\t.\t{attributes} exon_number {n};\n"
                        )


class Sequencer:
    """Errors: Badread's models, a uniform rate, or none."""

    def __init__(self, rng: random.Random, kind: str, rate: float) -> None:
        self.rng, self.kind, self.rate = rng, kind, rate
        if kind == "badread":
            sys.path.insert(0, os.environ.get("BADREAD", "/build/bench-data/badread"))
            from badread.error_model import ErrorModel  # type: ignore[import-not-found]
            from badread.identities import Identities  # type: ignore[import-not-found]
            from badread.qscore_model import QScoreModel  # type: ignore[import-not-found]
            from badread.simulate import sequence_fragment  # type: ignore[import-not-found]

            quiet = open(os.devnull, "w")
            self.error_model = ErrorModel("nanopore2023", output=quiet)
            self.qscore_model = QScoreModel("nanopore2023", output=quiet)
            self.identities = Identities(95, 2.5, 99, output=quiet)
            self.sequence_fragment = sequence_fragment

    def identity(self) -> float:
        """A read's identity (Badread's beta distribution), shared by its pieces."""
        return self.identities.get_identity() if self.kind == "badread" else 1 - self.rate

    def read(self, sequence: str, identity: float = 1.0) -> tuple[str, str]:
        if self.kind == "badread":
            seq, quals, _, _ = self.sequence_fragment(sequence, identity, self.error_model, self.qscore_model)
            return seq, quals
        if self.kind == "none" or self.rate <= 0:
            return sequence, "I" * len(sequence)
        rng, out, at = self.rng, [], 0
        while True:
            at_next = at + int(rng.expovariate(self.rate))
            if at_next >= len(sequence):
                out.append(sequence[at:])
                break
            out.append(sequence[at:at_next])
            roll = rng.random()
            if roll < 0.4:
                out.append(_OTHER.get(sequence[at_next], "ACG")[rng.randrange(3)])
                at = at_next + 1
            elif roll < 0.65:
                out.append("ACGT"[rng.randrange(4)])
                at = at_next
            else:
                at = at_next + 1
        text = "".join(out)
        return text, "5" * len(text)


def simulate(
    directory: str,
    reads: int,
    cells: int,
    seed: int,
    errors: str,
    rate: float,
    with_raw: bool = True,
    with_tagged: bool = False,
) -> None:
    rng = random.Random(seed)
    random.seed(seed)  # Badread draws from the module's generators
    if errors == "badread":
        import numpy

        numpy.random.seed(seed)
    genome = Genome(rng)
    os.makedirs(directory, exist_ok=True)
    genome.write(directory)
    whitelist = sorted({genome.dna(16) for _ in range(max(5_000, cells * 20))})
    with open(os.path.join(directory, "whitelist.txt"), "w") as out:
        out.writelines(b + "\n" for b in whitelist)
    barcodes = rng.sample(whitelist, cells)
    with open(os.path.join(directory, "cells.txt"), "w") as out:
        out.writelines(b + "\n" for b in barcodes)
    cell_weights = list(itertools.accumulate(rng.lognormvariate(0, 0.5) for _ in barcodes))
    gene_weights = list(itertools.accumulate(rng.lognormvariate(0, 1.5) for _ in genome.genes))
    sequencer = Sequencer(rng, errors, rate)
    raw = gzip.open(os.path.join(directory, "raw.fq.gz"), "wt", compresslevel=1) if with_raw else None
    tagged = gzip.open(os.path.join(directory, "tagged.fq.gz"), "wt", compresslevel=1) if with_tagged else None
    truth = gzip.open(os.path.join(directory, "truth.tsv.gz"), "wt", compresslevel=1)
    truth.write("\t".join(TRUTH_COLUMNS) + "\n")
    made, molecule = 0, 0
    while made < reads:
        cell = barcodes[_pick(rng, cell_weights)]
        gene = genome.genes[_pick(rng, gene_weights)]
        isoform = gene.isoforms[rng.randrange(len(gene.isoforms))]
        umi = genome.dna(12)
        mrna = genome.mrna(gene, isoform)
        first_exon = isoform.exons[0] if gene.strand == "+" else isoform.exons[-1]
        copies = 1
        while rng.random() < 2 / 3:
            copies += 1
        molecule += 1
        for _ in range(copies):
            if made >= reads:
                break
            # Half the reads lose a stretch of their 5' end.
            cut = rng.randint(0, max(0, len(mrna) - 200)) if rng.random() < 0.5 else 0
            reaches = cut < (first_exon[1] - first_exon[0]) - 20
            insert = mrna[cut:] + "A" * rng.randint(20, 30)
            # As sequenced: the first strand, Read 1 and barcode first, in either orientation, the
            # whole read at once (the error model's density holds over a read, not over a 12-letter
            # piece sequenced alone, which gets an error or two whatever its identity).
            identity = sequencer.identity()
            text = ADAPTER_5P[-rng.randint(1, 20) :] + READ1_END + cell + umi + reverse_complement(insert) + ADAPTER_3P
            name = f"r{made}"
            if raw is not None:
                seq, quals = sequencer.read(text, identity)
                if rng.random() < 0.5:
                    seq, quals = reverse_complement(seq), quals[::-1]
                raw.write(f"@{name}\n{seq}\n+\n{quals}\n")
            if tagged is not None:
                # tag's view, for counting without tag: the insert and the UMI sequenced apart.
                read_umi, umi_q = sequencer.read(umi, identity)
                body, body_q = sequencer.read(insert, identity)
                tagged.write(f"@{name}\tCB:Z:{cell}-1\tUR:Z:{read_umi}\tUY:Z:{umi_q}\n{body}\n+\n{body_q}\n")
            single = "0" if gene.overlapped else "1"
            truth.write(f"{name}\t{cell}\t{umi}\t{molecule}\t{gene.id}\t{isoform.id}\t{int(reaches)}\t{single}\n")
            made += 1
    for stream in (raw, tagged, truth):
        if stream is not None:
            stream.close()


def _pick(rng: random.Random, cumulative: list[float]) -> int:
    import bisect

    return bisect.bisect_left(cumulative, rng.random() * cumulative[-1])


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("directory")
    parser.add_argument("--reads", type=int, default=100_000)
    parser.add_argument("--cells", type=int, default=200)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--errors", choices=("badread", "uniform", "none"), default="badread")
    parser.add_argument("--error-rate", type=float, default=0.05)
    parser.add_argument("--no-raw", action="store_true", help="no raw reads")
    parser.add_argument("--tagged", action="store_true", help="tag's view of the reads too, to count without tag")
    args = parser.parse_args(argv)
    simulate(
        args.directory, args.reads, args.cells, args.seed, args.errors, args.error_rate, not args.no_raw, args.tagged
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
