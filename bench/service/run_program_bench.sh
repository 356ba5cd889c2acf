#!/usr/bin/env bash
# Builds the program and its benchmark and prints the figures: run_program_bench.sh [seconds]
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$root/build/bench"
"$root/scripts/build.sh" "$build" -DCMAKE_BUILD_TYPE=Release -DTYX_BUILD_TESTS=OFF >/dev/null
"$build/bench/service/program_bench" "$build/src/TyxServiceMain" "$build/tools/gen_sample_clip/gen_sample_clip" "${1:-30}"
