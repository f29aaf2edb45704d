"""correct_seq_mt against the full-table oracle where the engine's fast
paths have their edges: lengths around lane and word sizes, queries a few
edits away from a reference (so the LCS lands near the threshold), non-ASCII
characters, and lists long enough to fill several blocks of references."""

import random

import pytest
from hypothesis import given, settings, strategies as st

import mendseqs
from edits import edited
from oracle import GuardTripped, correct_all, lcs_length

EDGE_LENGTHS = [0, 1, 15, 16, 17, 31, 32, 33, 63, 64, 65, 127, 128, 129]
ALPHABETS = ["ACGT", "ACGT\u00e9\u25a0\U0001f9ec"]


def expect_oracle(references, queries, max_flex, threads):
    try:
        expected = correct_all(references, queries, max_flex)
    except GuardTripped:
        with pytest.raises(BaseException) as caught:
            mendseqs.correct_seq_mt(references, queries, max_flex, threads)
        assert type(caught.value).__name__ == "PanicException"
        return
    assert mendseqs.correct_seq_mt(references, queries, max_flex, threads) == expected


@st.composite
def near_misses(draw, lengths, max_references, max_queries):
    """References of the given lengths and queries 0 to 5 edits from them."""
    rng = random.Random(draw(st.integers(0, 2**32 - 1)))
    alphabet = draw(st.sampled_from(ALPHABETS))
    sizes = draw(st.lists(st.sampled_from(lengths), min_size=1, max_size=max_references))
    references = ["".join(rng.choice(alphabet) for _ in range(n)) for n in sizes]
    count = draw(st.integers(1, max_queries))
    queries = [edited(rng, rng.choice(references), rng.randint(0, 5), alphabet) for _ in range(count)]
    return references, queries


@settings(max_examples=60)
@given(batch=near_misses(EDGE_LENGTHS, 4, 3), max_flex=st.integers(-1, 6), threads=st.sampled_from([1, 2]))
def test_word_and_lane_boundaries(batch, max_flex, threads):
    references, queries = batch
    expect_oracle(references, queries, max_flex, threads)


@settings(max_examples=15)
@given(batch=near_misses(list(range(8, 40)), 200, 6), max_flex=st.integers(0, 4))
def test_lists_spanning_several_blocks(batch, max_flex):
    references, queries = batch
    expect_oracle(references, queries, max_flex, 1)


def test_long_sequences_at_the_threshold():
    # The tolerance that just accepts and the one just below it: the banded
    # test with early exit must draw the line exactly where the table does.
    rng = random.Random(5)
    reference = "".join(rng.choice("ACGT") for _ in range(700))
    letters = list(reference)
    for at in rng.sample(range(700), 12):
        letters[at] = {"A": "C", "C": "G", "G": "T", "T": "G"}[letters[at]]
    query = "".join(letters)
    tolerance = len(reference) - lcs_length(query, reference)
    assert abs(query.count("A") - reference.count("A")) <= tolerance - 1  # the filters pass both times
    assert mendseqs.correct_seq_mt([reference], [query], tolerance, 1) == [reference]
    assert mendseqs.correct_seq_mt([reference], [query], tolerance - 1, 1) == [""]
