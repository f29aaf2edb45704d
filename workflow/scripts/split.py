"""Splits a FASTA, FASTQ or one-sequence-per-line file (optionally gzipped),
or a SAM/BAM file, into contiguous chunks of nearly equal record counts, in
input order.

    python3.14 workflow/scripts/split.py INPUT CHUNK...

Chunks are written uncompressed, as FASTQ when the input is FASTQ and as
FASTA otherwise; a one-per-line input becomes FASTA named by line number, so
the read ids `mendseqs correct` reports are those of the whole file. SAM
and BAM become BAM chunks, each with the whole header, records untouched.
"""

import sys

from mendseqs_cli.errors import InputError
from mendseqs_cli.reading import batches
from mendseqs_cli.sources import checked, open_source

BATCH = 100_000


def records(path):
    with open_source(path) as source:
        for batch in checked(path, batches(source, BATCH)):
            yield from zip(batch.headers, batch.sequences, batch.qualities or [None] * len(batch), strict=True)


def alignments(path):
    with open_source(path) as source:
        return source.alignments is not None


def split_alignments(path, chunks):
    import pysam

    pysam.set_verbosity(0)
    with pysam.AlignmentFile(path, "r", check_sq=False) as counting:
        total = sum(1 for _ in counting.fetch(until_eof=True))
    with pysam.AlignmentFile(path, "r", check_sq=False) as source:
        records = source.fetch(until_eof=True)
        for index, chunk in enumerate(chunks):
            count = total * (index + 1) // len(chunks) - total * index // len(chunks)
            # Fast to write and to read back: chunks live only until tagged.
            with pysam.AlignmentFile(chunk, "wb", template=source, format_options=["level=1"]) as out:
                for _, record in zip(range(count), records, strict=False):
                    out.write(record)


def main() -> int:
    source, chunks = sys.argv[1], sys.argv[2:]
    try:
        if alignments(source):
            split_alignments(source, chunks)
            return 0
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
    except (InputError, OSError, ValueError) as error:
        print(f"split.py: error: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
