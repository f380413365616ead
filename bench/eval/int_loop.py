i = 0
a = 0
b = 0
while i < 10000000:
    if i % 3 == 0:
        a = a + 1
    else:
        b = b + i % 7
    i = i + 1
print(a + b)
