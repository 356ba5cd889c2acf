#!/usr/bin/env bash
# Builds the program and runs it with the given options (none: it prints its usage text).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/build.sh" "$root/build/run" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTYX_BUILD_TESTS=OFF \
    -DTYX_BUILD_BENCH=OFF >/dev/null
if [ $# -eq 0 ]; then
    "$root/build/run/src/TyxServiceMain" || true
else
    exec "$root/build/run/src/TyxServiceMain" "$@"
fi
