"""Memory per reference of a prepared list: the resident set a
ReferenceIndex adds over its references' Python strings, built and loaded,
for a whitelist of 737,280 random 16-letter barcodes (packed index at k=1
and k=2) and the same list with one letter in 50 an N (hashed index, k=1).
Run alone: the numbers are the whole process's.

    python3.14 bench/reference_memory.py [--references N]
"""

import argparse
import ctypes
import gc
import os
import random
import tempfile

import mendseqs

libc = ctypes.CDLL(None)


def resident() -> int:
    gc.collect()
    libc.malloc_trim(0)  # freed build memory goes back before the count
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmRSS:"))


def barcodes(rng: random.Random, count: int, alphabet: str) -> list[str]:
    return ["".join(rng.choices(alphabet, k=16)) for _ in range(count)]


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--references", type=int, default=737_280)
    args = parser.parse_args()
    n = args.references
    rng = random.Random(737)
    cases = [
        ("packed, k=1", barcodes(rng, n, "ACGT"), 1),
        ("packed, k=2", barcodes(rng, n, "ACGT"), 2),
        ("hashed, k=1", barcodes(rng, n, "ACGT" * 12 + "NN"), 1),
    ]
    with tempfile.TemporaryDirectory() as folder:
        for name, references, k in cases:
            before = resident()
            index = mendseqs.ReferenceIndex(references, k, 2)
            built = resident() - before
            path = os.path.join(folder, "list.idx")
            index.save(path)
            del index
            before = resident()
            index = mendseqs.ReferenceIndex.load(path)
            quiet = os.open(os.devnull, os.O_WRONLY)
            shown = os.dup(1)
            os.dup2(quiet, 1)  # the progress display
            try:
                index.nearest(references[:1000], 2)  # every page a lookup needs, in
            finally:
                os.dup2(shown, 1)
                os.close(quiet)
                os.close(shown)
            loaded = resident() - before
            del index
            os.unlink(path)
            print(
                f"{n:,} references, {name}: built {built / n:.1f} bytes/reference, "
                f"loaded {loaded / n:.1f} bytes/reference (file pages included)",
                flush=True,
            )


if __name__ == "__main__":
    main()
