#pragma once

#include "platform/GpuDevice.h"

#include <cstdint>

// Small kernels for the device layer's own tests.
// out[i] = i * 3 + 1 for every i below count; blocks of blockSize threads.
GpuError FillSequenceInDvc(int32_t *out, uint32_t count, uint32_t blockSize);


