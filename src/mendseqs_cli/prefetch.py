"""Reading the next batch while the current one is matched: a saved or built
index matches without the interpreter lock, so a thread that parses and
decompresses meanwhile takes its time off the run's."""

from __future__ import annotations

import queue
import threading
from collections.abc import Generator, Iterator
from typing import TypeVar, cast

from .reading import batches
from .records import Batch
from .sources import Source, checked

T = TypeVar("T")
_DONE = object()


def prefetched(items: Iterator[T]) -> Generator[T]:
    """`items` in order, each produced by a helper thread while the caller
    works on the one before (at most one waits ready, so memory holds two
    batches, not more). An exception raised by `items` is raised here, in
    its place in the sequence. Closing this generator early stops the
    helper before it takes another item."""
    ready: queue.Queue[object] = queue.Queue(maxsize=1)
    stop = threading.Event()

    def hand_over(item: object) -> bool:
        while not stop.is_set():
            try:
                ready.put(item, timeout=0.05)
                return True
            except queue.Full:
                continue
        return False

    def produce() -> None:
        try:
            for item in items:
                if not hand_over((item, None)):
                    return
        except BaseException as error:  # passed on to the consumer, raised there
            hand_over((None, error))
            return
        hand_over(_DONE)

    helper = threading.Thread(target=produce, name="mendseqs-reader", daemon=True)
    helper.start()
    try:
        while True:
            got = ready.get()
            if got is _DONE:
                return
            item, error = cast(tuple[T, BaseException | None], got)
            if error is not None:
                raise error
            yield item
    finally:
        stop.set()
        helper.join()


def read_ahead(source: Source, path: str, size: int) -> Generator[Batch]:
    """The batches of `source` (opened from `path`), each read while the one
    before is being matched. Only from regular files: a read from a pipe may
    wait forever, and the reading thread must always finish soon once told
    to stop. Every read or decoding failure is an InputError naming `path`."""
    stream = checked(path, batches(source, size))
    return stream if source.size is None else prefetched(stream)
