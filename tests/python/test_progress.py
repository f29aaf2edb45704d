"""The progress display on file descriptor 1, byte for byte."""

import pytest

MARK = "\u25a0".encode()


def banner(threads):
    return b"    Aligning with %d threads: " % threads


def correct_in_child(python, queries, threads, extra=""):
    return python(
        f"""
        import sys, mendseqs
        {extra}
        result = mendseqs.correct_seq_mt(["ACGTACGT"], ["ACGTACGA"] * {queries}, 1, {threads})
        assert result == ["ACGTACGT"] * {queries} if {threads} else result == [], result
        """
    )


@pytest.mark.parametrize("queries, marks", [(0, 0), (3, 3), (99, 99), (120, 60), (149, 75), (150, 50)])
def test_serial_path_writes_banner_marks_and_newline(python, queries, marks):
    run = correct_in_child(python, queries, 1)
    assert run.returncode == 0, run
    assert run.stdout == banner(1) + MARK * marks + b"\n"
    assert run.stderr == b""


def test_no_threads_writes_only_the_banner(python):
    run = python(
        """
        import mendseqs
        # Would trip the matcher's guard if any work were done.
        assert mendseqs.correct_seq_mt(["ACG"], ["AC"], 3, 0) == []
        """
    )
    assert run.returncode == 0, run
    assert run.stdout == banner(0)


def test_display_bypasses_sys_stdout(python):
    run = python(
        """
        import io, sys, mendseqs
        sys.stdout = io.StringIO()
        mendseqs.correct_seq_mt(["ACGT"], ["ACGT"], 0, 1)
        captured = sys.stdout.getvalue()
        sys.stdout = sys.__stdout__
        print(repr(captured))
        """
    )
    assert run.stdout == banner(1) + MARK + b"\n" + b"''\n"


@pytest.mark.parametrize(
    "queries, threads, marks",
    [(0, 2, 0), (3, 8, 3), (5, 4, 5), (10, 4, 10), (49, 2, 49), (100, 2, 50), (1000, 4, 49), (2, 4294967295, 2)],
)
def test_parallel_path_mark_counts(python, queries, threads, marks):
    run = correct_in_child(python, queries, threads)
    assert run.returncode == 0, run
    assert run.stdout == banner(threads) + MARK * marks + b"\n"
