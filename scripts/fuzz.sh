#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under AddressSanitizer and UndefinedBehaviorSanitizer and
# runs each one from its seed corpus: a bounded number of inputs by default (CI), or for a while
# with --long [seconds per target, default 600]. New inputs that found something go to
# build/fuzz/corpus/<name>; crashes are kept in build/fuzz/artifacts.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
jobs="${TYX_JOBS:-$(nproc)}"
mode="${1:-}"
runs="${TYX_FUZZ_RUNS:-20000}"
seconds="${2:-600}"

command -v clang++ >/dev/null || { echo "fuzz.sh: clang++ not found" >&2; exit 1; }
dir="$root/build/fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTYX_FUZZ=ON -DTYX_SANITIZE=ON \
    -Dgpu=OFF -DTYX_BUILD_TESTS=OFF -DTYX_BUILD_BENCH=OFF
cmake --build "$dir" --target tyx_fuzzers --parallel "$jobs"

mkdir -p "$dir/artifacts"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for program in "$dir"/fuzz/fuzz_*; do
    name="$(basename "$program")"
    name="${name#fuzz_}"
    corpus="$dir/corpus/$name"
    mkdir -p "$corpus"
    seeds="$root/fuzz/corpus/$name"
    [ -d "$seeds" ] || seeds=""
    if [ "$mode" = "--long" ]; then
        limit=(-max_total_time="$seconds")
    else
        limit=(-runs="$runs")
    fi
    echo "fuzz.sh: $name (${limit[*]})"
    "$program" "${limit[@]}" -max_len=4096 -timeout=10 -artifact_prefix="$dir/artifacts/$name-" \
        "$corpus" ${seeds:+"$seeds"}
done
