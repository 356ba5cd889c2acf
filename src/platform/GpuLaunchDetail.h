#pragma once

// The non-template half of LaunchKernel (GpuKernel.h), implemented by the device layer.

#include "platform/GpuDevice.h"
#include "platform/GpuKernelDefs.h"

// The vector width host kernels are run with. Every body is built for each; they give the same bytes.
enum class EHostKernelIsa
{
    Baseline, // x86-64 as the build targets it (SSE2)
    Avx2,
};

// The variant host launches use: the widest the processor has, unless set otherwise.
EHostKernelIsa HostKernelIsa();
bool HostKernelIsaSupported(EHostKernelIsa isa);
// Selects the variant of later host launches (tests compare them, benchmarks time them); false,
// and nothing changed, when the processor lacks it. Any thread.
bool SetHostKernelIsa(EHostKernelIsa isa);

namespace tyx_gpu_detail {

// Runs work units [first, last) of one launch on the calling thread: blocks of a plain body, or
// rows of a row-wise body.
using HostRangeRunner = void (*)(const void *body, const stDim3 &grid, const stDim3 &block, uint64_t first,
                                 uint64_t last);

// One host launch: the runner of each variant, the number of units and what one unit costs in body
// calls (so that small launches stay on the caller instead of waking the pool).
struct stHostLaunch
{
    HostRangeRunner baseline = nullptr;
    HostRangeRunner avx2 = nullptr;
    uint64_t units = 0;
    uint64_t unitCost = 1;
};

// Spreads the units of a launch over the host backend's pool and waits for them; safe to call from
// many threads at once and from inside a pool thread.
GpuError HostLaunch(const stHostLaunch &launch, const stDim3 &grid, const stDim3 &block, const void *body);
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
