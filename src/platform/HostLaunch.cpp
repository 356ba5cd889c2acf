// The host backend's side of a kernel launch: the vector-width variant and the spreading of a
// launch's work over the pool.

#include "platform/GpuLaunchDetail.h"
#include "platform/HostThreadPool.h"

#include <algorithm>
#include <atomic>

namespace {

// Below this many body calls a piece of work is not worth waking a thread for: a wake-up costs
// tens of microseconds on a busy machine, and a vectorised body does a pixel in well under a
// nanosecond.
constexpr uint64_t kMinCostPerChunk = 131072;
// Pieces per worker: a few let workers that finish early take more, when rows cost unevenly.
constexpr uint64_t kChunksPerWorker = 4;

bool ProcessorHas(EHostKernelIsa isa)
{
#if defined(__x86_64__)
    if (isa == EHostKernelIsa::Avx2)
        return __builtin_cpu_supports("avx2");
#endif
    return isa == EHostKernelIsa::Baseline;
}

std::atomic<EHostKernelIsa> &SelectedIsa()
{
    static std::atomic<EHostKernelIsa> isa{ProcessorHas(EHostKernelIsa::Avx2) ? EHostKernelIsa::Avx2
                                                                              : EHostKernelIsa::Baseline};
    return isa;
}

uint64_t SaturatingProduct(uint64_t a, uint64_t b)
{
    return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b;
}

} // namespace

EHostKernelIsa HostKernelIsa()
{
    return SelectedIsa().load();
}

bool HostKernelIsaSupported(EHostKernelIsa isa)
{
    return ProcessorHas(isa);
}

bool SetHostKernelIsa(EHostKernelIsa isa)
{
    if (!ProcessorHas(isa))
        return false;
    SelectedIsa().store(isa);
    return true;
}

namespace tyx_gpu_detail {

GpuError HostLaunch(const stHostLaunch &launch, const stDim3 &grid, const stDim3 &block, const void *body)
{
    if (launch.units == 0)
        return GPU_SUCCESS;
    const HostRangeRunner runner =
        HostKernelIsa() == EHostKernelIsa::Avx2 && launch.avx2 ? launch.avx2 : launch.baseline;
    CHostThreadPool &pool = CHostThreadPool::Instance();
    const uint64_t cost = SaturatingProduct(launch.units, launch.unitCost);
    const uint64_t byCost = std::max<uint64_t>(1, cost / kMinCostPerChunk);
    const uint64_t chunks = std::min({launch.units, uint64_t{pool.Size()} * kChunksPerWorker, byCost});
    if (chunks <= 1) {
        runner(body, grid, block, 0, launch.units);
        return GPU_SUCCESS;
    }
    const uint64_t perChunk = (launch.units + chunks - 1) / chunks;
    const uint64_t used = (launch.units + perChunk - 1) / perChunk;
    pool.ParallelFor(static_cast<size_t>(used), [&](size_t chunk) {
        const uint64_t first = chunk * perChunk;
        runner(body, grid, block, first, std::min(launch.units, first + perChunk));
    });
    return GPU_SUCCESS;
}

} // namespace tyx_gpu_detail
