"""ReferenceIndex.tag on seeded synthetic long reads: the engine's speed
(reads per second on 1 and 2 threads, the index built once and not timed)
and its accuracy against the reads' truth, beside the baseline of the truth
barcodes mutated alike and corrected alone with nearest.

The reads follow the 10x 3' v3 layout: an adapter remnant of 0 to 40
letters, the flank, the barcode, a 12-letter UMI, polyT of 20 to 35, cDNA,
a tail of 0 to 30; either orientation; errors at a per-read rate drawn
around the chosen one (x0.5 to x1.5), 40% substitutions, 25% insertions,
35% deletions. The mix: 80% from 2,000 cells with skewed counts, 5% any
whitelist barcode, 3% random barcodes not on the list, 4% chimeras of two
molecules, 8% no structure at all.

    python3.14 bench/tag_engine.py [--whitelist 737280] [--reads 20000] [--rate 0.05]
"""

import argparse
import os
import random
import sys
import time

import mendseqs

COMPLEMENT = str.maketrans("ACGT", "TGCA")


def reverse_complement(text):
    return text.translate(COMPLEMENT)[::-1]


def mutate(draw, text, rate):
    out = []
    for letter in text:
        if draw.random() >= rate:
            out.append(letter)
            continue
        kind = draw.random()
        if kind < 0.40:
            out.append(draw.choice("ACGT".replace(letter, "")))
        elif kind < 0.65:
            out.append(letter)
            out.append(draw.choice("ACGT"))
        # else: deleted
    return "".join(out)


def edit_distance(a, b):
    row = list(range(len(b) + 1))
    for i, x in enumerate(a, 1):
        diagonal, row[0] = row[0], i
        for j, y in enumerate(b, 1):
            diagonal, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, diagonal + (x != y))
    return row[-1]


class Simulator:
    def __init__(self, whitelist, layout, seed, rate, cdna=(150, 900)):
        self.draw = random.Random(seed)
        self.whitelist = whitelist
        self.on_list = set(whitelist)
        self.layout = layout
        self.rate = rate
        self.cdna = cdna
        self.cells = self.draw.sample(whitelist, 2000)
        self.weights = [1 / (rank + 10) for rank in range(len(self.cells))]

    def letters(self, n):
        return "".join(self.draw.choices("ACGT", k=n))

    def barcode(self):
        kind = self.draw.random() * 0.88  # the chimeras and empty reads are drawn apart
        if kind < 0.80:
            return self.draw.choices(self.cells, self.weights)[0]
        if kind < 0.85:
            return self.draw.choice(self.whitelist)
        while True:
            barcode = self.letters(16)
            if barcode not in self.on_list:
                return barcode

    def molecule(self):
        barcode, umi = self.barcode(), self.letters(self.layout.umi_length)
        text = (
            self.letters(self.draw.randint(0, 40))
            + self.layout.flank
            + barcode
            + umi
            + "T" * self.draw.randint(20, 35)
            + self.letters(self.draw.randint(*self.cdna))
            + self.letters(self.draw.randint(0, 30))
        )
        strand = self.draw.choice("+-")
        return (text if strand == "+" else reverse_complement(text)), (barcode, umi, strand)

    def read(self):
        """A read and its molecules' truth: (barcode, umi, strand) each."""
        kind = self.draw.random()
        rate = self.rate * self.draw.uniform(0.5, 1.5)
        if kind < 0.08:
            text, truth = self.letters(self.draw.randint(200, 1000)), []
        elif kind < 0.12:
            (first, one), (second, two) = self.molecule(), self.molecule()
            text, truth = first + second, [one, two]
        else:
            text, one = self.molecule()
            truth = [one]
        return mutate(self.draw, text, rate), truth


def quietly(call):
    """Runs `call` with file descriptor 1 sent to /dev/null (nearest's
    progress display)."""
    saved = os.dup(1)
    sink = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(sink, 1)
        return call()
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(sink)


def accuracy(tagged, truths, on_list):
    carried = found = assigned = right = strand_right = umi_close = 0
    for molecules, truth in zip(tagged, truths, strict=True):
        expected = {barcode: (umi, strand) for barcode, umi, strand in truth if barcode in on_list}
        carried += len(expected)
        calls = [m for m in molecules if m.status == "assigned"]
        assigned += len(calls)
        seen = set()
        for call in calls:
            if call.barcode in expected:
                right += 1
                umi, strand = expected[call.barcode]
                strand_right += call.strand == strand
                umi_close += edit_distance(call.umi, umi) <= 2
                if call.barcode not in seen:
                    seen.add(call.barcode)
                    found += 1
    return {
        "recall": found / carried,
        "precision": right / max(assigned, 1),
        "strand": strand_right / max(right, 1),
        "umi<=2": umi_close / max(right, 1),
    }


def baseline(index, simulator, truths):
    """The truth barcodes mutated at the reads' rates, corrected alone."""
    draw = random.Random(99)
    barcodes, carried = [], []
    for truth in truths:
        for barcode, _, _ in truth:
            barcodes.append(mutate(draw, barcode, simulator.rate * draw.uniform(0.5, 1.5)))
            carried.append(barcode)
    found = quietly(lambda: index.nearest(barcodes, 2))
    on = [(hit, barcode) for hit, barcode in zip(found, carried, strict=True) if barcode in simulator.on_list]
    unique = [(hit, barcode) for hit, barcode in zip(found, carried, strict=True) if hit.ties == 1]
    recall = sum(hit.ties == 1 and hit.reference == barcode for hit, barcode in on) / len(on)
    precision = sum(hit.reference == barcode for hit, barcode in unique) / max(len(unique), 1)
    return recall, precision


def timed(index, reads, layout, threads, rounds=3):
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        tagged = index.tag(reads, layout, threads)
        best = min(best, time.perf_counter() - start)
    return tagged, best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--whitelist", type=int, default=737_280)
    parser.add_argument("--reads", type=int, default=20_000)
    parser.add_argument("--rate", type=float, default=0.05)
    arguments = parser.parse_args()

    draw = random.Random(737)
    whitelist = list(dict.fromkeys("".join(draw.choices("ACGT", k=16)) for _ in range(arguments.whitelist)))
    start = time.perf_counter()
    index = mendseqs.ReferenceIndex(whitelist, 2, threads=2)
    print(f"whitelist: {len(whitelist):,} random 16-mers, k=2, index built in {time.perf_counter() - start:.1f} s")
    layout = mendseqs.Layout.preset("10x3v3")

    for label, cdna in (("the issue's mix (cDNA 150-900)", (150, 900)), ("reads of ~1,000 letters", (700, 1200))):
        simulator = Simulator(whitelist, layout, seed=5, rate=arguments.rate, cdna=cdna)
        reads, truths = zip(*(simulator.read() for _ in range(arguments.reads)), strict=True)
        mean = sum(map(len, reads)) / len(reads)
        print(f"\n{label}: {len(reads):,} reads, mean {mean:.0f} letters, {arguments.rate:.0%} errors")
        tagged, one = timed(index, reads, layout, 1)
        _, two = timed(index, reads, layout, 2)
        print(
            f"  threads 1: {len(reads) / one:,.0f} reads/s; threads 2: {len(reads) / two:,.0f} reads/s "
            f"({one / two:.2f}x); target >= 50,000 reads/s on 2 threads"
        )
        scores = accuracy(tagged, truths, simulator.on_list)
        recall, precision = baseline(index, simulator, truths)
        print(
            "  tag: " + ", ".join(f"{name} {value:.3f}" for name, value in scores.items()),
            f"\n  baseline (truth barcodes mutated, corrected alone): recall {recall:.3f}, precision {precision:.3f}",
        )
    sys.stdout.flush()


if __name__ == "__main__":
    main()
