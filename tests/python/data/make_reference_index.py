"""Writes reference_index_v4.idx and reference_index_v4_hashed.idx, the
saved indexes (one per layout of the candidate index) the tests load on every
architecture (it is written on x86_64 and committed, so the armhf run
loads a file from another platform). Run it with the module importable
(./dev run -- python3.14 tests/python/data/make_reference_index.py) after a
change of the file format, and commit the new files; keep the older files
the module still reads (LEGACY_FIXTURES: format 1, written before the
blocks' checksums became CRC-32C; format 2, before the packed layout's
blocks were found by arithmetic; format 3, before its posting entries kept
their fingerprints apart)."""

import pathlib
import random

FIXTURE = pathlib.Path(__file__).with_name("reference_index_v4.idx")
# Barcodes over A, C, G, T get the packed layout; an N anywhere, the hashed one.
FIXTURES = {"packed": FIXTURE, "hashed": FIXTURE.with_name("reference_index_v4_hashed.idx")}
LEGACY_FIXTURES = {
    version: {
        "packed": FIXTURE.with_name(f"reference_index_v{version}.idx"),
        "hashed": FIXTURE.with_name(f"reference_index_v{version}_hashed.idx"),
    }
    for version in (1, 2, 3)
}
MAX_FLEX = 1


def fixture_references(layout="packed"):
    """Long enough for the cost model to index it; a few short ones for the
    small table."""
    rng = random.Random(1601)
    letters = "ACGT" if layout == "packed" else "ACGTN"
    references = ["".join(rng.choices(letters, k=16)) for _ in range(5000)]
    references[100:100] = ["A", "C", "ACGTACGTAC" + "G" * 20]
    return references


def fixture_queries(layout="packed"):
    rng = random.Random(1602)
    references = fixture_references(layout)
    queries = []
    for _ in range(2000):
        query = list(rng.choice(references))
        for _ in range(rng.randint(0, 2)):
            at = rng.randrange(len(query) + 1)
            if rng.random() < 0.5 and at < len(query):
                del query[at]
            else:
                query.insert(at, rng.choice("ACGT"))
        queries.append("".join(query))
    return queries


if __name__ == "__main__":
    import mendseqs

    for layout, path in FIXTURES.items():
        mendseqs.ReferenceIndex(fixture_references(layout), MAX_FLEX).save(path)
        print(path, path.stat().st_size, "bytes")
