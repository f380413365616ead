#!/usr/bin/env bash
# Configures and builds one configuration: tools/build.sh DIR [cmake options...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1; shift
cmake -S "$root" -B "$root/$dir" -G "Unix Makefiles" "$@" >/dev/null
cmake --build "$root/$dir" -j "$(nproc)"
