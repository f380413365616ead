def f(x, scale=False, k=None):
    return x * k if scale else x + 1

t = 0
for _ in range(10000000):
    t = t + f(1, scale=True, k=2)
print(t)
