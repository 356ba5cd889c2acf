#include "platform/GpuDevice.h"

#include "platform/GpuBackend.h"
#include "platform/GpuLaunchDetail.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>

namespace {

// The chosen backend and the bookkeeping every backend shares: live allocations (so a free of an
// unknown pointer is refused instead of corrupting memory) and injected faults for tests.
class CGpuLayer
{
public:
    static CGpuLayer &Instance()
    {
        static CGpuLayer layer;
        return layer;
    }

    IGpuBackend &Backend(int32_t preferredDevice = 0)
    {
        std::call_once(m_once, [&] {
            m_backend = MakeCudaGpuBackend(preferredDevice);
            if (!m_backend)
                m_backend = MakeHostGpuBackend();
        });
        return *m_backend;
    }

    bool TakeFault(EDevFault fault)
    {
        std::atomic<int32_t> &counter = m_faults[static_cast<size_t>(fault)];
        if (counter.load() <= 0)
            return false;
        std::atomic<int32_t> &skip = m_skips[static_cast<size_t>(fault)];
        int32_t skipping = skip.load();
        while (skipping > 0) {
            if (skip.compare_exchange_weak(skipping, skipping - 1))
                return false;
        }
        int32_t left = counter.load();
        while (left > 0) {
            if (counter.compare_exchange_weak(left, left - 1))
                return true;
        }
        return false;
    }

    void InjectFault(EDevFault fault, int32_t count, int32_t after)
    {
        m_faults[static_cast<size_t>(fault)].store(0);
        m_skips[static_cast<size_t>(fault)].store(std::max(0, after));
        m_faults[static_cast<size_t>(fault)].store(std::max(0, count));
    }

    void Track(void *pointer, size_t bytes, bool device)
    {
        if (!pointer)
            return;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_blocks[pointer] = {bytes, device};
    }

    // False when the pointer is not a live allocation of that kind.
    bool Untrack(void *pointer, bool device)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_blocks.find(pointer);
        if (it == m_blocks.end() || it->second.device != device)
            return false;
        m_blocks.erase(it);
        return true;
    }

    stDevAllocationCounts Counts()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        stDevAllocationCounts counts;
        for (const auto &[pointer, block] : m_blocks) {
            (void)pointer;
            if (block.device) {
                ++counts.deviceBlocks;
                counts.deviceBytes += static_cast<int64_t>(block.bytes);
            } else {
                ++counts.hostBlocks;
            }
        }
        return counts;
    }

private:
    struct stBlock
    {
        size_t bytes = 0;
        bool device = true;
    };

    std::once_flag m_once;
    std::unique_ptr<IGpuBackend> m_backend;
    std::atomic<int32_t> m_faults[5] = {};
    std::atomic<int32_t> m_skips[5] = {};
    std::mutex m_mutex;
    std::map<void *, stBlock> m_blocks;
};

IGpuBackend &Layer()
{
    return CGpuLayer::Instance().Backend();
}

// One allocation through the backend (allocate gives the bytes to book), refused while a malloc
// fault is armed, and booked when it succeeds.
template <typename Allocate>
GpuError AllocateTracked(void **pointer, bool device, Allocate allocate)
{
    if (pointer && CGpuLayer::Instance().TakeFault(EDevFault::Malloc)) {
        *pointer = nullptr;
        return GPU_ERROR_MEMORY_ALLOCATION;
    }
    size_t booked = 0;
    const GpuError error = allocate(booked);
    if (error == GPU_SUCCESS)
        CGpuLayer::Instance().Track(*pointer, booked, device);
    return error;
}

thread_local GpuError t_lastLaunchError = GPU_SUCCESS;

} // namespace

EGpuBackend DevInitialize(int32_t preferredDevice)
{
    return CGpuLayer::Instance().Backend(preferredDevice).Kind();
}

EGpuBackend DevBackend()
{
    return Layer().Kind();
}

int32_t DevCurrentDevice()
{
    return Layer().Device();
}

int32_t DevDeviceCount()
{
    return Layer().DeviceCount();
}

GpuError DevGetDeviceProperties(int32_t device, stDevDeviceProperties *properties)
{
    return Layer().DeviceProperties(device, properties);
}

GpuError DevMalloc(void **pointer, size_t bytes)
{
    return AllocateTracked(pointer, true, [&](size_t &booked) {
        booked = bytes;
        return Layer().Malloc(pointer, bytes);
    });
}

GpuError DevMallocPitch(void **pointer, size_t *pitch, size_t widthBytes, size_t height)
{
    return AllocateTracked(pointer, true, [&](size_t &booked) {
        const GpuError error = Layer().MallocPitch(pointer, pitch, widthBytes, height);
        if (error == GPU_SUCCESS)
            booked = *pitch * height;
        return error;
    });
}

GpuError DevFree(void *pointer)
{
    if (!pointer)
        return GPU_SUCCESS;
    if (!CGpuLayer::Instance().Untrack(pointer, true))
        return GPU_ERROR_INVALID_DEVICE_POINTER;
    return Layer().Free(pointer);
}

GpuError DevMallocHost(void **pointer, size_t bytes)
{
    return AllocateTracked(pointer, false, [&](size_t &booked) {
        booked = bytes;
        return Layer().MallocHost(pointer, bytes);
    });
}

GpuError DevFreeHost(void *pointer)
{
    if (!pointer)
        return GPU_SUCCESS;
    if (!CGpuLayer::Instance().Untrack(pointer, false))
        return GPU_ERROR_INVALID_VALUE;
    return Layer().FreeHost(pointer);
}

GpuError DevMemcpy(void *dst, const void *src, size_t bytes, EGpuCopyKind kind, GpuStream stream)
{
    if (CGpuLayer::Instance().TakeFault(EDevFault::Memcpy))
        return GPU_ERROR_INVALID_VALUE;
    return Layer().Memcpy(dst, src, bytes, kind, stream);
}

GpuError DevMemcpy2D(void *dst, size_t dstPitch, const void *src, size_t srcPitch, size_t widthBytes,
                     size_t height, EGpuCopyKind kind, GpuStream stream)
{
    if (CGpuLayer::Instance().TakeFault(EDevFault::Memcpy))
        return GPU_ERROR_INVALID_VALUE;
    return Layer().Memcpy2D(dst, dstPitch, src, srcPitch, widthBytes, height, kind, stream);
}

GpuError DevMemset(void *pointer, int value, size_t bytes, GpuStream stream)
{
    if (CGpuLayer::Instance().TakeFault(EDevFault::Memset))
        return GPU_ERROR_INVALID_VALUE;
    return Layer().Memset(pointer, value, bytes, stream);
}

GpuError DevMemset2D(void *pointer, size_t pitch, int value, size_t widthBytes, size_t height, GpuStream stream)
{
    if (CGpuLayer::Instance().TakeFault(EDevFault::Memset))
        return GPU_ERROR_INVALID_VALUE;
    return Layer().Memset2D(pointer, pitch, value, widthBytes, height, stream);
}

GpuError DevStreamCreate(GpuStream *stream) { return Layer().StreamCreate(stream); }
GpuError DevStreamDestroy(GpuStream stream) { return Layer().StreamDestroy(stream); }
GpuError DevStreamSynchronize(GpuStream stream) { return Layer().StreamSynchronize(stream); }
GpuError DevSynchronize() { return Layer().Synchronize(); }
GpuError DevEventCreate(GpuEvent *event) { return Layer().EventCreate(event); }
GpuError DevEventDestroy(GpuEvent event) { return Layer().EventDestroy(event); }
GpuError DevEventRecord(GpuEvent event, GpuStream stream) { return Layer().EventRecord(event, stream); }
GpuError DevEventSynchronize(GpuEvent event) { return Layer().EventSynchronize(event); }

GpuError DevEventElapsedTime(float *milliseconds, GpuEvent start, GpuEvent end)
{
    return Layer().EventElapsedTime(milliseconds, start, end);
}

GpuError DevRetainPrimaryContext(int32_t device) { return Layer().RetainPrimaryContext(device); }
GpuError DevReleasePrimaryContext(int32_t device) { return Layer().ReleasePrimaryContext(device); }
GpuError DevPushContext(int32_t device)
{
    if (CGpuLayer::Instance().TakeFault(EDevFault::Context))
        return GPU_ERROR_INVALID_DEVICE;
    return Layer().PushContext(device);
}
GpuError DevPopContext() { return Layer().PopContext(); }
GpuError DevMemGetInfo(size_t *freeBytes, size_t *totalBytes) { return Layer().MemGetInfo(freeBytes, totalBytes); }
const char *DevErrorName(GpuError error) { return Layer().ErrorName(error); }

GpuError DevGetLastError()
{
    const GpuError error = t_lastLaunchError;
    t_lastLaunchError = GPU_SUCCESS;
    return error;
}

stDevAllocationCounts DevAllocationCounts()
{
    return CGpuLayer::Instance().Counts();
}

void DevInjectFault(EDevFault fault, int32_t count)
{
    CGpuLayer::Instance().InjectFault(fault, count, 0);
}

void DevInjectFault(EDevFault fault, int32_t count, int32_t after)
{
    CGpuLayer::Instance().InjectFault(fault, count, after);
}

namespace tyx_gpu_detail {

GpuError CheckLaunchShape(const stDim3 &grid, const stDim3 &block)
{
    const uint64_t threads = uint64_t{block.x} * block.y * block.z;
    if (grid.x == 0 || grid.y == 0 || grid.z == 0 || threads == 0 || threads > 1024 || block.z > 64 ||
        grid.y > 65535 || grid.z > 65535)
        return GPU_ERROR_INVALID_CONFIGURATION;
    return GPU_SUCCESS;
}

bool TakeLaunchFault()
{
    return CGpuLayer::Instance().TakeFault(EDevFault::Launch);
}

void SetLastLaunchError(GpuError error)
{
    if (error != GPU_SUCCESS)
        t_lastLaunchError = error;
}

} // namespace tyx_gpu_detail
