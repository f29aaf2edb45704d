"""The command's one writer thread: an output written by a thread of its
own, so that compressing (which lets go of the interpreter lock) overlaps
with tagging and formatting. What each piece is and how it is written is
the caller's: text to a stream (`text_writer`), SAM lines to htslib
(bam.BamWriter)."""

from __future__ import annotations

import queue
import threading
from collections.abc import Callable
from typing import IO

from .errors import InputError, described


class WriterThread[T]:
    """Pieces passed to `write` go, in order, to `consume` in a thread of
    its own, and `finish` runs there last, on `close`. A failure is raised
    by the next `write` or by `close`, through `translate` (the error as
    the caller wants it raised; by default as it is); after a failure the
    pieces still queued are dropped."""

    def __init__(
        self,
        consume: Callable[[T], None],
        finish: Callable[[], None] | None = None,
        name: str = "mendseqs-writer",
        translate: Callable[[BaseException], BaseException] | None = None,
    ) -> None:
        self._consume, self._finish = consume, finish
        self._translate = translate or (lambda error: error)
        # A few pieces ahead at most: memory holds a handful of batches.
        self._queue: queue.Queue[tuple[T] | None] = queue.Queue(maxsize=4)
        self._error: BaseException | None = None
        self._closed = False
        self._thread = threading.Thread(target=self._run, name=name, daemon=True)
        self._thread.start()

    def _run(self) -> None:
        while (item := self._queue.get()) is not None:
            if self._error is None:
                try:
                    self._consume(item[0])
                except BaseException as error:
                    self._error = error

    def _raise(self) -> None:
        if self._error is not None:
            error, self._error = self._error, None
            raise self._translate(error)

    def write(self, piece: T) -> None:
        self._raise()
        self._queue.put((piece,))

    def close(self) -> None:
        """Waits for every piece to be written, then finishes; once."""
        if self._closed:
            return
        self._closed = True
        self._queue.put(None)
        self._thread.join()
        if self._finish is not None:
            try:
                self._finish()
            except BaseException as error:
                self._error = self._error or error
        self._raise()


def naming(name: str) -> Callable[[BaseException], BaseException]:
    """A failed system call as the run's one line about the file `name`
    (see errors.about)."""

    def translate(error: BaseException) -> BaseException:
        if isinstance(error, OSError) and not isinstance(error, BrokenPipeError):
            return InputError(described(error, name))
        return error

    return translate


def text_writer(out: IO[bytes], name: str) -> WriterThread[str]:
    """Text, UTF-8 encoded, into the binary stream `out` for the file `name`."""

    def consume(text: str) -> None:
        out.write(text.encode())

    return WriterThread(consume, translate=naming(name))
