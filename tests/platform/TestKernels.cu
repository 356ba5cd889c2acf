#include "TestKernels.h"

#include "platform/GpuKernel.h"
#include "support/KernelIndex.h"

namespace {

struct FillSequence
{
    int32_t *out;
    uint32_t count;
    TYX_HD void operator()(const stKernelIndex &index) const
    {
        const uint32_t i = index.blockIdx.x * index.blockDim.x + index.threadIdx.x;
        if (i < count)
            out[i] = static_cast<int32_t>(i * 3 + 1);
    }
};

struct MarkThreads
{
    uint32_t *out;
    TYX_HD void operator()(const stKernelIndex &index) const
    {
        const uint32_t flat = FlatThreadIndex(index);
        out[flat] += flat + 1;
    }
};

} // namespace

GpuError FillSequenceInDvc(int32_t *out, uint32_t count, uint32_t blockSize)
{
    const GpuError error = LaunchKernel({DivUp(count, blockSize), 1, 1}, {blockSize, 1, 1}, nullptr,
                                        FillSequence{out, count});
    return error != GPU_SUCCESS ? error : DevSynchronize();
}

GpuError MarkThreadsInDvc(uint32_t *out, const stDim3 &grid, const stDim3 &block, GpuStream stream, bool onHost)
{
    if (onHost)
        return LaunchKernelOnHost(grid, block, MarkThreads{out});
    const GpuError error = LaunchKernel(grid, block, stream, MarkThreads{out});
    return error != GPU_SUCCESS ? error : DevStreamSynchronize(stream);
}
