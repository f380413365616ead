# 1M integer keys put in a dict, then each one selected
m = {}
i = 0
for _ in range(1000000):
    i += 1
    m[i] = i
t = 0
i = 0
for _ in range(1000000):
    i += 1
    if m[i]:
        t += 1
print(t)
