from datetime import datetime, timedelta

d = datetime(2021, 3, 15, 10, 20, 30)
one = timedelta(days=1)
for _ in range(1000000):
    d = d + one
print(d.year, d.month, d.day)
