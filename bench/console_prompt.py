#!/usr/bin/env python3
"""Time to the first prompt on a pseudo-terminal: oru's console against the
Python interpreter itself (`python3 -q`), best of 10 runs each.

    console_prompt.py ORU

Each run starts the program on a fresh pseudo-terminal and stops the clock
when its prompt (">> " or ">>> ") has arrived; the program is then killed.
"""
import os
import pty
import select
import signal
import sys
import time


def first_prompt(argv, prompt, env):
    start = time.perf_counter()
    pid, fd = pty.fork()
    if pid == 0:
        os.execve(argv[0], argv, env)
    seen = b""
    try:
        while prompt not in seen:
            r, _, _ = select.select([fd], [], [], 10)
            if not r:
                raise RuntimeError(f"no prompt from {argv[0]}")
            seen += os.read(fd, 4096)
        return time.perf_counter() - start
    finally:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        os.close(fd)


env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
env["TERM"] = "xterm-256color"
oru = min(first_prompt([os.path.abspath(sys.argv[1])], b">> ", env) for _ in range(10))
py = min(first_prompt([sys.executable, "-q"], b">>> ", env) for _ in range(10))
print(f"{'first prompt':<16} {'oru-ms':>8} {'python-ms':>10} {'ratio':>6}")
print(f"{'pty, best of 10':<16} {oru * 1000:8.2f} {py * 1000:10.2f} {oru / py:6.2f}")
