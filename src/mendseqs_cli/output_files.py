"""A run's output files, checked before the run and committed together
after it.

Before any work (`check`): every output's directory exists, no output is
a directory, no two outputs name the same file and none names an input
(compared by device and inode where the file exists, by resolved path
where it does not yet), and at most one output is stdout (`-`).

During the run (`Outputs.open`): a regular file, or a path that does not
exist yet, is written to a temporary file beside it. Anything else (a
device such as /dev/null or /dev/stdout, a FIFO, a terminal, `-`) is
written straight through, since renaming over it would replace it with a
regular file.

After it (`Outputs.commit`): every stream is finished (compressor flushed,
data on disk with fsync, as the module's own index writer does), then each
temporary file is renamed over its target. A failure names the file it
was about and leaves none of the run's files behind; so does a run that
never commits (an error, Ctrl+C, a termination signal). A symbolic link
is followed: its target is replaced, the link stays.
"""

from __future__ import annotations

import contextlib
import fcntl
import gzip
import os
import stat
import tempfile
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from typing import IO, cast

from .errors import InputError, about
from .records import STDIN, shown

STDOUT = STDIN  # `-` as an output
# gzip's own default. Python's, level 9, wrote 3% less on the example TSV but
# took 3.5 times as long, more than the correction itself.
COMPRESS_LEVEL = 6
# ISA-L's levels run from 0 to 3; at 2 a FASTQ file comes out within 5% of
# zlib's level 6, at about eighteen times its speed.
ISAL_LEVEL = 2


def is_regular_target(path: str) -> bool:
    """Whether `path` is written through a temporary file and a rename (a
    regular file, or nothing yet), rather than straight through."""
    if path == STDOUT:
        return False
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return True


def _identity(path: str) -> tuple[int, int] | str:
    """What tells two paths apart: device and inode where the file exists
    (through links, /dev/stdin, /proc/self/fd/N), else the resolved path."""
    try:
        status = os.fstat(0) if path == STDIN else os.stat(path)
    except OSError:
        return os.path.realpath(path)
    return status.st_dev, status.st_ino


def check(outputs: Iterable[tuple[str, str | None]], inputs: Iterable[str] = ()) -> None:
    """Refuses, before any work, outputs that would fail at the end or
    destroy data: `outputs` are (option, path or None), `inputs` paths."""
    named = [(option, path) for option, path in outputs if path is not None]
    stdout = [option for option, path in named if path == STDOUT]
    if len(stdout) > 1:
        raise InputError(f"{' and '.join(stdout)} both name stdout (-): one output at most may go there")
    seen: dict[tuple[int, int] | str, str] = {}
    for path in inputs:
        if path == STDIN and not stat.S_ISREG(os.fstat(0).st_mode):
            continue  # a pipe or a terminal: no output can be it
        seen.setdefault(_identity(path), f"the input {shown(path)}")
    for option, path in named:
        if path == STDOUT:
            continue
        _check_place(option, path)
        try:
            status: os.stat_result | None = os.stat(path)
        except OSError:
            status = None
        if status is not None and not stat.S_ISREG(status.st_mode):
            # A device, a FIFO: written straight through, and several outputs
            # may share /dev/null.
            continue
        key = _identity(path)
        if key in seen:
            raise InputError(
                f"{option} {path} is {seen[key]}: each output needs a file of its own, apart from the inputs"
            )
        seen[key] = f"also {option}'s file"


def _check_place(option: str, path: str) -> None:
    """The output's directory exists and may be written in; the output is
    not a directory."""
    target = os.path.realpath(path)
    if os.path.isdir(target):
        raise InputError(f"{option} {path}: is a directory")
    directory = os.path.dirname(target) or "."
    if not os.path.isdir(directory):
        raise InputError(f"{option} {path}: no such directory {os.path.dirname(path) or '.'}")
    if not os.access(directory, os.W_OK | os.X_OK):
        raise InputError(f"{option} {path}: cannot write in {os.path.dirname(path) or '.'} (permission denied)")


def above_standard_streams(fd: int) -> int:
    """`fd`, or a copy numbered 3 or more: a result file on 0, 1 or 2 would
    receive whatever else is written there (progress, messages)."""
    if fd > 2:
        return fd
    try:
        return fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 3)
    finally:
        os.close(fd)


def gzip_writer(raw: IO[bytes]) -> IO[bytes]:
    """A compressing writer, with no name or time in the gzip header (the
    same results give the same file): ISA-L's where it is installed (at
    long-read rates zlib alone would be the run's bottleneck), else the
    standard library's. Both let go of the interpreter lock while they
    compress."""
    # isal is optional (pyproject's `fast` extra): imported where it is used.
    try:
        from isal import igzip  # type: ignore[import-untyped,import-not-found,unused-ignore]
    except ImportError:
        return cast(
            IO[bytes], gzip.GzipFile(filename="", fileobj=raw, mode="wb", compresslevel=COMPRESS_LEVEL, mtime=0)
        )
    return cast(IO[bytes], igzip.IGzipFile(filename="", fileobj=raw, mode="wb", compresslevel=ISAL_LEVEL, mtime=0))  # type: ignore[no-untyped-call,unused-ignore]


@dataclass
class _Output:
    path: str  # as given, for messages
    raw: IO[bytes]
    stream: IO[bytes]  # what is written to: `raw`, or a compressor over it
    target: str | None = None  # the file replaced at commit (None: straight through)
    temporary: str | None = None

    def finish(self) -> None:
        with about(self.path):
            if self.stream is not self.raw:
                self.stream.close()
            if self.temporary is not None:
                self.raw.flush()
                os.fsync(self.raw.fileno())
            self.raw.close()

    def discard(self) -> None:
        for stream in (self.stream, self.raw):
            with contextlib.suppress(Exception):
                stream.close()
        if self.temporary is not None:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(self.temporary)


class Outputs:
    """The output files of one run (see the module's description); used as
    a context manager, which discards whatever was not committed."""

    def __init__(self, closed: frozenset[int] = frozenset()) -> None:
        self._closed = closed  # the standard streams closed when the run began
        self._open: list[_Output] = []

    def open(self, path: str, compressed: bool = False) -> IO[bytes]:
        """A binary stream for the output meant for `path` (`-`: stdout)."""
        if path == STDOUT:
            if 1 in self._closed:
                raise InputError("stdout is closed: name an output file instead of -")
            # A private copy: the module's progress bar is sent elsewhere by
            # redirecting fd 1 during each call, which must not take
            # buffered results with it.
            return self._add("stdout", open(os.dup(1), "wb"), compressed)
        if not is_regular_target(path):
            with about(path):
                fd = above_standard_streams(os.open(path, os.O_WRONLY | os.O_CLOEXEC))
            return self._add(path, open(fd, "wb"), compressed)
        target = os.path.realpath(path)
        if os.path.isdir(target):
            raise InputError(f"{path}: is a directory")
        with about(path):
            fd, temporary = tempfile.mkstemp(
                dir=os.path.dirname(target), prefix=f".{os.path.basename(target)}.", suffix=".part"
            )
        raw = open(above_standard_streams(fd), "wb")
        umask = os.umask(0)
        os.umask(umask)
        os.fchmod(raw.fileno(), 0o666 & ~umask)  # mkstemp makes it private
        return self._add(path, raw, compressed, target, temporary)

    def write(self, path: str, data: bytes, compressed: bool = False) -> None:
        """`data`, the whole of the output `path`."""
        stream = self.open(path, compressed)
        with about(path):
            stream.write(data)

    def _add(
        self, path: str, raw: IO[bytes], compressed: bool, target: str | None = None, temporary: str | None = None
    ) -> IO[bytes]:
        output = _Output(path, raw, raw, target, temporary)
        self._open.append(output)
        if compressed:
            output.stream = gzip_writer(raw)
        return output.stream

    def commit(self) -> None:
        """Every output finished, then every new file put in place; on a
        failure, none of them, and one line naming the file that failed."""
        try:
            for output in self._open:
                output.finish()
            for output in self._open:
                if output.temporary is not None and output.target is not None:
                    with about(output.path):
                        os.replace(output.temporary, output.target)
                    output.temporary = None
        except BaseException:
            self.discard()
            raise
        self._open = []

    def discard(self) -> None:
        for output in self._open:
            output.discard()
        self._open = []

    def __enter__(self) -> Outputs:
        return self

    def __exit__(self, *exc: object) -> None:
        self.discard()


@contextlib.contextmanager
def output_file(path: str, compressed: bool) -> Iterator[IO[bytes]]:
    """One output file (see Outputs), committed when the block succeeds."""
    with Outputs() as outputs:
        yield outputs.open(path, compressed)
        outputs.commit()
