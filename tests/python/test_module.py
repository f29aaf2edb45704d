"""The module object and its one function, as Python sees them."""

import pickle
import sys

import pytest

import mendseqs


def test_what_python_sees_of_the_module():
    # One name in __all__, bound by a star import; the newer API beside it.
    assert mendseqs.__name__ == "mendseqs" and isinstance(mendseqs.__doc__, str) and mendseqs.__doc__
    assert mendseqs.__all__ == ["correct_seq_mt"] and type(mendseqs.__all__) is list
    public = {name for name in vars(mendseqs) if not name.startswith("__")}
    assert public == {"correct_seq_mt", "ReferenceIndex", "nearest", "Nearest", "Layout", "Molecule"}
    assert not hasattr(mendseqs, "PanicException")
    namespace = {}
    exec("from mendseqs import *", namespace)
    assert set(namespace) == {"__builtins__", "correct_seq_mt"}
    for function in (mendseqs.correct_seq_mt, mendseqs.nearest):
        assert (function.__module__, function.__self__) == ("mendseqs", mendseqs)
        assert function.__text_signature__ == "(ref_seqs, query_seqs, max_flex, threads)"
    assert mendseqs.correct_seq_mt.__name__ == "correct_seq_mt" and mendseqs.correct_seq_mt.__doc__ is None
    for kind, name in ((mendseqs.Nearest, "Nearest"), (mendseqs.ReferenceIndex, "ReferenceIndex")):
        assert (kind.__module__, kind.__name__) == ("mendseqs", name)
    # Nearest: a struct sequence of four named fields (a repeated reference
    # is accepted once per copy: a tie with itself).
    [found, none] = mendseqs.nearest(["ACGTACGT", "ACGTACGA", "ACGTACGT"], ["ACGTACGT", "GGGG"], 1, 1)
    assert found == ("ACGTACGT", 0, 0, 2) and type(found) is mendseqs.Nearest and isinstance(found, tuple)
    assert (found.reference, found.distance, found.runner_up, found.ties) == tuple(found)
    assert none == ("", None, None, 0)
    assert mendseqs.Nearest.n_fields == mendseqs.Nearest.n_sequence_fields == 4
    assert pickle.loads(pickle.dumps(found)) == found and "reference='ACGTACGT'" in repr(found)
    # ReferenceIndex: its length and tolerance, read-only.
    index = mendseqs.ReferenceIndex(["AC", "GT", "AC"], 3, threads=0)
    assert (len(index), index.max_flex) == (3, 3)
    with pytest.raises(AttributeError):
        index.max_flex = 1


def test_reimport_returns_the_same_module_object():
    first = sys.modules.pop("mendseqs")
    try:
        import mendseqs as again

        assert again is first
        assert again.__all__ == ["correct_seq_mt"]
        assert again.correct_seq_mt is first.correct_seq_mt
    finally:
        sys.modules["mendseqs"] = first


def test_subinterpreter_import_is_refused_and_the_module_keeps_working(python):
    # A legacy-style subinterpreter lets CPython call our entry point, so it
    # is the module's own check that refuses; an isolated one is refused by
    # CPython before that.
    run = python(
        """
        import _interpreters
        import mendseqs
        for config in ("legacy", "isolated"):
            interpreter = _interpreters.create(config)
            failure = _interpreters.exec(interpreter, "import mendseqs")
            _interpreters.destroy(interpreter)
            print(config, failure.type.__name__, failure.msg, flush=True)
        print(mendseqs.correct_seq_mt(["ACGT"], ["ACGT"], 0, 1), flush=True)
        """
    )
    assert run.returncode == 0, run
    lines = run.stdout.decode().splitlines()
    assert lines[0].startswith(
        "legacy ImportError mendseqs, like every native module of its kind, does not yet support subinterpreters"
    ), lines
    assert lines[1].startswith("isolated ImportError "), lines
    assert lines[2:] == ["    Aligning with 1 threads: \u25a0", "['ACGT']"]
