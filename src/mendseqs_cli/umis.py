"""UMI deduplication within a (cell, gene) group: the directional rule.

Two raw UMIs are neighbours when the engine accepts either for the other
at tolerance `distance`, as correct_seq_mt accepts a reference: lengths and
counts of A within `distance`, and a longest common subsequence at most
`distance` short of the reference's length. For UMIs of one length that is
at most `distance` substitutions or slips (a base lost here and one gained
there, which long reads make in UMIs), one edit each. A UMI joins a neighbour holding at least 2n - 1 reads when
it holds n; the molecules are the UMIs joined to none, each with everything
that reaches it. UMIs are visited from the most reads down (ties in
sequence order), so a UMI reachable from two goes to the larger.

The neighbours come from one engine call over many groups at once: each
group's UMIs are prefixed with `distance + 1` copies of a character of its
own, outside A/C/G/T/N. A common subsequence of two UMIs of one group is
the prefix plus theirs; of two groups, theirs alone, which is always too
short to be accepted. So the engine's candidate index answers every group
together, never comparing two groups, and the prefix keeps every UMI longer
than the tolerance (the engine refuses a tolerance beyond a sequence's
length).
"""

from __future__ import annotations

from collections.abc import Collection, Sequence

import mendseqs

DEFAULT_DISTANCE = 2
# Code points for group prefixes: above Latin-1, below the surrogates, then
# above them.
_FIRST = 0x100
_SURROGATES = range(0xD800, 0xE000)
# Groups per call. Each adds a character to the call's alphabet, and the
# engine's block kernel keeps a mask per character: past a few dozen, more
# groups per call cost more than the calls they save (1,000 groups of 5
# UMIs in one call took 13 times as long as one call each). A group this
# large or larger gets a call of its own, where a candidate index pays.
GROUPS_PER_CALL = 32
UMIS_PER_CALL = 512
_WORTH_THREADS = 4096


def _calls(pending: list[int], groups: Sequence[tuple[Sequence[str], Sequence[int]]]) -> list[list[int]]:
    """The groups `pending` cut into calls of at most GROUPS_PER_CALL groups
    and, unless one group alone is larger, UMIS_PER_CALL UMIs."""
    calls: list[list[int]] = []
    current: list[int] = []
    size = 0
    for g in pending:
        n = len(groups[g][0])
        if current and (len(current) == GROUPS_PER_CALL or size + n > UMIS_PER_CALL):
            calls.append(current)
            current, size = [], 0
        current.append(g)
        size += n
    if current:
        calls.append(current)
    return calls


def _mark(group: int) -> str:
    code = _FIRST + group
    if code >= _SURROGATES.start:
        code += len(_SURROGATES)
    return chr(code)


def directional(
    umis: Sequence[str], counts: Sequence[int], neighbours: Sequence[Sequence[int]], offset: int = 0
) -> list[int]:
    """For each UMI of one group, the position of the UMI whose molecule it
    joins (itself for a molecule's own). `neighbours[i]` lists the positions
    of i's neighbours plus `offset` (either way round: the relation is made
    symmetric)."""
    n = len(umis)
    adjacent: Sequence[Collection[int]]
    if len({len(u) for u in umis}) == 1:
        # UMIs of one length accept each other both ways or neither (the
        # same length, A-count difference and common subsequence either
        # way): the lists are symmetric already.
        adjacent = neighbours
    else:
        sets: list[set[int]] = [set() for _ in range(n)]
        for i, found in enumerate(neighbours):
            for j in found:
                sets[i].add(j)
                sets[j - offset].add(i + offset)
        adjacent = sets
    order = sorted(range(n), key=lambda i: (-counts[i], umis[i]))
    root = [-1] * n
    for start in order:
        if root[start] >= 0:
            continue
        root[start] = start
        stack = [start]
        while stack:
            u = stack.pop()
            for v in adjacent[u]:
                v -= offset
                if root[v] < 0 and counts[u] >= 2 * counts[v] - 1:
                    root[v] = start
                    stack.append(v)
    return root


def cluster(groups: Sequence[tuple[Sequence[str], Sequence[int]]], distance: int, threads: int) -> list[list[int]]:
    """directional() of each (distinct UMIs, reads per UMI) group, the
    neighbours found by the engine, as few calls as the groups allow.
    Groups of one UMI need no call."""
    out: list[list[int]] = [[0] if len(umis) == 1 else [] for umis, _ in groups]
    pending = [g for g, (umis, _) in enumerate(groups) if len(umis) > 1]
    if distance < 0:
        for g in pending:
            out[g] = list(range(len(groups[g][0])))
        return out
    for chunk in _calls(pending, groups):
        keyed: list[str] = []
        for k, g in enumerate(chunk):
            prefix = _mark(k) * (distance + 1)
            keyed.extend(prefix + umi for umi in groups[g][0])
        # Workers cost more to start than a small call takes.
        workers = threads if len(keyed) >= _WORTH_THREADS else 1
        index = mendseqs.ReferenceIndex(keyed, distance, workers)
        found = index.neighbours(keyed, workers)
        offset = 0
        for g in chunk:
            umis, counts = groups[g]
            out[g] = directional(umis, counts, found[offset : offset + len(umis)], offset)
            offset += len(umis)
    return out
