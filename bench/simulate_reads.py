"""Seeded simulator of raw long single-cell reads (10x-style molecules as a
nanopore or PacBio run sees them), with the truth in a separate file: the
project's own ground truth for `mendseqs tag`, in the benchmark and in a
small end-to-end test.

    python3 bench/simulate_reads.py WHITELIST -n READS -o reads.fq.gz \
        --truth truth.tsv.gz [--layout 10x3v3] [--error-rate 0.05] [--seed 1]

A molecule, as the '+' strand reads it (3' kits):

    [adapter remnant 0-40] READ1_END [barcode] [UMI] [polyT 20-35] [cDNA 150-900]
    [3' adapter] [tail 0-30]

5' kits put the TSO after the UMI in place of the polyT. Each molecule is
kept as is or reverse-complemented, at random. Errors are applied to the
whole read at a per-read rate drawn uniformly in [0.5, 1.5] x the chosen
rate; of the errors 40% are substitutions, 25% insertions and 35%
deletions.

The read mix:
  80%  a barcode of one of --cells cells drawn from the whitelist, with
       skewed (log-normal) counts per cell
   5%  any whitelist barcode
   3%  a random barcode that is not on the whitelist
   4%  chimeras: two molecules, each as in the first row, each in its own
       orientation
   8%  no barcode structure at all

The truth file is TSV with a header row and one row per molecule in read
order (a read with no structure gets one row with kind `none`): read_id,
segment, kind (cell|whitelist|offlist|none), strand, barcode (the true
barcode, as written on the '+' strand), umi, on_whitelist (1/0),
error_rate.
"""

from __future__ import annotations

import argparse
import bisect
import gzip
import itertools
import random
import sys
from collections.abc import Iterator
from dataclasses import dataclass

READ1_END = "CTACACGACGCTCTTCCGATCT"
TSO = "TTTCTTATATGGG"
ADAPTER_3P = "CCCATGTACTCTGCGTTGATACCACTGCTT"
# The sequencing adapter whose remnant precedes Read 1 in a raw read.
ADAPTER_5P = "AATGTACTTCGTTCAGTTACGTATTGCT"


@dataclass(frozen=True)
class Kit:
    umi_length: int
    five_prime: bool


KITS = {
    "10x3v2": Kit(10, False),
    "10x3v3": Kit(12, False),
    "10x3v4": Kit(12, False),
    "visium": Kit(12, False),
    "10x5v2": Kit(10, True),
    "10x5v3": Kit(12, True),
}

_COMPLEMENT = str.maketrans("ACGTacgtN", "TGCAtgcaN")
_OTHER = {letter: "ACGT".replace(letter, "") for letter in "ACGT"}
_FROM_BYTE = bytes(b"ACGT"[i % 4] for i in range(256))


def reverse_complement(sequence: str) -> str:
    return sequence.translate(_COMPLEMENT)[::-1]


class Simulator:
    def __init__(self, whitelist: list[str], kit: Kit, error_rate: float, cells: int, seed: int) -> None:
        self.rng = random.Random(seed)
        self.whitelist = whitelist
        self.on_list = set(whitelist)
        self.kit = kit
        self.error_rate = error_rate
        self.barcode_length = len(whitelist[0])
        chosen = self.rng.sample(range(len(whitelist)), min(cells, len(whitelist)))
        self.cells = [whitelist[i] for i in chosen]
        weights = [self.rng.lognormvariate(0.0, 1.0) for _ in self.cells]
        self.cumulative = list(itertools.accumulate(weights))

    def dna(self, length: int) -> str:
        return self.rng.randbytes(length).translate(_FROM_BYTE).decode()

    def cell_barcode(self) -> str:
        return self.cells[bisect.bisect_left(self.cumulative, self.rng.random() * self.cumulative[-1])]

    def offlist_barcode(self) -> str:
        while True:
            barcode = self.dna(self.barcode_length)
            if barcode not in self.on_list:
                return barcode

    def remnant(self, length: int) -> str:
        """The last `length` letters of the sequencing adapter, behind
        random letters where it is shorter."""
        text = self.dna(max(0, length - len(ADAPTER_5P))) + ADAPTER_5P
        return text[len(text) - length :]

    def molecule(self, barcode: str) -> tuple[str, str, str]:
        """One molecule with `barcode`: its sequence as read, its strand and
        its UMI."""
        rng = self.rng
        umi = self.dna(self.kit.umi_length)
        after_umi = TSO if self.kit.five_prime else "T" * rng.randint(20, 35)
        parts = [
            self.remnant(rng.randint(0, 40)),
            READ1_END,
            barcode,
            umi,
            after_umi,
            self.dna(rng.randint(150, 900)),
            ADAPTER_3P,
            self.dna(rng.randint(0, 30)),
        ]
        sequence = "".join(parts)
        if rng.random() < 0.5:
            return reverse_complement(sequence), "-", umi
        return sequence, "+", umi

    def mutate(self, sequence: str, rate: float) -> str:
        """Errors at `rate` per letter: the gaps between them drawn from the
        geometric distribution, so the cost is that of the errors."""
        if rate <= 0:
            return sequence
        rng = self.rng
        out: list[str] = []
        at = 0
        while True:
            at_next = at + int(rng.expovariate(rate))
            if at_next >= len(sequence):
                out.append(sequence[at:])
                return "".join(out)
            out.append(sequence[at:at_next])
            kind = rng.random()
            if kind < 0.40:
                out.append(_OTHER[sequence[at_next]][rng.randrange(3)])
                at = at_next + 1
            elif kind < 0.65:
                out.append("ACGT"[rng.randrange(4)])
                at = at_next
            else:
                at = at_next + 1

    def read(self, name: str) -> tuple[str, list[tuple[str, ...]]]:
        """A read and its truth rows."""
        rng = self.rng
        rate = self.error_rate * rng.uniform(0.5, 1.5)
        roll = rng.random()
        if roll < 0.80:
            kinds = ["cell"]
        elif roll < 0.85:
            kinds = ["whitelist"]
        elif roll < 0.88:
            kinds = ["offlist"]
        elif roll < 0.92:
            kinds = ["cell", "cell"]
        else:
            kinds = []
        if not kinds:
            sequence = self.dna(rng.randint(150, 900) + rng.randint(0, 70))
            return self.mutate(sequence, rate), [(name, "0", "none", "", "", "", "0", f"{rate:.4f}")]
        pieces: list[str] = []
        truth: list[tuple[str, ...]] = []
        for segment, kind in enumerate(kinds):
            if kind == "cell":
                barcode = self.cell_barcode()
            elif kind == "whitelist":
                barcode = self.whitelist[rng.randrange(len(self.whitelist))]
            else:
                barcode = self.offlist_barcode()
            sequence, strand, umi = self.molecule(barcode)
            pieces.append(sequence)
            on_list = "1" if barcode in self.on_list else "0"
            truth.append((name, str(segment), kind, strand, barcode, umi, on_list, f"{rate:.4f}"))
        return self.mutate("".join(pieces), rate), truth

    def reads(self, count: int) -> Iterator[tuple[str, str, str, list[tuple[str, ...]]]]:
        """(name, sequence, qualities, truth rows) for `count` reads."""
        for number in range(count):
            name = f"read{number}"
            sequence, truth = self.read(name)
            qualities = self.rng.randbytes(len(sequence)).translate(_QUALITY).decode()
            yield name, sequence, qualities, truth


# Phred 5 to 40, as a basecaller's qualities spread.
_QUALITY = bytes(33 + 5 + i % 36 for i in range(256))

TRUTH_COLUMNS = ("read_id", "segment", "kind", "strand", "barcode", "umi", "on_whitelist", "error_rate")


def read_whitelist(path: str) -> list[str]:
    opener = gzip.open if path.endswith(".gz") else open
    with opener(path, "rt") as lines:
        return [line.split()[0].split("-")[0].upper() for line in lines if line.strip()]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("whitelist")
    parser.add_argument("-n", "--reads", type=int, required=True)
    parser.add_argument("-o", "--output", required=True, help="FASTQ, gzip-compressed when it ends in .gz")
    parser.add_argument("--truth", required=True, help="TSV, gzip-compressed when it ends in .gz")
    parser.add_argument("--layout", choices=sorted(KITS), default="10x3v3")
    parser.add_argument("--error-rate", type=float, default=0.05)
    parser.add_argument("--cells", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args(argv)
    whitelist = read_whitelist(args.whitelist)
    if not whitelist or len({len(b) for b in whitelist}) != 1:
        sys.exit(f"{args.whitelist}: need a non-empty list of barcodes of one length")
    simulator = Simulator(whitelist, KITS[args.layout], args.error_rate, args.cells, args.seed)

    def opened(path: str):  # type: ignore[no-untyped-def]
        return gzip.open(path, "wt", compresslevel=1) if path.endswith(".gz") else open(path, "w")

    with opened(args.output) as reads, opened(args.truth) as truth:
        truth.write("\t".join(TRUTH_COLUMNS) + "\n")
        for name, sequence, qualities, rows in simulator.reads(args.reads):
            reads.write(f"@{name}\n{sequence}\n+\n{qualities}\n")
            truth.writelines("\t".join(row) + "\n" for row in rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
