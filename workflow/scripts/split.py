"""Splits a FASTA, FASTQ or one-sequence-per-line file (optionally gzipped)
into contiguous chunks of nearly equal record counts, in input order.

    python3.14 workflow/scripts/split.py INPUT CHUNK...

Chunks are written uncompressed, as FASTQ when the input is FASTQ and as
FASTA otherwise; a one-per-line input becomes FASTA named by line number, so
the read ids correct.py reports are those of the whole file.
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples"))
from correct import InputError, Record, checked, records  # noqa: E402


def as_text(record: Record) -> str:
    if record.quality is not None:
        return f"@{record.header}\n{record.sequence}\n+\n{record.quality}\n"
    return f">{record.header}\n{record.sequence}\n"


def main() -> int:
    source, chunks = sys.argv[1], sys.argv[2:]
    try:
        # Two passes: counting first keeps the chunks contiguous, so that
        # gathering is concatenation.
        total = sum(1 for _ in checked(source, records(source)))
        stream = checked(source, records(source))
        for index, path in enumerate(chunks):
            count = total * (index + 1) // len(chunks) - total * index // len(chunks)
            with open(path, "w", encoding="utf-8") as out:
                for _, record in zip(range(count), stream, strict=False):
                    out.write(as_text(record))
    except InputError as error:
        print(f"split.py: error: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
