#include "core/GpuSetup.h"

#include "core/debuglog.h"

#include <mutex>

EGpuBackend InitGpuDevice(int32_t configuredDevice)
{
    const EGpuBackend backend = DevInitialize(configuredDevice);
    static std::once_flag reported;
    std::call_once(reported, [&] {
        if (backend != EGpuBackend::Cuda) {
            TYX_LOG(3, L"no CUDA device: running on the CPU");
            return;
        }
        const int32_t device = DevCurrentDevice();
        if (device != configuredDevice)
            TYX_LOG(3, L"GPU device %d is not valid: device %d of %d in use", configuredDevice, device,
                    DevDeviceCount());
        else
            TYX_LOG(3, L"GPU device %d of %d in use", device, DevDeviceCount());
    });
    return backend;
}
