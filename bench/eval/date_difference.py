from datetime import datetime

d1 = datetime(2000, 1, 1, 8, 0, 0)
d2 = datetime(2021, 3, 15, 10, 20, 30)
for _ in range(1000000):
    n = d2 - d1
print(n.days)
