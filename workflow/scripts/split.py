"""Splits a FASTA, FASTQ or one-sequence-per-line file (optionally gzipped)
into contiguous chunks of nearly equal record counts, in input order.

    python3.14 workflow/scripts/split.py INPUT CHUNK...

Chunks are written uncompressed, as FASTQ when the input is FASTQ and as
FASTA otherwise; a one-per-line input becomes FASTA named by line number, so
the read ids `mendseqs correct` reports are those of the whole file.
"""

import sys

from mendseqs_cli.reading import InputError, batches, checked, open_source

BATCH = 100_000


def records(path):
    with open_source(path) as source:
        for batch in checked(path, batches(source, BATCH)):
            yield from zip(batch.headers, batch.sequences, batch.qualities or [None] * len(batch), strict=True)


def main() -> int:
    source, chunks = sys.argv[1], sys.argv[2:]
    try:
        # Two passes: counting first keeps the chunks contiguous, so that
        # gathering is concatenation.
        total = sum(1 for _ in records(source))
        stream = records(source)
        for index, path in enumerate(chunks):
            count = total * (index + 1) // len(chunks) - total * index // len(chunks)
            with open(path, "w", encoding="utf-8") as out:
                for _, (header, sequence, quality) in zip(range(count), stream, strict=False):
                    if quality is not None:
                        out.write(f"@{header}\n{sequence}\n+\n{quality}\n")
                    else:
                        out.write(f">{header}\n{sequence}\n")
    except InputError as error:
        print(f"split.py: error: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
