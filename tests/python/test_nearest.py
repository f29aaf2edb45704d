"""mendseqs.nearest and mendseqs.Nearest: what Python sees of the nearest
accepted reference (the engine suite checks it against the full table)."""

import random
import threading

import pytest
from hypothesis import given, settings, strategies as st

import mendseqs
from test_interruption import LATENCY_LIMIT, ctrl_c_latency, interrupted_long_call
from failure_support import messages
from messages import GUARD, JOIN_FAILURE, MARK, OUT_OF_RANGE, banner
from oracle import correct_seq, lcs_length


@pytest.mark.parametrize(
    "references, query, max_flex, expected",
    [
        (["ACGA", "ACGT"], "ACGT", 1, ("ACGT", 0, 2, 1)),  # not the first, the nearest
        (["ACGTT", "ACGA"], "ACGT", 1, ("ACGTT", 1, 2, 1)),  # an insertion costs 1, a substitution 2
        (["ACGA", "ACGC"], "ACGT", 1, ("ACGA", 2, 2, 2)),  # a tie: the earlier, counted
        (["ACGA"], "ACGT", 0, ("", None, None, 0)),
        (["A", "ACGT"], "ACGT", -1, ("", None, None, 0)),
        ([""], "", 0, ("", 0, None, 1)),
        (["\u00e9\u00e9x"], "\u00e9\u00e9", 1, ("\u00e9\u00e9x", 1, None, 1)),  # lengths in characters
    ],
)
def test_worked_examples(references, query, max_flex, expected):
    for threads in (1, 2):
        assert mendseqs.nearest(references, [query], max_flex, threads) == [expected]


def test_the_callers_own_strings_and_exact_copies_of_subclasses():
    class Tagged(str):
        pass

    own, tagged = "ACGTACGT", Tagged("TTTTGGGG")
    found = mendseqs.nearest([own, tagged], ["ACGTACGA", "TTTTGGGC", "TTTTGGGA"], 1, 1)
    assert found[0].reference is own
    assert type(found[1].reference) is str and found[1].reference == tagged
    assert found[2].reference is found[1].reference  # one copy per reference


def test_conversions_and_failures_are_correct_seq_mts(python):
    with pytest.raises(TypeError, match="^argument 'query_seqs': Can't extract `str` to `Vec`$"):
        mendseqs.nearest(["A"], "A", 0, 1)
    with pytest.raises(OverflowError, match=f"^{OUT_OF_RANGE}$"):
        mendseqs.nearest(["A"], ["A"], 0, 2**32)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'threads'"):
        mendseqs.nearest(["A"], ["A"], 0)
    run = python(
        """
        import mendseqs
        assert mendseqs.nearest(["AC"], ["ACGT"], 9, 0) == []
        # ACGTAC is accepted first, and is correct_seq_mt's answer; AC still
        # passes both filters and trips the guard (3 > len("AC")).
        assert mendseqs.correct_seq_mt(["ACGTAC", "AC"], ["ACGTA"], 3, 1) == ["ACGTAC"]
        try:
            mendseqs.nearest(["ACGTAC", "AC"], ["ACGTA"], 3, 1)
        except BaseException as error:
            print(type(error).__name__, str(error), flush=True)
        """
    )
    expected = banner(0) + banner(1) + MARK + b"\n" + banner(1) + MARK + f"PanicException {GUARD}\n".encode()
    assert run.stdout == expected, run


def test_a_guard_in_a_worker_keeps_its_message_where_correct_keeps_its_legacy_one(python):
    # The last query trips the guard against ACG (3 > len("AC")), in the
    # last of four chunks; the first-match calls trip it too.
    run = python(
        f"""
        import mendseqs
        refs, queries = ["ACGTACGT", "ACG"], ["ACGTACGT"] * 39 + ["AC"]
        index = mendseqs.ReferenceIndex(refs, 3)
        calls = {{
            "nearest": lambda threads: mendseqs.nearest(refs, queries, 3, threads),
            "ReferenceIndex.nearest": lambda threads: index.nearest(queries, threads),
            "correct_seq_mt": lambda threads: mendseqs.correct_seq_mt(refs, queries, 3, threads),
            "ReferenceIndex.correct": lambda threads: index.correct(queries, threads),
        }}
        raised = {{}}
        for name, call in calls.items():
            for threads in (1, 4):
                try:
                    call(threads)
                except BaseException as error:
                    raised[name, threads] = (type(error).__name__, *error.args)
        guard, legacy = ("PanicException", {GUARD!r}), ("PanicException", {JOIN_FAILURE!r})
        assert raised == {{
            **{{(name, threads): guard for name in calls for threads in (1, 4)}},
            ("correct_seq_mt", 4): legacy,
            ("ReferenceIndex.correct", 4): legacy,
        }}, raised
        """
    )
    assert run.returncode == 0, run
    # A worker's failure is reported once, where it arose; only the legacy
    # wrapping adds a report of its own.
    nearest_reports = [("main", GUARD), ("<unnamed>", GUARD)]
    correct_reports = [("main", GUARD), ("<unnamed>", GUARD), ("main", JOIN_FAILURE)]
    assert messages(run.stderr) == nearest_reports * 2 + correct_reports * 2


def trips_guard_anywhere(references, query, max_flex):
    return any(
        abs(len(query) - len(r)) <= max_flex
        and abs(query.count("A") - r.count("A")) <= max_flex
        and max_flex > min(len(query), len(r))
        for r in references
    )


texts = st.text(alphabet="ACGTa\u00e9", max_size=9)


@settings(max_examples=200)
@given(
    references=st.lists(texts.filter(bool), max_size=6),
    queries=st.lists(texts, max_size=5),
    max_flex=st.integers(-1, 4),
    threads=st.sampled_from([1, 2, 3]),
)
def test_found_exactly_when_correct_finds_and_never_farther(references, queries, max_flex, threads):
    guard = any(trips_guard_anywhere(references, query, max_flex) for query in queries)
    try:
        found = mendseqs.nearest(references, queries, max_flex, threads)
    except BaseException as error:
        assert type(error).__name__ == "PanicException" and error.args == (GUARD,) and guard
        return
    assert not guard
    for query, nearest in zip(queries, found, strict=True):
        first = correct_seq(references, query, max_flex)
        assert (nearest.distance is None) == (first == ""), (query, nearest, first)
        if first == "":
            assert nearest == ("", None, None, 0)
            continue
        assert nearest.distance == len(query) + len(nearest.reference) - 2 * lcs_length(query, nearest.reference)
        if first:
            assert nearest.distance <= len(query) + len(first) - 2 * lcs_length(query, first)
        assert nearest.ties >= 1 and (nearest.runner_up is None or nearest.runner_up >= nearest.distance)
        assert (nearest.ties > 1) == (nearest.runner_up == nearest.distance)


@pytest.mark.serial
def test_the_interpreter_lock_is_let_go_while_it_works():
    # Long unrelated sequences under a wide tolerance: a few hundred
    # milliseconds of banded comparisons, while another thread counts.
    draw = random.Random(5)
    references = ["".join(draw.choices("ACGT", k=2000)) for _ in range(40)]
    queries = ["".join(draw.choices("ACGT", k=2000)) for _ in range(100)]
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
        mendseqs.nearest(references, queries, 400, 1)
        during_nearest = ticks[0] - before
        before = ticks[0]
        mendseqs.correct_seq_mt(references, queries, 400, 1)
        during_correct = ticks[0] - before
    finally:
        running.clear()
        counter.join()
    # correct_seq_mt keeps the lock: the counter only runs at its edges.
    assert during_nearest > 10 * max(during_correct, 1000), (during_nearest, during_correct)


@pytest.mark.serial
@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_ends_a_long_call_promptly(threads):
    code = interrupted_long_call(f"mendseqs.nearest(refs, queries, 500, {threads})")
    assert 0 <= ctrl_c_latency(code) < LATENCY_LIMIT
