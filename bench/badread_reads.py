"""Long single-cell reads with real-like errors: 10x 3' v3 cDNA molecules
sequenced through Badread's models (k-mer-specific errors, homopolymer and
repeat slips, a beta-distributed per-read identity with its long low tail,
base qualities that follow the errors), with the truth in a separate file.

    PYTHONPATH=.../badread python3 bench/badread_reads.py WHITELIST -n READS \
        -o reads.fq.gz --truth truth.tsv.gz [--model nanopore2023] \
        [--identity 95,99,2.5] [--seed 1] [--jobs 2]

Badread is not a dependency of the project: its path is given by the
caller (./dev bench binds it when MENDSEQS_BADREAD names it).

A molecule, as its '+' strand reads (the whole cDNA of a 3' kit):

    partial Read 1, ending in the flank | barcode | UMI | polyT 30 | cDNA | TSO's complement

Each read starts with the sequencing adapter (Badread's rate and partial
amount), holds one molecule in either orientation, joins another one at the
chimera rate (each in its own orientation, an adapter between them at
Badread's rates), and ends with the end adapter. Glitches (random
insertions and skips) are added to the whole fragment, then Badread's error
and quality models sequence it at an identity drawn per read.

The read mix, per molecule: 87% a barcode of one of --cells cells drawn
from the whitelist with skewed (log-normal) counts, 5% any whitelist
barcode, 3% a random barcode not on the list, 5% a cDNA fragment with no
barcode structure at all; and per read, Badread's junk (a short repeat)
and random reads at 1% each.

The truth file has simulate_reads.py's columns (the benchmark scores both
alike), plus where each molecule's barcode and UMI land in the read as
given (half-open, from the error-free fragment aligned to the read) and
the barcode's letters as read, oriented as written: what a caller that
located the barcode perfectly would start from.
"""

from __future__ import annotations

import argparse
import gzip
import io
import multiprocessing
import os
import random
import sys
from collections.abc import Iterator

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import simulate_reads  # noqa: E402

# Partial Read 1 as the library holds it: its last 22 letters are the flank
# the tagger searches for.
PARTIAL_READ1 = "ACACTCTTTCCCTACACGACGCTCTTCCGATCT"
POLY_T = "T" * 30
TSO_COMPLEMENT = "CCCATGTACTCTGCGTTGATACCACTGCTT"
# Badread's defaults for a ligation kit.
START_ADAPTER = "AATGTACTTCGTTCAGTTACGTATTGCT"
END_ADAPTER = "GCAATACGTAACTGAACGAAGT"

TRUTH_COLUMNS = (
    *simulate_reads.TRUTH_COLUMNS,
    "barcode_start",
    "barcode_end",
    "umi_start",
    "umi_end",
    "barcode_read",
    "read_kind",  # junk, random, cdna (molecules with no barcode structure alone) or molecules
)

# The sets the benchmark runs: model, identity (mean,max,stdev as Badread
# takes it).
MODELS = {
    "nanopore2023": ("nanopore2023", "95,99,2.5"),
    "nanopore2023-90": ("nanopore2023", "90,96,4"),
    "pacbio2021": ("pacbio2021", "95,99,2.5"),
    # A PacBio reading of the same library, HiFi-like: pacbio2021's errors
    # at 99% identity.
    "hifi": ("pacbio2021", "99,99.9,0.5"),
}


def span_map(fragment: str, read: str) -> list[int]:
    """For each position i of `fragment` (and its end), the read position
    where fragment letter i lands (a deleted letter: where it would have
    been), from a global alignment."""
    import edlib  # noqa: PLC0415 (the bench's root has it; the tests never import this)

    cigar = edlib.align(fragment, read, task="path")["cigar"] or ""
    at = [0] * (len(fragment) + 1)
    i = j = 0
    count = 0
    for char in cigar:
        if char.isdigit():
            count = count * 10 + int(char)
            continue
        for _ in range(count):
            if char in "=X":  # both advance
                at[i] = j
                i += 1
                j += 1
            elif char == "I":  # a fragment letter the read does not hold
                at[i] = j
                i += 1
            else:  # "D": a read letter the fragment does not hold
                j += 1
        count = 0
    at[len(fragment)] = j
    return at


class BadreadSimulator(simulate_reads.Simulator):
    """simulate_reads' barcode draws (the same cells for the same seed),
    Badread's molecules and errors."""

    def __init__(
        self,
        whitelist: list[str],
        error_model: object,
        qscore_model: object,
        identities: object,
        cells: int,
        seed: int,
        chimeras: float = 0.04,
    ) -> None:
        super().__init__(whitelist, simulate_reads.KITS["10x3v3"], 0.0, cells, seed)
        self.error_model = error_model
        self.qscore_model = qscore_model
        self.identities = identities
        self.chimeras = chimeras

    def cdna(self) -> str:
        return self.dna(self.rng.randint(200, 1200))

    def molecule(self, kind: str) -> tuple[str, tuple[int, int, int, int] | None, str, str]:
        """One molecule ('+' strand) of `kind`: its letters, where its
        barcode and UMI lie in them (None for no structure), its barcode
        and UMI."""
        if kind == "none":
            return self.cdna() + TSO_COMPLEMENT, None, "", ""
        if kind == "cell":
            barcode = self.cell_barcode()
        elif kind == "whitelist":
            barcode = self.whitelist[self.rng.randrange(len(self.whitelist))]
        else:
            barcode = self.offlist_barcode()
        umi = self.dna(12)
        start = len(PARTIAL_READ1)
        letters = PARTIAL_READ1 + barcode + umi + POLY_T + self.cdna() + TSO_COMPLEMENT
        return letters, (start, start + 16, start + 16, start + 28), barcode, umi

    def read(self, name: str) -> tuple[str, str, list[tuple[str, ...]]]:  # type: ignore[override]
        from badread import misc, simulate  # noqa: PLC0415

        rng = self.rng
        roll = rng.random()
        molecules: list[tuple[str, int, int, str, tuple[int, int, int, int] | None, str, str]] = []
        if roll < 0.01:
            fragment = simulate.get_junk_fragment(rng.randint(200, 1500))
            read_kind = "junk"
        elif roll < 0.02:
            fragment = misc.get_random_sequence(rng.randint(200, 1500))
            read_kind = "random"
        else:
            read_kind = "molecules"
            pieces = [simulate.get_start_adapter(0.9, 0.6, START_ADAPTER)]
            molecules = []
            while True:
                pick = rng.random()
                kind = "cell" if pick < 0.87 else "whitelist" if pick < 0.92 else "offlist" if pick < 0.95 else "none"
                letters, where, barcode, umi = self.molecule(kind)
                strand = "+"
                if rng.random() < 0.5:
                    letters = simulate_reads.reverse_complement(letters)
                    strand = "-"
                    if where:
                        n = len(letters)
                        where = (n - where[1], n - where[0], n - where[3], n - where[2])
                at = sum(len(piece) for piece in pieces)
                if where:
                    where = tuple(at + w for w in where)  # type: ignore[assignment]
                molecules.append((kind, at, at + len(letters), strand, where, barcode, umi))
                pieces.append(letters)
                if rng.random() >= self.chimeras:
                    break
                # Badread's chance of adapters at a chimera's join.
                if rng.random() < 0.25:
                    pieces.append(END_ADAPTER)
                if rng.random() < 0.25:
                    pieces.append(START_ADAPTER)
            pieces.append(simulate.get_end_adapter(0.5, 0.2, END_ADAPTER))
            fragment = "".join(pieces)
        glitched = simulate.add_glitches(fragment, 10000, 25, 25)
        identity = self.identities.get_identity()
        sequence, qualities, actual, _ = simulate.sequence_fragment(
            glitched, identity, self.error_model, self.qscore_model
        )
        rate = f"{1 - actual:.4f}"
        if not molecules or all(m[0] == "none" for m in molecules):
            if read_kind == "molecules":
                read_kind = "cdna"
            return sequence, qualities, [(name, "0", "none", "", "", "", "0", rate, "", "", "", "", "", read_kind)]
        at = span_map(fragment, sequence) if sequence else [0] * (len(fragment) + 1)
        rows: list[tuple[str, ...]] = []
        segment = 0
        # Molecules in the order a caller meets them: by where they start
        # in the read (the order they were joined in).
        for kind, _, _, strand, where, barcode, umi in molecules:
            if where is None:
                continue
            b0, b1, u0, u1 = (at[w] for w in where)
            raw = sequence[b0:b1]
            if strand == "-":
                raw = simulate_reads.reverse_complement(raw)
            on_list = "1" if barcode in self.on_list else "0"
            rows.append(
                (name, str(segment), kind, strand, barcode, umi, on_list, rate,
                 str(b0), str(b1), str(u0), str(u1), raw, read_kind)
            )  # fmt: skip
            segment += 1
        return sequence, qualities, rows


def models(model: str, identity: str) -> tuple[object, object, object]:
    from badread.error_model import ErrorModel  # noqa: PLC0415
    from badread.identities import Identities  # noqa: PLC0415
    from badread.qscore_model import QScoreModel  # noqa: PLC0415

    mean, top, stdev = (float(x) for x in identity.split(","))
    quiet = io.StringIO()
    return ErrorModel(model, quiet), QScoreModel(model, quiet), Identities(mean, stdev, top, quiet)


# What the workers share, set before they fork: the whitelist is not sent
# with every chunk, the models are loaded once per process.
_whitelist: list[str] = []
_models: dict[tuple[str, str], tuple[object, object, object]] = {}


def _chunk(job: tuple[str, str, int, int, int, int, int]) -> tuple[str, str]:
    """Reads [first, first + count) of a run: seeded by the run's seed and
    the chunk, so any number of workers makes the same files."""
    import numpy  # noqa: PLC0415

    model, identity, cells, seed, first, count, chunk = job
    whitelist = _whitelist
    if (model, identity) not in _models:
        _models[(model, identity)] = models(model, identity)
    error_model, qscore_model, identities = _models[(model, identity)]
    simulator = BadreadSimulator(whitelist, error_model, qscore_model, identities, cells, seed)
    simulator.rng = random.Random(f"{seed}-{chunk}")
    random.seed(f"badread-{seed}-{chunk}")  # Badread's own draws
    numpy.random.seed((seed * 1_000_003 + chunk) % 2**32)
    reads, truth = io.StringIO(), io.StringIO()
    for number in range(first, first + count):
        name = f"read{number}"
        sequence, qualities, rows = simulator.read(name)
        if not sequence:  # Badread can lose a whole short fragment; keep the read, empty
            qualities = ""
        reads.write(f"@{name}\n{sequence}\n+\n{qualities}\n")
        truth.writelines("\t".join(row) + "\n" for row in rows)
    return reads.getvalue(), truth.getvalue()


def simulate(
    whitelist: list[str], count: int, model: str, identity: str, cells: int, seed: int, jobs: int
) -> Iterator[tuple[str, str]]:
    size = 500
    _whitelist[:] = whitelist
    work = [
        (model, identity, cells, seed, first, min(size, count - first), first // size)
        for first in range(0, count, size)
    ]
    if jobs <= 1:
        yield from map(_chunk, work)
        return
    with multiprocessing.get_context("fork").Pool(jobs) as pool:
        yield from pool.imap(_chunk, work)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("whitelist")
    parser.add_argument("-n", "--reads", type=int, required=True)
    parser.add_argument("-o", "--output", required=True, help="FASTQ, gzip-compressed when it ends in .gz")
    parser.add_argument("--truth", required=True, help="TSV, gzip-compressed when it ends in .gz")
    parser.add_argument("--model", default="nanopore2023", help="Badread's error and qscore model")
    parser.add_argument("--identity", default="95,99,2.5", help="mean,max,stdev (percent), as Badread takes it")
    parser.add_argument("--cells", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--jobs", type=int, default=1)
    args = parser.parse_args(argv)
    whitelist = simulate_reads.read_whitelist(args.whitelist)
    if not whitelist or {len(b) for b in whitelist} != {16}:
        sys.exit(f"{args.whitelist}: need a non-empty list of 16-letter barcodes")

    def opened(path: str):  # type: ignore[no-untyped-def]
        return gzip.open(path, "wt", compresslevel=1) if path.endswith(".gz") else open(path, "w")

    with opened(args.output) as reads, opened(args.truth) as truth:
        truth.write("\t".join(TRUTH_COLUMNS) + "\n")
        for chunk_reads, chunk_truth in simulate(
            whitelist, args.reads, args.model, args.identity, args.cells, args.seed, args.jobs
        ):
            reads.write(chunk_reads)
            truth.write(chunk_truth)
    return 0


if __name__ == "__main__":
    sys.exit(main())
