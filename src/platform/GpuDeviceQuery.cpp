#include "platform/GpuDeviceQuery.h"

#if defined(TYX_HAVE_CUDA) && TYX_HAVE_CUDA
#include <cuda_runtime_api.h>
#endif

#include <cstring>

GpuError CLayerGpuDeviceInfo::DeviceCount(int32_t &count) const
{
    count = DevDeviceCount();
    return GPU_SUCCESS;
}

GpuError CLayerGpuDeviceInfo::DeviceProperties(int32_t device, stDevDeviceProperties &properties) const
{
    return DevGetDeviceProperties(device, &properties);
}

#if defined(TYX_HAVE_CUDA) && TYX_HAVE_CUDA

GpuError CRuntimeGpuDeviceInfo::DeviceCount(int32_t &count) const
{
    int devices = 0;
    const cudaError_t error = cudaGetDeviceCount(&devices);
    cudaGetLastError(); // the answer must not stick to later calls
    count = error == cudaSuccess ? devices : 0;
    if (error == cudaErrorNoDevice)
        return GPU_SUCCESS;
    return error;
}

GpuError CRuntimeGpuDeviceInfo::DeviceProperties(int32_t device, stDevDeviceProperties &properties) const
{
    cudaDeviceProp prop{};
    const cudaError_t error = cudaGetDeviceProperties(&prop, device);
    if (error != cudaSuccess) {
        cudaGetLastError();
        return error;
    }
    properties = stDevDeviceProperties{};
    std::memcpy(properties.name, prop.name, sizeof(properties.name) - 1);
    std::memcpy(&properties.luid, prop.luid, sizeof(properties.luid));
    properties.pciBusId = prop.pciBusID;
    properties.pciDeviceId = prop.pciDeviceID;
    return GPU_SUCCESS;
}

#else

GpuError CRuntimeGpuDeviceInfo::DeviceCount(int32_t &count) const
{
    count = 0;
    return GPU_SUCCESS;
}

GpuError CRuntimeGpuDeviceInfo::DeviceProperties(int32_t, stDevDeviceProperties &) const
{
    return GPU_ERROR_NO_DEVICE;
}

#endif
