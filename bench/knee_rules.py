"""Knee rules side by side on the same exact-hit counts (pass 1's evidence
of `mendseqs tag --cells auto`), against the simulator's true cells: how
many each calls and how many of the true cells it keeps."""

from __future__ import annotations

from mendseqs_cli import knee


def compare(exact: dict[str, int], truth: set[str]) -> list[str]:
    counts = list(exact.values())
    if not counts:
        return ["no exact hits: no rule can call a cell"]
    rules = [
        ("valley (chosen)", knee.valley_threshold(counts)),
        (
            f"95th percentile of the top {len(truth):,} (the true number) / 20",
            knee.classic_threshold(counts, len(truth)),
        ),
        ("95th percentile of the top 3,000 / 20", knee.classic_threshold(counts, 3000)),
        ("99th percentile of the top 3,000 / 10", knee.classic_threshold(counts, 3000, 99, 10)),
    ]
    lines = [f"knee rules on {len(counts):,} barcodes with exact hits ({len(truth):,} true cells):"]
    for name, threshold in rules:
        called = {b for b, n in exact.items() if n >= threshold}
        kept = len(called & truth)
        lines.append(
            f"  {name}: at least {threshold} exact hits, {len(called):,} called "
            f"({len(called) / len(truth) - 1:+.1%}), {kept:,} true cells kept, {len(called) - kept:,} false"
        )
    return lines
