"""The command reads the next batch in a helper thread: order, errors and
an early stop must be exactly as without it."""

import threading
import time

import pytest

from mendseqs_cli.prefetch import prefetched


def test_items_arrive_in_order_and_an_error_in_its_place():
    def items():
        yield from range(5)
        raise ValueError("sixth")

    got = []
    with pytest.raises(ValueError, match="sixth"):
        for item in prefetched(items()):
            got.append(item)
    assert got == [0, 1, 2, 3, 4]
    assert list(prefetched(iter([]))) == []


def test_at_most_one_item_is_read_ahead_and_closing_stops_the_helper():
    taken = []

    def items():
        for i in range(1000):
            taken.append(i)
            yield i

    stream = prefetched(items())
    assert next(stream) == 0
    time.sleep(0.2)  # time enough to run far ahead, were it allowed to
    assert len(taken) <= 3  # the one handed over, one waiting, one being offered
    stream.close()
    assert not [t for t in threading.enumerate() if t.name == "mendseqs-reader"]
    assert len(taken) <= 3
