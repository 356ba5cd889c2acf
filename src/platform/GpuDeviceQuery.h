#pragma once

#include "platform/GpuDevice.h"

#include <cstdint>

// The CUDA devices of the host as the host report and the choice of the configured GPU see them.
class IGpuDeviceInfo
{
public:
    virtual ~IGpuDeviceInfo() = default;
    // GPU_SUCCESS with the number of devices (0 where there is none), or the error of the count.
    virtual GpuError DeviceCount(int32_t &count) const = 0;
    virtual GpuError DeviceProperties(int32_t device, stDevDeviceProperties &properties) const = 0;
};

// The devices as the GPU device layer has them (every property). Asking chooses the layer's
// backend, so this serves the host report, not the start-up choice.
class CLayerGpuDeviceInfo final : public IGpuDeviceInfo
{
public:
    GpuError DeviceCount(int32_t &count) const override;
    GpuError DeviceProperties(int32_t device, stDevDeviceProperties &properties) const override;
};

// The devices as the CUDA runtime reports them before the device layer has chosen one: only the
// name, the LUID and the PCI numbers are filled. A build without CUDA sees no device.
class CRuntimeGpuDeviceInfo final : public IGpuDeviceInfo
{
public:
    GpuError DeviceCount(int32_t &count) const override;
    GpuError DeviceProperties(int32_t device, stDevDeviceProperties &properties) const override;
};
