#!/usr/bin/env python3
"""The console's line editor on a pseudo-terminal, as a user types.

    terminal_test.py ORU

Each case starts `oru` on a fresh pseudo-terminal of 80x24, types keys and
checks what the submitted line evaluated to, as the screen (drawn by pyte)
shows it. Every read has a time-out.
"""
import fcntl
import os
import pty
import select
import signal
import struct
import sys
import termios
import time

try:
    import pyte
except ImportError:  # the Debian package, when another python3 runs this
    sys.path.append("/usr/lib/python3/dist-packages")
    import pyte

ORU = os.path.abspath(sys.argv[1])
LEFT, RIGHT, UP, DOWN = "\x1b[D", "\x1b[C", "\x1b[A", "\x1b[B"
CTRL_LEFT, CTRL_RIGHT, HOME = "\x1b[1;5D", "\x1b[1;5C", "\x1b[H"
failures = []


class Console:
    def __init__(self, env=None, cols=80, rows=24, argv=None):
        self.screen = pyte.Screen(cols, rows)
        self.stream = pyte.ByteStream(self.screen)
        e = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
        e.update({"TERM": "xterm-256color"})
        e.update(env or {})
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            argv = argv or [ORU]
            os.execve(argv[0], argv, e)
        self.resize(cols, rows, signal_child=False)
        self.status = None

    def resize(self, cols, rows, signal_child=True):
        fcntl.ioctl(self.fd, termios.TIOCSWINSZ, struct.pack("HHHH", rows, cols, 0, 0))
        self.screen.resize(rows, cols)
        if signal_child:
            os.kill(self.pid, signal.SIGWINCH)

    def pump(self, seconds):
        end = time.monotonic() + seconds
        while True:
            left = end - time.monotonic()
            if left <= 0:
                return
            r, _, _ = select.select([self.fd], [], [], left)
            if not r:
                return
            try:
                data = os.read(self.fd, 65536)
            except OSError:
                return
            if not data:
                return
            self.stream.feed(data)

    def text(self):
        return "\n".join(line.rstrip() for line in self.screen.display)

    def expect(self, what, timeout=5.0):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if what in self.text():
                return True
            self.pump(0.05)
        return False

    def type(self, keys, settle=0.08):
        os.write(self.fd, keys.encode())
        self.pump(settle)

    def wait_exit(self, timeout=5.0):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                self.status = os.waitstatus_to_exitcode(status)
                return self.status
            self.pump(0.05)
        return None

    def close(self):
        if self.status is None:
            try:
                os.kill(self.pid, signal.SIGKILL)
                os.waitpid(self.pid, 0)
            except OSError:
                pass
        os.close(self.fd)


def case(label, keys, want, env=None, setup=""):
    """Types setup lines, then keys; the screen must then show `want`."""
    c = Console(env)
    try:
        if not c.expect(">>"):
            failures.append(f"{label}: no prompt\n{c.text()}")
            return
        for line in setup.splitlines():
            c.type(line + "\r", 0.2)
        for k in keys if isinstance(keys, list) else [keys]:
            c.type(k)
        if not c.expect(want):
            failures.append(f"{label}: want {want!r}\n{c.text()}")
    finally:
        c.close()


# Each edit, checked by what the submitted line evaluates to.
edits = [
    ("caret moves", ["12", LEFT, "3", RIGHT, RIGHT, "4\r"], "== 1324"),
    ("home and end keys", ["2 + 3", HOME, "1", "\x05", "0\r"], "== 42"),
    ("word jumps", ["10 * 3", CTRL_LEFT, "1", HOME, CTRL_RIGHT, "0\r"], "== 1300"),
    ("ctrl+a and backspace", ["5 + 5", "\x01", "\x1b[3~", "7", "\x05", "\x7f", "2\r"], "== 9"),
    ("ctrl+w deletes a word", ["100 + 200", "\x17", "1\r"], "== 101"),
    ("undo and redo", ["123", "\x1a", "\x1a", "\x19", "\r"], "== 12"),
    ("ctrl+k and no undo", ["999", "\x0b", "\x1a", "8\r"], "== 8"),
    ("selection replaced", ["456", HOME, "\x1b[1;2C", "\x1b[1;2C", "7\r"], "== 76"),
]
for label, keys, want in edits:
    case(label, keys, want)

# History: newest first, the same line kept once, Down back to the typed text.
case("history", ["40 + 2\r", "1 + 1\r", "1 + 1\r", "5", UP, UP, "\r"], "== 42")
case("history back down", ["40 + 2\r", "7", UP, UP, DOWN, DOWN, "\r"], "== 7")
# Escape drops the pending lines; Ctrl+C at the prompt drops the line.
case("escape", ["[1\r", "2", "\x1b"], "(escape)")
case("ctrl+c at the prompt", ["12345", "\x03"], "(escape)")
# Ctrl+C while a command runs halts it; the console goes on.
case("ctrl+c halts a loop", ["n: 0 forever [n: n + 1]\r", "\x03", "n > 0\r"], "(halted)\n>> n > 0\n== true")

# Completion: the completer's answer replaces the line; several candidates
# are shown on the prompt's line, the input below.
complete_stub = ('oru-complete-ctx: context [complete-input: func [str console?] ['
                 'either "ab" = head str [reduce [at "abc-one" 8]] '
                 '[reduce [at "x-" 3 %x-one %x-two]]]] abc-one: 5')
case("tab, one candidate", ["ab", "\t", "\r"], "== 5", setup=complete_stub)
case("tab, several candidates", ["x", "\t"], ">> x-one x-two\n>> x-", setup=complete_stub)
case("tab failing rings", ["1", "\t", "2\r"], "== 12",
     setup="oru-complete-ctx: context [complete-input: func [s c] [1 / 0]]")


def colour_case(label, env, coloured):
    c = Console(env)
    try:
        c.expect(">>")
        c.type('highlight: context [theme: [integer! [255.0.0 bold]] add-styles: func [s d t] [append d reduce [1x2 255.0.0 \'bold]]]\r', 0.3)
        c.type("12 + 1")
        row = c.screen.cursor.y
        cell = c.screen.buffer[row][3]
        got = (cell.fg != "default", cell.bold)
        if got != (coloured, coloured):
            failures.append(f"{label}: colour {cell.fg} bold {cell.bold}")
    finally:
        c.close()


colour_case("colour", {"COLORTERM": "truecolor"}, True)
colour_case("NO_COLOR", {"NO_COLOR": "1"}, False)
colour_case("TERM=dumb", {"TERM": "dumb"}, False)

# Resizing: the new width reaches system/console/size.
c = Console()
try:
    c.expect(">>")
    c.resize(50, 20)
    c.pump(0.2)
    c.type("system/console/size\r")
    if not c.expect("== 50x20"):
        failures.append("resize:\n" + c.text())
    # A long line wraps and is drawn again whole after an edit.
    c.type("length? \"" + "x" * 60 + "\"" + LEFT + "\x7f\r")
    if not c.expect("== 59"):
        failures.append("wrapped line:\n" + c.text())
finally:
    c.close()

# prin then ask: one line; ask/hide shows stars and keeps no history.
case("prin then ask", ['prin "abc" x: ask "Q? "\r', "hi\r", "x\r"], 'abcQ? hi\n== "hi"')
case("ask/hide", ['x: ask/hide "pw: "\r', "secret\r", "x\r"], 'pw: ******\n== "secret"')
case("hidden input not in history", ['1 + 1\r', 'x: ask/hide "pw: "\r', "secret\r", UP, "\r"], 'pw: ******\n== "secret"\n>> x: ask/hide "pw: "\npw:')

# A bracketed paste of three lines: the first two are evaluated at once,
# the third waits in the input for Enter.
case("paste", ["\x1b[200~1 + 1\r\n2 + 2\n3 + 3\x1b[201~"], ">> 1 + 1\n== 2\n>> 2 + 2\n== 4\n>> 3 + 3")
case("paste then enter", ["\x1b[200~1 + 1\n3 + 3\x1b[201~", "0\r"], "== 33")
# Wide characters: the caret moves over code points.
case("wide characters", ['length? "\u4e2d\u6587"', LEFT, LEFT, "x\r"], "== 3")
# The title is set by an escape sequence.
c = Console()
try:
    c.expect(">>")
    if c.screen.title != "Oru Console":
        failures.append(f"title: {c.screen.title!r}")
finally:
    c.close()


def settings_case(label, keys, kill=None):
    """oru run by a shell on the terminal: the settings that the shell shows
    after it must be those before it."""
    c = Console(cols=200, argv=["/bin/sh", "-c", 'stty -g; echo START; "$0"; stty -g; echo END', ORU])
    try:
        if not c.expect(">>"):
            failures.append(f"{label}: no prompt\n{c.text()}")
            return
        c.type("12")
        if kill:
            for line in open(f"/proc/{c.pid}/task/{c.pid}/children").read().split():
                os.kill(int(line), kill)
        else:
            c.type(keys)
        if not c.expect("END"):
            failures.append(f"{label}: no end\n{c.text()}")
            return
        lines = [l for l in c.text().split("\n") if ":" in l and " " not in l.strip()]
        if len(lines) != 2 or lines[0] != lines[1]:
            failures.append(f"{label}: settings differ\n{c.text()}")
    finally:
        c.close()


settings_case("settings after ctrl+d", "\x0b\x04")
settings_case("settings after quit", "\x0bquit\r")
settings_case("settings after SIGTERM", None, kill=signal.SIGTERM)

# Ctrl+D on an empty line ends the console with status 0.
c = Console()
try:
    c.expect(">>")
    c.type("1 + 1\r")
    c.type("\x04")
    status = c.wait_exit()
    if status != 0:
        failures.append(f"ctrl+d: status {status}\n{c.text()}")
finally:
    c.close()

for f in failures:
    print(f)
    print("----")
sys.exit(1 if failures else 0)
