#!/usr/bin/env bash
# Builds the project with the CUDA backend and runs, on this machine's GPU, the tests labelled gpu
# (the CUDA backend against the host backend, bit for bit), then the kernel and device-memory tests
# of the core and the video processing on the CUDA backend. TYX_GPU_FULL=1 runs the whole suite.
#
#   TYX_CUDA_ARCH   CUDA architectures to build (default: native, the GPU present)
#   TYX_BUILD_ONLY  1: configure and build, run nothing (for machines without a GPU)
#   TYX_GPU_BUILD   build folder (default: build/gpu)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
dir="${TYX_GPU_BUILD:-$root/build/gpu}"
jobs="${TYX_JOBS:-$(nproc)}"

"$root/scripts/build.sh" "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -Dgpu=ON \
    -DCMAKE_CUDA_ARCHITECTURES="${TYX_CUDA_ARCH:-native}" -DTYX_BUILD_BENCH=OFF
if ! grep -q '^CMAKE_CUDA_COMPILER:[A-Z]*=.*nvcc' "$dir/CMakeCache.txt"; then
    echo "run.sh: nvcc was not found, so the CUDA backend was not built" >&2
    exit 2
fi
if [ "${TYX_BUILD_ONLY:-0}" = 1 ]; then
    echo "run.sh: built with the CUDA backend in $dir"
    exit 0
fi

command -v nvidia-smi >/dev/null && nvidia-smi -L
status=0
TYX_REQUIRE_CUDA=1 ctest --test-dir "$dir" -L gpu --output-on-failure -j "$jobs" || status=1
if [ "${TYX_GPU_FULL:-0}" = 1 ]; then
    ctest --test-dir "$dir" -LE gpu --output-on-failure -j "$jobs" || status=1
else
    ctest --test-dir "$dir" -LE gpu --output-on-failure -j "$jobs" \
        -R '^(GpuDeviceTest|FramePackageTest|CopyToDeviceFrameTest|ScaleFrameGpuTest|ResizeTest|FrameRateAdjusterTest|GpuSetupTest|GVMuxTest|GVSplitTest|VideoMuxTest|FormatConvertTest|OsdWriterTest|OsdClockTest|GmtDrawerTest|GraphicDrawTest|OsgDrawerTest|AnimateLoaderTest)\.' \
        || status=1
fi
exit "$status"
