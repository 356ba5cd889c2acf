#pragma once

// The two implementations behind GpuDevice.h; only the layer itself includes this.

#include "platform/GpuDevice.h"

#include <memory>

class IGpuBackend
{
public:
    virtual ~IGpuBackend() = default;
    virtual EGpuBackend Kind() const = 0;
    virtual int32_t Device() const = 0;
    virtual int32_t DeviceCount() const = 0;
    virtual GpuError DeviceProperties(int32_t device, stDevDeviceProperties *properties) const = 0;

    virtual GpuError Malloc(void **pointer, size_t bytes) = 0;
    virtual GpuError MallocPitch(void **pointer, size_t *pitch, size_t widthBytes, size_t height) = 0;
    virtual GpuError Free(void *pointer) = 0;
    virtual GpuError MallocHost(void **pointer, size_t bytes) = 0;
    virtual GpuError FreeHost(void *pointer) = 0;
    virtual GpuError Memcpy(void *dst, const void *src, size_t bytes, EGpuCopyKind kind, GpuStream stream) = 0;
    virtual GpuError Memcpy2D(void *dst, size_t dstPitch, const void *src, size_t srcPitch, size_t widthBytes,
                              size_t height, EGpuCopyKind kind, GpuStream stream) = 0;
    virtual GpuError Memset(void *pointer, int value, size_t bytes, GpuStream stream) = 0;
    virtual GpuError Memset2D(void *pointer, size_t pitch, int value, size_t widthBytes, size_t height,
                              GpuStream stream) = 0;
    virtual GpuError StreamCreate(GpuStream *stream) = 0;
    virtual GpuError StreamDestroy(GpuStream stream) = 0;
    virtual GpuError StreamSynchronize(GpuStream stream) = 0;
    virtual GpuError Synchronize() = 0;
    virtual GpuError EventCreate(GpuEvent *event) = 0;
    virtual GpuError EventDestroy(GpuEvent event) = 0;
    virtual GpuError EventRecord(GpuEvent event, GpuStream stream) = 0;
    virtual GpuError EventSynchronize(GpuEvent event) = 0;
    virtual GpuError EventElapsedTime(float *milliseconds, GpuEvent start, GpuEvent end) = 0;
    virtual GpuError RetainPrimaryContext(int32_t device) = 0;
    virtual GpuError ReleasePrimaryContext(int32_t device) = 0;
    virtual GpuError PushContext(int32_t device) = 0;
    virtual GpuError PopContext() = 0;
    virtual GpuError RetainContextHandle(int32_t device, GpuContext *context) = 0;
    virtual GpuError ReleaseContextHandle(GpuContext context) = 0;
    virtual GpuError MemGetInfo(size_t *freeBytes, size_t *totalBytes) = 0;
    virtual const char *ErrorName(GpuError error) const = 0;
};

std::unique_ptr<IGpuBackend> MakeHostGpuBackend();
// None when the CUDA runtime finds no device (or the build has no CUDA backend).
std::unique_ptr<IGpuBackend> MakeCudaGpuBackend(int32_t preferredDevice);
