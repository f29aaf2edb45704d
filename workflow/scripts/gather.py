"""Gathers the chunk jobs' results, in order, into OUTPUT: compressed when
its name ends in .gz, by the same writer as `mendseqs correct -o OUTPUT`,
so the file is byte for byte the one a single run would write.

    python3.14 workflow/scripts/gather.py OUTPUT PART...
"""

import shutil
import sys

from mendseqs_cli.errors import InputError
from mendseqs_cli.output_files import output_file
from mendseqs_cli.writing import output_format_of


def main() -> int:
    output, parts = sys.argv[1], sys.argv[2:]
    _, compressed = output_format_of(output, None)
    try:
        with output_file(output, compressed) as out:
            for part in parts:
                with open(part, "rb") as source:
                    shutil.copyfileobj(source, out, 1 << 20)
    except (InputError, OSError) as error:
        print(f"gather.py: error: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
