"""The matcher as first written down: a full table per candidate, in Python.

Slow and plainly right; the module's results are checked against it.
"""


class GuardTripped(Exception):
    pass


def lcs_length(query, reference):
    table = [[0] * (len(reference) + 1) for _ in range(len(query) + 1)]
    for w in range(1, len(reference) + 1):
        for r in range(1, len(query) + 1):
            diagonal = table[r - 1][w - 1] + (reference[w - 1] == query[r - 1])
            table[r][w] = max(diagonal, table[r - 1][w], table[r][w - 1])
    return table[len(query)][len(reference)]


def correct_seq(references, query, max_flex):
    """Lengths are counted in characters (code points) throughout."""
    for reference in references:
        if abs(len(query) - len(reference)) > max_flex:
            continue
        if abs(query.count("A") - reference.count("A")) > max_flex:
            continue
        if max_flex > min(len(query), len(reference)):
            raise GuardTripped
        if lcs_length(query, reference) >= len(reference) - max_flex:
            return reference
    return ""


def correct_all(references, queries, max_flex):
    return [correct_seq(references, query, max_flex) for query in queries]
