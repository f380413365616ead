# Recursive fib, plain and under the pure-Python profile module: the best of
# five times of fib(22) each (the report made but not printed) and the
# slowdown, profiled over plain.
import io
import profile
import pstats
import time


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


N = 22


def best(run):
    b = None
    for _ in range(5):
        t0 = time.perf_counter()
        run()
        t = time.perf_counter() - t0
        b = t if b is None or t < b else b
    return b


def profiled_run():
    p = profile.Profile()
    p.runcall(fib, N)
    pstats.Stats(p, stream=io.StringIO()).sort_stats("calls").print_stats()


plain = best(lambda: fib(N))
profiled = best(profiled_run)
print(fib(N))
print(f"plain {plain:.4f} profiled {profiled:.4f} slowdown {profiled / plain:.1f}")
