"""Pass 1 of `mendseqs tag --cells auto` on one chunk: the molecules whose
raw barcode is exactly a whitelist entry, counted per entry, as TSV
(barcode, exact hits), by the command's own code.

    python3.14 workflow/scripts/exact_hits.py READS --whitelist LIST_OR_INDEX --layout L \
        [--max-flex K] [--margin M] [--threads N] [--batch B] -o OUT
"""

import argparse
import sys

from mendseqs_cli import tag
from mendseqs_cli.calls import ModuleCalls
from mendseqs_cli.cells import exact_hits
from mendseqs_cli.errors import InputError
from mendseqs_cli.layouts import LayoutError, layout_of
from mendseqs_cli.output_files import output_file
from mendseqs_cli.tag_options import DEFAULT_BATCH
from mendseqs_cli.whitelist import prepared_index


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("reads")
    parser.add_argument("--whitelist", required=True)
    parser.add_argument("--layout", required=True)
    parser.add_argument("--max-flex", type=int)
    parser.add_argument("--margin", type=int, default=0)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--batch", type=int, default=DEFAULT_BATCH)
    parser.add_argument("-o", "--output", required=True)
    args = parser.parse_args()
    calls = ModuleCalls()
    try:
        layout = layout_of(args.layout)
        index = prepared_index(args.whitelist, args.max_flex, layout, args.layout, calls, args.threads)
        counts: dict[str, int] = {}
        for _, batch, _ in tag.stream([args.reads], args.batch):
            exact_hits(calls.call(tag.tagged, index, batch.sequences, layout, args.threads, args.margin), counts)
        with output_file(args.output, False) as out:
            out.write("".join(f"{barcode}\t{n}\n" for barcode, n in sorted(counts.items())).encode())
    except (InputError, LayoutError) as error:
        print(f"exact_hits.py: error: {error}", file=sys.stderr)
        return 1
    finally:
        calls.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
