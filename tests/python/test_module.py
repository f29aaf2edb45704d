"""The module object and its one function, as Python sees them."""

import sys

import mendseqs


def test_module_exports_exactly_the_function_and_keeps_the_rest_out_of_all():
    assert mendseqs.__name__ == "mendseqs"
    assert mendseqs.__all__ == ["correct_seq_mt"]
    assert type(mendseqs.__all__) is list
    assert isinstance(mendseqs.__doc__, str) and mendseqs.__doc__
    assert not hasattr(mendseqs, "PanicException")
    # The newer API is there as attributes, outside __all__.
    public = {name for name in vars(mendseqs) if not name.startswith("__")}
    assert public == {"correct_seq_mt", "ReferenceIndex", "nearest", "Nearest", "Layout", "Molecule"}


def test_function_attributes():
    function = mendseqs.correct_seq_mt
    assert function.__name__ == "correct_seq_mt"
    assert function.__module__ == "mendseqs"
    assert function.__self__ is mendseqs
    assert function.__text_signature__ == "(ref_seqs, query_seqs, max_flex, threads)"
    assert function.__doc__ is None


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
