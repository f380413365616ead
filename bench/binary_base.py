# The twin of bench_binary_base --time: base64.b64encode and b64decode of the
# bytes in FILE, best of five runs each; prints "encode-s decode-s text-crc
# bytes-crc" as bench_binary_base does.
import base64
import sys
import time
import zlib

with open(sys.argv[1], "rb") as f:
    data = f.read()
best_encode = best_decode = float("inf")
for _ in range(5):
    t0 = time.perf_counter()
    text = base64.b64encode(data)
    t1 = time.perf_counter()
    back = base64.b64decode(text)
    t2 = time.perf_counter()
    best_encode = min(best_encode, t1 - t0)
    best_decode = min(best_decode, t2 - t1)
print(f"{best_encode:.4f} {best_decode:.4f} {zlib.crc32(text):08x} {zlib.crc32(back):08x}")
