import time, mendseqs, sys, random
random.seed(1)
for n in (10000, 20000, 40000):
    q = "".join(random.choice("ACGT") for _ in range(n))
    r = "".join(random.choice("ACGT") for _ in range(n))
    for flex in (n // 2, n // 4):
        t = time.perf_counter()
        res = mendseqs.correct_seq_mt([r], [q] * 3, flex, 1)
        print("\n", n, flex, bool(res[0]), (time.perf_counter() - t) / 3, file=sys.stderr)
