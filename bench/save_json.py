# The twin of the save timing in load_save.oru: json.dumps of the values that
# `bench_load --json FILE` wrote, plus the write of the text to a file;
# prints "seconds", the best of five runs.
import json
import os
import sys
import time

with open(sys.argv[1], encoding="utf-8") as f:
    values = json.load(f)
out = sys.argv[2]
best = float("inf")
for _ in range(5):
    t0 = time.perf_counter()
    text = json.dumps(values)
    with open(out, "w", encoding="utf-8") as f:
        f.write(text)
    best = min(best, time.perf_counter() - t0)
os.remove(out)
print(f"{best:.3f}")
