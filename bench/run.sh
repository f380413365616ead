#!/usr/bin/env bash
# Builds the benchmarks optimised and runs each one; then runs the evaluator
# benchmarks (bench/eval/NAME.oru with the optimised oru, NAME.py with
# python3) and prints their times and the ratio oru / python.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/build.sh" build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
for b in "$root"/build-bench/bench/bench_*; do
  echo "== $(basename "$b")"
  "$b"
done

shopt -s nullglob
oru=${ORU:-$root/build-bench/oru}

# Runs a command with its output in $out; sets $secs to the wall time.
timed() {
  local start end
  start=$(date +%s%N)
  out=$("$@" 2>&1) || { echo "failed: $*: $out" >&2; out="(failed)"; }
  end=$(date +%s%N)
  secs=$(awk -v n=$((end - start)) 'BEGIN { printf "%.3f", n / 1e9 }')
}

echo "== evaluator (oru against python3)"
printf '%-18s %10s %10s %8s  %s\n' benchmark oru-s python-s ratio result
for script in "$root"/bench/eval/*.oru; do
  name=$(basename "$script" .oru)
  timed "$oru" "$script"; oru_secs=$secs; oru_out=$out
  timed python3 "$root/bench/eval/$name.py"; py_secs=$secs; py_out=$out
  ratio=$(awk -v a="$oru_secs" -v b="$py_secs" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
  same=$([ "$oru_out" = "$py_out" ] && echo "$oru_out" || echo "MISMATCH oru=$oru_out python=$py_out")
  printf '%-18s %10s %10s %8s  %s\n' "$name" "$oru_secs" "$py_secs" "$ratio" "$same"
done
