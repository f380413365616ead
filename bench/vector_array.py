# The twin of bench_vector: array('i') work in plain Python, best of three
# each. Two arrays of n 32-bit elements (x[i] = i, y[i] = 2i) are added by a
# comprehension, x is multiplied by 3 by a comprehension, and a loop of m
# steps reads and writes a[i] = a[i] + i by index. Prints, per task, the
# seconds and the sum of the result's elements modulo 2^32:
#   "add-s add-sum scale-s scale-sum loop-s loop-sum"
import sys
import time
from array import array

n = int(sys.argv[1])
m = int(sys.argv[2])
x = array("i", range(n))
y = array("i", range(0, 2 * n, 2))


def best(f):
    t = float("inf")
    r = None
    for _ in range(3):
        t0 = time.perf_counter()
        r = f()
        t = min(t, time.perf_counter() - t0)
    return r, t


def loop():
    a = array("i", bytes(4 * m))
    for i in range(m):
        a[i] = a[i] + i
    return a


added, add_s = best(lambda: array("i", [a + b for a, b in zip(x, y)]))
scaled, scale_s = best(lambda: array("i", [a * 3 for a in x]))
looped, loop_s = best(loop)
mask = 0xFFFFFFFF
print(f"{add_s:.4f} {sum(added) & mask} {scale_s:.4f} {sum(scaled) & mask} {loop_s:.4f} {sum(looped) & mask}")
