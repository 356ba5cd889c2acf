#pragma once

// Kernels are written once, as a body that one GPU thread runs, and launched through LaunchKernel:
// the CUDA backend runs the body in a __global__ wrapper, the host backend runs the same body over
// the same grid and block on a thread pool, row by row for row-wise bodies (GpuKernelDefs.h), in a
// baseline and an AVX2 build of its loop chosen at run time. Bodies must not use shared memory,
// __syncthreads, atomics or warp intrinsics: each thread's work stands alone. Sources that launch
// kernels are added to the build with tyx_kernel_sources, so nvcc compiles them when the CUDA
// backend is built.

#include "platform/GpuDevice.h"
#include "platform/GpuKernelDefs.h"
#include "platform/GpuLaunchDetail.h"

#include <concepts>

#if defined(TYX_HAVE_CUDA) && TYX_HAVE_CUDA && !defined(__CUDACC__)
#error "A source that launches kernels must be added with tyx_kernel_sources"
#endif

#if defined(__x86_64__) && !defined(__CUDA_ARCH__)
#define TYX_HOST_TARGET_AVX2 __attribute__((target("avx2")))
#else
#define TYX_HOST_TARGET_AVX2
#endif

namespace tyx_gpu_detail {

template <typename Body>
concept RowWiseBody = requires(const Body &body, uint32_t value) {
    { body.RowSpan(value, value) } -> std::same_as<stRowSpan>;
    body.Item(value, value, value);
};

// A row-wise body may run a row's span itself on the host, for work that a loop over Item does
// poorly (sampling taps worked out once for all rows, a scratch line); defined in host builds only:
//     TYX_FORCEINLINE void HostRow(uint32_t y, uint32_t z, uint32_t begin, uint32_t end) const;
// It must write the same bytes as Item over [begin, end).
template <typename Body>
concept HostRowBody = RowWiseBody<Body> && requires(const Body &body, uint32_t value) {
    body.HostRow(value, value, value, value);
};

// What one thread of a body costs the host, in calls of a simple per-pixel body; a body whose
// threads do more (a whole line each) says so with HostCost().
template <typename Body>
uint64_t HostThreadCost(const Body &body)
{
    if constexpr (requires { body.HostCost(); })
        return body.HostCost() > 0 ? body.HostCost() : 1;
    else
        return 1;
}

// The host loops. They work on a local copy of the body, so that the compiler knows the picture
// stores cannot change the body's fields, and they are inlined into each variant below.
template <typename Body>
TYX_FORCEINLINE void RunBlocks(const Body &kernel, const stDim3 &grid, const stDim3 &block, uint64_t first,
                               uint64_t last)
{
    stKernelIndex index;
    index.blockDim = block;
    index.gridDim = grid;
    for (uint64_t flat = first; flat < last; ++flat) {
        index.blockIdx.x = static_cast<uint32_t>(flat % grid.x);
        index.blockIdx.y = static_cast<uint32_t>((flat / grid.x) % grid.y);
        index.blockIdx.z = static_cast<uint32_t>(flat / (uint64_t{grid.x} * grid.y));
        for (uint32_t z = 0; z < block.z; ++z) {
            for (uint32_t y = 0; y < block.y; ++y) {
                for (uint32_t x = 0; x < block.x; ++x) {
                    index.threadIdx = {x, y, z};
                    kernel(index);
                }
            }
        }
    }
}

// Row r of a row-wise body is (y, z) = (r % height, r / height) over the launch's whole x range.
template <typename Body>
TYX_FORCEINLINE void RunRows(const Body &kernel, const stDim3 &grid, const stDim3 &block, uint64_t first,
                             uint64_t last)
{
    const uint64_t width = uint64_t{grid.x} * block.x;
    const uint64_t height = uint64_t{grid.y} * block.y;
    for (uint64_t row = first; row < last; ++row) {
        const auto y = static_cast<uint32_t>(row % height);
        const auto z = static_cast<uint32_t>(row / height);
        const stRowSpan span = kernel.RowSpan(y, z);
        const uint32_t end = span.end < width ? span.end : static_cast<uint32_t>(width);
        if constexpr (HostRowBody<Body>) {
            if (span.begin < end)
                kernel.HostRow(y, z, span.begin, end);
        } else {
            for (uint32_t x = span.begin; x < end; ++x)
                kernel.Item(x, y, z);
        }
    }
}

template <typename Body>
TYX_FORCEINLINE void RunHostRange(const void *body, const stDim3 &grid, const stDim3 &block, uint64_t first,
                                  uint64_t last)
{
    const Body kernel = *static_cast<const Body *>(body);
    if constexpr (RowWiseBody<Body>)
        RunRows(kernel, grid, block, first, last);
    else
        RunBlocks(kernel, grid, block, first, last);
}

template <typename Body>
void RunHostRangeBaseline(const void *body, const stDim3 &grid, const stDim3 &block, uint64_t first, uint64_t last)
{
    RunHostRange<Body>(body, grid, block, first, last);
}

template <typename Body>
TYX_HOST_TARGET_AVX2 void RunHostRangeAvx2(const void *body, const stDim3 &grid, const stDim3 &block, uint64_t first,
                                           uint64_t last)
{
    RunHostRange<Body>(body, grid, block, first, last);
}

template <typename Body>
GpuError LaunchOnHostPool(const stDim3 &grid, const stDim3 &block, const Body &body)
{
    stHostLaunch launch;
    launch.baseline = &RunHostRangeBaseline<Body>;
    launch.avx2 = &RunHostRangeAvx2<Body>;
    if constexpr (RowWiseBody<Body>) {
        launch.units = uint64_t{grid.y} * block.y * grid.z * block.z;
        launch.unitCost = uint64_t{grid.x} * block.x;
    } else {
        launch.units = uint64_t{grid.x} * grid.y * grid.z;
        launch.unitCost = uint64_t{block.x} * block.y * block.z;
    }
    launch.unitCost *= HostThreadCost(body);
    return HostLaunch(launch, grid, block, &body);
}

#if defined(__CUDACC__)
template <typename Body>
__global__ void KernelEntry(Body body)
{
    stKernelIndex index;
    index.blockIdx = {blockIdx.x, blockIdx.y, blockIdx.z};
    index.blockDim = {blockDim.x, blockDim.y, blockDim.z};
    index.threadIdx = {threadIdx.x, threadIdx.y, threadIdx.z};
    index.gridDim = {gridDim.x, gridDim.y, gridDim.z};
    body(index);
}

#endif

} // namespace tyx_gpu_detail

// Launches body over grid x block on the stream (none: the calling thread's); the body is copied
// by value to the device, so it holds plain values and device pointers only. Returns 0 or the launch error (also kept for
// DevGetLastError). On the host backend the launch is complete when this returns.
template <typename Body>
GpuError LaunchKernel(const stDim3 &grid, const stDim3 &block, GpuStream stream, const Body &body)
{
    stream = tyx_gpu_detail::ResolveLaunchStream(stream);
    GpuError error = tyx_gpu_detail::CheckLaunchShape(grid, block);
    if (error == GPU_SUCCESS && tyx_gpu_detail::TakeLaunchFault())
        error = GPU_ERROR_LAUNCH_FAILURE;
    if (error != GPU_SUCCESS) {
        tyx_gpu_detail::SetLastLaunchError(error);
        return error;
    }
#if defined(__CUDACC__)
    if (DevBackend() == EGpuBackend::Cuda) {
        tyx_gpu_detail::BindCudaDevice();
        tyx_gpu_detail::KernelEntry<Body><<<dim3(grid.x, grid.y, grid.z), dim3(block.x, block.y, block.z), 0,
                                            static_cast<cudaStream_t>(stream)>>>(body);
        error = tyx_gpu_detail::CudaLaunchResult();
        tyx_gpu_detail::SetLastLaunchError(error);
        return error;
    }
#else
    (void)stream;
#endif
    error = tyx_gpu_detail::LaunchOnHostPool(grid, block, body);
    tyx_gpu_detail::SetLastLaunchError(error);
    return error;
}

// Runs body over grid x block on the host pool whatever the backend: reference results and tests,
// with host pointers only. Complete when it returns.
template <typename Body>
GpuError LaunchKernelOnHost(const stDim3 &grid, const stDim3 &block, const Body &body)
{
    const GpuError error = tyx_gpu_detail::CheckLaunchShape(grid, block);
    if (error != GPU_SUCCESS)
        return error;
    return tyx_gpu_detail::LaunchOnHostPool(grid, block, body);
}
