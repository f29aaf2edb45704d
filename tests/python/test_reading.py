"""The command's two readers give the same records: dnaio, fast, for
regular FASTA and FASTQ files, and the Python reader that takes over
wherever dnaio refuses or would read otherwise. Random files with every
quirk met in the wild, read both ways: the same batches, or the same error."""

import gzip
import random

import pytest

from mendseqs_cli import reading
from mendseqs_cli.errors import InputError
from mendseqs_cli.sources import checked, open_source

QUIRKS = [
    "crlf",
    "blank line",
    "plus names",
    "plus other name",
    "spaces",
    "non-ascii",
    "short quality",
    "tab",
    "empty sequence",
    "multi-line fasta",
    "bom",
    "cut short",
    "none",
]


def fastq(rng, quirk, count):
    lines = []
    for i in range(count):
        sequence = "".join(rng.choice("ACGTN") for _ in range(rng.randint(1, 30)))
        quality = "".join(rng.choice("!#5?IF") for _ in sequence)
        plus = "+"
        if i == count // 2:
            if quirk == "plus names":
                plus = f"+r{i} x"
            elif quirk == "plus other name":
                plus = "+another"
            elif quirk == "spaces":
                sequence, quality = f" {sequence}  ", f"{quality} "
            elif quirk == "non-ascii":
                sequence = sequence[:-1] + "\u00e9"
            elif quirk == "short quality":
                quality = quality[:-1]
            elif quirk == "tab":
                sequence, quality = sequence + "\tA", quality + "II"
            elif quirk == "empty sequence":
                sequence = quality = ""
            elif quirk == "blank line":
                lines.append("")
        lines += [f"@r{i} x", sequence, plus, quality]
    if quirk == "cut short":
        lines = lines[:-2]
    return lines


def fasta(rng, quirk, count):
    lines = []
    for i in range(count):
        sequence = "".join(rng.choice("ACGT") for _ in range(rng.randint(0, 50)))
        parts = [sequence[j : j + 7] for j in range(0, len(sequence), 7)] if quirk == "multi-line fasta" else [sequence]
        if i == count // 2 and quirk == "spaces":
            parts = [f" {part} " for part in parts] or [" "]
        if i == count // 2 and quirk == "non-ascii":
            parts.append("\u00e9A")
        lines += [f">r{i} x", *parts]
    return lines


def read(path, size, fast):
    saved = reading.fast_reader
    if not fast:
        reading.fast_reader = None
    try:
        with open_source(str(path)) as source:
            return [(b.headers, b.sequences, b.qualities) for b in checked(str(path), reading.batches(source, size))]
    except InputError as error:
        return str(error)
    finally:
        reading.fast_reader = saved


def joined(result):
    """Records regardless of how they were cut into batches."""
    if isinstance(result, str):
        return result
    return [
        record
        for headers, sequences, qualities in result
        for record in zip(headers, sequences, qualities or [None] * len(headers), strict=True)
    ]


@pytest.mark.skipif(reading.fast_reader is None, reason="dnaio is not installed here")
@pytest.mark.parametrize("quirk", QUIRKS)
@pytest.mark.parametrize("kind", ["fastq", "fasta"])
def test_fast_and_python_readers_agree(tmp_path, kind, quirk):
    rng = random.Random(f"{kind}{quirk}")
    lines = (fastq if kind == "fastq" else fasta)(rng, quirk, 301)
    newline = "\r\n" if quirk == "crlf" else "\n"
    data = (newline.join(lines) + newline).encode()
    if quirk == "bom":
        data = b"\xef\xbb\xbf" + data
    for name, content in [("plain", data), ("packed.gz", gzip.compress(data))]:
        path = tmp_path / name
        path.write_bytes(content)
        for size in (1, 7, 1000):
            slow, fast = read(path, size, fast=False), read(path, size, fast=True)
            assert joined(fast) == joined(slow), (name, size)
            if not isinstance(slow, str):
                assert [len(b[1]) for b in fast][:-1] == [size] * (len(fast) - 1) or size == 1000
    expect_error = kind == "fastq" and quirk in ("short quality", "cut short")
    assert isinstance(slow, str) == expect_error, slow


@pytest.mark.parametrize(
    "text",
    [
        "AC\n\n  GT \nT\tA\n",
        "\n\n>r1\nAC\nGT\n>r2\nA\n",
        "\n@r\nACG\n+\nIII\n",
        "ACGT",
        "",
        "\n \n",
        "\u00e9A\r\nCC\r\n",
    ],
)
def test_reference_lists_read_in_blocks_as_record_by_record(tmp_path, text):
    path = tmp_path / "refs"
    path.write_text(text, encoding="utf-8", newline="")
    with open_source(str(path)) as source:
        one_by_one = [s for b in reading.batches(source, 3) for s in b.sequences]
    assert reading.read_all(str(path)) == one_by_one


def test_reference_list_errors_name_the_file(tmp_path):
    path = tmp_path / "refs.gz"
    path.write_bytes(gzip.compress(b"ACGT\n" * 10000)[:-20])
    with pytest.raises(InputError, match="refs.gz: compressed data ends early"):
        reading.read_all(str(path))
    path.write_bytes(b"AC\xff\n")
    with pytest.raises(InputError, match="refs.gz: not a text file"):
        reading.read_all(str(path))


@pytest.mark.parametrize(
    "sam",
    [
        # A header line htslib keeps but pysam refuses by an assert.
        b"@HD\tVN:1.\x006\tSO:unkn@HD\tVN:1.\x006\tSO:unknown\nr0\t4\t*\t0\t0\t*\t*\t0\t0\tACGT\tIIII\n",
        # A record htslib parses but cannot give back as text.
        b"@HD\tVN:1.6\tSO:unknown\nr2\t4\t*\t0\t0\t*\t*\t0\t0\tGCNC\tIIII\tML:BTA\n",
    ],
)
def test_damaged_sam_found_by_the_fuzzer_is_one_input_error(tmp_path, sam):
    pytest.importorskip("pysam")
    path = str(tmp_path / "in.sam")
    with open(path, "wb") as file:
        file.write(sam)
    with pytest.raises(InputError, match=r"in\.sam: truncated or damaged SAM"):
        with open_source(path) as source:
            for _ in checked(path, reading.batches(source, 3)):
                pass
