#pragma once

#include "platform/GpuDevice.h"

#include <cstdint>

// Chooses the GPU backend at start-up: the configured CUDA device (device 0 when it is not valid),
// or the host backend when the CUDA runtime finds no device. Logs the outcome once per process.
// Thread-safe; later calls return the backend already chosen.
EGpuBackend InitGpuDevice(int32_t configuredDevice);
