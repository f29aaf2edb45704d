"""Results of correct_seq_mt against the full-table oracle."""

import pytest
from hypothesis import given, settings, strategies as st

import mendseqs
from oracle import GuardTripped, correct_all

correct = mendseqs.correct_seq_mt


# The edge cases the engine's matcher tests pin down, here through the
# module's conversion of str (1-, 2- and 4-byte storage) and both paths,
# against the oracle rather than restated by hand.
EDGE_CASES = [
    (["ACGA", "ACGT"], "ACGT", 1),  # first acceptable wins
    (["ACGC", "ACGT"], "ACGT", 0),
    ([], "ACGT", 2),
    (["A", "ACGT"], "ACGT", -1),
    (["GGGGGGG"], "AC", 3),  # filtered before the guard could fire
    ([""], "", 0),
    (["AAAA"], "aaaa", 3),  # A-counting is case-sensitive
    (["\u00e9\u00e9"], "AB", 2),  # lengths in characters
    (["x\U0001f9ecy"], "x\U0001f9edy", 1),
]


@pytest.mark.parametrize("references, query, max_flex", EDGE_CASES)
def test_edge_cases_agree_with_the_oracle(references, query, max_flex):
    expected = correct_all(references, [query], max_flex)
    assert correct(references, [query], max_flex, 1) == expected
    assert correct(references, [query], max_flex, 2) == expected


def test_results_are_new_strings_equal_to_the_references():
    references = ["ACGTACGT", "TTTTGGGG"]
    result = correct(references, ["ACGTACGA", "GGGG", "TTTTGGGC", "ACGTACGA"], 1, 1)
    assert result == ["ACGTACGT", "", "TTTTGGGG", "ACGTACGT"]
    assert type(result) is list and all(type(item) is str for item in result)


def test_string_subclass_items_are_copied_as_plain_strings():
    class Tagged(str):
        pass

    result = correct([Tagged("ACGT")], [Tagged("ACGT")], 0, 1)
    assert result == ["ACGT"] and type(result[0]) is str


texts = st.text(alphabet="ACGTa\u00e9", max_size=10)


@settings(max_examples=300)
@given(
    references=st.lists(texts, max_size=5),
    queries=st.lists(texts, max_size=6),
    max_flex=st.integers(-1, 6),
    threads=st.sampled_from([1, 2, 3, 7]),
)
def test_agrees_with_the_full_table_oracle(references, queries, max_flex, threads):
    try:
        expected = correct_all(references, queries, max_flex)
    except GuardTripped:
        expected = None
    if expected is None:
        with pytest.raises(BaseException) as caught:
            correct(references, queries, max_flex, threads)
        assert type(caught.value).__name__ == "PanicException"
    else:
        assert correct(references, queries, max_flex, threads) == expected
