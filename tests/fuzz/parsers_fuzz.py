"""Mutation fuzzing of the command's parsers of untrusted input, in Python:
the sniffing and reading of FASTA, FASTQ, one-per-line, gzip, SAM and BAM
(reading.py, sources.py, bam.py), and the MM/ML rewriter (modifications.py).

Sound seed files are damaged at random (bytes flipped, inserted, deleted,
repeated, cut short, spliced from another seed) and read whole, both by
batches and by read_all. Each must give records or one InputError (the
run's one line, naming the file); anything else is a crash, saved to
ARTIFACTS and reported. The rewriter is given damaged tags and arbitrary
slices: it must return tags or leave them out, and a slice of the whole
read forward must give the tags back as they were.

    python3.14 tests/fuzz/parsers_fuzz.py SECONDS [ARTIFACTS] [--seed N]

Needs only the package on PYTHONPATH (not the native module); pysam for
SAM/BAM, which is skipped where it is absent.
"""

from __future__ import annotations

import argparse
import contextlib
import faulthandler
import gzip
import io
import os
import random
import sys
import tempfile
import time
import traceback
from collections.abc import Iterator
from typing import IO

from mendseqs_cli.errors import InputError
from mendseqs_cli.modifications import carried
from mendseqs_cli.reading import batches, read_all
from mendseqs_cli.sources import checked, open_source

try:
    import pysam  # type: ignore[import-untyped,import-not-found,unused-ignore]
except ImportError:
    pysam = None


HANG_SECONDS = 20


def seeds(rng: random.Random) -> list[bytes]:
    """Sound files of every kind the readers tell apart."""

    def sequence(n: int) -> str:
        return "".join(rng.choice("ACGTN") for _ in range(n))

    reads = [(f"r{i} x", sequence(rng.randint(1, 40))) for i in range(6)]
    fastq = "".join(f"@{h}\n{s}\n+\n{'I' * len(s)}\n" for h, s in reads).encode()
    fasta = "".join(f">{h}\n{s[:20]}\n{s[20:]}\n" for h, s in reads).encode()
    lines = "".join(f"{s}\n" for _, s in reads).encode()
    sam = (
        "@HD\tVN:1.6\tSO:unknown\n"
        + "".join(
            f"{h.split()[0]}\t{4 + 16 * (i % 2)}\t*\t0\t0\t*\t*\t0\t0\t{s}\t{'I' * len(s)}\tMM:Z:C+m,0;\tML:B:C,200\n"
            for i, (h, s) in enumerate(reads)
        )
    ).encode()
    out = [fastq, fasta, lines, sam, gzip.compress(fastq, mtime=0), b"\xef\xbb\xbf" + fasta]
    if pysam is not None:
        out.append(_bam(sam))
    return out


def _bam(sam: bytes) -> bytes:
    with tempfile.TemporaryDirectory() as folder:
        text, binary = os.path.join(folder, "in.sam"), os.path.join(folder, "out.bam")
        with open(text, "wb") as out:
            out.write(sam)
        with pysam.AlignmentFile(text, "r", check_sq=False) as source:
            with pysam.AlignmentFile(binary, "wb", template=source) as sink:
                for record in source.fetch(until_eof=True):
                    sink.write(record)
        with open(binary, "rb") as made:
            return made.read()


def mutated(rng: random.Random, data: bytes, others: list[bytes]) -> bytes:
    out = bytearray(data)
    for _ in range(rng.randint(1, 8)):
        kind = rng.randrange(7)
        at = rng.randrange(len(out) + 1)
        if kind == 0 and out:
            out[min(at, len(out) - 1)] = rng.randrange(256)
        elif kind == 1:
            out[at:at] = bytes([rng.choice(b"\n\t\r @>+ACGT\x00\xff\x1f\x8b")])
        elif kind == 2:
            del out[at : at + rng.randint(1, 16)]
        elif kind == 3:
            out[at:at] = out[at : at + rng.randint(1, 32)]
        elif kind == 4:
            del out[at:]
        elif kind == 5:
            other = rng.choice(others)
            start = rng.randrange(len(other) + 1)
            out[at:at] = other[start : start + rng.randint(1, 64)]
        else:
            out[at:at] = rng.choice([b"\n\n", b"@", b">", b"+", b"\xef\xbb\xbf", b"\x1f\x8b\x08"])
    return bytes(out)


def read_whole(path: str) -> None:
    """Every record of `path`, both ways the command reads a file."""
    with open_source(path) as source:
        for batch in checked(path, batches(source, 3)):
            assert len(batch.sequences) == len(batch.headers)
            if batch.qualities is not None:
                assert list(map(len, batch.qualities)) == list(map(len, batch.sequences))
    read_all(path)


@contextlib.contextmanager
def _stderr_to(file: IO[str]) -> Iterator[None]:
    saved = os.dup(2)
    os.dup2(file.fileno(), 2)
    try:
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)


def fuzz_readers(rng: random.Random, until: float, artifacts: str) -> tuple[int, list[str]]:
    pool = seeds(rng)
    crashes: list[str] = []
    runs = 0
    os.makedirs(artifacts, exist_ok=True)
    with tempfile.TemporaryDirectory() as folder, tempfile.TemporaryFile("w+") as said:
        path = os.path.join(folder, "input")
        while time.monotonic() < until:
            data = mutated(rng, rng.choice(pool), pool)
            with open(path, "wb") as out:
                out.write(data)
            with open(os.path.join(artifacts, "current"), "wb") as out:
                out.write(data)  # what a hang was reading
            runs += 1
            # A hang is a crash too: every thread's stack, and the end.
            faulthandler.dump_traceback_later(HANG_SECONDS, exit=True)
            said.seek(0)
            said.truncate()
            try:
                with _stderr_to(said):
                    read_whole(path)
            except InputError as error:
                if "\n" in str(error) or not str(error).startswith(path):
                    crashes.append(_save(artifacts, "reader", data, f"not one line naming the file: {error!r}"))
            except Exception:
                crashes.append(_save(artifacts, "reader", data, traceback.format_exc()))
            finally:
                faulthandler.cancel_dump_traceback_later()
            said.seek(0)
            if extra := said.read():
                # The run's error must be its only line on stderr.
                crashes.append(_save(artifacts, "reader", data, f"wrote to stderr: {extra[-300:]!r}"))
    return runs, crashes


def _modification_tags(rng: random.Random, read: str) -> tuple[str, str, bool]:
    """MM and ML for `read`, and whether they were damaged after being made
    sound (as they often are)."""
    entries, probabilities = [], []
    for base, codes in (("C", "m"), ("A", "a"), ("N", "h")):
        count = read.count(base) if base != "N" else len(read)
        calls = sorted(rng.sample(range(count), k=min(count, rng.randint(0, 4))))
        steps = [b - a - 1 for a, b in zip([-1, *calls], calls, strict=False)]
        entries.append(f"{base}+{codes}{rng.choice(['', '.', '?'])}" + "".join(f",{s}" for s in steps) + ";")
        probabilities += [rng.randrange(256) for _ in calls]
    mm = "MM:Z:" + "".join(entries)
    ml = "ML:B:C" + "".join(f",{p}" for p in probabilities)
    damaged = rng.random() < 0.6
    if damaged:
        damage = rng.choice([",", ";", "-1", "999", "x", "", "+", ",,", "C", "\t"])
        which = rng.randrange(2)
        text = [mm, ml][which]
        at = rng.randrange(5, len(text) + 1)
        text = text[:at] + damage + text[at + rng.randint(0, 2) :]
        mm, ml = (text, ml) if which == 0 else (mm, text)
    return mm, ml, damaged


def fuzz_rewriter(rng: random.Random, until: float, artifacts: str) -> tuple[int, list[str]]:
    crashes: list[str] = []
    runs = 0
    while time.monotonic() < until:
        read = "".join(rng.choice("ACGTN") for _ in range(rng.randint(0, 60)))
        mm, ml, damaged = _modification_tags(rng, read)
        own = "\t".join([mm, ml] + ([f"MN:i:{len(read)}"] if rng.random() < 0.5 else []) + ["RG:Z:x"])
        start = rng.randint(0, len(read))
        end = rng.randint(start, len(read))
        runs += 1
        try:
            tags = carried(own, start, end, rng.random() < 0.5, read)
            assert "RG:Z:x" in tags
            if not damaged:  # the whole read, forward: the tags as they were
                whole = carried(own, 0, len(read), False, read)
                assert [t for t in whole if t.startswith(("MM", "ML"))] == [mm, ml], (whole, mm, ml)
        except Exception:
            crashes.append(
                _save(artifacts, "rewriter", f"{read}\n{own}\n{start} {end}".encode(), traceback.format_exc())
            )
    return runs, crashes


def _save(artifacts: str, kind: str, data: bytes, why: str) -> str:
    os.makedirs(artifacts, exist_ok=True)
    path = os.path.join(artifacts, f"{kind}-{len([n for n in os.listdir(artifacts) if n.endswith('.why')])}")
    with open(path, "wb") as out:
        out.write(data)
    with open(path + ".why", "w") as out:
        out.write(why)
    return f"{path}: {why.strip().splitlines()[-1]}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("seconds", type=float)
    parser.add_argument("artifacts", nargs="?", default=os.path.join(tempfile.gettempdir(), "parsers-fuzz"))
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.randrange(1 << 32)
    rng = random.Random(seed)
    now = time.monotonic()
    readers, reader_crashes = fuzz_readers(rng, now + args.seconds * 2 / 3, args.artifacts)
    rewrites, rewriter_crashes = fuzz_rewriter(rng, time.monotonic() + args.seconds / 3, args.artifacts)
    print(
        f"parsers: seed {seed}, {readers} damaged files read, {rewrites} MM/ML rewrites"
        f"{'' if pysam is not None else ' (no pysam: SAM/BAM seeds left out)'}"
    )
    for crash in reader_crashes + rewriter_crashes:
        print(f"crash: {crash}", file=sys.stderr)
    return 1 if reader_crashes or rewriter_crashes else 0


if __name__ == "__main__":
    # Buffered stdout keeps the summary in order with libFuzzer's output.
    sys.stdout = io.TextIOWrapper(sys.stdout.buffer, line_buffering=True)
    sys.exit(main())
