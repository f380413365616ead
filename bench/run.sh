#!/usr/bin/env bash
# Builds the benchmarks optimised and runs each one.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/build.sh" build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
for b in "$root"/build-bench/bench/bench_*; do
  echo "== $(basename "$b")"
  "$b"
done
