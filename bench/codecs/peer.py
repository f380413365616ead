"""Python's side of the codec benchmarks: load and save through the json and
csv modules, file reading and writing included, best of three.

  peer.py json IN OUT   json.loads of the file's text, json.dumps
                        (ensure_ascii=False, compact separators) written out
  peer.py csv IN OUT    csv.reader rows of the file, csv.writer (line
                        terminator "\\n") written out
Prints "load SECONDS" and "save SECONDS".
"""
import csv
import json
import sys
import time

kind, source, out = sys.argv[1], sys.argv[2], sys.argv[3]
best_load = best_save = float("inf")
for _ in range(3):
    t = time.perf_counter()
    if kind == "json":
        with open(source, encoding="utf-8") as f:
            data = json.loads(f.read())
    else:
        with open(source, encoding="utf-8", newline="") as f:
            data = list(csv.reader(f))
    best_load = min(best_load, time.perf_counter() - t)
    t = time.perf_counter()
    if kind == "json":
        with open(out, "w", encoding="utf-8") as f:
            f.write(json.dumps(data, ensure_ascii=False, separators=(",", ":")))
    else:
        with open(out, "w", encoding="utf-8", newline="") as f:
            csv.writer(f, lineterminator="\n").writerows(data)
    best_save = min(best_save, time.perf_counter() - t)
    del data
print("load %.3f\nsave %.3f" % (best_load, best_save))
