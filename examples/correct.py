"""Correct query sequences to the closest of a set of references.

    python3.14 examples/correct.py REFERENCES QUERIES [--max-flex K] [--threads N] [-o OUT]

Both files hold one sequence per line, or FASTA (the sequence lines of each
record are joined). Prints one corrected sequence per query, in query order:
the first reference close enough to it, or an empty line when none is. The
module's progress bar and a summary go to stderr, so that stdout holds only
the results.
"""
import argparse
import contextlib
import os
import sys
import time

import mendseqs


def read_sequences(path):
    """Sequences of a plain or FASTA file, in file order."""
    sequences, record = [], None
    with open(path, encoding="ascii") as lines:
        for line in lines:
            line = line.strip()
            if line.startswith(">"):
                if record is not None:
                    sequences.append("".join(record))
                record = []
            elif record is not None:
                record.append(line)
            elif line:
                sequences.append(line)
    if record is not None:
        sequences.append("".join(record))
    return sequences


@contextlib.contextmanager
def progress_on_stderr():
    """The module draws its progress bar on file descriptor 1; point that at
    stderr meanwhile, so that stdout carries nothing but results."""
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        os.dup2(2, 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("references")
    parser.add_argument("queries")
    parser.add_argument("--max-flex", type=int, default=3,
                        help="edits tolerated in length, count of A and LCS (default 3)")
    parser.add_argument("--threads", type=int, default=1, help="worker threads (default 1)")
    parser.add_argument("-o", "--output", help="write corrected sequences here instead of stdout")
    args = parser.parse_args(argv)

    references = read_sequences(args.references)
    queries = read_sequences(args.queries)
    started = time.perf_counter()
    with progress_on_stderr():
        corrected = mendseqs.correct_seq_mt(references, queries, args.max_flex, args.threads)
    seconds = time.perf_counter() - started

    lines = [sequence + "\n" for sequence in corrected]
    if args.output:
        with open(args.output, "w") as stream:
            stream.writelines(lines)
    else:
        sys.stdout.writelines(lines)
    matched = sum(1 for sequence in corrected if sequence)
    print(f"queries: {len(queries)}, matched: {matched}, unmatched: {len(queries) - matched}, "
          f"seconds: {seconds:.3f}", file=sys.stderr)


if __name__ == "__main__":
    main()
