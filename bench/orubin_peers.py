# The twin of bench_orubin: times pickle (protocol 5) and marshal on the
# values that `bench_orubin --json FILE` wrote (the same values as its
# document holds, words and paths as strings), and zlib level 6 on the
# document itself (`--doc FILE`). Prints "name seconds" lines, the best of
# five runs each.
import json
import marshal
import pickle
import sys
import time
import zlib


def best(f, runs=5):
    t = float("inf")
    for _ in range(runs):
        t0 = time.perf_counter()
        f()
        t = min(t, time.perf_counter() - t0)
    return t


with open(sys.argv[1], encoding="utf-8") as f:
    values = json.load(f)
with open(sys.argv[2], "rb") as f:
    doc = f.read()

pickled = pickle.dumps(values, protocol=5)
marshalled = marshal.dumps(values)
packed = zlib.compress(doc, 6)
print(f"pickle.dumps {best(lambda: pickle.dumps(values, protocol=5)):.3f}")
print(f"pickle.loads {best(lambda: pickle.loads(pickled)):.3f}")
print(f"marshal.dumps {best(lambda: marshal.dumps(values)):.3f}")
print(f"marshal.loads {best(lambda: marshal.loads(marshalled)):.3f}")
print(f"zlib.decompress {best(lambda: zlib.decompress(packed)):.3f}")
print(f"sizes pickle {len(pickled) / 2**20:.1f} MB, marshal {len(marshalled) / 2**20:.1f} MB, zlib {len(packed) / 2**20:.1f} MB")
