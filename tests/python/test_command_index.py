"""The command with a saved index: `mendseqs index` once, then any number
of `mendseqs correct` runs that load it, with the same results as from the
references; a run builds at most once. Skipped while the module has no
ReferenceIndex."""

import shutil
import subprocess
import sys

import pytest


from test_command import DATA, expected_nearest_tsv, expected_tsv, mendseqs_command

MAGIC = b"\x89MSQIDX\n"


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    """`mendseqs index` once for the module's tests."""
    directory = tmp_path_factory.mktemp("built")
    index = directory / "refs.msqidx"
    run = mendseqs_command("index", DATA / "references.txt", "--max-flex", "2", "--threads", "2", "-o", index)
    assert run.returncode == 0, run.stderr
    assert run.stdout == ""
    assert run.stderr == f"index: 96 references, max_flex 2, written to {index}\n"
    assert index.read_bytes()[:8] == MAGIC
    assert [p.name for p in directory.iterdir()] == ["refs.msqidx"]  # no temporary file left
    return index


@pytest.fixture
def saved(built, tmp_path):
    """A copy of the index of `built`, for a test that may damage it."""
    index = tmp_path / built.name
    shutil.copyfile(built, index)
    return index


def test_correcting_from_a_saved_index_gives_what_the_references_give(saved):
    for threads in ("1", "2"):
        run = mendseqs_command("correct", saved, DATA / "queries.fasta", "--threads", threads, "--batch", "333")
        assert run.returncode == 0, run.stderr
        assert run.stdout == expected_tsv(max_flex=2)
    # The tolerance is the index's; naming it again is allowed, naming another is not.
    assert mendseqs_command("correct", saved, DATA / "queries.fasta", "--max-flex", "2").returncode == 0
    run = mendseqs_command(
        "correct",
        saved,
        DATA / "queries.fasta",
        "--pick",
        "nearest",
        "--margin",
        "1",
        "--threads",
        "2",
        "--batch",
        "333",
        "--quiet",
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout == expected_nearest_tsv(1, max_flex=2)


@pytest.mark.parametrize("case", ["other max-flex", "truncated", "flipped", "index onto a directory"])
def test_index_misuse_ends_in_one_line(saved, tmp_path, case):
    args, fragment = ["correct", saved, DATA / "queries.fasta"], str(saved)
    if case == "other max-flex":
        args += ["--max-flex", "3"]
        fragment = "was built for --max-flex 2, not 3"
    elif case == "truncated":
        saved.write_bytes(saved.read_bytes()[:100])
    elif case == "flipped":
        data = bytearray(saved.read_bytes())
        data[len(data) // 2] ^= 0x40
        saved.write_bytes(bytes(data))
    else:
        args, fragment = ["index", DATA / "references.txt", "--max-flex", "1", "-o", tmp_path], "is a directory"
    run = mendseqs_command(*args)
    assert run.returncode == 1 and run.stdout == ""
    assert run.stderr.count("\n") == 1 and run.stderr.startswith("mendseqs: error: "), run.stderr
    assert fragment in run.stderr


@pytest.mark.parametrize(
    "max_flex, note",
    [
        # Stored as given, and said as stored.
        ("-5", ""),
        # Every reference is shorter: built all the same (the module fails
        # only a read that meets one), and said so.
        ("25", " (96 shorter than max_flex: a read that meets one of them is an error)"),
    ],
)
def test_index_keeps_the_tolerance_as_given(tmp_path, max_flex, note):
    index = tmp_path / "refs.msqidx"
    run = mendseqs_command("index", DATA / "references.txt", "--max-flex", max_flex, "-o", index)
    assert run.returncode == 0, run.stderr
    assert run.stderr == f"index: 96 references{note}, max_flex {max_flex}, written to {index}\n"
    run = mendseqs_command("correct", index, DATA / "queries.fasta", "--max-flex", max_flex, "--quiet")
    if max_flex == "-5":
        assert run.returncode == 0 and run.stdout == expected_tsv(max_flex=-5), run.stderr
    else:
        assert run.returncode == 1 and "shorter than --max-flex 25" in run.stderr, run.stderr


BUILDS_COUNTED = """
import sys, mendseqs, mendseqs_cli
real = mendseqs.ReferenceIndex
counts = {"built": 0, "loaded": 0}
class Counting:
    def __call__(self, *args):
        counts["built"] += 1
        return real(*args)
    def load(self, path):
        counts["loaded"] += 1
        return real.load(path)
mendseqs.ReferenceIndex = Counting()
status = mendseqs_cli.main(sys.argv[1:])
print(counts, file=sys.stderr)
sys.exit(status)
"""


@pytest.mark.parametrize("pick", ["first", "nearest"])
@pytest.mark.parametrize("from_index", [False, True])
def test_a_run_prepares_the_references_at_most_once(saved, from_index, pick):
    references = saved if from_index else DATA / "references.txt"
    run = subprocess.run(
        [
            sys.executable,
            "-c",
            BUILDS_COUNTED,
            "correct",
            str(references),
            str(DATA / "queries.fasta"),
            "--max-flex",
            "2",
            "--batch",
            "100",
            "--quiet",
            "--pick",
            pick,
        ],
        capture_output=True,
        text=True,
    )
    assert run.returncode == 0, run.stderr
    # 20 batches
    assert run.stdout == (expected_tsv(max_flex=2) if pick == "first" else expected_nearest_tsv(0, max_flex=2))
    assert run.stderr == ("{'built': 0, 'loaded': 1}\n" if from_index else "{'built': 1, 'loaded': 0}\n")
