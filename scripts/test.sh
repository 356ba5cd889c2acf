#!/usr/bin/env bash
# Builds and runs the whole test suite three times: the normal build (with the CUDA backend when nvcc
# is found; tests run on whatever backend the machine has), a build under AddressSanitizer and
# UndefinedBehaviorSanitizer, and one under ThreadSanitizer, both on the host backend; then the fuzz
# targets (scripts/fuzz.sh) when clang is found.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
jobs="${TYX_JOBS:-$(nproc)}"

"$root/scripts/build.sh" "$root/build/release" -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir "$root/build/release" --output-on-failure -j "$jobs" -LE gpu

"$root/scripts/build.sh" "$root/build/asan" -DCMAKE_BUILD_TYPE=Debug -DTYX_SANITIZE=ON -Dgpu=OFF \
    -DTYX_BUILD_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$root/build/asan" --output-on-failure -j "$jobs" -LE gpu

"$root/scripts/build.sh" "$root/build/tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTYX_TSAN=ON -Dgpu=OFF \
    -DTYX_BUILD_BENCH=OFF
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir "$root/build/tsan" --output-on-failure -j "$jobs" -LE gpu

# The libFuzzer targets for a bounded number of inputs each, when clang is there.
if command -v clang++ >/dev/null; then
    "$root/scripts/fuzz.sh"
else
    echo "test.sh: clang++ not found, fuzz targets skipped"
fi
