# The twin of bench_sort: reads the values bench_sort wrote (integers, the
# comparator's integers and the words, sections split by "--"), times
# Python's list sort on each row the same way (only the sort of a fresh
# copy, best of three), prints "name seconds" lines and writes the sorted
# values to the results file for bench_sort to compare with its own.
import functools
import sys
import time

with open(sys.argv[1]) as f:
    sections = f.read().split("--\n")
ints = [int(x) for x in sections[0].split()]
calls = [int(x) for x in sections[1].split()]
words = sections[2].split()


def best(values, runs=3, **how):
    t = float("inf")
    for _ in range(runs):
        out = list(values)
        t0 = time.perf_counter()
        out.sort(**how)
        t = min(t, time.perf_counter() - t0)
    return t, out


rows = {
    "ints_random": best(ints),
    "ints_sorted": best(list(range(len(ints)))),
    "ints_reversed": best(list(range(len(ints) - 1, -1, -1))),
    "words_case": best(words),
    "words_lower": best(words, key=str.lower),
    "cmp_to_key": best(calls, key=functools.cmp_to_key(lambda a, b: a - b)),
}
with open(sys.argv[2], "w") as f:
    for name, (secs, out) in rows.items():
        print(name, f"{secs:.4f}")
        f.write("== " + name + "\n")
        f.write("".join(str(x) + "\n" for x in out))
