#include "ParityKernels.h"

#include "platform/GpuKernel.h"
#include "support/KernelIndex.h"

namespace {

TYX_HD TYX_FORCEINLINE uint32_t Mix(uint32_t hash, uint32_t value)
{
    hash ^= value + 0x9E3779B9u + (hash << 6) + (hash >> 2);
    return hash * 0x85EBCA6Bu;
}

struct HashThreads
{
    uint32_t *out;
    TYX_HD void operator()(const stKernelIndex &index) const
    {
        const stDim3 &g = index.gridDim;
        const stDim3 &b = index.blockDim;
        const uint32_t values[12] = {index.blockIdx.x,  index.blockIdx.y,  index.blockIdx.z, index.threadIdx.x,
                                     index.threadIdx.y, index.threadIdx.z, g.x,              g.y,
                                     g.z,               b.x,               b.y,              b.z};
        uint32_t hash = 17;
        for (uint32_t value : values)
            hash = Mix(hash, value);
        out[FlatThreadIndex(index)] = hash;
    }
};

} // namespace

GpuError HashThreadsInDvc(uint32_t *out, const stDim3 &grid, const stDim3 &block, bool onHost)
{
    if (onHost)
        return LaunchKernelOnHost(grid, block, HashThreads{out});
    const GpuError error = LaunchKernel(grid, block, nullptr, HashThreads{out});
    return error != GPU_SUCCESS ? error : DevStreamSynchronize(nullptr);
}
