# The Tk peer of bench_gui_events: N key press and release pairs made with
# event_generate and delivered to Python handlers that count them, and a
# 16 ms after() loop for five seconds. Prints the same lines as the Oru side:
#   keys N seconds median_us p99_us
#   timer ticks mean_period_ms p99_deviation_ms
import sys
import time
import tkinter as tk

n = int(sys.argv[1]) if len(sys.argv) > 1 else 100000
root = tk.Tk()
root.geometry("200x100+0+0")
root.update()
root.focus_force()
root.update()
count = [0]


def handler(event):
    count[0] += 1


root.bind("<KeyPress>", handler)
root.bind("<KeyRelease>", handler)
lat = []
start = time.perf_counter()
for i in range(n):
    t0 = time.perf_counter_ns()
    root.event_generate("<KeyPress>", keysym="a")
    root.event_generate("<KeyRelease>", keysym="a")
    lat.append(time.perf_counter_ns() - t0)
total = time.perf_counter() - start
lat.sort()
assert count[0] == 2 * n, count[0]
print("keys %d %.3f %.2f %.2f" % (n, total, lat[len(lat) // 2] / 1000, lat[len(lat) * 99 // 100] / 1000))

ticks = []
t_start = time.perf_counter()


def tick():
    ticks.append(time.perf_counter())
    if ticks[-1] - t_start < 5.0:
        root.after(16, tick)
    else:
        root.quit()


root.after(16, tick)
root.mainloop()
periods = [b - a for a, b in zip(ticks, ticks[1:])]
dev = sorted(abs(t - (t_start + 0.016 * (k + 1))) * 1000 for k, t in enumerate(ticks))
print("timer %d %.3f %.3f %.3f" % (len(ticks), sum(periods) / len(periods) * 1000, dev[len(dev) // 2], dev[len(dev) * 99 // 100]))
