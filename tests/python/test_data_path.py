"""The caller's strings read in place: every storage width CPython uses,
mixed in one call, gives the oracle's answers, and nothing is left behind
in the strings themselves."""

import sys

from hypothesis import given, settings, strategies as st

import mendseqs
from oracle import GuardTripped, correct_all

# One letter of each storage width: Latin-1 (1 byte), BMP (2), astral (4).
LETTERS = ["A", "C", "G", "\u00e9", "\u0100", "\u25a0", "\U0001f9ec", "\U0001f9ed"]
texts = st.lists(st.sampled_from(LETTERS), max_size=14).map("".join)


@settings(max_examples=300)
@given(st.lists(texts, max_size=8), st.lists(texts, max_size=8), st.integers(-1, 5), st.integers(1, 3))
def test_every_storage_width_mixed_in_one_call_matches_the_oracle(references, queries, max_flex, threads):
    try:
        expected = correct_all(references, queries, max_flex)
    except GuardTripped:
        expected = GuardTripped
    try:
        result = mendseqs.correct_seq_mt(references, queries, max_flex, threads)
    except BaseException as failure:
        assert expected is GuardTripped and type(failure).__name__ == "PanicException", failure
    else:
        assert result == expected


def test_the_strings_get_no_utf8_copy():
    # A str caches its UTF-8 form once something asks for it, and keeps it
    # as long as it lives; getsizeof counts it.
    references = ["\u00e9CGT" * 50, "\u25a0CGT" * 50, "\U0001f9ecCGT" * 50]
    queries = [r[:-1] + "A" for r in references]
    sizes = [sys.getsizeof(s) for s in references + queries]
    assert mendseqs.correct_seq_mt(references, queries, 2, 2) == references
    assert [sys.getsizeof(s) for s in references + queries] == sizes


def test_a_lone_surrogate_fails_at_its_item_whatever_the_width():
    for bad in ["AC\ud800GT", "\U0001f9ec\udfff"]:
        queries = ["ACGT", "\u25a0", bad, 5]
        try:
            mendseqs.correct_seq_mt(["ACGT"], queries, 1, 1)
        except UnicodeEncodeError as failure:
            assert (failure.object, failure.reason) == (bad, "surrogates not allowed")
        else:
            raise AssertionError("no error")
