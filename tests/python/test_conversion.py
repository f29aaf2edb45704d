"""Converting the arguments of correct_seq_mt, and its result."""

import operator
import struct
import sys

import pytest

import mendseqs
from failure_support import needs_throwing_allocator
from messages import OUT_OF_RANGE, STR_VEC

correct = mendseqs.correct_seq_mt
POINTER_BITS = 8 * struct.calcsize("P")
R, Q = ["ACGT", "TTTT"], ["TTTT", "GGGG"]


class Outer:
    class Inner:
        pass


class Str(str):
    def __str__(self):
        return "GGGG"  # never used: items are copied by their string value


class Int(int):
    pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value.with_traceback(None)
        return self.value


class Failing:
    """A sequence whose iteration yields one item, then raises `error`
    (or raises at once, from __iter__, when `at_start`)."""

    def __init__(self, error, at_start=False):
        self.error, self.at_start = error, at_start

    def __len__(self):
        return 2

    def __getitem__(self, index):
        return "ACGT"

    def __iter__(self):
        if self.at_start:
            raise self.error.with_traceback(None)
        yield "ACGT"
        raise self.error.with_traceback(None)  # no growth when raised again


class LenRaises(list):
    def __len__(self):
        raise RuntimeError("no length")


class GetItemOnly:
    def __init__(self, items):
        self.items = items

    def __getitem__(self, index):
        return self.items[index]


def interpreter_index_error(value):
    try:
        operator.index(value)
    except TypeError as error:
        return str(error)
    raise AssertionError(value)


def with_cause(error, cause):
    error.__cause__ = cause
    return error


def prefixed(parameter, text):
    return TypeError, (f"argument '{parameter}': {text}",)


def cast(parameter, source, target):
    return prefixed(parameter, f"'{source}' object cannot be cast as '{target}'")


CAUSE = LookupError("the cause")
VALUE_ERROR = ValueError("from the iterator")
TYPE_ERROR_SUBCLASS = type("Refusal", (TypeError,), {})("from the iterator")
INDEX_ERROR = ValueError("from __index__")

# Each case: the four arguments, and either (type, args) or the very
# exception object that must come back unchanged.
REFUSED = {
    "str": (("ACGT", Q, 0, 1), prefixed("ref_seqs", STR_VEC)),
    "empty str": (("", Q, 0, 1), prefixed("ref_seqs", STR_VEC)),
    "str subclass": ((R, Str("ACGT"), 0, 1), prefixed("query_seqs", STR_VEC)),
    "None": ((R, None, 0, 1), cast("query_seqs", "NoneType", "Sequence")),
    "set": (({"ACGT"}, Q, 0, 1), cast("ref_seqs", "set", "Sequence")),
    "dict": (({"ACGT": 1}, Q, 0, 1), cast("ref_seqs", "dict", "Sequence")),
    "dict keys": ((R, {"ACGT": 1}.keys(), 0, 1), cast("query_seqs", "dict_keys", "Sequence")),
    "generator": ((R, (q for q in Q), 0, 1), cast("query_seqs", "generator", "Sequence")),
    "iterator": ((iter(R), Q, 0, 1), cast("ref_seqs", "list_iterator", "Sequence")),
    "nested class": ((R, Outer.Inner(), 0, 1), cast("query_seqs", "Outer.Inner", "Sequence")),
    "int": ((5, Q, 0, 1), cast("ref_seqs", "int", "Sequence")),
    "bytes": ((b"AC", Q, 0, 1), cast("ref_seqs", "int", "str")),
    "int item": ((R, ["ACGT", 1], 0, 1), cast("query_seqs", "int", "str")),
    "None item": (([None], Q, 0, 1), cast("ref_seqs", "NoneType", "str")),
    "bytes item": ((R, (b"ACGT",), 0, 1), cast("query_seqs", "bytes", "str")),
    "nested class item": ((R, [Outer.Inner()], 0, 1), cast("query_seqs", "Outer.Inner", "str")),
    "lone surrogate item": (
        (R, ["ACGT", "AC\ud800GT"], 0, 1),
        (UnicodeEncodeError, ("utf-8", "AC\ud800GT", 2, 3, "surrogates not allowed")),
    ),
    "TypeError from __next__": ((Failing(TypeError("bad item")), Q, 0, 1), prefixed("ref_seqs", "bad item")),
    "TypeError from __iter__": ((R, Failing(TypeError("no"), at_start=True), 0, 1), prefixed("query_seqs", "no")),
    "TypeError of two arguments": ((Failing(TypeError(1, "x")), Q, 0, 1), prefixed("ref_seqs", "(1, 'x')")),
    "TypeError with a cause": ((R, Failing(with_cause(TypeError("bad"), CAUSE)), 0, 1), prefixed("query_seqs", "bad")),
    "ValueError from __next__": ((Failing(VALUE_ERROR), Q, 0, 1), VALUE_ERROR),
    "TypeError subclass": ((R, Failing(TYPE_ERROR_SUBCLASS), 0, 1), TYPE_ERROR_SUBCLASS),
    "ref_seqs first": (("ACGT", None, 1.5, -1), prefixed("ref_seqs", STR_VEC)),
    "query_seqs second": ((R, [1], 1.5, -1), cast("query_seqs", "int", "str")),
    "max_flex third": ((R, Q, 1.5, -1), prefixed("max_flex", interpreter_index_error(1.5))),
    "max_flex float": ((R, Q, 0.0, 1), prefixed("max_flex", interpreter_index_error(0.0))),
    "max_flex digits": ((R, Q, "1", 1), prefixed("max_flex", interpreter_index_error("1"))),
    "max_flex None": ((R, Q, None, 1), prefixed("max_flex", interpreter_index_error(None))),
    "max_flex above 64 bits": ((R, Q, 2**63, 1), (OverflowError, ("int too big to convert",))),
    "max_flex below 64 bits": ((R, Q, -(2**63) - 1, 1), (OverflowError, ("int too big to convert",))),
    "max_flex __index__ not int": ((R, Q, Index("1"), 1), prefixed("max_flex", interpreter_index_error(Index("1")))),
    "max_flex __index__ raising": ((R, Q, Index(INDEX_ERROR), 1), INDEX_ERROR),
    "threads 2**32": ((R, Q, 0, 2**32), (OverflowError, (OUT_OF_RANGE,))),
    "threads 2**64 - 1": ((R, Q, 0, 2**64 - 1), (OverflowError, (OUT_OF_RANGE,))),
    "threads 2**64": ((R, Q, 0, 2**64), (OverflowError, ("int too big to convert",))),
    "threads -1": ((R, Q, 0, -1), (OverflowError, ("can't convert negative int to unsigned",))),
    "threads negative int subclass": ((R, Q, 0, Int(-2)), (OverflowError, ("can't convert negative int to unsigned",))),
    "threads digits": ((R, Q, 0, "4"), prefixed("threads", interpreter_index_error("4"))),
    "threads float": ((R, Q, 0, 4.0), prefixed("threads", interpreter_index_error(4.0))),
    "threads __index__ 2**32": ((R, Q, 0, Index(2**32)), (OverflowError, (OUT_OF_RANGE,))),
    "threads __index__ -1": ((R, Q, 0, Index(-1)), (OverflowError, ("can't convert negative int to unsigned",))),
    "threads __index__ TypeError": (
        (R, Q, 0, Index(with_cause(TypeError("no index"), CAUSE))),
        prefixed("threads", "no index"),
    ),
}


@pytest.mark.parametrize("arguments, expected", REFUSED.values(), ids=REFUSED.keys())
def test_refused_arguments(capfd, arguments, expected):
    with pytest.raises(BaseException) as raised:
        correct(*arguments)
    error = raised.value
    if isinstance(expected, BaseException):
        assert error is expected
    else:
        assert (type(error), error.args) == expected
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("original", [TypeError("bad"), with_cause(TypeError("bad"), CAUSE)])
@pytest.mark.parametrize("failing", [Failing, Index])
def test_prefixed_error_keeps_only_the_cause(failing, original):
    arguments = (R, Q, 0, Index(original)) if failing is Index else (R, Failing(original), 0, 1)
    with pytest.raises(TypeError) as raised:
        correct(*arguments)
    assert str(raised.value).endswith("': bad") and raised.value is not original
    assert raised.value.__cause__ is original.__cause__
    assert raised.value.__context__ is not original


def banner(threads):
    return f"    Aligning with {threads} threads: "


# Each case: the four arguments and the result; threads' value shows in the banner.
ACCEPTED = {
    "tuples": ((tuple(R), tuple(Q), 0, 1), ["TTTT", ""], 1),
    "empty list": (([], ["ACGT"], 0, 1), [""], 1),
    "empty tuple": (((), ["ACGT"], 0, 1), [""], 1),
    "empty bytes": ((b"", ["ACGT"], 0, 1), [""], 1),
    "no queries": ((R, b"", 0, 1), [], 1),
    "str subclass items": (([Str("TTTT")], [Str("TTTT")], 0, 1), ["TTTT"], 1),
    "__len__ raising": ((LenRaises(R), LenRaises(Q), 0, 1), ["TTTT", ""], 1),
    "__getitem__ only": ((GetItemOnly(R), GetItemOnly(Q), 0, 1), ["TTTT", ""], 1),
    "NUL and non-ASCII": ((["A\0C", "ÄC"], ["A\0C", "ÄC"], 0, 1), ["A\0C", "ÄC"], 1),
    "max_flex True": ((["TTTT"], ["TTTA"], True, 1), ["TTTT"], 1),
    "max_flex False": ((["TTTT"], ["TTTA"], False, 1), [""], 1),
    "max_flex __index__": ((["TTTT"], ["TTTA"], Index(1), 1), ["TTTT"], 1),
    "max_flex int subclass": ((["TTTT"], ["TTTA"], Int(1), 1), ["TTTT"], 1),
    "max_flex -1, not an error": ((R, Q, -1, 0), [], 0),
    "max_flex __index__ -1": ((R, Q, Index(-1), 0), [], 0),
    "threads 0": ((R, Q, 0, 0), [], 0),
    "threads 2**32 - 1": ((R, [], 0, 2**32 - 1), [], 2**32 - 1),
    "threads True": ((R, Q, 0, True), ["TTTT", ""], 1),
    "threads int subclass": ((R, Q, 0, Int(2)), ["TTTT", ""], 2),
    "threads __index__": ((R, Q, 0, Index(2)), ["TTTT", ""], 2),
}


@pytest.mark.parametrize("arguments, result, threads", ACCEPTED.values(), ids=ACCEPTED.keys())
def test_accepted_arguments(capfd, arguments, result, threads):
    assert correct(*arguments) == result
    # A swallowed exception left pending would have turned the return into
    # a SystemError; nothing must be left for later code either.
    assert sys.exc_info() == (None, None, None)
    out, err = capfd.readouterr()
    assert out.startswith(banner(threads)) and err == ""


@pytest.mark.skipif(POINTER_BITS != 64, reason="needs 64-bit pointers")
@pytest.mark.parametrize("max_flex", [2**31, -(2**31) - 1, 2**63 - 1, -(2**63)])
def test_max_flex_takes_64_bits_on_64_bit_platforms(max_flex):
    assert correct(R, Q, max_flex, 0) == []


@pytest.mark.skipif(POINTER_BITS != 32, reason="needs 32-bit pointers")
@pytest.mark.parametrize(
    "max_flex, accepted", [(2**31 - 1, True), (-(2**31), True), (2**31, False), (-(2**31) - 1, False), (2**62, False)]
)
def test_max_flex_takes_32_bits_on_32_bit_platforms(max_flex, accepted):
    if accepted:
        assert correct(R, Q, max_flex, 0) == []
        return
    with pytest.raises(OverflowError) as raised:
        correct(R, Q, max_flex, 0)
    assert raised.value.args == (OUT_OF_RANGE,)


def test_results_are_the_references_themselves_or_exact_str_copies():
    references = [Str("TTTTTT"), "ACGTACGT", "AC\u00e9GT", "AC\U0001f9ecGT"]
    queries = ["TTTTTT", "TTTTTA", "ACGTACGT", "GGGGGGGG", "AC\u00e9GA", "AC\U0001f9ecGA"]
    first = correct(references, queries, 1, 1)
    second = correct(references, queries, 1, 2)
    assert first == second == ["TTTTTT", "TTTTTT", "ACGTACGT", "", "AC\u00e9GT", "AC\U0001f9ecGT"]
    assert first is not second and type(first) is list
    assert all(type(item) is str for item in first)
    # An exact str reference is its own result, as str methods that change
    # nothing return their operand; a subclass gives one exact copy per call,
    # shared by the queries that matched it.
    assert first[2] is references[1] and first[4] is references[2] and first[5] is references[3]
    assert first[0] is first[1] and first[0] is not references[0] and first[0] is not second[0]
    assert first[3] is str()  # the interpreter's one empty string


@needs_throwing_allocator
def test_impossible_reservations_do_not_end_the_process(python):
    run = python(
        """
        import sys, mendseqs

        class Lying:
            def __init__(self, length): self.length = length
            def __len__(self): return self.length
            def __getitem__(self, index):
                if index < 2: return "ACGT"
                raise IndexError

        for length in (sys.maxsize, 2**40, 2**32, 0):
            print(mendseqs.correct_seq_mt(Lying(length), ["ACGT"], 0, 0), flush=True)
        try:
            mendseqs.correct_seq_mt(range(2**62), [], 0, 0)
        except TypeError as error:
            print(error, flush=True)
        """
    )
    assert run.returncode == 0, run
    assert run.stdout.decode().split("\n") == [
        *(["    Aligning with 0 threads: []"] * 4),
        "argument 'ref_seqs': 'int' object cannot be cast as 'str'",
        "",
    ], run


def test_sequence_class_is_looked_up_once_while_other_threads_wait(python):
    # The lookup is slowed down, with the interpreter lock released; threads
    # refusing a non-sequence meanwhile must wait without holding the lock
    # (or the lookup could never finish) and use the class it found.
    run = python(
        """
        import builtins, threading, time, mendseqs

        lookups = []
        real_import = builtins.__import__
        def slow_import(name, *args, **kwargs):
            if name == "collections.abc":
                lookups.append(name)
                time.sleep(0.3)
            return real_import(name, *args, **kwargs)
        builtins.__import__ = slow_import

        messages = []
        start = threading.Barrier(6)
        def refuse():
            start.wait()
            try:
                mendseqs.correct_seq_mt([], None, 0, 0)
            except TypeError as error:
                messages.append(str(error))
        threads = [threading.Thread(target=refuse) for _ in range(6)]
        for thread in threads: thread.start()
        for thread in threads: thread.join()
        print(len(lookups), len(messages), set(messages), flush=True)
        """,
        timeout=60,
    )
    assert run.returncode == 0, run
    assert run.stdout == (b"1 6 {\"argument 'query_seqs': 'NoneType' object cannot be cast as 'Sequence'\"}\n"), run
    assert run.stderr == b""


def test_failed_sequence_class_lookup_is_unrecoverable_and_retried(python):
    run = python(
        """
        import builtins, collections.abc, mendseqs

        real_import, real_sequence = builtins.__import__, collections.abc.Sequence
        def refuse_import(name, *args, **kwargs):
            if name == "collections.abc":
                raise ImportError("not today")
            return real_import(name, *args, **kwargs)

        def attempt():
            try:
                mendseqs.correct_seq_mt(None, [], 0, 0)
            except BaseException as error:
                print(type(error).__name__, str(error).splitlines()[0], flush=True)

        builtins.__import__ = refuse_import
        attempt()
        builtins.__import__ = real_import
        collections.abc.Sequence = 5
        attempt()
        collections.abc.Sequence = real_sequence
        attempt()
        attempt()
        """
    )
    assert run.returncode == 0, run
    lines = run.stdout.decode().splitlines()
    unwrap = "PanicException called `Result::unwrap()` on an `Err` value"
    assert lines[0].startswith(unwrap) and "not today" in lines[0], lines
    assert lines[1].startswith(unwrap), lines
    assert lines[2:] == ["TypeError argument 'ref_seqs': 'NoneType' object cannot be cast as 'Sequence'"] * 2
    assert run.stderr.count(b"called `Result::unwrap()`") == 2, run


def test_sequence_class_lookup_that_calls_back_into_the_module_finishes(python):
    # The import run by the lookup calls the module again, on the same thread,
    # needing the same lookup: it must go ahead, not wait for itself forever.
    run = python(
        """
        import builtins, mendseqs

        real_import, nested = builtins.__import__, []
        def reentrant_import(name, *args, **kwargs):
            if name == "collections.abc" and not nested:
                nested.append(name)
                try:
                    mendseqs.correct_seq_mt(5, [], 0, 0)
                except TypeError as error:
                    print("nested:", error, flush=True)
            return real_import(name, *args, **kwargs)
        builtins.__import__ = reentrant_import
        try:
            mendseqs.correct_seq_mt([], 5, 0, 0)
        except TypeError as error:
            print("outer:", error, flush=True)
        """,
        timeout=60,
    )
    assert run.returncode == 0, run
    assert run.stdout.decode().splitlines() == [
        "nested: argument 'ref_seqs': 'int' object cannot be cast as 'Sequence'",
        "outer: argument 'query_seqs': 'int' object cannot be cast as 'Sequence'",
    ]
