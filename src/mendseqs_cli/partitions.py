"""Counted reads spread over temporary files by a hash of (cell, gene), so
that each UMI group lies whole in one file and the groups are clustered
one file at a time: memory holds one file's reads, never the run's.

Files are unnamed (unlinked at once, in $TMPDIR or /tmp), so nothing stays
behind whatever ends the run; lines are written in compressed chunks
(zlib, fastest level).
"""

from __future__ import annotations

import struct
import tempfile
import zlib
from collections.abc import Iterator
from typing import IO

# Enough that a file of 10^8 reads holds about 1.5 million: a few hundred
# MB while it is clustered.
PARTS = 64
_CHUNK = 1 << 16  # bytes of lines gathered before one is compressed
_LENGTH = struct.Struct("<I")


def part_of(cell: int, gene: int) -> int:
    return zlib.crc32(cell.to_bytes(8, "little") + gene.to_bytes(8, "little")) % PARTS


class Partitions:
    def __init__(self, prefix: str = "mendseqs-count-") -> None:
        self._files: list[IO[bytes]] = []
        self._prefix = prefix
        self._pending: list[list[str]] = [[] for _ in range(PARTS)]
        self._sizes = [0] * PARTS
        self.lines = [0] * PARTS

    def _file(self, part: int) -> IO[bytes]:
        while len(self._files) <= part:
            self._files.append(tempfile.TemporaryFile(prefix=self._prefix))
        return self._files[part]

    def add(self, part: int, line: str) -> None:
        """One line (its newline included) for `part`."""
        self._pending[part].append(line)
        self._sizes[part] += len(line)
        self.lines[part] += 1
        if self._sizes[part] >= _CHUNK:
            self._flush(part)

    def _flush(self, part: int) -> None:
        if not self._pending[part]:
            return
        data = zlib.compress("".join(self._pending[part]).encode(), 1)
        out = self._file(part)
        out.write(_LENGTH.pack(len(data)))
        out.write(data)
        self._pending[part].clear()
        self._sizes[part] = 0

    def lines_of(self, part: int) -> Iterator[str]:
        """The lines added to `part`, in order (the trailing newline kept)."""
        self._flush(part)
        if part >= len(self._files):
            return
        source = self._file(part)
        source.seek(0)
        while header := source.read(_LENGTH.size):
            (length,) = _LENGTH.unpack(header)
            yield from zlib.decompress(source.read(length)).decode().splitlines(keepends=True)

    def close(self) -> None:
        for file in self._files:
            file.close()
        self._files.clear()
