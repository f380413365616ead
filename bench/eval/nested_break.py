total = 0
for i in range(1, 4501):
    j = 0
    while True:
        j = j + 1
        if j > i:
            break
        total = total + 1
print(total)
