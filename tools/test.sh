#!/usr/bin/env bash
# Builds and runs every test: the normal build, the unit and script tests
# again under collector stress and again on the evaluator's general road
# alone (ORU_EVAL_GENERAL=1), and the whole suite in an address and
# undefined-behaviour sanitizer build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/install-deps.sh"
jobs=$(nproc)

echo "== normal build"
"$root/tools/build.sh" build -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --timeout 300 --test-dir "$root/build" --output-on-failure -j "$jobs"

echo "== collector stress"
ORU_GC_STRESS=1 ctest --timeout 300 --test-dir "$root/build" --output-on-failure -j "$jobs" -L "unit|script|process|fuzz"

echo "== general road (every evaluator shortcut off)"
ORU_EVAL_GENERAL=1 ctest --timeout 300 --test-dir "$root/build" --output-on-failure -j "$jobs" -L "unit|script|process|fuzz"

echo "== sanitizer build"
"$root/tools/build.sh" build-asan -DCMAKE_BUILD_TYPE=Debug -DORU_SANITIZE=ON
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} UBSAN_OPTIONS=print_stacktrace=1 \
  LSAN_OPTIONS=suppressions="$root/tools/lsan.supp" \
  ctest --timeout 300 --test-dir "$root/build-asan" --output-on-failure -j "$jobs"
