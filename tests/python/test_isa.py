"""MENDSEQS_ISA, the testing aid that forces one kernel: a value that names
no instruction set, or one this processor cannot run, makes the import fail
naming the value, instead of quietly running another kernel."""

import platform

import pytest

FOREIGN = "neon" if platform.machine() in ("x86_64", "AMD64") else "avx2"


@pytest.mark.parametrize("value", ["sse9", "AVX2", "portable ", FOREIGN])
def test_unusable_values_refuse_the_import(python, value):
    run = python(
        """
        try:
            import mendseqs
        except ImportError as error:
            print(type(error).__name__, error)
        else:
            print("imported")
        """,
        env={"MENDSEQS_ISA": value},
    )
    assert run.returncode == 0, run
    assert run.stdout.startswith(b"ImportError MENDSEQS_ISA=" + value.encode() + b":"), run


@pytest.mark.parametrize("value", ["", "portable"])
def test_unset_or_portable_imports_and_matches(python, value):
    run = python(
        """
        import mendseqs
        print(mendseqs.correct_seq_mt(["ACGTACGT", "TTTTGGGG"], ["ACGTACGA", "TTTTGGGC"], 1, 1))
        """,
        env={"MENDSEQS_ISA": value},
    )
    assert run.returncode == 0, run
    assert run.stdout.endswith(b"['ACGTACGT', 'TTTTGGGG']\n"), run
