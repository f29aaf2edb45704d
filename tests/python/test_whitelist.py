"""Long whitelists: a batch big enough for the candidate index gives what
the scan gives. A call with one query always scans (the index cannot pay
for itself), so each sampled query is answered again alone and compared."""

import random

import pytest

import mendseqs
from edits import edited as edit_randomly
from failure_support import GUARD

correct = mendseqs.correct_seq_mt


def whitelist(rng, count):
    """Random 16-letter barcodes with a few duplicates, non-ACGT and
    non-ASCII ones, and two short ones that decide short queries: "ACG" is
    accepted, "A" trips the guard at k=2 (and is accepted at k=1)."""
    references = ["".join(rng.choice("ACGT") for _ in range(16)) for _ in range(count)]
    for i in range(0, count, 997):
        references[i + 1 if i + 1 < count else i] = references[i]
    for i in range(5, count, 1009):
        references[i] = references[i][:7] + rng.choice(["N", "a", "\u00e9", "\u25a0", "\U0001f9ec"]) + references[i][8:]
    references[count // 4] = "ACG"
    references[count // 2] = "A"
    return references


def edited(rng, text, edits):
    return edit_randomly(rng, text, edits, "ACGT", inserted="ACGT\u00e9")


def queries_for(rng, references, count, k):
    queries = []
    for _ in range(count):
        source = rng.choice(references)
        kind = rng.randrange(10)
        if kind < 4 or len(source) < 4:
            queries.append(source)
        elif kind < 8:
            queries.append(edited(rng, source, rng.randint(1, k + 1)))
        else:
            queries.append("".join(rng.choice("ACGT") for _ in range(rng.randint(15, 17))))
    return queries


# Sizes at which the cost model picks the index by itself (the engine's
# CostModelAndBudget test checks the same shapes).
@pytest.mark.parametrize("k, count", [(1, 20_000), (2, 100_000)])
def test_batch_through_the_index_matches_single_queries(k, count):
    rng = random.Random(k)
    references = whitelist(rng, count)
    queries = queries_for(rng, references, count, k)
    # "ACG" is accepted before "A" could trip the guard; "CCCG" as well.
    queries = [q for q in queries if not (k == 2 and len(q) <= 3)] + ["ACG", "CCCG"]
    batch = correct(references, queries, k, 2)  # the workers share one index
    assert batch[-2:] == ["ACG", "ACG"]
    assert sum(result != "" for result in batch) > len(batch) // 2
    # Each alone is a scan of the whole list: a sample (the engine's tests
    # and the fuzzer compare the two paths at length).
    for i in rng.sample(range(len(queries)), 150 if k == 1 else 40):
        assert correct(references, [queries[i]], k, 1) == [batch[i]], queries[i]
    # Passes the filters of "ACG" only (k=2) or of "A" only (k=1, empty),
    # then trips the guard on "A"; first, so the call stops there.
    with pytest.raises(BaseException) as raised:
        correct(references, ["TT" if k == 2 else ""] + queries, k, 1)
    assert str(raised.value) == GUARD
