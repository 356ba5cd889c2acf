#pragma once

#include "platform/GpuDevice.h"
#include "platform/GpuKernelDefs.h"

#include <cstdint>

// Every thread of grid x block writes a hash of its whole index record at its flat thread number:
// the CUDA backend and the host pool must give the same buffer. onHost runs it on the host pool.
GpuError HashThreadsInDvc(uint32_t *out, const stDim3 &grid, const stDim3 &block, bool onHost);
