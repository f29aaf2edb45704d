"""What depends on the width of a pointer: max_flex is a signed integer of
that width, and with 32 bits the address space bounds the worker stacks."""

import struct
import sys

import pytest

import mendseqs
from messages import GUARD, OUT_OF_RANGE

correct = mendseqs.correct_seq_mt
POINTER_BITS = 8 * struct.calcsize("P")
only_32_bit = pytest.mark.skipif(
    POINTER_BITS != 32, reason=f"needs 32-bit pointers (here {POINTER_BITS}): ./dev test --arch armhf"
)

# The bounds of a pointer-width signed integer: 2**31 - 1 or 2**63 - 1.
WIDEST, NARROWEST = sys.maxsize, -sys.maxsize - 1


@pytest.mark.parametrize("threads", [1, 3])
def test_the_widest_tolerance_passes_both_filters_and_trips_the_guard(threads):
    # Every difference is within it; a filter that added it to a length
    # would wrap around and skip the reference instead.
    with pytest.raises(BaseException) as caught:
        correct(["G" * 40, "AAA"], ["AAA"], WIDEST, threads)
    assert type(caught.value).__name__ == "PanicException"
    if threads == 1:
        assert caught.value.args == (GUARD,)


@pytest.mark.parametrize("threads", [1, 3])
def test_the_narrowest_tolerance_rejects_everything_without_the_guard(threads):
    # No difference is below it; negating it, or comparing it unsigned,
    # would let references through to the guard.
    assert correct(["", "ACGT", "A"], ["", "ACGT", "A"], NARROWEST, threads) == ["", "", ""]


@only_32_bit
@pytest.mark.parametrize("max_flex", [2**31, -(2**31) - 1, 2**63 - 1, -(2**63)])
def test_beyond_32_bits_is_refused_unprefixed_before_any_output(capfd, max_flex):
    assert (WIDEST, NARROWEST) == (2**31 - 1, -(2**31))
    with pytest.raises(OverflowError) as raised:
        correct(["ACGT"], ["ACGT"], max_flex, 1)
    assert raised.value.args == (OUT_OF_RANGE,)
    assert capfd.readouterr().out == ""


@pytest.mark.serial
@only_32_bit
def test_more_worker_stacks_than_the_address_space_holds_fail_cleanly(python):
    # 4096 workers of 2 MiB want 8 GiB: more than any 32-bit process has.
    run = python(
        """
        import os, sys, time, mendseqs
        tasks = lambda: len(os.listdir("/proc/self/task"))
        alone = tasks()  # an emulator may keep threads of its own
        try:
            mendseqs.correct_seq_mt(["ACGT"], ["ACGA"] * 4096, 1, 4096)
        except BaseException as error:
            print("caught", type(error).__name__, repr(error.args[0][:24]), file=sys.stderr)
        # The workers that did start were left to finish on their own; once
        # they are gone, their stacks are free again.
        deadline = time.monotonic() + 60
        while tasks() > alone and time.monotonic() < deadline:
            time.sleep(0.05)
        print("after", mendseqs.correct_seq_mt(["ACGT"], ["ACGA"] * 4, 1, 2), file=sys.stderr)
        """
    )
    assert run.returncode == 0, run
    lines = run.stderr.decode().splitlines()
    assert "caught PanicException 'failed to spawn thread: '" in lines, run
    assert "after ['ACGT', 'ACGT', 'ACGT', 'ACGT']" in lines, run
