"""Failures that come from the Python side of a call: rejected arguments,
exceptions raised by the caller's own objects, a PanicException travelling
through Python code, and C API calls that fail without saying why."""

import re
import textwrap

import pytest

from failure_support import GUARD, MARK, banner, messages
from messages import NO_EXCEPTION_SET

# A first failing call, to get hold of the PanicException type.
GET_TYPE = """
import os, mendseqs
try:
    mendseqs.correct_seq_mt(["ACG"], ["AC"], 3, 1)
except BaseException as caught:
    PanicException = type(caught)
os.write(2, b"@")
"""

RESUMED = {
    # Re-raised from a nested failing call made by the iterator itself.
    "nested call": (
        """
        try:
            mendseqs.correct_seq_mt(["ACG"], ["AC"], 3, 1)
        except BaseException as nested:
            raise nested
        """,
        GUARD,
    ),
    # The message is taken leniently: a lone surrogate becomes U+FFFD per byte.
    "lone surrogate": ("raise PanicException('a\\ud800b')", "a\ufffd\ufffd\ufffdb"),
    "unprintable": ("raise PanicException(Unprintable())", "Unwrapped panic from Python code"),
}


@pytest.mark.parametrize("raise_it, message", RESUMED.values(), ids=RESUMED.keys())
def test_a_panic_exception_from_python_code_is_resumed(python, raise_it, message):
    run = python(
        GET_TYPE
        + textwrap.dedent("""
        class Unprintable:
            def __str__(self):
                raise RuntimeError("no text")

        class Queries(list):
            def __iter__(self):
        """)
        + textwrap.indent(textwrap.dedent(raise_it), " " * 8)
        + textwrap.dedent(f"""
        try:
            mendseqs.correct_seq_mt(["ACGT"], Queries(), 0, 1)
        except BaseException as caught:
            failure = caught
        assert type(failure) is PanicException, failure
        assert failure.args == ({message!r},), failure.args
        """)
    )
    assert run.returncode == 0, run
    nested = raise_it.strip().startswith("try")
    # The outer call printed nothing: its arguments never got converted.
    assert run.stdout == (banner(1) + MARK) * (2 if nested else 1)
    first, resumed = run.stderr.split(b"@")
    assert messages(first) == [("main", GUARD)]
    if nested:
        report, resumed = resumed.split(b"\n---", 1)
        assert messages(report + b"\n") == [("main", GUARD)]
        resumed = b"---" + resumed
    # No failure report for the resumed exception: a banner line, then the
    # Python traceback printed through sys.excepthook.
    banner_line, stack_line, traceback = resumed.split(b"\n", 2)
    assert re.fullmatch(rb"--- .*PanicException.* ---", banner_line), banner_line
    assert stack_line == b"Python stack trace below:"
    assert traceback.startswith(b"Traceback (most recent call last):\n")
    assert b"in __iter__\n" in traceback
    assert traceback.endswith(b"\n") and b"\npyo3_runtime.PanicException: " in traceback


def test_a_subclass_of_panic_exception_is_passed_on_unchanged(python):
    run = python(
        GET_TYPE
        + textwrap.dedent("""
        class Special(PanicException):
            pass

        raised = Special("from Python")

        class Queries(list):
            def __iter__(self):
                raise raised

        try:
            mendseqs.correct_seq_mt(["ACGT"], Queries(), 0, 1)
        except BaseException as caught:
            assert caught is raised, caught
        else:
            raise AssertionError("the call did not fail")
        """)
    )
    assert run.returncode == 0, run
    assert run.stdout == banner(1) + MARK
    first, after = run.stderr.split(b"@")
    assert messages(first) == [("main", GUARD)]
    assert after == b""


# A type whose __index__ slot returns null without setting an exception, as
# a faulty native extension might: made through the C API with ctypes.
SILENT_INDEX = """
import ctypes

class Slot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("pfunc", ctypes.c_void_p)]

class TypeSpec(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("basicsize", ctypes.c_int), ("itemsize", ctypes.c_int),
                ("flags", ctypes.c_uint), ("slots", ctypes.POINTER(Slot))]

NB_INDEX = 13  # Py_nb_index
silent_null = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p)(lambda self: None)
slots = (Slot * 2)(Slot(NB_INDEX, ctypes.cast(silent_null, ctypes.c_void_p)), Slot(0, None))
type_description = TypeSpec(b"faulty.SilentIndex", object.__basicsize__, 0, 0, slots)
ctypes.pythonapi.PyType_FromSpec.restype = ctypes.py_object
ctypes.pythonapi.PyType_FromSpec.argtypes = [ctypes.POINTER(TypeSpec)]
SilentIndex = ctypes.pythonapi.PyType_FromSpec(ctypes.byref(type_description))
"""


def test_a_failure_without_an_exception_becomes_system_error(python):
    run = python(
        SILENT_INDEX
        + textwrap.dedent(f"""
        import mendseqs
        try:
            mendseqs.correct_seq_mt(["ACGT"], ["ACGT"], 0, SilentIndex())
        except BaseException as caught:
            assert type(caught) is SystemError, caught
            assert caught.args == ({NO_EXCEPTION_SET!r},), caught.args
        else:
            raise AssertionError("the call did not fail")
        """)
    )
    assert run.returncode == 0, run
    assert run.stdout == b"" and run.stderr == b""


def test_a_silent_minus_one_from_an_integer_conversion_is_a_value(python):
    # For max_flex, -1 is also a legitimate result of the conversion: with no
    # exception pending it is taken as the tolerance -1, which matches nothing.
    run = python(
        SILENT_INDEX
        + textwrap.dedent("""
        import mendseqs
        assert mendseqs.correct_seq_mt(["ACGT"], ["ACGT"], SilentIndex(), 1) == [""]
        """)
    )
    assert run.returncode == 0, run
    assert run.stdout == banner(1) + MARK + b"\n" and run.stderr == b""


REJECTED = {
    "no arguments": ("()", "TypeError"),
    "unknown keyword": ("([], [], 0, 1, Threads=2)", "TypeError"),
    "str as a list": ("('ACGT', [], 0, 1)", "TypeError"),
    "item not a str": ("([], ['A', 1], 0, 1)", "TypeError"),
    "lone surrogate": ("(['\\ud800'], [], 0, 1)", "UnicodeEncodeError"),
    "iterator raises": ("([], Refusing(), 0, 1)", "ValueError"),
    "max_flex too large": ("([], [], 2**63, 1)", "OverflowError"),
    "threads negative": ("([], [], 0, -1)", "OverflowError"),
    "threads not an int": ("([], [], 0, 1.0)", "TypeError"),
}


@pytest.mark.parametrize("arguments, exception", REJECTED.values(), ids=REJECTED.keys())
def test_a_rejected_argument_writes_nothing_to_either_descriptor(python, arguments, exception):
    run = python(f"""
        import mendseqs
        class Refusing(list):
            def __iter__(self):
                raise ValueError("refused")
        try:
            mendseqs.correct_seq_mt{arguments}
        except BaseException as caught:
            assert type(caught).__name__ == {exception!r}, repr(caught)
        else:
            raise AssertionError("the call did not fail")
        """)
    assert run.returncode == 0, run
    assert run.stdout == b"" and run.stderr == b""
