"""Binding the arguments of correct_seq_mt to its four parameters."""

import ctypes
import sys

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import mendseqs

correct = mendseqs.correct_seq_mt
NAMES = ("ref_seqs", "query_seqs", "max_flex", "threads")
# Values chosen so that any two of them bound to each other's parameter
# give another result or an error: swapping ref_seqs and query_seqs changes
# the result's length, swapping max_flex and threads runs no work at all.
REFS, QUERIES, FLEX, THREADS = ["ACGT", "TTTT"], ["TTTT", "GGGG"], 0, 1
VALUES = dict(zip(NAMES, (REFS, QUERIES, FLEX, THREADS), strict=True))
EXPECTED = ["TTTT", ""]
D = "correct_seq_mt()"

_vectorcall = ctypes.pythonapi.PyObject_Vectorcall
_vectorcall.restype = ctypes.py_object
_vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]


def vectorcall(positional, keywords):
    """Calls correct_seq_mt the way C code does, so that keyword names may
    repeat or be other objects than str, which Python's call syntax refuses."""
    values = [*positional, *(value for _, value in keywords)]
    array = (ctypes.py_object * len(values))(*values) if values else None
    kwnames = tuple(name for name, _ in keywords) or None
    return _vectorcall(correct, ctypes.cast(array, ctypes.c_void_p), len(positional), id(kwnames) if kwnames else None)


def call(positional, keywords):
    names = [name for name, _ in keywords]
    if all(type(name) is str for name in names) and len(set(names)) == len(names):
        return correct(*positional, **dict(keywords))
    return vectorcall(positional, keywords)


def given_by_keyword(*names):
    return [(name, VALUES[name]) for name in names]


R, Q, M, T = REFS, QUERIES, FLEX, THREADS

CASES = {
    "no arguments": (
        (),
        [],
        f"{D} missing 4 required positional arguments: 'ref_seqs', 'query_seqs', 'max_flex', and 'threads'",
    ),
    "two positional": ((R, Q), [], f"{D} missing 2 required positional arguments: 'max_flex' and 'threads'"),
    "three positional": ((R, Q, M), [], f"{D} missing 1 required positional argument: 'threads'"),
    "two positional and max_flex": (
        (R, Q),
        given_by_keyword("max_flex"),
        f"{D} missing 1 required positional argument: 'threads'",
    ),
    "one positional and threads": (
        (R,),
        given_by_keyword("threads"),
        f"{D} missing 2 required positional arguments: 'query_seqs' and 'max_flex'",
    ),
    "query_seqs alone": (
        (),
        given_by_keyword("query_seqs"),
        f"{D} missing 3 required positional arguments: 'ref_seqs', 'max_flex', and 'threads'",
    ),
    "five positional": ((R, Q, M, T, 5), [], f"{D} takes 4 positional arguments but 5 were given"),
    "five positional and a duplicate": (
        (R, Q, M, T, 5),
        given_by_keyword("threads"),
        f"{D} takes 4 positional arguments but 5 were given",
    ),
    "six positional and unknown keywords": (
        (R, Q, M, T, 5, 6),
        [("x", 1), ("ref_seqs", R)],
        f"{D} takes 4 positional arguments but 6 were given",
    ),
    "four positional and ref_seqs": (
        (R, Q, M, T),
        given_by_keyword("ref_seqs"),
        f"{D} got multiple values for argument 'ref_seqs'",
    ),
    "unknown found before missing": ((R, Q, M), [("Threads", T)], f"{D} got an unexpected keyword argument 'Threads'"),
    "x then ref_seqs": ((R, Q, M, T), [("x", 1), ("ref_seqs", R)], f"{D} got an unexpected keyword argument 'x'"),
    "ref_seqs then x": ((R, Q, M, T), [("ref_seqs", R), ("x", 1)], f"{D} got multiple values for argument 'ref_seqs'"),
    "keyword repeated in kwnames": (
        (R, Q, M),
        [("threads", T), ("threads", T)],
        f"{D} got multiple values for argument 'threads'",
    ),
    "lone surrogate": ((), [("\ud800", 1)], f"{D} got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    "surrogates among letters": (
        (),
        [("a\udcffb\ud83d", 1)],
        f"{D} got an unexpected keyword argument 'a\ufffd\ufffd\ufffdb\ufffd\ufffd\ufffd'",
    ),
    "embedded NUL": ((), [("threads\0", 1)], f"{D} got an unexpected keyword argument 'threads\0'"),
    "prefix of a name": ((), [("thread", 1)], f"{D} got an unexpected keyword argument 'thread'"),
    "name with a suffix": ((), [("threadss", 1)], f"{D} got an unexpected keyword argument 'threadss'"),
    "non-ASCII name": ((R, Q, M), [("thréads", 1)], f"{D} got an unexpected keyword argument 'thréads'"),
    "name that is no str": ((R, Q, M, T), [(7, 1)], f"{D} got an unexpected keyword argument '7'"),
    "all by keyword, reversed": ((), given_by_keyword(*reversed(NAMES)), None),
    "all by keyword, shuffled": ((), given_by_keyword("max_flex", "ref_seqs", "threads", "query_seqs"), None),
    "one positional, rest by keyword": ((R,), given_by_keyword("threads", "query_seqs", "max_flex"), None),
    "three positional and threads": ((R, Q, M), given_by_keyword("threads"), None),
    "str subclass as name": ((R, Q, M), [(type("Name", (str,), {})("threads"), T)], None),
}


@pytest.mark.parametrize("positional, keywords, message", CASES.values(), ids=CASES.keys())
def test_call_shapes(capfd, positional, keywords, message):
    if message is None:
        assert correct(R, Q, M, T) == EXPECTED
        positional_output = capfd.readouterr()
        assert call(positional, keywords) == EXPECTED
        assert capfd.readouterr() == positional_output
        return
    with pytest.raises(TypeError) as raised:
        call(positional, keywords)
    assert type(raised.value) is TypeError
    assert raised.value.args == (message,)
    assert raised.value.__cause__ is None
    assert capfd.readouterr() == ("", "")


def test_unprintable_keyword_name_is_reported_as_unraisable(monkeypatch):
    class Unprintable(str):
        def __str__(self):
            raise RuntimeError("no text")

    name = Unprintable("x")
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    with pytest.raises(TypeError) as raised:
        correct(R, Q, M, T, **{name: 1})
    assert str(raised.value) == f"{D} got an unexpected keyword argument '<unprintable Unprintable object>'"
    assert len(reported) == 1
    assert reported[0].object is name
    assert type(reported[0].exc_value) is RuntimeError


def test_binding_failures_write_nothing_to_either_descriptor(python):
    # The exact bytes of fds 1 and 2 of a fresh interpreter, with a
    # successful call last to show the descriptors were working.
    run = python(
        """
        import mendseqs
        f = mendseqs.correct_seq_mt
        for args, kwargs in [((), {}), ((1, 2, 3, 4, 5), {"x": 1}), (([],), {"\\ud800": 1}),
                             (([], [], 0, 0), {"ref_seqs": []}), (([], [], 0), {"Threads": 0})]:
            try:
                f(*args, **kwargs)
            except TypeError:
                pass
            else:
                raise AssertionError(args)
        f([], [], 0, 0)
        """
    )
    assert run.returncode == 0, run
    assert run.stdout == b"    Aligning with 0 threads: "
    assert run.stderr == b""


def lossy(name):
    if not isinstance(name, str):
        return str(name)
    return name.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def reference_binder(nargs, keyword_names):
    """The message a call of this shape must fail with, or None."""
    if nargs > 4:
        return f"{D} takes 4 positional arguments but {nargs} were given"
    filled = [position < nargs for position in range(4)]
    for name in keyword_names:
        if name not in NAMES or type(name) is not str:
            return f"{D} got an unexpected keyword argument '{lossy(name)}'"
        position = NAMES.index(name)
        if filled[position]:
            return f"{D} got multiple values for argument '{name}'"
        filled[position] = True
    missing = [f"'{name}'" for name, given in zip(NAMES, filled, strict=True) if not given]
    if not missing:
        return None
    listed = (
        missing[0]
        if len(missing) == 1
        else ", ".join(missing[:-1]) + ("," if len(missing) > 2 else "") + " and " + missing[-1]
    )
    noun = "argument" if len(missing) == 1 else "arguments"
    return f"{D} missing {len(missing)} required positional {noun}: {listed}"


KEYWORD_NAMES = st.sampled_from(
    [*NAMES, "x", "Threads", "ref_seq", "query_seqs ", "max_flex\0", "\ud800", "th\udfffreads", 3]
)


@settings(max_examples=400, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(nargs=st.integers(0, 7), keyword_names=st.lists(KEYWORD_NAMES, max_size=6), via_c=st.booleans())
def test_random_call_shapes_match_the_reference_binder(capfd, nargs, keyword_names, via_c):
    positional = [VALUES[name] for name in NAMES[:nargs]] + [object()] * (nargs - 4)
    keywords = [(name, VALUES.get(name, object()) if type(name) is str else 0) for name in keyword_names]
    message = reference_binder(nargs, keyword_names)
    capfd.readouterr()
    try:
        result = vectorcall(positional, keywords) if via_c else call(positional, keywords)
    except TypeError as error:
        assert message is not None, f"bound, but failed with {error}"
        assert type(error) is TypeError and error.args == (message,)
        assert capfd.readouterr() == ("", "")
    else:
        assert message is None, f"bound, but expected {message!r}"
        assert result == EXPECTED
