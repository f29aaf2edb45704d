"""The whitelist of `mendseqs tag`: a saved index of it, loaded, or the
list itself, read and indexed for the run."""

from __future__ import annotations

import mendseqs

from .calls import ModuleCalls
from .errors import InputError
from .reading import read_all
from .records import shown
from .references import is_saved_index, load

DEFAULT_MAX_FLEX = 2


def prepared_index(
    whitelist: str, max_flex: int | None, layout: mendseqs.Layout, layout_name: str, calls: ModuleCalls, threads: int
) -> mendseqs.ReferenceIndex:
    """The whitelist's index for `layout`, within `max_flex` (None: the
    saved index's, or DEFAULT_MAX_FLEX)."""
    length = layout.barcode_length
    if is_saved_index(whitelist):
        saved = load(whitelist, calls).index
        if max_flex is not None and max_flex != saved.max_flex:
            raise InputError(
                f"{whitelist} was built for --max-flex {saved.max_flex}, "
                f"not {max_flex}: build another with `mendseqs index`"
            )
        if saved.max_flex >= length:
            raise InputError(
                f"{whitelist} was built for --max-flex {saved.max_flex}, which layout {layout_name} cannot use: "
                f"its barcodes are {length} letters long, so at most {length - 1}; build another with `mendseqs index`"
            )
        return saved
    # Identical entries are one barcode: copies would only tie with it.
    barcodes = [barcode.upper() for barcode in read_all(whitelist)]
    if not barcodes:
        raise InputError(f"{shown(whitelist)}: no barcodes")
    wrong = next((n for n, barcode in enumerate(barcodes, 1) if len(barcode) != length), None)
    if wrong is not None:
        raise InputError(
            f"{shown(whitelist)}: barcode {wrong} is {len(barcodes[wrong - 1])} letters long, "
            f"but layout {layout_name} reads barcodes of {length}"
        )
    barcodes = list(dict.fromkeys(barcodes))
    max_flex = DEFAULT_MAX_FLEX if max_flex is None else max_flex
    if not 0 <= max_flex < length:
        raise InputError(f"--max-flex {max_flex}: must be from 0 to {length - 1} for this layout")
    index: mendseqs.ReferenceIndex = calls.call(mendseqs.ReferenceIndex, barcodes, max_flex, threads)
    return index
