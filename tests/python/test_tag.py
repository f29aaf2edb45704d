"""ReferenceIndex.tag: molecules found in synthetic reads built here from a
seeded generator (either strand, chimeras, Ns, lower case, errors), their
assignment to the best-fitting entry, Ctrl+C, the guard and bad
arguments; Layout and its presets."""

import os
import random
import sys
import threading
import time

import pytest

import mendseqs
from failure_support import GUARD
from test_interruption import LATENCY_LIMIT, ctrl_c_latency, interrupted_long_call

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "bench"))
from tag_bench import edit_distance  # noqa: E402

V3 = mendseqs.Layout.preset("10x3v3")
FLANK = V3.flank
COMPLEMENT = str.maketrans("ACGTN", "TGCAN")


def reverse_complement(text):
    return text.translate(COMPLEMENT)[::-1]


def mirrored(span, length):
    """A span of a read, on its reverse complement."""
    start, end = span
    return None if start is None else (length - end, length - start)


class Reads:
    """Seeded pieces of 10x 3' v3 molecules."""

    def __init__(self, seed, whitelist_size=3000):
        self.draw = random.Random(seed)
        self.whitelist = list(dict.fromkeys(self.letters(16) for _ in range(whitelist_size)))

    def letters(self, n):
        return "".join(self.draw.choices("ACGT", k=n))

    def molecule(self, barcode=None, umi=None, cdna=200, polyt=25):
        """(text, barcode, umi) of one '+' molecule, 15 letters of remnant first."""
        barcode = barcode or self.draw.choice(self.whitelist)
        umi = umi or self.letters(12)
        # The cDNA starts with GC: where polyT ends is then exact.
        return self.letters(15) + FLANK + barcode + umi + "T" * polyt + "GC" + self.letters(cdna - 2), barcode, umi

    def mutated(self, text, rate):
        out = []
        for letter in text:
            roll = self.draw.random()
            if roll >= rate:
                out.append(letter)
            elif roll < rate * 0.4:
                out.append(self.draw.choice("ACGT"))
            elif roll < rate * 0.65:
                out.append(letter + self.draw.choice("ACGT"))
        return "".join(out)


@pytest.fixture(scope="module")
def reads():
    return Reads(7)


@pytest.fixture(scope="module")
def index(reads):
    return mendseqs.ReferenceIndex(reads.whitelist, 2)


def spans(molecule):
    return {
        "flank": (molecule.flank_start, molecule.flank_end),
        "barcode": (molecule.barcode_start, molecule.barcode_end),
        "umi": (molecule.umi_start, molecule.umi_end),
        "insert": (molecule.insert_start, molecule.insert_end),
    }


def test_one_molecule_on_either_strand_mirrors_exactly(reads, index):
    text, barcode, umi = reads.molecule()
    (forward,), (backward,) = index.tag([text, reverse_complement(text)], V3, 1)
    assert forward.status == backward.status == "assigned"
    assert (forward.strand, backward.strand) == ("+", "-")
    assert forward.barcode == forward.raw_barcode == backward.raw_barcode == barcode
    assert forward.umi == backward.umi == umi
    assert (forward.distance, forward.runner_up, forward.ties, forward.flank_edits) == (0, None, 1, 0)
    assert spans(forward) == {"flank": (15, 37), "barcode": (37, 53), "umi": (53, 65), "insert": (90, len(text))}
    for name, span in spans(forward).items():
        assert spans(backward)[name] == mirrored(span, len(text)), name
    # Coordinates slice the read as given.
    read = reverse_complement(text)
    assert reverse_complement(read[backward.barcode_start : backward.barcode_end]) == barcode


def test_chimeras_keep_each_molecule_in_order_with_bounded_inserts(reads, index):
    first, one, _ = reads.molecule(cdna=300)
    second, two, _ = reads.molecule(cdna=250)
    third, three, _ = reads.molecule(cdna=100)
    read = first + reverse_complement(second) + third
    molecules = index.tag([read], V3, 1)[0]
    assert [(m.segment, m.strand, m.barcode, m.status) for m in molecules] == [
        (0, "+", one, "assigned"),
        (1, "-", two, "assigned"),
        (2, "+", three, "assigned"),
    ]
    plus, minus, last = molecules
    # Facing molecules (tail to tail) split the stretch between them: with
    # no cDNA end to mark where one cDNA meets the other, halfway.
    between = (90, len(first) + 250)
    half = (between[0] + between[1]) // 2  # an even stretch here
    assert (plus.insert_start, plus.insert_end) == (90, half)
    assert (minus.insert_start, minus.insert_end) == (half, between[1])
    assert (last.insert_start, last.insert_end) == (len(first) + len(second) + 90, len(read))
    assert minus.flank_end == len(first) + len(second) - 15


# The 3' kits' template switch oligo, reverse complemented: where a cDNA
# ends on the molecule's '+' strand.
CDNA_END = "CCCATGTACTCTGCGTTGATACCACTGCTT"


@pytest.mark.parametrize("noisy", [False, True])
def test_a_tail_to_tail_chimera_gives_each_molecule_its_own_cdna(reads, index, noisy):
    # Molecule 1, then molecule 2 reverse complemented: their cDNAs meet
    # tail to tail, each ending in the cDNA end. Each insert is its own
    # cDNA, whichever strand the molecules are on, and whatever the order.
    first, one, _ = reads.molecule(cdna=400)
    second, two, _ = reads.molecule(cdna=600)
    first, second = first + CDNA_END, second + CDNA_END
    read = first + reverse_complement(second)
    if noisy:  # a few edits in the cDNA ends
        read = read[: len(first) - 20] + "A" + read[len(first) - 19 : len(first) + 10] + read[len(first) + 11 :]
    for flipped in (False, True):
        text = reverse_complement(read) if flipped else read
        molecules = index.tag([text], V3, 1)[0]
        assert sorted(m.barcode for m in molecules) == sorted([one, two])
        assert {m.status for m in molecules} == {"assigned"}
        for m in molecules:
            own = first if m.barcode == one else second
            insert = text[m.insert_start : m.insert_end]
            if m.strand == "-":
                insert = reverse_complement(insert)
            cdna = own[90 : -len(CDNA_END)]
            assert edit_distance(insert, cdna) <= 2 * noisy, (m.barcode, len(insert), len(cdna))
        a, b = sorted(molecules, key=lambda m: m.insert_start)
        assert a.insert_end <= b.insert_start


# Slips where the flank meets the barcode: the barcode's start floats, and
# the slip costs one edit, not one in the flank and another in the barcode.
@pytest.mark.parametrize(
    ("name", "flank_lost", "inserted", "barcode_lost"),
    [
        ("a repeat slips out", 2, "", 0),  # ...GATCT|CTCC...: one CT of the repeat lost
        ("a repeat slips in", 0, "CT", 0),
        ("two letters inserted at the flank's end", 0, "GA", 0),
        ("three letters inserted", 0, "GAG", 0),
        ("the flank's last letter and the barcode's first lost", 1, "", 1),
    ],
)
def test_a_slip_at_the_junction_costs_one_edit(reads, name, flank_lost, inserted, barcode_lost):
    # The barcode starts with CT, the flank ends in CT: a CT repeat across
    # the junction, as in ...GATCT|CTCCC...
    barcode = "CTCC" + reads.letters(12)
    index = mendseqs.ReferenceIndex([barcode, *reads.whitelist[:2000]], 2)
    umi = reads.letters(12)
    head = FLANK[: len(FLANK) - flank_lost] + inserted + barcode[barcode_lost:]
    text = reads.letters(15) + head + umi + "T" * 25 + "GC" + reads.letters(200)
    (m,) = index.tag([text], V3, 1)[0]
    assert (m.barcode, m.status, m.umi) == (barcode, "assigned", umi), name
    assert m.distance == 1, name


def test_a_damaged_flank_is_carried_by_the_rest_of_the_structure(reads, index):
    text, barcode, umi = reads.molecule()
    # Six edits in the flank's 22 letters: past the four a flank alone may
    # carry, within the seven it may with its barcode and polyT in place.
    damaged = list(FLANK)
    for i in (1, 5, 9, 13, 16, 19):
        damaged[i] = "A" if damaged[i] != "A" else "G"
    damaged = "".join(damaged)
    read = text.replace(FLANK, damaged)
    for strand, candidate in (("+", read), ("-", reverse_complement(read))):
        (m,) = index.tag([candidate], V3, 1)[0]
        assert (m.strand, m.barcode, m.umi, m.status, m.flank_edits) == (strand, barcode, umi, "assigned", 6)
    # The same flank with no polyT after the UMI, or with a barcode no
    # entry fits, is not a molecule.
    at = read.index(damaged) + len(damaged)
    no_poly_t = read[: at + 28] + "GCAGCAGCAG" + read[at + 28 + 25 :]
    wrong_barcode = read[:at] + reads.letters(16) + read[at + 16 :]
    for candidate in (no_poly_t, wrong_barcode):
        assert [m.status for m in index.tag([candidate], V3, 1)[0]] == ["no_flank"]


def test_reads_with_no_structure_find_no_molecule(reads, index):
    # Random letters, short repeats (junk) and cDNA alone, on a list of
    # 3,000: a flank's looser budget finds nothing in them.
    draw = random.Random(5)
    batch = ["".join(draw.choices("ACGT", k=draw.randint(200, 1500))) for _ in range(150)]
    for _ in range(50):
        unit = "".join(draw.choices("ACGT", k=draw.randint(1, 5)))
        batch.append((unit * 2000)[: draw.randint(200, 1500)])
    batch += ["T" * 300 + reads.letters(200), "A" * 500]
    found = [m for molecules in index.tag(batch, V3, 2) for m in molecules if m.status != "no_flank"]
    assert found == []


def test_the_read_list_is_read_once_however_it_grows(reads, index):
    # Another thread appends all along the call (the engine lets the lock
    # go): the call tags the reads the list held when it was given, and
    # returns while the appends go on.
    batch = noisy_reads(reads, 200, 0.04)
    expected = index.tag(batch, V3, 1)
    for work in (list(batch), type("Reads", (list,), {})(batch)):
        running, started = threading.Event(), threading.Event()

        def grow(work=work, running=running, started=started):
            while running.is_set():
                work.extend(batch[:50])
                started.set()
                time.sleep(0.0005)

        running.set()
        appender = threading.Thread(target=grow)
        appender.start()
        started.wait()
        try:
            tagged = index.tag(work, V3, 2)
            grown = len(work)
        finally:
            running.clear()
            appender.join()
        assert len(batch) < len(tagged) <= grown
        assert tagged[: len(batch)] == expected
        assert all(m == expected[i % 50] for i, m in enumerate(tagged[len(batch) :]))


# In a child: a change missed would read past the file's end (SIGBUS).
CHANGED_IN_PLACE = """
import os, shutil, sys, mendseqs
path, reads = sys.argv[1], [sys.argv[2]]
layout = mendseqs.Layout.preset("10x3v3")
os.utime(path, (1_000_000_000, 1_000_000_000))  # a write in the same clock tick still changes it
index = mendseqs.ReferenceIndex.load(path)
assert index.tag(reads, layout, 1)[0][0].status == "assigned"
os.truncate(path, os.path.getsize(path) // 2)
for call in (lambda: index.tag(reads, layout, 1), lambda: index.tag(reads, layout, 2)):
    try:
        call()
    except ValueError as error:
        assert "changed since it was loaded" in str(error) and path in str(error), error
    else:
        raise AssertionError("a changed file was tagged against")
print("refused")
"""


def test_tag_refuses_an_index_changed_in_place_as_the_other_calls_do(reads, tmp_path):
    import subprocess

    path = tmp_path / "whitelist.msqidx"
    mendseqs.ReferenceIndex(reads.whitelist, 2).save(path)
    text, _, _ = reads.molecule()
    done = subprocess.run(
        [sys.executable, "-c", CHANGED_IN_PLACE, str(path), text], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0 and done.stdout.strip() == "refused", done.stderr


def test_opposite_strands_too_close_for_a_cdna_are_both_strands(reads, index):
    forward, one, _ = reads.molecule(cdna=5)
    backward, two, _ = reads.molecule(cdna=5)
    close = index.tag([forward + reverse_complement(backward)], V3, 1)[0]
    assert [(m.strand, m.status, m.barcode) for m in close] == [("+", "both_strands", one), ("-", "both_strands", two)]
    # Back to back, each insert points away from the other: a chimera.
    apart = index.tag([reverse_complement(backward) + forward], V3, 1)[0]
    assert [(m.strand, m.status) for m in apart] == [("-", "assigned"), ("+", "assigned")]


@pytest.mark.parametrize("read", ["", "ACGT", FLANK[:-1], "N" * 500, "CTACACG" * 3])
def test_reads_without_a_flank_are_one_no_flank_molecule(index, read):
    (molecule,) = index.tag([read], V3, 1)[0]
    assert tuple(molecule) == (0, "+", None, None, None, None, None, "", "", None, None, 0, None, None, "") + (
        0,
        len(read),
        "no_flank",
    )


def test_a_random_read_has_no_flank(reads, index):
    assert [m.status for m in index.tag([reads.letters(3000)], V3, 1)[0]] == ["no_flank"]


def test_lower_case_is_upper_case_and_n_matches_nothing(reads, index):
    text, barcode, _ = reads.molecule()
    (upper,), (lower,) = index.tag([text, text.lower()], V3, 1)
    assert upper == lower
    # An N in the barcode is one mismatch (reported as N); in the flank, one edit.
    with_n = text[:40] + "N" + text[41:]
    (found,) = index.tag([with_n], V3, 1)[0]
    assert found.raw_barcode == barcode[:3] + "N" + barcode[4:] and found.barcode == barcode
    assert (found.distance, found.status) == (1, "assigned")
    (flank_n,) = index.tag([text[:20] + "N" + text[21:]], V3, 1)[0]
    assert (flank_n.flank_edits, flank_n.barcode) == (1, barcode)
    # Other characters read as N too.
    (odd,) = index.tag([text[:40] + "\u00e9" + text[41:]], V3, 1)[0]
    assert odd.raw_barcode == found.raw_barcode


SHIFTED_NEIGHBOURS_SEED = 7


def test_a_barcode_with_an_indel_is_read_at_its_own_length(reads, index):
    text, barcode, umi = reads.molecule()
    deleted = text[:44] + text[45:]  # a letter of the barcode lost
    inserted = text[:44] + "A" + text[44:]
    (short,), (long,) = index.tag([deleted, inserted], V3, 1)
    assert (short.raw_barcode, short.barcode, short.distance, short.umi) == (barcode[:7] + barcode[8:], barcode, 1, umi)
    assert (long.barcode, long.distance, long.umi) == (barcode, 1, umi)
    assert long.barcode_end - long.barcode_start == 17


def test_the_flank_anchors_the_barcode_against_its_shifted_neighbours():
    # A generator of its own, and a barcode apart from the other entries:
    # drawn from the module's generator and list, the molecule depended on
    # the tests run before (a barcode among the 500 others is a copy of
    # itself, its own runner-up).
    reads = Reads(SHIFTED_NEIGHBOURS_SEED, whitelist_size=500)
    text, barcode, umi = reads.molecule(barcode=reads.letters(16))
    # Entries that are the barcode read a letter late (ending in the UMI's
    # first letter) or early (starting with the flank's last): aligned with
    # free ends alone they fit the read as well as the barcode does.
    late, early = barcode[1:] + umi[0], FLANK[-1] + barcode[:-1]
    index = mendseqs.ReferenceIndex([*reads.whitelist[:500], late, early, barcode], 2)
    at = text.index(FLANK) + len(FLANK)
    clean = text
    flank_short = text[: at - 1] + text[at:]  # the flank's last letter lost
    inserted = text[:at] + "G" + text[at:]  # a letter between flank and barcode
    # Clean, the neighbours pay for their shift against the flank's letters.
    (m,) = index.tag([clean], V3, 1)[0]
    assert (m.barcode, m.distance, m.runner_up, m.ties, m.raw_barcode) == (barcode, 0, 1, 1, barcode)
    # An edit at the flank's end explains a neighbour as well (one letter of
    # it read as the flank's); nearest's distance from the reading at the
    # flank's end breaks the tie, and a margin would see it.
    (m,) = index.tag([flank_short], V3, 1)[0]
    assert (m.barcode, m.distance, m.status, m.umi) == (barcode, 0, "assigned", umi)
    assert (m.raw_barcode, m.runner_up, m.ties) == (barcode, 0, 1)
    assert index.tag([flank_short], V3, 1, margin=1)[0][0].status == "ambiguous"
    # A letter between flank and barcode is the early neighbour's first one
    # misread as well as an insertion: both one edit, and as near a reading.
    (m,) = index.tag([inserted], V3, 1)[0]
    assert (m.distance, m.ties, m.status) == (1, 2, "ambiguous")


def test_two_edits_stand_only_without_a_close_runner_up(reads):
    text, barcode, umi = reads.molecule(barcode=reads.letters(16))
    at = text.index(FLANK) + len(FLANK)
    twice = list(barcode)
    for i in (4, 11):
        twice[i] = "A" if twice[i] != "A" else "C"
    read = text[:at] + "".join(twice) + text[at + 16 :]
    (alone,) = mendseqs.ReferenceIndex([barcode, *reads.whitelist[:500]], 2).tag([read], V3, 1)[0]
    assert (alone.barcode, alone.distance, alone.status) == (barcode, 2, "assigned")
    # Another entry three edits from the read (a swap and a substitution:
    # still among those nearest accepts) leaves too little margin.
    other = twice.copy()
    other[1] = "A" if other[1] != "A" else "C"
    i = next(i for i in range(6, 10) if other[i] != other[i + 1])
    other[i], other[i + 1] = other[i + 1], other[i]
    other = "".join(other)
    assert edit_distance(other, "".join(twice)) == 3
    (crowded,) = mendseqs.ReferenceIndex([barcode, other, *reads.whitelist[:500]], 2).tag([read], V3, 1)[0]
    assert (crowded.barcode, crowded.distance, crowded.status) == ("", None, "no_match")
    assert crowded.umi == umi


def test_an_entry_with_other_letters_never_fits(reads):
    text, barcode, _ = reads.molecule(barcode=reads.letters(16))
    with_n = barcode[:4] + "N" + barcode[5:]
    at = text.index(FLANK) + len(FLANK)
    read = text[:at] + with_n + text[at + 16 :]
    # nearest accepts it letter for letter; the alignment cannot use it.
    assert mendseqs.ReferenceIndex([with_n], 2).nearest([with_n], 1)[0].distance == 0
    (m,) = mendseqs.ReferenceIndex([with_n, *reads.whitelist[:50]], 2).tag([read], V3, 1)[0]
    assert (m.barcode, m.status, m.raw_barcode) == ("", "no_match", with_n)


def noisy_reads(reads, count, rate):
    out = []
    for _ in range(count):
        text = reads.molecule(cdna=reads.draw.randint(50, 400))[0]
        if reads.draw.random() < 0.3:
            text += reads.molecule(cdna=100)[0]
        text = reads.mutated(text, rate)
        out.append(text if reads.draw.random() < 0.5 else reverse_complement(text))
    return out


def test_the_assignment_is_the_best_fitting_entry_built_or_loaded(reads, index, tmp_path):
    batch = noisy_reads(reads, 300, 0.06)
    tagged = index.tag(batch, V3, 2)
    assert tagged == index.tag(batch, V3, 1)
    cut = [m for molecules in tagged for m in molecules if m.raw_barcode]
    assert len(cut) > 300
    checked = 0
    for m in cut:
        expected = "assigned" if m.ties == 1 else "ambiguous" if m.ties else "no_match"
        assert m.status in (expected, "both_strands")
        assert (m.distance is None) == (m.barcode == "") == (m.ties == 0)
        if m.barcode:
            # One own edit, or two with no runner-up within two more.
            assert m.runner_up is None or m.runner_up >= m.distance
            assert m.distance <= 1 or (m.distance == 2 and (m.runner_up is None or m.runner_up >= 4))
            if m.flank_edits == 0:
                # The flank's letters cost nothing: the span holds the entry
                # within the edits reported.
                assert edit_distance(m.raw_barcode, m.barcode) <= m.distance
                checked += 1
    assert checked > 50
    assert {"assigned", "no_match"} <= {m.status for m in cut}
    # A margin demotes exactly the unique matches whose runner-up is closer.
    wide = index.tag(batch, V3, 1, margin=3)
    demoted = 0
    for narrow_read, wide_read in zip(tagged, wide, strict=True):
        for narrow, strict in zip(narrow_read, wide_read, strict=True):
            assert strict[:17] == narrow[:17]
            close = narrow.runner_up is not None and narrow.runner_up - narrow.distance < 3
            if narrow.status == "assigned" and close:
                demoted += 1
                assert strict.status == "ambiguous"
            else:
                assert strict.status == narrow.status
    assert demoted > 0
    path = tmp_path / "whitelist.msqidx"
    index.save(path)
    assert mendseqs.ReferenceIndex.load(path).tag(batch, V3, 2) == tagged


def test_the_tso_ends_the_umi_in_5_prime_kits(reads):
    layout = mendseqs.Layout.preset("10x5v2")
    index = mendseqs.ReferenceIndex(reads.whitelist, 1)
    barcode, umi = reads.draw.choice(reads.whitelist), reads.letters(10)
    text = reads.letters(10) + FLANK + barcode + umi + "G" + layout.after_umi + reads.letters(200)
    (molecule,) = index.tag([text], layout, 1)[0]
    assert (molecule.barcode, molecule.umi) == (barcode, umi + "G")  # an insertion before the TSO joins the UMI
    assert molecule.insert_start == molecule.umi_end + len(layout.after_umi)


def test_layouts_and_presets():
    assert mendseqs.Layout.presets == ("10x3v2", "10x3v3", "10x3v4", "10x5v2", "10x5v3", "visium")
    kits = {name: mendseqs.Layout.preset(name) for name in mendseqs.Layout.presets}
    assert {name: (k.umi_length, k.after_umi[:4], k.cdna_sense) for name, k in kits.items()} == {
        "10x3v2": (10, "TTTT", False),
        "10x3v3": (12, "TTTT", False),
        "10x3v4": (12, "TTTT", False),
        "10x5v2": (10, "TTTC", True),
        "10x5v3": (12, "TTTC", True),
        "visium": (12, "TTTT", False),
    }
    assert all(k.flank == "CTACACGACGCTCTTCCGATCT" and k.barcode_length == 16 for k in kits.values())
    custom = mendseqs.Layout("acgtacgt", 8, 6, "ggg", cdna_sense=True, name="mine")
    assert (custom.flank, custom.after_umi, custom.name, custom.cdna_sense) == ("ACGTACGT", "GGG", "mine", True)
    assert repr(custom) == "mendseqs.Layout('ACGTACGT', 8, 6, 'GGG', cdna_sense=True, name='mine')"
    with pytest.raises(AttributeError):
        custom.flank = "A"


@pytest.mark.parametrize(
    ("arguments", "error", "text"),
    [
        (("", 16, 12, "T"), ValueError, "flank must be 1 to 64 letters"),
        (("A" * 65, 16, 12, "T"), ValueError, "flank must be 1 to 64 letters"),
        (("ACGN", 16, 12, "T"), ValueError, "flank must be 1 to 64 letters"),
        (("ACGT", 16, 12, "TTU"), ValueError, "after_umi must be 0 to 64 letters"),
        (("ACGT", 0, 12, "T"), ValueError, "barcode_length must be at least 1"),
        (("ACGT", 16, -1, "T"), ValueError, "umi_length must not be negative"),
        (("ACGT", "16", 12, "T"), TypeError, None),
        ((b"ACGT", 16, 12, "T"), TypeError, None),
    ],
)
def test_bad_layouts_are_refused(arguments, error, text):
    with pytest.raises(error, match=text):
        mendseqs.Layout(*arguments)


def test_bad_presets_and_bad_tag_arguments_are_refused(index):
    with pytest.raises(ValueError, match="no layout preset named '10x9' \\(known: 10x3v2, 10x3v3"):
        mendseqs.Layout.preset("10x9")
    with pytest.raises(TypeError):
        mendseqs.Layout.preset(3)
    with pytest.raises(TypeError):
        mendseqs.Layout("ACGT", 16, 12, "T", cdna_sense=1)
    with pytest.raises(TypeError, match="argument 'reads': Can't extract `str` to `Vec`"):
        index.tag("ACGT", V3, 1)
    with pytest.raises(TypeError, match="argument 'reads'"):
        index.tag([b"ACGT"], V3, 1)
    with pytest.raises(TypeError, match="argument 'layout': expected a mendseqs.Layout, not 'str'"):
        index.tag(["ACGT"], "10x3v3", 1)
    with pytest.raises(ValueError, match="argument 'threads': at least 1 thread"):
        index.tag(["ACGT"], V3, 0)
    with pytest.raises(OverflowError):
        index.tag(["ACGT"], V3, -1)
    with pytest.raises(ValueError, match="argument 'margin': must not be negative"):
        index.tag(["ACGT"], V3, 1, margin=-1)
    with pytest.raises(TypeError, match="argument 'margin': expected an int"):
        index.tag(["ACGT"], V3, 1, margin="1")
    with pytest.raises(TypeError):
        index.tag(["ACGT"], V3, 1, 0)  # margin is keyword-only
    assert index.tag([], V3, 1) == []
    assert index.tag(["ACGT"], V3, 1, margin=10**30)[0][0].status == "no_flank"


@pytest.mark.parametrize("threads", [1, 2])
def test_the_guard_keeps_its_own_message_on_any_thread_count(reads, threads):
    index = mendseqs.ReferenceIndex(reads.whitelist[:50], 2)
    layout = mendseqs.Layout(FLANK, 2, 4, "TTTT")
    batch = [reads.letters(30)] * 40 + [reads.letters(5) + FLANK + "ACGT" * 5]
    # Whether or not a read has a flank: the guard is checked when the
    # tagger is built, not when a barcode is met.
    for reads_given in (batch, batch[:40], []):
        with pytest.raises(BaseException, match="^" + GUARD + "$") as raised:
            index.tag(reads_given, layout, threads)
        assert type(raised.value).__name__ == "PanicException"


@pytest.mark.serial
def test_the_interpreter_lock_is_let_go_while_it_tags(reads, index):
    batch = [reads.letters(5000)] * 400
    ticks, running = [0], threading.Event()

    def count():
        running.set()
        while running.is_set():
            ticks[0] += 1

    counter = threading.Thread(target=count)
    counter.start()
    running.wait()
    try:
        before = ticks[0]
        index.tag(batch, V3, 1)
        during = ticks[0] - before
    finally:
        running.clear()
        counter.join()
    assert during > 1000, during


@pytest.mark.serial
@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_ends_a_long_tag_promptly(threads):
    # Few reads, each long: converting the list takes no time (it holds the
    # lock), searching them takes a minute.
    call = (
        "mendseqs.ReferenceIndex([q[:16] for q in queries[:500]], 2)"
        f".tag([''.join(queries[:100])] * 20_000, mendseqs.Layout.preset('10x3v3'), {threads})"
    )
    assert 0 <= ctrl_c_latency(interrupted_long_call(call)) < LATENCY_LIMIT


def test_badread_reads_keep_their_recall_and_precision():
    # 300 reads simulated by Badread (tests/python/data/make_badread_set.py):
    # k-mer errors, slips, the identity's low tail, chimeras, junk. Floors a
    # little under what the tagger measures, as a guard against regressions.
    import csv
    import gzip

    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "data"))
    from make_badread_set import READS, TRUTH, whitelist

    with gzip.open(READS, "rt") as lines:
        records = list(zip(lines, lines, lines, lines, strict=True))
    names = [header[1:].split()[0] for header, _, _, _ in records]
    truth = {}
    with gzip.open(TRUTH, "rt") as lines:
        for row in csv.DictReader(lines, delimiter="\t"):
            truth.setdefault(row["read_id"], []).append(row)
    index = mendseqs.ReferenceIndex(whitelist(), 2)
    tagged = index.tag([sequence.strip() for _, sequence, _, _ in records], V3, 2)
    on_list = sum(row["on_whitelist"] == "1" for rows in truth.values() for row in rows)
    right = assigned = umi_close = 0
    for name, molecules in zip(names, tagged, strict=True):
        left = [row for row in truth[name] if row["on_whitelist"] == "1"]
        for m in molecules:
            if m.status != "assigned":
                continue
            assigned += 1
            match = next((row for row in left if row["barcode"] == m.barcode), None)
            if match:
                left.remove(match)
                right += 1
                umi_close += edit_distance(m.umi, match["umi"]) <= 2
    assert on_list > 250
    recall, precision, umi = right / on_list, right / assigned, umi_close / right
    # Measured 0.897, 0.996 and 0.905 (282 molecules on the list).
    assert recall >= 0.88 and precision >= 0.99 and umi >= 0.88, (recall, precision, umi)


def test_qualities_weigh_a_twice_misread_barcode_against_its_runner_up():
    # The barcode is read with two substitutions; another entry fits the
    # read with three edits. By edits alone the runner-up is too close for
    # two edits to stand. Where the basecaller marked the barcode's two
    # letters as unsure and the runner-up's as sure, the barcode is far
    # the likelier and stands; marked the other way round, it does not.
    reads = Reads(29)  # its own draws, whatever ran before
    barcode = reads.letters(16)
    misread = list(barcode)
    for i in (3, 10):
        misread[i] = next(x for x in "ACGT" if x not in barcode[i - 1 : i + 2])
    misread = "".join(misread)
    text, _, umi = reads.molecule(barcode=barcode)
    at = text.index(FLANK) + len(FLANK)
    read = text[:at] + misread + text[at + 16 :]
    # The runner-up: the read's barcode with a substitution at 6 and a
    # letter lost at 13 (one more at its end, not the UMI's first).
    other = next(x for x in "ACGT" if x not in misread[5:8])
    runner_up = misread[:6] + other + misread[7:13] + misread[14:] + next(x for x in "ACGT" if x != umi[0])
    index = mendseqs.ReferenceIndex([barcode, runner_up, *reads.whitelist[:2000]], 2)

    def qualities(unsure):
        marks = ["I"] * len(read)
        for i in unsure:
            marks[at + i] = "#"
        return "".join(marks)

    for strand, flip in (("+", lambda t: t), ("-", lambda t: t[::-1])):
        given = read if strand == "+" else reverse_complement(read)
        (m,) = index.tag([given], V3, 1, qualities=[flip(qualities((3, 10)))])[0]
        assert (m.strand, m.barcode, m.distance, m.status, m.umi) == (strand, barcode, 2, "assigned", umi)
        assert m.runner_up == 3
        for marks in ([flip(qualities((6, 13, 16)))], [flip(qualities(()))], [""], None):
            (m,) = index.tag([given], V3, 1, qualities=marks)[0]
            assert (m.barcode, m.status) == ("", "no_match"), marks
    # One quality string per read, each the read's length or empty.
    with pytest.raises(ValueError, match="argument 'qualities': 1 given for 2 reads"):
        index.tag([read, read], V3, 1, qualities=[read])
    with pytest.raises(ValueError, match="argument 'qualities': read 0 has"):
        index.tag([read], V3, 1, qualities=[read[:-1]])
    with pytest.raises(TypeError):
        index.tag([read], V3, 1, qualities=[None])
