"""The `mendseqs` command, run as a user would: every input and output
format, and every way a run can go wrong, which must end either in complete
results and exit 0 or in one line on stderr, exit 1 and no file left."""

import gzip
import json
import os
import signal
import stat
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

import pytest

import mendseqs

ROOT = Path(__file__).resolve().parents[2]
DATA = ROOT / "examples" / "data"
REFERENCES = (DATA / "references.txt").read_text().split()
RECORDS = [(r.split("\n")[0], r.split("\n")[1]) for r in (DATA / "queries.fasta").read_text().split(">")[1:]]
QUERIES = [sequence for _, sequence in RECORDS]
COMMAND = [sys.executable, "-m", "mendseqs_cli"]


def mendseqs_command(*args, cwd=None, **options):
    return subprocess.run([*COMMAND, *map(str, args)], capture_output=True, text=True, cwd=cwd, **options)


def expected(max_flex=3, queries=QUERIES, references=REFERENCES):
    saved = os.dup(1)  # the module's progress bar goes to fd 1
    with open(os.devnull, "w") as null:
        os.dup2(null.fileno(), 1)
    try:
        return mendseqs.correct_seq_mt(references, queries, max_flex, 1)
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def expected_tsv(records=RECORDS, max_flex=3, references=REFERENCES):
    fixed = expected(max_flex, [sequence for _, sequence in records], references)
    return "".join(f"{name}\t{sequence}\t{result}\n" for (name, sequence), result in zip(records, fixed, strict=True))


def fastq_text(records):
    return "".join(f"@{name} extra words\n{seq}\n+\n{'I' * len(seq)}\n" for name, seq in records)


def fasta_text(records):
    return "".join(f">{name}\n{seq}\n" for name, seq in records)


def test_shipped_data_to_stdout_as_tsv():
    run = mendseqs_command(
        "correct", DATA / "references.txt", DATA / "queries.fasta", "--max-flex", "3", "--threads", "2"
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout == expected_tsv()
    matched = sum(1 for line in run.stdout.splitlines() if not line.endswith("\t"))
    assert len(QUERIES) // 2 < matched < len(QUERIES)
    # No module progress bar anywhere (stderr is not a terminal): the summary alone.
    assert run.stderr.startswith(
        f"reads: {len(QUERIES)}, matched: {matched}, unmatched: {len(QUERIES) - matched}, reads/s: "
    ), run.stderr
    assert run.stderr.count("\n") == 1


def test_input_format_is_told_from_content_and_output_from_suffix(tmp_path):
    # gzip-compressed FASTQ under a name that says neither, and gzipped
    # one-per-line references: the content decides.
    queries = tmp_path / "queries.txt"
    queries.write_bytes(gzip.compress(fastq_text(RECORDS).encode()))
    references = tmp_path / "refs"
    references.write_bytes(gzip.compress("\n".join(REFERENCES).encode()))
    # Batches smaller than the input, of a size that does not divide it.
    run = mendseqs_command(
        "correct", references, queries, "--batch", "300", "--threads", "2", "-o", tmp_path / "out.fastq.gz"
    )
    assert run.returncode == 0, run.stderr
    written = gzip.decompress((tmp_path / "out.fastq.gz").read_bytes()).decode()
    assert written == "".join(
        f"@{name} extra words corrected={fixed}\n{seq}\n+\n{'I' * len(seq)}\n"
        for (name, seq), fixed in zip(RECORDS, expected(), strict=True)
    )
    run = mendseqs_command("correct", references, queries, "-o", tmp_path / "out.fa", "--quiet")
    assert run.returncode == 0 and run.stderr == "", run.stderr
    assert (tmp_path / "out.fa").read_text().splitlines()[:2] == [
        f">{RECORDS[0][0]} extra words corrected={expected()[0]}",
        RECORDS[0][1],
    ]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.fa", "out.fastq.gz", "queries.txt", "refs"]


def test_fastq_blank_lines_and_irregular_records_read_as_one_record_at_a_time(tmp_path):
    # Regular records are read four lines at a time; a blank line between
    # records, or a '+' line repeating the header, must not shift anything.
    text = fastq_text(RECORDS[:700]) + "\n" + fastq_text(RECORDS[700:1400]).replace("\n+\n", "\n+again\n")
    text += "\n\n" + fastq_text(RECORDS[1400:]) + "\n"
    (tmp_path / "q.fq").write_text(text)
    run = mendseqs_command("correct", DATA / "references.txt", tmp_path / "q.fq", "--batch", "512")
    assert run.returncode == 0, run.stderr
    assert run.stdout == expected_tsv()


# Every way of running the command that once went wrong, and the usual bad
# input: each must end in "records only, exit 0" or "one line, exit 1".


@dataclass
class Case:
    args: list
    error: str | None = None  # a fragment of the one error line; None: success
    output: Path | None = None  # where the records go; None: stdout
    wrap: str = ""  # shell redirections applied to the command
    check: object = None  # a further check of the paths involved, after the run
    reader: bool = False  # the output is a FIFO: read it meanwhile
    opener: object = Path.read_text  # how to read the output file
    records: str = field(default_factory=expected_tsv)


def with_bom(tmp_path):
    (tmp_path / "q.fa").write_bytes(b"\xef\xbb\xbf" + fasta_text(RECORDS).encode())
    (tmp_path / "refs.txt").write_bytes(b"\xef\xbb\xbf" + "\n".join(REFERENCES).encode())
    return Case(["correct", tmp_path / "refs.txt", tmp_path / "q.fa"])


def onto_fifo(tmp_path):
    os.mkfifo(tmp_path / "out.tsv")
    return Case(
        ["correct", DATA / "references.txt", DATA / "queries.fasta", "-o", tmp_path / "out.tsv"],
        output=tmp_path / "out.tsv",
        reader=True,
        check=lambda: stat.S_ISFIFO(os.lstat(tmp_path / "out.tsv").st_mode),
    )


def onto_symlink(tmp_path):
    (tmp_path / "real.tsv").write_text("old contents\n")
    (tmp_path / "link.tsv").symlink_to(tmp_path / "real.tsv")
    return Case(
        ["correct", DATA / "references.txt", DATA / "queries.fasta", "-o", tmp_path / "link.tsv"],
        output=tmp_path / "real.tsv",
        check=lambda: os.readlink(tmp_path / "link.tsv") == str(tmp_path / "real.tsv"),
    )


def onto_full_device_by_link(tmp_path):
    (tmp_path / "full").symlink_to("/dev/full")
    return Case(
        ["correct", DATA / "references.txt", DATA / "queries.fasta", "-o", tmp_path / "full"],
        error="No space left on device",
        check=lambda: os.readlink(tmp_path / "full") == "/dev/full",
    )


def tab_in_sequence(tmp_path):
    records = RECORDS[:5] + [("tabbed", "ACGT\tACGT")] + RECORDS[5:]
    (tmp_path / "q.fa").write_text(fasta_text(records))
    return Case(
        ["correct", DATA / "references.txt", tmp_path / "q.fa"], error="record 'tabbed': its sequence holds a tab"
    )


def query_shorter_than_tolerance(tmp_path, *extra):
    # In a worker thread the module's guard may read "Any { .. }": the
    # command names the read instead, the first of two that trip it.
    (tmp_path / "refs.txt").write_text("\n".join(REFERENCES + ["ACG"]))
    records = RECORDS[:1500] + [("short", "AC")] + RECORDS[1500:1700] + [("shorter", "A")] + RECORDS[1700:]
    (tmp_path / "q.fa").write_text(fasta_text(records))
    return Case(
        ["correct", tmp_path / "refs.txt", tmp_path / "q.fa", *extra],
        error="read 'short' is 2 letters long, shorter than --max-flex 3",
    )


def reference_shorter_than_tolerance(tmp_path, *extra, read=True):
    # A reference shorter than the tolerance fails only the reads that meet
    # it (pass both filters against it): the 24-letter reads never do.
    (tmp_path / "refs.txt").write_text("\n".join(REFERENCES + ["AC"]))
    records = RECORDS[:900] + [("tiny", "ACGTA")] + RECORDS[900:] if read else RECORDS
    (tmp_path / "q.fa").write_text(fasta_text(records))
    return Case(
        ["correct", tmp_path / "refs.txt", tmp_path / "q.fa", *extra],
        error="read 'tiny' meets reference 97 of" if read else None,
        records=expected_tsv(references=REFERENCES + ["AC"]) if not read else "",
    )


def truncated_gzip(tmp_path):
    data = gzip.compress(fastq_text(RECORDS).encode())
    (tmp_path / "q.fq.gz").write_bytes(data[: len(data) // 2])
    return Case(["correct", DATA / "references.txt", tmp_path / "q.fq.gz"], error="truncated gzip")


def quality_too_short(tmp_path):
    (tmp_path / "q.fq").write_text(
        fastq_text(RECORDS[:1500]) + "@bad\nACGTACGT\n+\nIIII\n" + fastq_text(RECORDS[1500:])
    )
    return Case(
        ["correct", DATA / "references.txt", tmp_path / "q.fq"],
        error="line 6004: FASTQ record 'bad' has 8 bases but 4 quality values",
    )


def empty_references(tmp_path):
    (tmp_path / "empty.fa").write_text("\n")
    return Case(["correct", tmp_path / "empty.fa", DATA / "queries.fasta"], error="no reference sequences")


def shipped(*extra):
    return lambda tmp_path: Case(["correct", DATA / "references.txt", DATA / "queries.fasta", *extra])


def shipped_to(name, wrap="", opener=Path.read_text):
    def case(tmp_path):
        return Case(
            ["correct", DATA / "references.txt", DATA / "queries.fasta", "-o", tmp_path / name],
            output=tmp_path / name,
            wrap=wrap,
            opener=opener,
        )

    return case


def not_quite_an_index(tmp_path):
    # Told a saved index by its first bytes, whether or not this build reads
    # them: either way one line naming the file.
    (tmp_path / "refs.idx").write_bytes(b"\x89MSQIDX\n" + bytes(range(256)) * 4)
    return Case(["correct", tmp_path / "refs.idx", DATA / "queries.fasta"], error="refs.idx")


def missing_file(tmp_path):
    return Case(["correct", DATA / "references.txt", tmp_path / "absent.fq"], error="absent.fq: no such file")


def shipped_failing(error, *extra, wrap=""):
    return lambda tmp_path: Case(
        ["correct", DATA / "references.txt", DATA / "queries.fasta", *extra], error=error, wrap=wrap
    )


def from_stdin(tmp_path, path, wrap):
    return Case(["correct", DATA / "references.txt", path], wrap=wrap)


CASES = {
    "bom": with_bom,
    "-o fifo": onto_fifo,
    "-o symlink": onto_symlink,
    "-o link to /dev/full": onto_full_device_by_link,
    "stderr closed": lambda tmp_path: Case(shipped()(tmp_path).args, wrap="2>&-"),
    "stderr closed, -o": shipped_to("out.tsv", wrap="2>&-"),
    "stdout closed, -o": shipped_to("out.tsv", wrap=">&-"),
    "all closed, -o": shipped_to("out.tsv", wrap="<&- >&- 2>&-"),
    "stdout closed": shipped_failing("stdout is closed", wrap=">&-"),
    "stdout full": shipped_failing("stdout: No space left on device", wrap=">/dev/full"),
    "stderr full": lambda tmp_path: Case(shipped()(tmp_path).args, wrap="2>/dev/full"),
    # A closed stdin is no empty input, whichever name it goes by.
    "stdin closed, -": lambda tmp_path: Case(
        ["correct", DATA / "references.txt", "-", "-o", tmp_path / "out.tsv"],
        error="stdin is closed: name a file to read instead of -",
        wrap="<&-",
    ),
    "stdin closed, /dev/stdin": lambda tmp_path: Case(
        ["correct", DATA / "references.txt", "/dev/stdin"], error="/dev/stdin is stdin, which is closed", wrap="<&-"
    ),
    "stdin closed, references -": lambda tmp_path: Case(
        ["correct", "-", DATA / "queries.fasta"], error="stdin is closed", wrap="<&-"
    ),
    "- is stdin": lambda tmp_path: from_stdin(tmp_path, "-", f"< '{DATA / 'queries.fasta'}'"),
    "/dev/null is empty input": lambda tmp_path: Case(
        ["correct", DATA / "references.txt", "/dev/null"], wrap="<&-", records=""
    ),
    "batch at its limit": shipped("--batch", "1000000000"),
    "max-flex -20 digits": lambda tmp_path: Case(
        shipped("--max-flex", "-12345678901234567890")(tmp_path).args, records=expected_tsv(max_flex=-1)
    ),
    "max-flex above every reference, 2 threads": shipped_failing(
        "shorter than --max-flex 30", "--max-flex", "30", "--threads", "2"
    ),
    "query shorter than max-flex": lambda tmp_path: query_shorter_than_tolerance(tmp_path, "--threads", "2"),
    "query shorter than max-flex, 1 thread": query_shorter_than_tolerance,
    "query shorter than max-flex, nearest": lambda tmp_path: query_shorter_than_tolerance(
        tmp_path, "--pick", "nearest", "--threads", "2"
    ),
    "reference shorter than max-flex, met": lambda tmp_path: reference_shorter_than_tolerance(
        tmp_path, "--threads", "2"
    ),
    "reference shorter than max-flex, met, nearest": lambda tmp_path: reference_shorter_than_tolerance(
        tmp_path, "--pick", "nearest", "--threads", "2"
    ),
    "reference shorter than max-flex, not met": lambda tmp_path: reference_shorter_than_tolerance(
        tmp_path, "--threads", "2", read=False
    ),
    ".TSV.GZ": shipped_to("OUT.TSV.GZ", opener=lambda path: gzip.decompress(path.read_bytes()).decode()),
    "tab": tab_in_sequence,
    "truncated gzip": truncated_gzip,
    "quality length": quality_too_short,
    "empty references": empty_references,
    "missing file": missing_file,
    "damaged index": not_quite_an_index,
    "pick first said": shipped("--pick", "first"),
}


@pytest.mark.parametrize("name", CASES)
def test_a_run_ends_in_records_and_0_or_in_one_line_and_1(tmp_path, name):
    case = CASES[name](tmp_path)
    received = {}
    if case.reader:
        reader = threading.Thread(target=lambda: received.update(text=case.output.read_text()))
        reader.start()
    before = set(tmp_path.iterdir())
    run = subprocess.run(
        ["sh", "-c", f'exec "$@" {case.wrap}', "sh", *COMMAND, *map(str, case.args)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    if case.reader:
        reader.join()
    lines = run.stderr.splitlines()
    if case.error is None:
        assert run.returncode == 0, run.stderr
        output = received.get("text") if case.reader else (case.opener(case.output) if case.output else run.stdout)
        assert output == case.records
        assert all(line.startswith("reads: ") for line in lines), run.stderr
    else:
        assert run.returncode == 1 and run.stdout == "", run
        assert len(lines) == 1 and lines[0].startswith("mendseqs: error: ") and case.error in lines[0], run.stderr
        # Neither a result nor its temporary file left behind.
        assert set(tmp_path.iterdir()) == before
    if case.check is not None:
        assert case.check()


# Each refused before any work, in one line naming the option; one
# interpreter runs them all. Where the wording is argparse's own, only that.
BAD_ARGUMENTS = {
    ("--threads", "4294967296"): "--threads: must be between 1 and 1,024, not 4294967296",
    ("--batch", "12345678901234567890"): "--batch: must be between 1 and 1,000,000,000",
    ("--max-flex", "12345678901234567890"): f"--max-flex: must be at most {sys.maxsize:,}",
    ("--max-flex", "two"): "--max-flex: 'two' is not a whole number",
    ("--pick", "nearest", "--margin", "-1"): "--margin: must be 0 or more, not -1",
    ("--pick", "nearest", "--margin", "1.5"): "--margin: '1.5' is not a whole number",
    ("--margin", "2"): "--margin applies only with --pick nearest",
    ("--colour",): "--colour",
    ("--pick", "best"): "--pick",
}

EACH_IN_TURN = """
import json, os, sys, tempfile, mendseqs_cli
outcomes = []
for argv in json.loads(sys.argv[1]):
    with tempfile.TemporaryFile() as said:
        saved = os.dup(2)
        os.dup2(said.fileno(), 2)
        try:
            status = mendseqs_cli.main(argv)
        finally:
            os.dup2(saved, 2)
            os.close(saved)
        said.seek(0)
        outcomes.append([status, said.read().decode()])
print(json.dumps(outcomes))
"""


def test_bad_arguments_end_in_one_line_naming_the_option(tmp_path):
    common = ["correct", str(DATA / "references.txt"), str(DATA / "queries.fasta"), "-o", str(tmp_path / "out")]
    argvs = [common + list(extra) for extra in BAD_ARGUMENTS]
    run = subprocess.run(
        [sys.executable, "-c", EACH_IN_TURN, json.dumps(argvs)], capture_output=True, text=True, timeout=120
    )
    assert run.returncode == 0, run.stderr
    for fragment, (status, said) in zip(BAD_ARGUMENTS.values(), json.loads(run.stdout), strict=True):
        assert status == 1 and said.count("\n") == 1, (fragment, said)
        assert said.startswith("mendseqs: error: ") and fragment in said, (fragment, said)
    assert list(tmp_path.iterdir()) == []


def test_dash_reads_stdin_from_a_pipe_or_a_file(tmp_path):
    # From a pipe, the Python reader; from a file, the fast reader, which
    # hands over to the Python one at the irregular record in the middle,
    # read again from where stdin started.
    text = fastq_text(RECORDS[:1000]) + "\n" + fastq_text(RECORDS[1000:])
    (tmp_path / "q.fq").write_text(text)
    piped = subprocess.run(
        [*COMMAND, "correct", DATA / "references.txt", "-"], input=text, capture_output=True, text=True
    )
    assert piped.returncode == 0, piped.stderr
    assert piped.stdout == expected_tsv()
    with open(tmp_path / "q.fq") as stdin:
        redirected = subprocess.run(
            [*COMMAND, "correct", DATA / "references.txt", "-", "--batch", "300"],
            stdin=stdin,
            capture_output=True,
            text=True,
        )
    assert redirected.returncode == 0, redirected.stderr
    assert redirected.stdout == piped.stdout
    both = mendseqs_command("correct", "-", "-", input="ACGT\n")
    assert both.returncode == 1 and "cannot both be read from stdin" in both.stderr


@pytest.mark.serial
@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP, signal.SIGINT])
def test_a_stopped_run_says_so_in_one_line_dies_by_the_signal_and_leaves_nothing(tmp_path, signum):
    # The queries come through a FIFO that stays open: the run waits in the
    # middle of its input, its result still a temporary file.
    fifo = tmp_path / "queries.fq"
    os.mkfifo(fifo)
    out = tmp_path / "out" / "result.tsv"
    out.parent.mkdir()
    command = subprocess.Popen(
        [*COMMAND, "correct", DATA / "references.txt", fifo, "-o", out, "--batch", "10"],
        stderr=subprocess.PIPE,
        text=True,
    )
    with open(fifo, "w") as feed:
        feed.write(fastq_text(RECORDS[:100]))
        feed.flush()
        deadline = time.monotonic() + 60
        while not list(out.parent.iterdir()) and time.monotonic() < deadline:
            time.sleep(0.01)
        assert [p.name for p in out.parent.iterdir()][0].endswith(".part")
        command.send_signal(signum)
        _, stderr = command.communicate(timeout=60)
    assert command.returncode == -signum
    assert stderr == f"mendseqs: stopped by {signal.Signals(signum).name}\n"
    assert list(out.parent.iterdir()) == []


# A signal handled right after the module call's fd 1 is put back, before
# fd 2 is: fd 2 still points at /dev/null when the run reports the stop.
SIGNAL_BETWEEN_RESTORES = """
import os, signal, sys, mendseqs_cli
from mendseqs_cli import calls
dup2 = os.dup2
def forced(source, target):
    dup2(source, target)
    if target == 1 and source != calls_made[0]._null:
        os.kill(os.getpid(), signal.SIGHUP)
calls_made = []
class Watched(calls.ModuleCalls):
    def __init__(self):
        super().__init__()
        calls_made.append(self)
mendseqs_cli.ModuleCalls = Watched
os.dup2 = forced
sys.exit(mendseqs_cli.main(sys.argv[1:]))
"""


def test_a_signal_between_restoring_the_streams_still_says_so(tmp_path):
    out = tmp_path / "result.tsv"
    run = subprocess.run(
        [sys.executable, "-c", SIGNAL_BETWEEN_RESTORES, "correct", DATA / "references.txt"]
        + [DATA / "queries.fasta", "-o", out],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert run.returncode == -signal.SIGHUP
    assert run.stderr == "mendseqs: stopped by SIGHUP\n"
    assert list(tmp_path.iterdir()) == []


def on_terminal(args, env=None):
    """Runs the command with stderr on a pseudo-terminal; its stdout, and
    what the terminal received."""
    import fcntl
    import pty
    import struct
    import termios

    leader, follower = pty.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 120, 0, 0))
    chunks = []

    def drain():
        while True:
            try:
                data = os.read(leader, 65536)
            except OSError:  # the follower side closed
                return
            if not data:
                return
            chunks.append(data)

    reader = threading.Thread(target=drain)
    reader.start()
    try:
        run = subprocess.run(
            [*COMMAND, *map(str, args)],
            stdout=subprocess.PIPE,
            stderr=follower,
            env={**os.environ, **(env or {})},
            timeout=120,
        )
    finally:
        os.close(follower)
        reader.join()
        os.close(leader)
    return run, b"".join(chunks).decode()


def pty_is_a_terminal():
    leader, follower = os.openpty()
    try:
        return os.isatty(follower)
    finally:
        os.close(leader)
        os.close(follower)


# qemu-user (armhf here) answers isatty() on a pseudo-terminal with False,
# so the command rightly draws nothing there.
@pytest.mark.skipif(not pty_is_a_terminal(), reason="isatty() says no terminal on a pseudo-terminal here")
@pytest.mark.parametrize("drawer", ["tqdm", "plain"])
def test_one_progress_display_on_a_terminal_and_none_in_the_results(tmp_path, drawer):
    env = {}
    if drawer == "plain":  # as in a virtual environment without tqdm
        (tmp_path / "tqdm.py").write_text("raise ImportError('not installed here')\n")
        env["PYTHONPATH"] = f"{tmp_path}:{os.environ.get('PYTHONPATH', '')}"
    queries = tmp_path / "q.fq.gz"
    queries.write_bytes(gzip.compress(fastq_text(RECORDS * 5).encode()))
    run, terminal = on_terminal(["correct", DATA / "references.txt", queries, "--batch", "1000"], env)
    assert run.returncode == 0, terminal
    assert run.stdout.decode() == expected_tsv(RECORDS * 5)
    # Reads, rate, elapsed, and a percentage: the input's size is known.
    assert "10,000 reads" in terminal or "10.0k reads" in terminal, terminal
    assert "100%" in terminal and "reads/s" in terminal and "00:0" in terminal, terminal
    assert "Aligning" not in terminal and "\u25a0" not in terminal
    run, terminal = on_terminal(["correct", DATA / "references.txt", queries, "--quiet"], env)
    assert run.returncode == 0 and terminal == ""


# --pick nearest at tolerance 1, worked out by hand (distance = the letters
# inserted plus deleted): each read stands for one way a read is kept or
# dropped.
PICK_REFERENCES = ["AAAACCCC", "AAAACCCG", "GGGGTTTT", "GGGGTTAA"]
PICK_READS = [
    ("unique", "AAAACCCC"),  # 0 from the first, 2 from the second
    ("tie", "AAAACCCT"),  # 2 from the first two alike
    ("none", "TTTTTTTT"),  # close to nothing
    ("alone", "GGGGTTTT"),  # 0 from the third; the fourth has two A too many
]


@pytest.fixture
def pick_files(tmp_path):
    (tmp_path / "refs.txt").write_text("\n".join(PICK_REFERENCES) + "\n")
    (tmp_path / "reads.fq").write_text(fastq_text(PICK_READS))
    return tmp_path / "refs.txt", tmp_path / "reads.fq"


@pytest.mark.parametrize(
    "margin, kept",
    [(None, {"unique", "alone"}), ("2", {"unique", "alone"}), ("3", {"alone"}), ("1000000000000000000000", {"alone"})],
)
def test_nearest_keeps_only_a_unique_nearest_reference_by_the_margin(pick_files, margin, kept):
    references, reads = pick_files
    run = mendseqs_command(
        "correct",
        references,
        reads,
        "--max-flex",
        "1",
        "--pick",
        "nearest",
        "--threads",
        "2",
        *(["--margin", margin] if margin else []),
    )
    assert run.returncode == 0, run.stderr
    fixed = {"unique": "AAAACCCC", "alone": "GGGGTTTT"}
    assert run.stdout == "".join(
        [
            f"unique\tAAAACCCC\t{fixed['unique'] if 'unique' in kept else ''}\t0\t2\t1\n",
            "tie\tAAAACCCT\t\t2\t2\t2\n",
            "none\tTTTTTTTT\t\t\t\t0\n",
            "alone\tGGGGTTTT\tGGGGTTTT\t0\t\t1\n",
        ]
    )
    assert run.stderr.startswith(f"reads: 4, unique: {len(kept)}, ambiguous: {3 - len(kept)}, unmatched: 1, "), (
        run.stderr
    )
    # The first acceptable reference, as before: the tie is settled by list order.
    run = mendseqs_command("correct", references, reads, "--max-flex", "1", "--quiet")
    assert run.returncode == 0 and run.stderr == ""
    assert [line.split("\t")[2] for line in run.stdout.splitlines()] == ["AAAACCCC", "AAAACCCC", "", "GGGGTTTT"]


def test_nearest_counts_identical_references_once(pick_files, tmp_path):
    # Repeats of a barcode are that barcode, not a tie with it, whether
    # the references come as a file or as an index built from one.
    references, reads = pick_files
    nearest = ["--max-flex", "1", "--pick", "nearest", "--quiet"]
    once = mendseqs_command("correct", references, reads, *nearest)
    assert once.returncode == 0, once.stderr
    doubled = tmp_path / "doubled.txt"
    doubled.write_text("\n".join(PICK_REFERENCES + ["GGGGTTTT", "AAAACCCC", "GGGGTTTT"]) + "\n")
    index = tmp_path / "doubled.msqidx"
    run = mendseqs_command("index", doubled, "--max-flex", "1", "-o", index)
    assert run.returncode == 0, run.stderr
    assert run.stderr == f"index: 4 references (3 repeated entries left out), max_flex 1, written to {index}\n"
    for given in (doubled, index):
        run = mendseqs_command("correct", given, reads, *nearest)
        assert run.returncode == 0, run.stderr
        assert run.stdout == once.stdout


def test_nearest_notes_its_figures_in_fasta_and_fastq_headers(pick_files, tmp_path):
    references, reads = pick_files
    for suffix in ("fa", "fq"):
        out = tmp_path / f"out.{suffix}"
        run = mendseqs_command(
            "correct", references, reads, "--max-flex", "1", "--pick", "nearest", "--margin", "3", "-o", out, "--quiet"
        )
        assert run.returncode == 0 and run.stderr == "", run.stderr
        marker = ">" if suffix == "fa" else "@"
        assert [line for line in out.read_text().splitlines() if line.startswith(marker)] == [
            f"{marker}unique extra words corrected= distance=0 runner_up=2 ties=1",
            f"{marker}tie extra words corrected= distance=2 runner_up=2 ties=2",
            f"{marker}none extra words corrected= distance= runner_up= ties=0",
            f"{marker}alone extra words corrected=GGGGTTTT distance=0 runner_up= ties=1",
        ]
    assert (tmp_path / "out.fq").read_text().splitlines()[1:4] == ["AAAACCCC", "+", "IIIIIIII"]


def test_nearest_on_the_shipped_data_agrees_with_the_module(tmp_path):
    # Batches that do not divide the input, two threads.
    run = mendseqs_command(
        "correct",
        DATA / "references.txt",
        DATA / "queries.fasta",
        "--pick",
        "nearest",
        "--margin",
        "2",
        "--batch",
        "333",
        "--threads",
        "2",
        "--quiet",
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout == expected_nearest_tsv(2)


def expected_nearest_tsv(margin, max_flex=3):
    saved = os.dup(1)
    with open(os.devnull, "w") as null:
        os.dup2(null.fileno(), 1)
    try:
        found = mendseqs.nearest(REFERENCES, QUERIES, max_flex, 1)
    finally:
        os.dup2(saved, 1)
        os.close(saved)
    rows = []
    for (name, sequence), near in zip(RECORDS, found, strict=True):
        keep = near.ties == 1 and (near.runner_up is None or near.runner_up - near.distance >= margin)
        cells = ["" if value is None else str(value) for value in (near.distance, near.runner_up)]
        rows.append(f"{name}\t{sequence}\t{near.reference if keep else ''}\t{cells[0]}\t{cells[1]}\t{near.ties}\n")
    # Some of each kind, or the comparison would prove little.
    assert {row.split("\t")[2] == "" for row in rows} == {True, False}
    return "".join(rows)
