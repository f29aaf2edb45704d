"""The module's API in a few lines: snap reads to a whitelist, batch by batch.

    python3.14 examples/snap.py examples/data/references.txt examples/data/queries.fasta

For files of any size and format, use the `mendseqs` command instead.
"""

import sys

import mendseqs

references = open(sys.argv[1]).read().split()
lines = open(sys.argv[2]).read().splitlines()
names, reads = [line[1:] for line in lines[0::2]], lines[1::2]

# The progress bar goes to file descriptor 1, before the results.
for start in range(0, len(reads), 1000):
    batch = reads[start : start + 1000]
    corrected = mendseqs.correct_seq_mt(references, batch, 3, 2)
    for name, read, fixed in zip(names[start:], batch, corrected, strict=False):
        print(name, read, fixed or "-", sep="\t")
