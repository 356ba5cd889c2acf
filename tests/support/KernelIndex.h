#pragma once

// The flat number of a thread in its whole launch, for the test kernels that mark or hash every
// thread: read by nvcc and g++ alike.

#include "platform/GpuKernelDefs.h"

TYX_HD TYX_FORCEINLINE uint32_t FlatThreadIndex(const stKernelIndex &index)
{
    const stDim3 &g = index.gridDim;
    const stDim3 &b = index.blockDim;
    const uint32_t block = (index.blockIdx.z * g.y + index.blockIdx.y) * g.x + index.blockIdx.x;
    const uint32_t thread = (index.threadIdx.z * b.y + index.threadIdx.y) * b.x + index.threadIdx.x;
    return block * (b.x * b.y * b.z) + thread;
}
