# The twin of bench_money: reads the pairs of amounts and the integer
# factors it wrote, times Decimal's +, -, / on every pair, * by the factor
# and by the second amount, and format(x, ",.2f") on every first
# amount (through map, best of three, the default context), and prints
# "name seconds crc" lines. The CRC is of the results as bench_money writes
# its own: amounts cut toward zero after the fifth fraction digit (the form
# after the second, grouped by "'"), one "$" text a line, quotients as the
# 8 bytes of their double; computed outside the timing.
import decimal
import itertools
import operator
import struct
import sys
import time
import zlib
from decimal import Decimal

with open(sys.argv[1]) as f:
    pairs = [line.split() for line in f]
xs = [Decimal(p[0]) for p in pairs]
ys = [Decimal(p[1]) for p in pairs]
ns = [int(p[2]) for p in pairs]


def best(fn, runs=3):
    t = float("inf")
    out = None
    for _ in range(runs):
        t0 = time.perf_counter()
        out = fn()
        t = min(t, time.perf_counter() - t0)
    return t, out


exact = decimal.Context(prec=60)
five = Decimal("0.00001")
two = Decimal("0.01")


def money_text(q, places):
    cut = q.quantize(places, rounding=decimal.ROUND_DOWN, context=exact)
    return ("-" if cut < 0 else "") + "$" + format(abs(cut), "f")


rows = [
    ("add", operator.add, exact.add, ys),
    ("subtract", operator.sub, exact.subtract, ys),
    ("multiply", operator.mul, exact.multiply, ns),
    ("mul-float", operator.mul, exact.multiply, ys),
    ("divide", operator.truediv, exact.divide, ys),
]
for name, op, exact_op, right in rows:
    secs, _ = best(lambda: list(map(op, xs, right)))
    results = list(map(exact_op, xs, right))
    if name == "divide":
        # A quotient cut to zero is 0.0 on our side, never -0.0.
        data = b"".join(struct.pack("<d", float(r.quantize(five, rounding=decimal.ROUND_DOWN, context=exact)) + 0.0)
                        for r in results)
    else:
        data = "".join(money_text(r, five) + "\n" for r in results).encode()
    print(f"{name} {secs:.4f} {zlib.crc32(data):08x}", flush=True)

secs, _ = best(lambda: list(map(format, xs, itertools.repeat(",.2f"))))
texts = []
for x in xs:
    cut = x.quantize(two, rounding=decimal.ROUND_DOWN, context=exact)
    texts.append(("-" if x < 0 else "") + "$" + format(abs(cut), ",f").replace(",", "'") + "\n")
print(f"form {secs:.4f} {zlib.crc32(''.join(texts).encode()):08x}", flush=True)
