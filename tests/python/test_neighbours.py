"""ReferenceIndex.neighbours: every accepted reference of each query, as
positions, against the acceptance rule computed directly."""

import random
import threading

import mendseqs
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from oracle import lcs_length

GUARD = "max_flex cannot be greater than the length of the sequences."


def accepted(query, reference, k):
    return (
        abs(len(query) - len(reference)) <= k
        and abs(query.count("A") - reference.count("A")) <= k
        and lcs_length(query, reference) >= len(reference) - k
    )


def trips_guard(references, query, k):
    return any(
        abs(len(query) - len(r)) <= k and abs(query.count("A") - r.count("A")) <= k and k > min(len(query), len(r))
        for r in references
    )


texts = st.text(alphabet="ACGTa\u00e9", max_size=9)


@settings(max_examples=200)
@given(
    references=st.lists(texts.filter(bool), max_size=8),
    queries=st.lists(texts, max_size=5),
    max_flex=st.integers(-1, 4),
    threads=st.sampled_from([1, 2, 3]),
)
def test_every_accepted_reference_in_list_order(references, queries, max_flex, threads):
    guard = any(trips_guard(references, q, max_flex) for q in queries)
    index = mendseqs.ReferenceIndex(references, max_flex)
    try:
        found = index.neighbours(queries, threads)
    except BaseException as error:
        assert type(error).__name__ == "PanicException" and error.args == (GUARD,) and guard
        return
    assert not guard
    expected = [
        tuple(i for i, r in enumerate(references) if max_flex >= 0 and accepted(q, r, max_flex)) for q in queries
    ]
    assert found == expected


def test_a_long_list_through_its_candidate_index_saved_and_loaded(tmp_path, capfd):
    draw = random.Random(3)
    references = sorted({"".join(draw.choices("ACGT", k=10)) for _ in range(6000)})
    queries = [r[:4] + draw.choice("ACGT") + r[5:] for r in draw.sample(references, 12)] + ["ACGTACGTAC", "GG" * 5]
    index = mendseqs.ReferenceIndex(references, 1, 2)
    index.save(tmp_path / "list.idx")
    loaded = mendseqs.ReferenceIndex.load(tmp_path / "list.idx")
    expected = [tuple(i for i, r in enumerate(references) if accepted(q, r, 1)) for q in queries]
    assert index.neighbours(queries, 1) == expected
    assert loaded.neighbours(queries, 3) == expected
    assert capfd.readouterr() == ("", "")  # no progress display, unlike correct and nearest


@pytest.mark.serial
def test_the_interpreter_lock_is_let_go_while_it_works():
    draw = random.Random(5)
    references = ["".join(draw.choices("ACGT", k=2000)) for _ in range(40)]
    queries = ["".join(draw.choices("ACGT", k=2000)) for _ in range(100)]
    index = mendseqs.ReferenceIndex(references, 400)
    ticks, running = [0], threading.Event()

    def count():
        running.set()
        while running.is_set():
            ticks[0] += 1

    counter = threading.Thread(target=count)
    counter.start()
    running.wait()
    try:
        before = ticks[0]
        index.neighbours(queries, 1)
        during = ticks[0] - before
    finally:
        running.clear()
        counter.join()
    assert during > 10_000, during
