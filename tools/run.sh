#!/usr/bin/env bash
# Installs what is needed, builds, and runs oru with the given arguments.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/install-deps.sh"
"$root/tools/build.sh" build -DCMAKE_BUILD_TYPE=RelWithDebInfo
exec "$root/build/oru" "$@"
