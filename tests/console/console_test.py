#!/usr/bin/env python3
"""The console run as a user runs it, without a display.

    console_test.py ORU pipe DIR   each DIR/NAME.in fed to `oru` on standard
                                   input; standard output must equal
                                   NAME.out, the status NAME.status (else 0)
    console_test.py ORU cli        the command line: options, argument
                                   trimming, the directory change, header
                                   errors and exit statuses
Every run has a time-out: a console that waits for input it will never get
fails the test instead of hanging it.
"""
import os
import select
import subprocess
import sys
import tempfile
import time

ORU = os.path.abspath(sys.argv[1])
ENV = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
failures = []


def run(args, stdin=b"", cwd=None, keep_stdin_open=False):
    """Runs oru; returns (status, stdout). With keep_stdin_open the input
    pipe stays open, so a console that reads it would hang (and time out)."""
    if keep_stdin_open:
        p = subprocess.Popen([ORU] + args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, cwd=cwd, env=ENV)
        out = b""
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            ready, _, _ = select.select([p.stdout], [], [], 0.2)
            if ready:
                chunk = os.read(p.stdout.fileno(), 4096)
                if not chunk:
                    break
                out += chunk
        try:
            status = p.wait(timeout=1)
        except subprocess.TimeoutExpired:
            p.kill()
            status = "hung"
        p.stdin.close()
        p.stdout.close()
        return status, out.decode()
    p = subprocess.run([ORU] + args, input=stdin, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                       cwd=cwd, env=ENV, timeout=20)
    return p.returncode, p.stdout.decode()


def check(label, got, want):
    if got != want:
        failures.append(f"{label}:\n--- want\n{want!r}\n--- got\n{got!r}")


def pipe_tests(folder):
    for name in sorted(os.listdir(folder)):
        if not name.endswith(".in"):
            continue
        base = os.path.join(folder, name[:-3])
        with open(base + ".in", "rb") as f:
            data = f.read()
        with open(base + ".out", encoding="utf-8") as f:
            want = f.read()
        status = 0
        if os.path.exists(base + ".status"):
            with open(base + ".status") as f:
                status = int(f.read())
        got_status, out = run([], data)
        check(name + " output", out, want)
        check(name + " status", got_status, status)


def cli_tests():
    with tempfile.TemporaryDirectory() as tmp:
        sub = os.path.join(tmp, "sub dir")
        os.mkdir(sub)

        def script(name, text, folder=tmp):
            path = os.path.join(folder, name)
            with open(path, "w") as f:
                f.write(text)
            return path

        show = script("show.oru", 'Oru []\nprint mold system/options/args\nprint mold system/script/args\n'
                      'print system/console/catch?\nprint mold system/options/script\n'
                      'print mold get-current-dir\n', sub)
        # Options before the script are skipped ("--catch" is taken); the
        # script sees only the arguments after its name; the current folder
        # becomes the script's; its name is made absolute.
        rel = os.path.join("sub dir", "show.oru")
        status, out = run(["--odd", "--catch", rel, "a", "b c"], cwd=tmp)
        out = out.split(">> ")[0]
        want = f'["a" "b c"]\n{{a "b c"}}\ntrue\n%"{sub}/show.oru"\n"{sub}/"\n'
        check("options and trimming", (status, out), (0, want))
        # "--catch" keeps the console after the script; the end of input
        # then quits with status 0.
        status, out = run(["--catch", "--x", show, "--y"], stdin=b"1 + 1\n")
        check("--catch", (status, out.split("\n")[0:3] + out.split("\n")[5:]),
              (0, ['["--y"]', '"--y"', 'true', '>> ', '== 2', '>> ', '']))
        # Only options: the console with its banner.
        status, out = run(["--catch", "--other"], stdin=b"1\n")
        check("only options", (status, out.split("\n")[0], out.split("\n")[3:]),
              (0, "--== Oru " + run([], b"print system/version\n")[1].split("\n")[4] + " ==-- ",
               [">> ", "== 1", ">> ", ""]))
        # A bare "--" ends the options: the next name is the script even
        # when it starts with "--".
        script("--odd.oru", 'Oru [] print "odd script ran"\n')
        check("bare --", run(["--", "--odd.oru"], cwd=tmp), (0, "odd script ran\n"))
        # A script named without a folder leaves the current folder as it is.
        check("no folder", run(["--catch", "show.oru", "1"], cwd=sub)[1].split("\n")[4], f'"{sub}/"')

        cases = [
            # label, script text, status, output
            ("header after text", 'junk\nOru [] print "found"\n', 0, "found\n"),
            ("no header", 'oru [] print "x"\n', 1, "*** Error: Oru header not found!\n"),
            ("system code", 'Oru/System [] print "x"\n', 1,
             "*** Error: contains Oru/System code which requires compilation!\n"),
            ("script error", 'Oru [] print "before" 1 / 0 print "after"\n', 254, None),
            ("load error", 'Oru [] x: [1 2\n', 254, None),
            ("quit status", 'Oru [] quit/return 3 print "not here"\n', 3, ""),
        ]
        for label, text, status, want in cases:
            path = script("case.oru", text)
            got_status, out = run([path])
            check(label + " status", got_status, status)
            if want is not None:
                check(label + " output", out, want)
            elif not out.startswith("before\n*** Math Error") and not out.startswith("*** Syntax Error"):
                failures.append(f"{label}: unexpected output {out!r}")
        # halt in a script stops it; with "--catch" the console follows.
        path = script("case.oru", 'Oru [] print "a" halt print "b"\n')
        check("halt", run(["--catch", path]), (0, "a\n(halted)\n>> \n"))
        # A script that cannot be read ends the program with status 1, also
        # with standard input left open (no console waits on it).
        missing = os.path.join(tmp, "missing.oru")
        for label, args in [("missing script", [missing]), ("folder", [sub]),
                            ("missing script, --catch", ["--catch", missing]), ("folder, --catch", ["--catch", sub])]:
            status, out = run(args, keep_stdin_open=True)
            check(label + " status", status, 1)
            if not out.startswith(("*** Access Error", "*** Error: cannot read")):
                failures.append(f"{label}: unexpected output {out!r}")


mode = sys.argv[2]
if mode == "pipe":
    pipe_tests(sys.argv[3])
elif mode == "cli":
    cli_tests()
for f in failures:
    print(f)
sys.exit(1 if failures else 0)
