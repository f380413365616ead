# The twin of bench_parse: times re.findall of the key=value pairs and
# re.fullmatch of the whole text on the file bench_parse wrote (best of
# three each) and prints "pairs seconds lines seconds"; the lines count is
# -1 when the text does not match.
import re
import sys
import time

with open(sys.argv[1], encoding="utf-8", newline="") as f:
    text = f.read()


def best(f):
    t = float("inf")
    for _ in range(3):
        t0 = time.perf_counter()
        r = f()
        t = min(t, time.perf_counter() - t0)
    return r, t


pairs, collect_s = best(lambda: re.findall(r'^([^=\n]*)=([^\n]*)$', text, re.M))
whole, check_s = best(lambda: re.fullmatch(r'(?:[^=\n]*=[^\n]*\n)*', text))
print(len(pairs), f"{collect_s:.4f}", text.count("\n") if whole else -1, f"{check_s:.4f}")
