from datetime import datetime

d = datetime(2021, 3, 15, 10, 20, 30)
for _ in range(1000000):
    s = d.strftime("%d-%b-%Y/%H:%M:%S")
print(s)
