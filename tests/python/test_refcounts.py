"""No reference is leaked on any path of a call.

Needs the debug interpreter, which counts every reference it holds;
tools/run-tests runs this file under it with the module built for it."""

import gc
import itertools
import sys

import pytest

if not hasattr(sys, "gettotalrefcount"):
    pytest.skip("needs the debug interpreter", allow_module_level=True)

import mendseqs  # noqa: E402
from test_binding import CASES as CALL_SHAPES, call  # noqa: E402
from test_conversion import ACCEPTED, REFUSED, Failing  # noqa: E402

correct = mendseqs.correct_seq_mt


class Tagged(str):
    pass


ITERATIONS = 1000


def resumed_panic():
    # A PanicException caught from one call and raised again by Python code
    # inside another call's iteration comes back as a new PanicException.
    try:
        correct(["ACG"], ["AC"], 5, 1)
    except BaseException as panic:
        caught = panic
    correct([], Failing(caught), 0, 1)


PATHS = {
    **{f"binding: {name}": (lambda p=p, k=k: call(p, k)) for name, (p, k, _) in CALL_SHAPES.items()},
    **{f"refused: {name}": (lambda a=a: correct(*a)) for name, (a, _) in REFUSED.items()},
    **{f"accepted: {name}": (lambda a=a: correct(*a)) for name, (a, _, _) in ACCEPTED.items()},
    "parallel path": lambda: correct(["ACGT", "TTTT"], ["TTTT", "GGGG"] * 3, 1, 3),
    "tolerance guard, serial": lambda: correct(["ACG"], ["AC"], 5, 1),
    "tolerance guard, parallel": lambda: correct(["ACG"], ["AC"] * 4, 5, 2),
    "resumed PanicException": resumed_panic,
    "nearest, with a str subclass": lambda: mendseqs.nearest(
        ["ACGT", Tagged("TTTT")], ["TTTT", "ACGA", "GGGG"] * 2, 1, 2
    ),
    "nearest, refused": lambda: mendseqs.nearest(["A"], "A", 0, 1),
    "nearest, tolerance guard": lambda: mendseqs.nearest(["ACGT", "AC"], ["ACG"], 3, 1),
}


def total_references():
    gc.collect()
    return sys.gettotalrefcount()


def references_kept(path, iterations):
    """How many references `iterations` more calls leave behind."""

    def calls(count):
        for _ in itertools.repeat(None, count):
            try:
                path()
            except BaseException:
                pass

    calls(5)  # lets caches and once-per-process objects settle
    before = total_references()
    calls(iterations)
    return total_references() - before


@pytest.mark.parametrize("path", PATHS.values(), ids=PATHS.keys())
def test_calls_keep_no_references(path):
    # A leak on the path keeps at least one reference per call.
    assert references_kept(path, ITERATIONS) < ITERATIONS // 10
