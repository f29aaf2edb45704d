"""Writes the example data set: DNA barcodes and reads derived from them.

    python3 examples/make_data.py [OUTDIR]

References are random 24-letter barcodes. Each query is a barcode with a
few random substitutions, insertions or deletions, or an unrelated random
sequence. Seeded, so the same files come out every time.
"""

import random
import sys
from pathlib import Path

SEED = 20261207
BARCODES = 96
QUERIES = 2000
LENGTH = 24
UNRELATED_SHARE = 0.2


def mutate(rng, sequence, edits):
    letters = list(sequence)
    for _ in range(edits):
        kind = rng.choice("sid")
        position = rng.randrange(len(letters) + (kind == "i"))
        if kind == "s" and position < len(letters):
            letters[position] = rng.choice([c for c in "ACGT" if c != letters[position]])
        elif kind == "i":
            letters.insert(position, rng.choice("ACGT"))
        elif letters:
            del letters[min(position, len(letters) - 1)]
    return "".join(letters)


def main():
    out = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).parent / "data")
    out.mkdir(parents=True, exist_ok=True)
    rng = random.Random(SEED)
    barcodes = set()
    while len(barcodes) < BARCODES:
        barcodes.add("".join(rng.choice("ACGT") for _ in range(LENGTH)))
    barcodes = sorted(barcodes)
    queries = []
    for _ in range(QUERIES):
        if rng.random() < UNRELATED_SHARE:
            queries.append("".join(rng.choice("ACGT") for _ in range(LENGTH + rng.randint(-2, 2))))
        else:
            queries.append(mutate(rng, rng.choice(barcodes), rng.randint(0, 3)))
    (out / "references.txt").write_text("".join(b + "\n" for b in barcodes))
    with open(out / "queries.fasta", "w") as fasta:
        for number, query in enumerate(queries):
            fasta.write(f">read{number}\n{query}\n")


if __name__ == "__main__":
    main()
