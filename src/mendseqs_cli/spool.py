"""Pass 1's reads and results kept for pass 2 (`--cells auto`).

Calling cells needs every read's barcode before the first read can be
assigned. Rather than read the input twice (stdin cannot be) and tag every
read twice (the run's main cost), pass 1 writes each batch with its tag
results to a temporary file, compressed (about the size of the input
gzipped), and pass 2 reads them back. The file is unnamed (unlinked at once,
in $TMPDIR or /tmp), so nothing stays behind whatever ends the run.
"""

from __future__ import annotations

import pickle
import struct
import tempfile
import zlib
from collections.abc import Iterator
from typing import IO, Any

from .molecules import SpooledMolecule
from .records import Batch

_LENGTH = struct.Struct("<Q")


def _codec() -> tuple[Any, Any]:
    """(compress, decompress): ISA-L's where installed, several times faster
    than zlib's at its fastest level, which is otherwise used."""
    # isal is optional (pyproject's `fast` extra): imported where it is used.
    try:
        from isal import isal_zlib  # type: ignore[import-untyped,import-not-found,unused-ignore]
    except ImportError:
        return (lambda data: zlib.compress(data, 1)), zlib.decompress
    return (lambda data: isal_zlib.compress(data, 1)), isal_zlib.decompress


class Spool:
    def __init__(self) -> None:
        self._file: IO[bytes] = tempfile.TemporaryFile(prefix="mendseqs-tag-")
        self._compress, self._decompress = _codec()
        self.batches = 0

    def add(self, batch: Batch, tagged: list[tuple[Any, ...]]) -> None:
        # Molecules as plain tuples: their type pickles by name, which the
        # module does not register.
        results = [tuple(map(tuple, molecules)) for molecules in tagged]
        data = self._compress(pickle.dumps((batch, results), protocol=pickle.HIGHEST_PROTOCOL))
        self._file.write(_LENGTH.pack(len(data)))
        self._file.write(data)
        self.batches += 1

    def __iter__(self) -> Iterator[tuple[Batch, list[tuple[Any, ...]]]]:
        """The batches in the order added, their molecules with attribute
        names again; once."""
        self._file.seek(0)
        for _ in range(self.batches):
            (length,) = _LENGTH.unpack(self._file.read(_LENGTH.size))
            batch, results = pickle.loads(self._decompress(self._file.read(length)))
            yield batch, [tuple(map(SpooledMolecule._make, molecules)) for molecules in results]

    def close(self) -> None:
        self._file.close()
