import subprocess

failed = 0
for _ in range(1000):
    if subprocess.run(["true"]).returncode != 0:
        failed += 1
print("failed", failed)
