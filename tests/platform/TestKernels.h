#pragma once

#include "platform/GpuDevice.h"
#include "platform/GpuKernelDefs.h"

#include <cstdint>

// Small kernels for the device layer's own tests.
// out[i] = i * 3 + 1 for every i below count; blocks of blockSize threads.
GpuError FillSequenceInDvc(int32_t *out, uint32_t count, uint32_t blockSize);

// Every thread of grid x block adds its flat thread number + 1 to out at that number, so each cell
// of a zeroed buffer ends up equal to its index + 1 when every thread ran exactly once. onHost runs
// the same body on the host pool over host memory.
GpuError MarkThreadsInDvc(uint32_t *out, const stDim3 &grid, const stDim3 &block, GpuStream stream, bool onHost);
