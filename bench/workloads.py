"""Seeded benchmark workloads. Only W1 reads outside data: the adapter and
barcode sequences of Debian's porechop package, extracted at benchmark time
(bench/fetch-adapters) and never kept in the repository."""

import ast
import random

LETTERS = "ACGT"


def random_dna(rng, length):
    return "".join(rng.choice(LETTERS) for _ in range(length))


def edited(rng, text, edits):
    """`text` with `edits` random one-letter substitutions, insertions or deletions."""
    letters = list(text)
    for _ in range(edits):
        at = rng.randrange(len(letters)) if letters else 0
        kind = rng.randrange(3) if letters else 1
        if kind == 0:
            letters[at] = rng.choice(LETTERS)
        elif kind == 1:
            letters.insert(at, rng.choice(LETTERS))
        else:
            del letters[at]
    return "".join(letters)


def mixed_queries(rng, references, count, max_edits):
    """Half derived from a random reference with 0..max_edits edits, half
    random sequences of a similar length (a random reference's, +-2)."""
    queries = []
    for _ in range(count):
        source = rng.choice(references)
        if rng.random() < 0.5:
            queries.append(edited(rng, source, rng.randint(0, max_edits)))
        else:
            queries.append(random_dna(rng, max(1, len(source) + rng.randint(-2, 2))))
    return queries


def porechop_adapters(path):
    """The unique sequences of the ADAPTERS list, in file order, read with
    the parser (the file is data to us, never executed)."""
    tree = ast.parse(open(path, encoding="utf-8").read())
    sequences = []
    for node in tree.body:
        if isinstance(node, ast.Assign) and getattr(node.targets[0], "id", None) == "ADAPTERS":
            for call in node.value.elts:
                for keyword in call.keywords:
                    if isinstance(keyword.value, ast.Tuple):
                        sequence = keyword.value.elts[1]
                        if isinstance(sequence, ast.Constant):
                            sequences.append(sequence.value)
    return list(dict.fromkeys(sequences))


def w1(adapters_path, queries=100_000, k=3, seed=1):
    rng = random.Random(seed)
    references = porechop_adapters(adapters_path)
    return references, mixed_queries(rng, references, queries, k + 1)


def w2(queries=50_000, max_edits=3, seed=2):
    rng = random.Random(seed)
    references = [random_dna(rng, 16) for _ in range(5_000)]
    return references, mixed_queries(rng, references, queries, max_edits)


def w3(queries=2_000, seed=3):
    """20 references of 1,500 letters; queries with 3% edits (45) of one."""
    rng = random.Random(seed)
    references = [random_dna(rng, 1_500) for _ in range(20)]
    return references, [edited(rng, rng.choice(references), 45) for _ in range(queries)]


def w4(length=200_000, edits=1_000, seed=4):
    rng = random.Random(seed)
    reference = random_dna(rng, length)
    return reference, edited(rng, reference, edits)


def random_barcodes(rng, count, length=16):
    """`count` random ACGT strings at once: one letter per random byte."""
    letters = rng.randbytes(count * length).translate(bytes(b"ACGT"[b & 3] for b in range(256))).decode()
    return [letters[i : i + length] for i in range(0, count * length, length)]


def whitelist_queries(rng, references, count, k):
    """40% exact copies of a reference, 40% with 1 to k + 1 edits
    (substitutions, insertions, deletions), 20% random of 15 to 17 letters."""
    queries = []
    for _ in range(count):
        kind = rng.randrange(10)
        if kind < 4:
            queries.append(rng.choice(references))
        elif kind < 8:
            queries.append(edited(rng, rng.choice(references), rng.randint(1, k + 1)))
        else:
            queries.append(random_dna(rng, rng.randint(15, 17)))
    return queries


def w5(references=737_280, queries=200_000, k=1, seed=5):
    """A seeded stand-in for a cell-barcode whitelist (W5a: 737,280 at k=1;
    W5b: 100,000 at k=2)."""
    rng = random.Random(seed)
    whitelist = random_barcodes(rng, references)
    return whitelist, whitelist_queries(rng, whitelist, queries, k)


def w6(queries=100_000, seed=6):
    """The large whitelist: 6,794,880 barcodes, k=1."""
    return w5(references=6_794_880, queries=queries, k=1, seed=seed)
