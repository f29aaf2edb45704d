"""Writes badread_reads.fq.gz and badread_truth.tsv.gz: 300 long reads of
10x 3' v3 molecules simulated by Badread (nanopore2023 errors and
qualities, its default identity, adapters, chimeras, junk and random
reads, glitches), whose barcodes come from the seeded list of
`whitelist()` (5,000 barcodes, 200 of them cells). The tests score the
tagger against the truth without Badread; rerun this only to change the
set, with Badread on the path, and commit the files:

    ./dev run -- env PYTHONPATH=/build/python:/badread \
        python3.14 tests/python/data/make_badread_set.py

(the amd64 root binds Badread at /badread under ./dev bench only: bind it
the same way, MENDSEQS_BADREAD naming its folder)."""

import pathlib
import random
import sys

HERE = pathlib.Path(__file__).parent
READS = HERE / "badread_reads.fq.gz"
TRUTH = HERE / "badread_truth.tsv.gz"
SEED = 29


def whitelist():
    rng = random.Random(SEED)
    return list(dict.fromkeys("".join(rng.choices("ACGT", k=16)) for _ in range(5000)))


def main():
    sys.path.insert(0, str(HERE.parent.parent.parent / "bench"))
    import badread_reads

    listed = HERE / "badread_whitelist.part.txt"
    listed.write_text("\n".join(whitelist()) + "\n")
    try:
        badread_reads.main(
            [str(listed), "-n", "300", "-o", str(READS), "--truth", str(TRUTH), "--cells", "200",
             "--seed", str(SEED), "--jobs", "1"]
        )  # fmt: skip
    finally:
        listed.unlink()


if __name__ == "__main__":
    main()
