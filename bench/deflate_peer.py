# The twin of `bench_deflate compress|decompress METHOD IN OUT`: Python's zlib
# module at level 6 over a file, one call, the result written to OUT. The
# method picks the container: zlib, raw deflate or gzip.
import sys
import zlib

mode, method, src, dst = sys.argv[1:5]
bits = {"zlib": 15, "deflate": -15, "gzip": 31}[method]
with open(src, "rb") as f:
    data = f.read()
if mode == "compress":
    c = zlib.compressobj(6, zlib.DEFLATED, bits)
    out = c.compress(data) + c.flush()
else:
    out = zlib.decompress(data, bits)
with open(dst, "wb") as f:
    f.write(out)
