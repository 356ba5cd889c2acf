#pragma once

// Kernels are written once, as a body that one GPU thread runs, and launched through LaunchKernel:
// the CUDA backend runs the body in a __global__ wrapper, the host backend runs the same body over
// the same grid and block on a thread pool. Bodies must not use shared memory, __syncthreads, atomics
// or warp intrinsics: each thread's work stands alone. Sources that launch kernels are added to the
// build with tyx_kernel_sources, so nvcc compiles them when the CUDA backend is built.

#include "platform/GpuDevice.h"
#include "platform/GpuKernelDefs.h"
#include "platform/GpuLaunchDetail.h"

#if defined(TYX_HAVE_CUDA) && TYX_HAVE_CUDA && !defined(__CUDACC__)
#error "A source that launches kernels must be added with tyx_kernel_sources"
#endif

namespace tyx_gpu_detail {

// Runs one block's threads of a body on the calling CPU thread.
template <typename Body>
void RunHostBlock(const void *body, const stDim3 &grid, const stDim3 &block, const stDim3 &blockIdx)
{
    const Body &kernel = *static_cast<const Body *>(body);
    stKernelIndex index;
    index.blockIdx = blockIdx;
    index.blockDim = block;
    index.gridDim = grid;
    for (uint32_t z = 0; z < block.z; ++z) {
        for (uint32_t y = 0; y < block.y; ++y) {
            for (uint32_t x = 0; x < block.x; ++x) {
                index.threadIdx = {x, y, z};
                kernel(index);
            }
        }
    }
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
    error = tyx_gpu_detail::HostLaunch(grid, block, &tyx_gpu_detail::RunHostBlock<Body>, &body);
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
    return tyx_gpu_detail::HostLaunch(grid, block, &tyx_gpu_detail::RunHostBlock<Body>, &body);
}
