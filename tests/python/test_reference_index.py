"""mendseqs.ReferenceIndex: the same answers, exceptions and progress bytes as
correct_seq_mt, a saved file that loads anywhere and refuses damage, and a
call that lets other Python threads run and still stops on Ctrl+C."""

import ast
import os
import random
import sys
import tempfile
import threading
import time

import pytest

import mendseqs
from data.make_reference_index import (
    FIXTURE,
    FIXTURES,
    LEGACY_FIXTURES,
    MAX_FLEX,
    fixture_queries,
    fixture_references,
)
from test_interruption import LATENCY_LIMIT, ctrl_c_latency, interrupted_long_call


def captured_fd1(call, *args):
    """(call(*args) or the exception's (type name, str), bytes written to fd 1)."""
    with tempfile.TemporaryFile() as sink:
        saved = os.dup(1)
        os.dup2(sink.fileno(), 1)
        try:
            outcome = call(*args)
        except BaseException as error:  # PanicException derives from BaseException
            if isinstance(error, KeyboardInterrupt):
                raise
            outcome = (type(error).__name__, str(error))
        finally:
            os.dup2(saved, 1)
            os.close(saved)
        sink.seek(0)
        return outcome, sink.read()


def assert_same_call(got, expected, threads):
    """Same outcome, same bytes; but where workers fail, how many marks the
    others write before they are cancelled is theirs to race for."""
    if threads >= 2 and not isinstance(expected[0], list):
        assert got[0] == expected[0]
        for outcome in (got, expected):
            assert outcome[1].startswith(b"    Aligning with %d threads: " % threads)
            assert not outcome[1].endswith(b"\n")
    else:
        assert got == expected


def random_case(seed, references=300):
    rng = random.Random(seed)
    refs = ["".join(rng.choices("ACGT", k=rng.randint(1, 20))) for _ in range(references)]
    queries = []
    for _ in range(150):
        if rng.random() < 0.6:
            query = list(rng.choice(refs))
            for _ in range(rng.randint(0, 3)):
                if query and rng.random() < 0.5:
                    del query[rng.randrange(len(query))]
                else:
                    query.insert(rng.randrange(len(query) + 1), rng.choice("ACGT"))
            queries.append("".join(query))
        else:
            queries.append("".join(rng.choices("ACGT", k=rng.randint(0, 22))))
    return refs, queries


# Long lists get a candidate index built for a large batch, which
# correct_seq_mt's own cost model skips for these small batches: the two
# paths meet only in their answers.
@pytest.mark.parametrize("references", [300, 20_000])
@pytest.mark.parametrize("max_flex", [-1, 0, 1, 2, 4])
def test_correct_is_correct_seq_mt(references, max_flex):
    for seed in range(3):
        refs, queries = random_case(seed * 100 + max_flex, references)
        index = mendseqs.ReferenceIndex(refs, max_flex, 2)
        for threads in (0, 1, 2, 3):
            expected = captured_fd1(mendseqs.correct_seq_mt, refs, queries, max_flex, threads)
            got = captured_fd1(index.correct, queries, threads)
            assert_same_call(got, expected, threads)
            if isinstance(got[0], list):  # the caller's own str objects
                assert all(a is b for a, b in zip(got[0], expected[0], strict=True))


@pytest.mark.parametrize("max_flex", [-1, 1, 2])
def test_nearest_is_the_one_shot_nearest(max_flex):
    # 20,000 references: the cost model indexes them, so the index's
    # candidates are measured; guard cases (empty queries) included.
    refs, queries = random_case(7 + max_flex, 20_000)
    index = mendseqs.ReferenceIndex(refs, max_flex, 2)
    for threads in (0, 1, 2):
        expected = captured_fd1(mendseqs.nearest, refs, queries, max_flex, threads)
        got = captured_fd1(index.nearest, queries, threads)
        assert_same_call(got, expected, threads)
        if isinstance(got[0], list):
            assert all(type(n) is mendseqs.Nearest for n in got[0])
            assert all(a.reference is b.reference for a, b in zip(got[0], expected[0], strict=True))


def test_guard_and_empty_lists_as_correct_seq_mt():
    # An empty query trips the guard with any reference passing the filters.
    refs = ["ACGT", "ACGA", "A"]
    for queries in (["ACGT", ""], ["", "ACGT"], [], ["TTTTTTTT"]):
        for threads in (1, 2):
            expected = captured_fd1(mendseqs.correct_seq_mt, refs, queries, 1, threads)
            got = captured_fd1(mendseqs.ReferenceIndex(refs, 1).correct, queries, threads)
            assert_same_call(got, expected, threads)
    empty = mendseqs.ReferenceIndex([], 1)
    assert len(empty) == 0
    assert captured_fd1(empty.correct, ["ACGT"], 1) == captured_fd1(mendseqs.correct_seq_mt, [], ["ACGT"], 1, 1)


def test_arguments_are_converted_as_correct_seq_mt_converts_them():
    for (
        refs,
        max_flex,
    ) in (("ACGT", 1), ([1], 1), (["A"], 2**64), (["A"], "1")):
        with pytest.raises(BaseException) as expected:
            mendseqs.correct_seq_mt(refs, ["A"], max_flex, 1)
        with pytest.raises(BaseException) as got:
            mendseqs.ReferenceIndex(refs, max_flex)
        assert (type(got.value), str(got.value)) == (type(expected.value), str(expected.value))
    index = mendseqs.ReferenceIndex(["A"], 1)
    for queries, threads in ((["A"], -1), (["A"], 2**32), ("A", 1), ([b"A"], 1)):
        with pytest.raises(BaseException) as expected:
            mendseqs.correct_seq_mt(["A"], queries, 1, threads)
        with pytest.raises(BaseException) as got:
            index.correct(queries, threads)
        assert (type(got.value), str(got.value)) == (type(expected.value), str(expected.value))


def test_nothing_but_correct_writes_to_fd1(tmp_path):
    refs, _ = random_case(7, 20_000)
    path = tmp_path / "index"
    assert captured_fd1(lambda: mendseqs.ReferenceIndex(refs, 1, 2).save(path)) == (None, b"")
    outcome, written = captured_fd1(mendseqs.ReferenceIndex.load, path)
    assert written == b"" and len(outcome) == len(refs)


@pytest.mark.parametrize("references", [300, 20_000])
def test_saved_and_loaded_gives_the_same_answers(tmp_path, references):
    refs, queries = random_case(11, references)
    queries = [q for q in queries if q]  # no guard: answers to compare
    refs[5] = "ÅCGTé"  # a wider character: the file keeps code points, not bytes
    refs[6] = "AC\U0001f600GT"
    built = mendseqs.ReferenceIndex(refs, 1, 2)
    built.save(str(tmp_path / "as-str"))
    built.save(tmp_path / "as-path")  # os.PathLike
    for name in ("as-str", "as-path"):
        loaded = mendseqs.ReferenceIndex.load(tmp_path / name)
        assert (len(loaded), loaded.max_flex) == (len(built), 1)
        for threads in (1, 2):
            assert captured_fd1(loaded.correct, queries, threads) == captured_fd1(built.correct, queries, threads)
            assert captured_fd1(loaded.nearest, queries, threads) == captured_fd1(built.nearest, queries, threads)
    result = loaded.correct(queries + queries, 1)
    # New exact str objects, one per distinct matched reference.
    assert all(type(r) is str for r in result)
    by_value = {}
    for r in result:
        assert by_value.setdefault(r, r) is r
    assert sorted(os.listdir(tmp_path)) == ["as-path", "as-str"]  # no temporary left


@pytest.mark.parametrize("version", [1, 2, 3, 4])
@pytest.mark.parametrize("layout", sorted(FIXTURES))
def test_a_file_written_elsewhere_loads_with_the_same_answers(layout, version):
    # Committed from x86_64 (data/make_reference_index.py); loaded here on
    # whatever this is, armhf included. Formats 1 (the older checksums), 2
    # (the packed layout before its blocks) and 3 (its posting entries
    # packed, searched one by one) are still read.
    fixture = LEGACY_FIXTURES[version][layout] if version in LEGACY_FIXTURES else FIXTURES[layout]
    assert fixture.read_bytes()[8] == version
    assert f"{layout}.".encode() in fixture.read_bytes()  # the index itself travels
    loaded = mendseqs.ReferenceIndex.load(fixture)
    refs, queries = fixture_references(layout), fixture_queries(layout)
    assert (len(loaded), loaded.max_flex) == (len(refs), MAX_FLEX)
    assert captured_fd1(loaded.correct, queries, 2) == captured_fd1(mendseqs.correct_seq_mt, refs, queries, MAX_FLEX, 2)
    assert captured_fd1(loaded.nearest, queries, 2) == captured_fd1(mendseqs.nearest, refs, queries, MAX_FLEX, 2)


def test_save_replaces_atomically_and_refuses_what_is_no_file(tmp_path):
    first, second = mendseqs.ReferenceIndex(["AAAA"], 1), mendseqs.ReferenceIndex(["CCCC", "GGGG"], 1)
    target = tmp_path / "index"
    first.save(target)
    link = tmp_path / "link"
    link.symlink_to(target)
    second.save(link)  # through the link: the link stays, its target is replaced
    assert link.is_symlink() and len(mendseqs.ReferenceIndex.load(target)) == 2
    with pytest.raises(IsADirectoryError):
        first.save(tmp_path)
    with pytest.raises(FileNotFoundError):
        first.save(tmp_path / "missing" / "index")
    # What the command says of them too; nothing is written beside them.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    for target in (fifo, "/dev/null"):
        with pytest.raises(OSError, match=r"not a regular file \(an index is mapped from a regular file\)") as error:
            first.save(target)
        assert not isinstance(error.value, FileExistsError) and error.value.filename == target
    # A loop is reported, as opening it is, and the link is left in place.
    loop = tmp_path / "loop"
    loop.symlink_to(loop)
    with pytest.raises(OSError, match="Too many levels of symbolic links"):
        first.save(loop)
    assert loop.is_symlink()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fifo", "index", "link", "loop"]


def damaged_copies(data):
    """(what, bytes): every way a file goes bad that the loader must name."""
    yield "empty", b""
    yield "foreign", b">read1\nACGTACGT\n" * 10
    newer = bytearray(data)
    newer[8] = data[8] + 1  # the version after this one
    yield "newer", bytes(newer)
    for cut in (1, 8, 63, 64, 65, len(data) // 3, len(data) // 2, len(data) - 64, len(data) - 1):
        yield f"truncated at {cut}", data[:cut]
    yield "extended", data + b"\0" * 64
    rng = random.Random(16)
    for at in (
        list(range(0, 64, 3))
        + [rng.randrange(len(data)) for _ in range(60)]
        + list(range(len(data) - 64 * 12, len(data), 7))
    ):
        flipped = bytearray(data)
        flipped[at] ^= 1 << rng.randrange(8)
        yield f"bit flipped at {at}", bytes(flipped)


def test_damaged_files_raise_value_error_naming_the_file(tmp_path):
    refs, _ = random_case(21, 3000)
    index = mendseqs.ReferenceIndex(refs, 1)
    good = tmp_path / "good"
    index.save(good)
    data = good.read_bytes()
    bad = tmp_path / "bad"
    for what, damaged in damaged_copies(data):
        bad.write_bytes(damaged)
        with pytest.raises(ValueError) as error:
            mendseqs.ReferenceIndex.load(bad)
        assert str(bad) in str(error.value) and "index" in str(error.value), what
    with pytest.raises(ValueError, match="directory"):
        mendseqs.ReferenceIndex.load(tmp_path)
    with pytest.raises(FileNotFoundError):
        mendseqs.ReferenceIndex.load(tmp_path / "missing")
    # A FIFO nobody writes to is refused at once, not waited on.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    with pytest.raises(ValueError, match="not a regular file"):
        mendseqs.ReferenceIndex.load(fifo)
    bad.write_bytes(data)
    bad.chmod(0)
    if os.geteuid() != 0:
        with pytest.raises(PermissionError):
            mendseqs.ReferenceIndex.load(bad)


# In a child: were a change missed, the next call would read a page past
# the file's end and die of SIGBUS, taking the test run with it.
CHANGED_IN_PLACE = """
import os, shutil, sys, mendseqs
from data.make_reference_index import FIXTURES, fixture_queries
path, queries = sys.argv[1], fixture_queries()[:300]

def loaded():
    shutil.copyfile(FIXTURES["packed"], path)
    # A modification time well before now, so that a write in the same
    # clock tick as the copy still changes it.
    os.utime(path, (1_000_000_000, 1_000_000_000))
    index = mendseqs.ReferenceIndex.load(path)
    return index, index.nearest(queries, 1)

def refused(index):
    for call in (lambda: index.correct(queries, 2), lambda: index.nearest(queries, 1),
                 lambda: index.save(path + ".copy")):
        try:
            call()
        except ValueError as error:
            message = str(error)
            assert path in message and "changed since it was loaded" in message and "rename" in message, message
        else:
            raise AssertionError("a changed file was used")

def truncated(size):
    os.truncate(path, size)

def zero_filled():
    with open(path, "r+b") as f:
        f.write(bytes(os.path.getsize(path)))

def copied_over():  # cp other.idx path: the same inode, written again
    shutil.copyfile(FIXTURES["hashed"], path)

for change in (lambda: truncated(0), lambda: truncated(os.path.getsize(path) // 2), zero_filled, copied_over):
    index, _ = loaded()
    change()
    refused(index)

# Renamed over, as save does: the loaded index keeps its own file.
index, before = loaded()
mendseqs.ReferenceIndex(["ACGTACGT"], 1).save(path)
assert index.nearest(queries, 1) == before and len(mendseqs.ReferenceIndex.load(path)) == 1
index.save(path + ".copy")
assert mendseqs.ReferenceIndex.load(path + ".copy").nearest(queries, 1) == before
"""


def test_a_file_changed_in_place_is_refused_and_one_renamed_over_is_not(python, tmp_path):
    run = python(
        CHANGED_IN_PLACE.replace("sys.argv[1]", repr(str(tmp_path / "index"))),
        env={"PYTHONPATH": os.pathsep.join([os.path.dirname(__file__), os.environ["PYTHONPATH"]])},
    )
    assert run.returncode == 0, run


# The most threads the process had at once during a build and a load on
# threads=2, with the affinity mask given: a watcher thread counts them
# while the calls run without the interpreter lock.
THREADS_UNDER_AFFINITY = """
import os, random, sys, threading, mendseqs
path, cpus = sys.argv[1], sys.argv[2]
if cpus == "one":
    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
rng = random.Random(3)
refs = ["".join(rng.choices("ACGT", k=16)) for _ in range(200_000)]

def most_threads_during(call):
    done, most = threading.Event(), [0]
    def watch():
        while not done.is_set():
            most[0] = max(most[0], len(os.listdir("/proc/self/task")))
    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        return call(), most[0]
    finally:
        done.set()
        watcher.join()

# Counted beyond the threads the process already has (an emulator keeps
# threads of its own).
before = len(os.listdir("/proc/self/task"))
index, built = most_threads_during(lambda: mendseqs.ReferenceIndex(refs, 1, 2))
index.save(path)
_, loaded = most_threads_during(lambda: mendseqs.ReferenceIndex.load(path))
print(built - before, loaded - before)
"""


@pytest.mark.serial
@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="one processor: nothing to restrict")
def test_build_and_load_threads_follow_the_affinity_mask(python, tmp_path):
    def most_threads(cpus):
        run = python(THREADS_UNDER_AFFINITY.replace("sys.argv[1], sys.argv[2]", repr((str(tmp_path / cpus), cpus))))
        assert run.returncode == 0, run
        return tuple(map(int, run.stdout.split()))

    # The watcher, and no worker: one processor to run on.
    assert most_threads("one") == (1, 1)
    # The control: with every processor, both calls do start a worker.
    assert min(most_threads("all")) >= 2


def test_a_file_beyond_the_32_bit_budget_is_refused_there(tmp_path):
    sparse = tmp_path / "large"
    with open(sparse, "wb") as out:
        out.write(FIXTURE.read_bytes()[:64])
        out.truncate(1600 << 20)  # sparse: costs no disk
    with pytest.raises(ValueError) as error:
        mendseqs.ReferenceIndex.load(sparse)
    if sys.maxsize < 2**32:
        assert "32-bit" in str(error.value)


@pytest.mark.serial
def test_other_threads_run_while_it_builds_and_corrects():
    refs, queries = random_case(31, 50_000)
    queries = [q for q in queries if q] * 50  # no guard: the whole batch runs
    counted = []

    def count_while(call):
        done, ticks = threading.Event(), [0]

        def spin():
            while not done.is_set():
                ticks[0] += 1

        spinner = threading.Thread(target=spin)
        spinner.start()
        time.sleep(0.05)
        before = ticks[0]
        try:
            result = call()
        finally:
            after = ticks[0]
            done.set()
            spinner.join()
        counted.append(after - before)
        return result

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)  # hand the lock over at once when it is free
    try:
        index = count_while(lambda: mendseqs.ReferenceIndex(refs * 2, 1, 2))
        result, _ = count_while(lambda: captured_fd1(index.correct, queries, 2))
    finally:
        sys.setswitchinterval(old)
    assert len(result) == len(queries)
    assert all(c > 1000 for c in counted), counted


@pytest.mark.serial
@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_ends_a_long_correct_promptly(threads):
    # Long unrelated sequences under a wide tolerance (no index is built
    # for them): tens of seconds of scanning, with the lock let go throughout.
    code = interrupted_long_call(f"mendseqs.ReferenceIndex(refs, 500).correct(queries, {threads})")
    assert 0 <= ctrl_c_latency(code) < LATENCY_LIMIT


# Building, saving and loading a 300,000-barcode index at k=2 (a 70 MB
# file), each twice: once under a SIGALRM every 2 ms whose handler notes the
# time (it runs only when the call checks in, and changes nothing), for the
# longest stretch the call went without checking in; once with a SIGINT
# sent from another thread a quarter of the way in, for the time until it
# ended in KeyboardInterrupt. Prints the worst of each, per call.
BUILD_SAVE_LOAD = """
import os, random, signal, sys, threading, time, mendseqs
path = sys.argv[1]
rng = random.Random(8)
refs = ["".join(rng.choices("ACGT", k=16)) for _ in range(300_000)]
queries = refs[::1000]

def longest_stretch(call):
    ticks = []
    signal.signal(signal.SIGALRM, lambda *_: ticks.append(time.monotonic()))
    signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
    start = time.monotonic()
    try:
        result = call()
    finally:
        end = time.monotonic()
        signal.setitimer(signal.ITIMER_REAL, 0, 0)
    times = [start] + [t for t in ticks if start < t < end] + [end]
    return result, end - start, max(b - a for a, b in zip(times, times[1:]))

def interrupted(call, after):
    sent = []
    def send():
        time.sleep(after)
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)
    sender = threading.Thread(target=send)
    descriptors = len(os.listdir("/proc/self/fd"))
    sender.start()
    try:
        call()
    except KeyboardInterrupt:
        caught = time.monotonic()
    else:
        raise AssertionError("the call ended before the signal")
    sender.join()
    assert len(os.listdir("/proc/self/fd")) == descriptors  # none left open
    return caught - sent[0]

index, seconds, stretch = longest_stretch(lambda: mendseqs.ReferenceIndex(refs, 2, 2))
results = {"build": (stretch, interrupted(lambda: mendseqs.ReferenceIndex(refs, 2, 2), seconds / 4))}
_, seconds, stretch = longest_stretch(lambda: index.save(path))
old = os.stat(path)
results["save"] = (stretch, interrupted(lambda: index.save(path), seconds / 4))
assert os.stat(path).st_ino == old.st_ino and os.listdir(os.path.dirname(path)) == ["index"]
loaded, seconds, stretch = longest_stretch(lambda: mendseqs.ReferenceIndex.load(path))
results["load"] = (stretch, interrupted(lambda: mendseqs.ReferenceIndex.load(path), seconds / 4))
assert loaded.correct(queries, 1) == index.correct(queries, 1)
print(results, file=sys.stderr)
"""


@pytest.mark.serial
def test_ctrl_c_ends_a_build_a_save_and_a_load_promptly(python, tmp_path):
    run = python(BUILD_SAVE_LOAD.replace("sys.argv[1]", repr(str(tmp_path / "index"))), timeout=300)
    assert run.returncode == 0, run
    results = ast.literal_eval(run.stderr.decode())
    for call, (stretch, latency) in results.items():
        assert stretch < LATENCY_LIMIT and 0 <= latency < LATENCY_LIMIT, (call, stretch, latency)


def test_a_save_after_a_write_in_place_within_the_clock_tick_is_refused(tmp_path):
    # A write in place that leaves the size and modification time as they
    # were (as one in the same tick of the file system's clock as the load
    # does): the copy a save makes would be a file no load accepts.
    path, copy = tmp_path / "index", tmp_path / "copy"
    refs = [f"{i:016b}".replace("0", "A").replace("1", "C") for i in range(3000)]
    built = mendseqs.ReferenceIndex(refs, 1)
    built.save(path)
    loaded = mendseqs.ReferenceIndex.load(path)
    stamp = os.stat(path)
    with open(path, "r+b") as f:
        f.seek(stamp.st_size // 3)
        stretch = f.read(4096)  # within a section whatever the layout
        f.seek(stamp.st_size // 3)
        f.write(bytes(b ^ 0x04 for b in stretch))
    os.utime(path, ns=(stamp.st_atime_ns, stamp.st_mtime_ns))
    with pytest.raises(ValueError, match="changed since it was loaded"):
        loaded.save(copy)
    assert not copy.exists() and sorted(os.listdir(tmp_path)) == ["index"]
    # Put back as it was, the same index saves again.
    with open(path, "r+b") as f:
        f.seek(stamp.st_size // 3)
        f.write(stretch)
    os.utime(path, ns=(stamp.st_atime_ns, stamp.st_mtime_ns))
    loaded.save(copy)
    assert mendseqs.ReferenceIndex.load(copy).correct(refs[:300], 1) == built.correct(refs[:300], 1)
