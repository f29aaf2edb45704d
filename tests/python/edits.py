"""The one random-edit helper of the Python tests."""


def edited(rng, text, edits, alphabet, inserted=None):
    """`text` with `edits` random one-character substitutions (from
    `alphabet`), insertions (from `inserted`, else `alphabet`) and deletions;
    an empty text can only grow."""
    letters = list(text)
    for _ in range(edits):
        at = rng.randrange(len(letters)) if letters else 0
        kind = rng.randrange(3) if letters else 1
        if kind == 0:
            letters[at] = rng.choice(alphabet)
        elif kind == 1:
            letters.insert(at, rng.choice(inserted or alphabet))
        else:
            del letters[at]
    return "".join(letters)
