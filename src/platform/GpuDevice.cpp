#include "platform/GpuDevice.h"

#include "platform/DevBufferPool.h"
#include "platform/GpuBackend.h"
#include "platform/GpuLaunchDetail.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>

namespace {

// What the picture pool may keep idle.
constexpr size_t kPoolBlocksPerSize = 32;
constexpr size_t kPoolMaxBytes = size_t{256} << 20;

// The chosen backend and the bookkeeping every backend shares: live allocations (so a free of an
// unknown pointer is refused instead of corrupting memory, and the host backend can tell device
// memory from host memory), the picture pool, the context handles and injected faults for tests.
class CGpuLayer
{
public:
    // The layer is never destroyed: static objects destroyed at exit (the program-wide registries
    // among them) may still release pictures into it, whatever order they were made in. What it
    // holds then goes with the process and stays reachable for leak checkers.
    static CGpuLayer &Instance()
    {
        static CGpuLayer *const layer = new CGpuLayer();
        return *layer;
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
        m_blocks[pointer] = {bytes, device, false};
    }

    // False when the pointer is not a live allocation of that kind (an idle pool block is not).
    bool Untrack(void *pointer, bool device)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_blocks.find(pointer);
        if (it == m_blocks.end() || it->second.device != device || it->second.pooled)
            return false;
        m_blocks.erase(it);
        return true;
    }

    // The size of a live device block in use, 0 for any other pointer.
    size_t DeviceBlockSize(void *pointer)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_blocks.find(pointer);
        if (it == m_blocks.end() || !it->second.device || it->second.pooled)
            return 0;
        return it->second.bytes;
    }

    void SetPooled(void *pointer, bool pooled)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_blocks.find(pointer);
        if (it != m_blocks.end())
            it->second.pooled = pooled;
    }

    // Whether [pointer, pointer + extent) lies in one device block in use (device) or touches no
    // device block at all, idle ones included (host).
    bool RangeIs(const void *pointer, size_t extent, bool device)
    {
        const auto *first = static_cast<const unsigned char *>(pointer);
        std::lock_guard<std::mutex> lock(m_mutex);
        auto next = m_blocks.upper_bound(const_cast<void *>(pointer));
        if (next != m_blocks.begin()) {
            const auto &[base, block] = *std::prev(next);
            const auto *start = static_cast<const unsigned char *>(base);
            if (block.device && first < start + block.bytes)
                return device && !block.pooled && first + extent <= start + block.bytes;
        }
        if (device)
            return false;
        for (; next != m_blocks.end() && static_cast<const unsigned char *>(next->first) < first + extent; ++next) {
            if (next->second.device)
                return false;
        }
        return true;
    }

    stDevAllocationCounts Counts()
    {
        stDevAllocationCounts counts;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (const auto &[pointer, block] : m_blocks) {
                (void)pointer;
                if (block.pooled) {
                    ++counts.pooledBlocks;
                    counts.pooledBytes += static_cast<int64_t>(block.bytes);
                } else if (block.device) {
                    ++counts.deviceBlocks;
                    counts.deviceBytes += static_cast<int64_t>(block.bytes);
                } else {
                    ++counts.hostBlocks;
                }
            }
        }
        counts.contextHandles = m_contextHandles.load();
        return counts;
    }

    CDevBufferPool &Pool() { return m_pool; }
    std::atomic<int64_t> &ContextHandles() { return m_contextHandles; }

private:
    struct stBlock
    {
        size_t bytes = 0;
        bool device = true;
        bool pooled = false; // idle in the picture pool
    };

    std::once_flag m_once;
    std::unique_ptr<IGpuBackend> m_backend;
    std::atomic<int32_t> m_faults[5] = {};
    std::atomic<int32_t> m_skips[5] = {};
    std::mutex m_mutex;
    std::map<void *, stBlock> m_blocks;
    CDevBufferPool m_pool{kPoolBlocksPerSize, kPoolMaxBytes};
    std::atomic<int64_t> m_contextHandles{0};
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
thread_local GpuStream t_threadStream = nullptr;
thread_local GpuStream t_lastIssuedStream = nullptr;

// The stream an operation that was given stream goes on: its own, or the thread's.
GpuStream Issue(GpuStream stream)
{
    t_lastIssuedStream = stream ? stream : t_threadStream;
    return t_lastIssuedStream;
}

bool HostChecks()
{
    return Layer().Kind() == EGpuBackend::Host;
}

bool DeviceSide(EGpuCopyKind kind, bool destination)
{
    switch (kind) {
    case EGpuCopyKind::HostToDevice: return destination;
    case EGpuCopyKind::DeviceToHost: return !destination;
    case EGpuCopyKind::DeviceToDevice: return true;
    default: return false;
    }
}

// On the host backend: the pointers of a copy must be of the memory its kind names.
bool CopyPointersMatch(EGpuCopyKind kind, const void *dst, size_t dstExtent, const void *src, size_t srcExtent)
{
    if (kind == EGpuCopyKind::Default || !HostChecks() || !dst || !src || dstExtent == 0 || srcExtent == 0)
        return true;
    CGpuLayer &layer = CGpuLayer::Instance();
    return layer.RangeIs(dst, dstExtent, DeviceSide(kind, true)) && layer.RangeIs(src, srcExtent, DeviceSide(kind, false));
}

bool FillPointerMatches(const void *pointer, size_t extent)
{
    return !HostChecks() || !pointer || extent == 0 || CGpuLayer::Instance().RangeIs(pointer, extent, true);
}

// The bytes a pitched area of height rows of widthBytes spans.
size_t Extent2D(size_t pitch, size_t widthBytes, size_t height)
{
    return height == 0 || widthBytes == 0 ? 0 : (height - 1) * pitch + widthBytes;
}

// A copy given no stream is complete when it returns, also on the thread's own stream.
GpuError FinishCopy(GpuError error, GpuStream given, GpuStream issued)
{
    if (error == GPU_SUCCESS && !given && issued)
        return Layer().StreamSynchronize(issued);
    return error;
}

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
    if (!CopyPointersMatch(kind, dst, bytes, src, bytes))
        return GPU_ERROR_INVALID_VALUE;
    const GpuStream issued = Issue(stream);
    return FinishCopy(Layer().Memcpy(dst, src, bytes, kind, issued), stream, issued);
}

GpuError DevMemcpy2D(void *dst, size_t dstPitch, const void *src, size_t srcPitch, size_t widthBytes,
                     size_t height, EGpuCopyKind kind, GpuStream stream)
{
    if (CGpuLayer::Instance().TakeFault(EDevFault::Memcpy))
        return GPU_ERROR_INVALID_VALUE;
    if (!CopyPointersMatch(kind, dst, Extent2D(dstPitch, widthBytes, height), src,
                           Extent2D(srcPitch, widthBytes, height)))
        return GPU_ERROR_INVALID_VALUE;
    const GpuStream issued = Issue(stream);
    return FinishCopy(Layer().Memcpy2D(dst, dstPitch, src, srcPitch, widthBytes, height, kind, issued), stream,
                      issued);
}

GpuError DevMemset(void *pointer, int value, size_t bytes, GpuStream stream)
{
    if (CGpuLayer::Instance().TakeFault(EDevFault::Memset))
        return GPU_ERROR_INVALID_VALUE;
    if (!FillPointerMatches(pointer, bytes))
        return GPU_ERROR_INVALID_VALUE;
    return Layer().Memset(pointer, value, bytes, Issue(stream));
}

GpuError DevMemset2D(void *pointer, size_t pitch, int value, size_t widthBytes, size_t height, GpuStream stream)
{
    if (CGpuLayer::Instance().TakeFault(EDevFault::Memset))
        return GPU_ERROR_INVALID_VALUE;
    if (!FillPointerMatches(pointer, Extent2D(pitch, widthBytes, height)))
        return GPU_ERROR_INVALID_VALUE;
    return Layer().Memset2D(pointer, pitch, value, widthBytes, height, Issue(stream));
}

void DevSetThreadStream(GpuStream stream)
{
    t_threadStream = stream;
}

GpuStream DevThreadStream()
{
    return t_threadStream;
}

GpuStream DevLastIssuedStream()
{
    return t_lastIssuedStream;
}

GpuError DevStreamCreate(GpuStream *stream) { return Layer().StreamCreate(stream); }

GpuError DevStreamDestroy(GpuStream stream)
{
    if (stream && stream == t_threadStream)
        t_threadStream = nullptr; // a destroyed stream carries nothing more
    return Layer().StreamDestroy(stream);
}

GpuError DevStreamSynchronize(GpuStream stream) { return Layer().StreamSynchronize(stream ? stream : t_threadStream); }
GpuError DevSynchronize() { return Layer().Synchronize(); }
GpuError DevEventCreate(GpuEvent *event) { return Layer().EventCreate(event); }
GpuError DevEventDestroy(GpuEvent event) { return Layer().EventDestroy(event); }
GpuError DevEventRecord(GpuEvent event, GpuStream stream) { return Layer().EventRecord(event, Issue(stream)); }
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
GpuError DevRetainContextHandle(int32_t device, GpuContext *context)
{
    if (!context)
        return GPU_ERROR_INVALID_VALUE;
    if (CGpuLayer::Instance().TakeFault(EDevFault::Context)) {
        *context = nullptr;
        return GPU_ERROR_INVALID_DEVICE;
    }
    const GpuError error = Layer().RetainContextHandle(device, context);
    if (error == GPU_SUCCESS)
        ++CGpuLayer::Instance().ContextHandles();
    return error;
}

GpuError DevReleaseContextHandle(GpuContext context)
{
    const GpuError error = Layer().ReleaseContextHandle(context);
    if (error == GPU_SUCCESS)
        --CGpuLayer::Instance().ContextHandles();
    return error;
}

GpuError DevPoolAlloc(void **pointer, size_t bytes)
{
    if (!pointer)
        return GPU_ERROR_INVALID_VALUE;
    *pointer = nullptr;
    CGpuLayer &layer = CGpuLayer::Instance();
    if (layer.TakeFault(EDevFault::Malloc))
        return GPU_ERROR_MEMORY_ALLOCATION;
    if (bytes == 0)
        return GPU_SUCCESS;
    if (void *idle = layer.Pool().Take(bytes)) {
        layer.SetPooled(idle, false);
        *pointer = idle;
        return GPU_SUCCESS;
    }
    const GpuError error = Layer().Malloc(pointer, bytes);
    if (error == GPU_SUCCESS)
        layer.Track(*pointer, bytes, true);
    return error;
}

GpuError DevPoolRelease(void *pointer)
{
    if (!pointer)
        return GPU_SUCCESS;
    CGpuLayer &layer = CGpuLayer::Instance();
    const size_t bytes = layer.DeviceBlockSize(pointer);
    if (bytes == 0)
        return GPU_ERROR_INVALID_DEVICE_POINTER;
    // Another thread may write the block as soon as it is idle: what this thread queued on it
    // must be done first.
    const GpuError synced = Layer().StreamSynchronize(t_threadStream);
    layer.SetPooled(pointer, true);
    if (synced == GPU_SUCCESS && layer.Pool().Keep(pointer, bytes))
        return GPU_SUCCESS;
    layer.SetPooled(pointer, false);
    const GpuError freed = DevFree(pointer);
    return synced != GPU_SUCCESS ? synced : freed;
}

void DevPoolTrim()
{
    CGpuLayer &layer = CGpuLayer::Instance();
    for (void *block : layer.Pool().TakeAll()) {
        layer.SetPooled(block, false);
        DevFree(block);
    }
}

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

GpuStream ResolveLaunchStream(GpuStream stream)
{
    return Issue(stream);
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
