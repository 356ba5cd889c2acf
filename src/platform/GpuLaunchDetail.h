#pragma once

// The non-template half of LaunchKernel (GpuKernel.h), implemented by the device layer.

#include "platform/GpuDevice.h"
#include "platform/GpuKernelDefs.h"

namespace tyx_gpu_detail {

using HostBlockRunner = void (*)(const void *body, const stDim3 &grid, const stDim3 &block,
                                 const stDim3 &blockIdx);

// Spreads the blocks of a launch over the host backend's pool and waits for them; safe to call from
// many threads at once and from inside a pool thread.
GpuError HostLaunch(const stDim3 &grid, const stDim3 &block, HostBlockRunner runner, const void *body);
// Validates a launch shape as the GPU would (block at most 1024 threads, no zero dimension).
GpuError CheckLaunchShape(const stDim3 &grid, const stDim3 &block);
// The stream a launch given stream goes on: its own, or the calling thread's (DevSetThreadStream).
GpuStream ResolveLaunchStream(GpuStream stream);
// Consumes one injected launch fault, when any is pending.
bool TakeLaunchFault();
void SetLastLaunchError(GpuError error);
// The CUDA runtime's verdict on the launch just made (CUDA builds only).
GpuError CudaLaunchResult();
// Makes the chosen device current on the calling thread before a launch (CUDA builds only): a
// thread that never touched memory would otherwise launch on device 0.
void BindCudaDevice();

} // namespace tyx_gpu_detail
