"""The calls that let go of the interpreter lock, while another Python thread
changes the very lists they were given: emptied, sliced over, items
replaced (dropping the last reference to the old strings, whose memory the
new ones then reuse). A call answers for the lists as they were when it
began, as a call on a copy does, and never reads a freed string."""

import random
import sys
import threading
import time

import pytest

import mendseqs


def replace(items, fresh):
    for i in range(0, len(items), 7):
        items[i] = fresh[i % len(fresh)]


MUTATIONS = {
    "clear": lambda items, fresh: items.clear(),
    "slice": lambda items, fresh: items.__setitem__(slice(len(items) // 3, None), fresh[: len(fresh) // 2]),
    "replace": replace,
}


def texts(rng, count):
    # Built one by one: every string is a distinct object, owned by its list alone.
    return ["".join(rng.choices("ACGT", k=rng.randint(14, 18))) for _ in range(count)]


def copied(items):
    """Equal strings, other objects: the copy keeps none of the originals alive."""
    return [(text + ".")[:-1] for text in items]


def while_changed(call, items, mutation, rng):
    """call(), while another thread changes `items` over and over; its result
    and how many changes happened before it returned."""
    go, stop, changes, failures = threading.Event(), threading.Event(), [0], []

    def change():
        go.wait()
        try:
            while not stop.is_set():
                MUTATIONS[mutation](items, texts(rng, 64))
                items.extend(texts(rng, 64))
                changes[0] += 1
                time.sleep(0.0002)  # lets go of the lock: the call may end meanwhile
        except BaseException as failure:
            failures.append(failure)

    changer = threading.Thread(target=change)
    # A long switch interval: the changer runs only while the call has let
    # go of the lock, never before it has read its arguments.
    old = sys.getswitchinterval()
    sys.setswitchinterval(5.0)
    changer.start()
    try:
        go.set()
        result = call()
        during = changes[0]
    finally:
        stop.set()
        sys.setswitchinterval(old)
        changer.join()
    assert not failures
    return result, during


@pytest.fixture(scope="module")
def lists():
    rng = random.Random(22)
    references = texts(rng, 20_000)
    # Half of them near a reference: answers to compare, not only misses.
    queries = [ref[:5] + ref[6:] for ref in rng.sample(references, 2000)] + texts(rng, 2000)
    return references, queries


CALLS = {
    # (which list changes, the call, what of its result is compared)
    "nearest, queries": ("queries", lambda refs, queries: mendseqs.nearest(refs, queries, 1, 2)),
    "nearest, references": ("references", lambda refs, queries: mendseqs.nearest(refs, queries, 1, 2)),
    "index.nearest": ("queries", lambda index, queries: index.nearest(queries, 2)),
    "index.correct": ("queries", lambda index, queries: index.correct(queries, 2)),
    # The index built meanwhile, asked afterwards.
    "build": ("references", lambda refs, queries: mendseqs.ReferenceIndex(refs, 1, 2)),
}


@pytest.fixture(scope="module")
def expected(lists):
    """Each call's answer for the lists as they are, and the index the
    index calls are made on."""
    index = mendseqs.ReferenceIndex(lists[0], 1)
    answers = {
        call: make(index if call.startswith("index.") else lists[0], lists[1]) for call, (_, make) in CALLS.items()
    }
    answers["build"] = answers["build"].correct(lists[1], 1)
    return answers, index


@pytest.mark.parametrize("mutation", sorted(MUTATIONS))
@pytest.mark.parametrize("call", CALLS)
def test_a_call_answers_for_the_lists_as_they_were(lists, expected, call, mutation):
    rng = random.Random(f"{call} {mutation}")
    which, make = CALLS[call]
    answers, index = expected
    references, queries = copied(lists[0]), copied(lists[1])
    changed = references if which == "references" else queries
    first = index if call.startswith("index.") else references
    result, during = while_changed(lambda: make(first, queries), changed, mutation, rng)
    if call == "build":
        result = result.correct(lists[1], 1)
    assert during > 0  # the list did change while the call ran
    assert changed != lists[0 if which == "references" else 1]
    assert result == answers[call]
