import subprocess

total = 0
for _ in range(1000):
    total += len(subprocess.run(["echo", "hi"], capture_output=True).stdout.decode())
print("bytes", total)
