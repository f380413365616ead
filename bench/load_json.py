# The twin of bench_load: times json.loads on the JSON text that
# `bench_load --json FILE` wrote (the same values as its source text) and
# prints "MB/s seconds", the best of five runs.
import json
import sys
import time

with open(sys.argv[1], encoding="utf-8") as f:
    text = f.read()
size = len(text.encode("utf-8")) / (1024 * 1024)
best = float("inf")
for _ in range(5):
    t0 = time.perf_counter()
    json.loads(text)
    best = min(best, time.perf_counter() - t0)
print(f"{size / best:.1f} {best:.3f}")
