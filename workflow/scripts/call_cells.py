"""Calls the cells from every chunk's exact whitelist hits (exact_hits.py),
summed, by the rule `mendseqs tag --cells auto` applies to its whole input:
the called cells one per line, and the call (rule, threshold, barcodes with
exact hits) as JSON for the gathered summary.

    python3.14 workflow/scripts/call_cells.py CELLS CALL_JSON [--expect-cells N] PART...
"""

import json
import sys

from mendseqs_cli.cells import NO_CALL
from mendseqs_cli.knee import call_cells
from mendseqs_cli.output_files import output_file


def main() -> int:
    cells_path, call_path, parts = sys.argv[1], sys.argv[2], sys.argv[3:]
    expected = None
    if parts[:1] == ["--expect-cells"]:
        expected, parts = int(parts[1]), parts[2:]
    exact: dict[str, int] = {}
    for part in parts:
        with open(part, encoding="utf-8") as lines:
            for line in lines:
                barcode, count = line.split("\t")
                exact[barcode] = exact.get(barcode, 0) + int(count)
    called = call_cells(exact, expected)
    if not called.cells:
        print(f"call_cells.py: error: {NO_CALL}", file=sys.stderr)
        return 1
    with output_file(cells_path, False) as out:
        out.write("".join(f"{cell}\n" for cell in called.cells).encode())
    call = {"rule": called.rule, "least_exact_hits": called.threshold, "barcodes_with_exact_hits": len(exact)}
    if called.warning is not None:
        print(f"call_cells.py: warning: {called.warning}", file=sys.stderr)
        call["warning"] = called.warning
    with output_file(call_path, False) as out:
        out.write(json.dumps(call).encode() + b"\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
