#!/usr/bin/env python3
"""Picks a small fuzz corpus: the files that add the most coverage edges.

libFuzzer's merge keeps every file that adds one edge, which for the program
fuzzer is about a thousand. This reads the control file of a merge run with
-use_counters=0 -merge_control_file=FILE and copies, greedily, the files that
cover the most edges not yet covered, up to COUNT of them, into OUT. Run it
where the merge ran: the control file names the files relative to there.

    eval_fuzz -merge=1 -use_counters=0 -merge_control_file=/tmp/mcf /tmp/merged corpus-dirs...
    tools/fuzz_corpus_pick.py /tmp/mcf 300 tests/fuzz/corpus/eval
"""
import os
import shutil
import sys


def main():
    control, count, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    lines = open(control).read().split("\n")
    n = int(lines[0])
    files = lines[2:2 + n]
    edges = {}
    for line in lines[2 + n:]:
        parts = line.split()
        if parts and parts[0] == "COV":
            edges[int(parts[1])] = set(map(int, parts[2:]))
    total = set().union(*edges.values()) if edges else set()
    covered = set()
    os.makedirs(out, exist_ok=True)
    for _ in range(count):
        best = max(edges, key=lambda i: len(edges[i] - covered), default=None)
        if best is None or not edges[best] - covered:
            break
        covered |= edges.pop(best)
        shutil.copy(files[best], out)
    print(f"{len(covered)} of {len(total)} edges")


if __name__ == "__main__":
    main()
