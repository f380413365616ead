"""Python's side of bench_io: the same copies in process, best of three.

  io_peer.py FILE DIR   copies FILE to DIR/py.bin (bytes) and DIR/py.txt
                        (UTF-8 text, bad bytes replaced), splits its lines;
                        prints "task seconds" lines and "line-count N"
"""
import sys
import time

source, out = sys.argv[1], sys.argv[2]
best = [1e9, 1e9, 1e9]
count = 0
for _ in range(3):
    t = time.perf_counter()
    with open(source, "rb") as f:
        data = f.read()
    with open(out + "/py.bin", "wb") as f:
        f.write(data)
    best[0] = min(best[0], time.perf_counter() - t)
    del data

    t = time.perf_counter()
    with open(source, encoding="utf-8", errors="replace", newline="") as f:
        text = f.read()
    with open(out + "/py.txt", "w", encoding="utf-8", newline="") as f:
        f.write(text)
    best[1] = min(best[1], time.perf_counter() - t)
    del text

    # Lines split at LF, a CR before it dropped, as read/lines does.
    t = time.perf_counter()
    with open(source, encoding="utf-8", errors="replace", newline="") as f:
        lines = f.read().split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    lines = [line[:-1] if line.endswith("\r") else line for line in lines]
    count = len(lines)
    best[2] = min(best[2], time.perf_counter() - t)
    del lines
print("binary-copy %.3f\ntext-copy %.3f\nlines %.3f\nline-count %d" % (best[0], best[1], best[2], count))
