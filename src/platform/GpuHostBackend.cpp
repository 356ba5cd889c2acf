#include "platform/GpuBackend.h"

#include <sys/sysinfo.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

namespace {

constexpr size_t kAlignment = 256;

size_t RoundUp(size_t value, size_t multiple)
{
    return (value + multiple - 1) / multiple * multiple;
}

struct stHostEvent
{
    std::chrono::steady_clock::time_point when{};
    bool recorded = false;
};

// "Device memory" is aligned host memory and every operation is complete when it returns.
class CGpuHostBackend final : public IGpuBackend
{
public:
    EGpuBackend Kind() const override { return EGpuBackend::Host; }
    int32_t Device() const override { return 0; }
    int32_t DeviceCount() const override { return 0; }
    GpuError DeviceProperties(int32_t, stDevDeviceProperties *) const override { return GPU_ERROR_NO_DEVICE; }

    GpuError Malloc(void **pointer, size_t bytes) override
    {
        if (!pointer)
            return GPU_ERROR_INVALID_VALUE;
        *pointer = nullptr;
        if (bytes == 0)
            return GPU_SUCCESS;
        *pointer = std::aligned_alloc(kAlignment, RoundUp(bytes, kAlignment));
        return *pointer ? GPU_SUCCESS : GPU_ERROR_MEMORY_ALLOCATION;
    }

    GpuError MallocPitch(void **pointer, size_t *pitch, size_t widthBytes, size_t height) override
    {
        if (!pointer || !pitch)
            return GPU_ERROR_INVALID_VALUE;
        *pitch = RoundUp(widthBytes == 0 ? 1 : widthBytes, kAlignment);
        return Malloc(pointer, *pitch * height);
    }

    GpuError Free(void *pointer) override
    {
        std::free(pointer);
        return GPU_SUCCESS;
    }

    GpuError MallocHost(void **pointer, size_t bytes) override { return Malloc(pointer, bytes); }
    GpuError FreeHost(void *pointer) override { return Free(pointer); }

    GpuError Memcpy(void *dst, const void *src, size_t bytes, EGpuCopyKind, GpuStream) override
    {
        if (bytes == 0)
            return GPU_SUCCESS;
        if (!dst || !src)
            return GPU_ERROR_INVALID_VALUE;
        std::memmove(dst, src, bytes);
        return GPU_SUCCESS;
    }

    GpuError Memcpy2D(void *dst, size_t dstPitch, const void *src, size_t srcPitch, size_t widthBytes,
                      size_t height, EGpuCopyKind, GpuStream) override
    {
        if (widthBytes == 0 || height == 0)
            return GPU_SUCCESS;
        if (!dst || !src || dstPitch < widthBytes || srcPitch < widthBytes)
            return GPU_ERROR_INVALID_VALUE;
        auto *out = static_cast<unsigned char *>(dst);
        const auto *in = static_cast<const unsigned char *>(src);
        for (size_t row = 0; row < height; ++row)
            std::memmove(out + row * dstPitch, in + row * srcPitch, widthBytes);
        return GPU_SUCCESS;
    }

    GpuError Memset(void *pointer, int value, size_t bytes, GpuStream) override
    {
        if (bytes == 0)
            return GPU_SUCCESS;
        if (!pointer)
            return GPU_ERROR_INVALID_VALUE;
        std::memset(pointer, value, bytes);
        return GPU_SUCCESS;
    }

    GpuError Memset2D(void *pointer, size_t pitch, int value, size_t widthBytes, size_t height, GpuStream) override
    {
        if (widthBytes == 0 || height == 0)
            return GPU_SUCCESS;
        if (!pointer || pitch < widthBytes)
            return GPU_ERROR_INVALID_VALUE;
        auto *out = static_cast<unsigned char *>(pointer);
        for (size_t row = 0; row < height; ++row)
            std::memset(out + row * pitch, value, widthBytes);
        return GPU_SUCCESS;
    }

    GpuError StreamCreate(GpuStream *stream) override
    {
        if (!stream)
            return GPU_ERROR_INVALID_VALUE;
        std::lock_guard<std::mutex> lock(m_mutex);
        auto handle = std::make_unique<char>(0);
        *stream = handle.get();
        m_streams.insert(handle.get());
        m_streamStore.push_back(std::move(handle));
        return GPU_SUCCESS;
    }

    GpuError StreamDestroy(GpuStream stream) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_streams.erase(static_cast<char *>(stream)) == 0)
            return GPU_ERROR_INVALID_VALUE;
        std::erase_if(m_streamStore, [stream](const std::unique_ptr<char> &item) { return item.get() == stream; });
        return GPU_SUCCESS;
    }

    GpuError StreamSynchronize(GpuStream) override { return GPU_SUCCESS; }
    GpuError Synchronize() override { return GPU_SUCCESS; }

    GpuError EventCreate(GpuEvent *event) override
    {
        if (!event)
            return GPU_ERROR_INVALID_VALUE;
        auto created = std::make_unique<stHostEvent>();
        std::lock_guard<std::mutex> lock(m_mutex);
        *event = created.get();
        m_events.push_back(std::move(created));
        return GPU_SUCCESS;
    }

    GpuError EventDestroy(GpuEvent event) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const size_t before = m_events.size();
        std::erase_if(m_events, [event](const std::unique_ptr<stHostEvent> &item) { return item.get() == event; });
        return m_events.size() == before ? GPU_ERROR_INVALID_VALUE : GPU_SUCCESS;
    }

    GpuError EventRecord(GpuEvent event, GpuStream) override
    {
        stHostEvent *host = Find(event);
        if (!host)
            return GPU_ERROR_INVALID_VALUE;
        host->when = std::chrono::steady_clock::now();
        host->recorded = true;
        return GPU_SUCCESS;
    }

    GpuError EventSynchronize(GpuEvent event) override { return Find(event) ? GPU_SUCCESS : GPU_ERROR_INVALID_VALUE; }

    GpuError EventElapsedTime(float *milliseconds, GpuEvent start, GpuEvent end) override
    {
        const stHostEvent *first = Find(start);
        const stHostEvent *last = Find(end);
        if (!milliseconds || !first || !last || !first->recorded || !last->recorded)
            return GPU_ERROR_INVALID_VALUE;
        *milliseconds = std::chrono::duration<float, std::milli>(last->when - first->when).count();
        return GPU_SUCCESS;
    }

    GpuError RetainPrimaryContext(int32_t) override { return GPU_SUCCESS; }
    GpuError ReleasePrimaryContext(int32_t) override { return GPU_SUCCESS; }
    // Pushes and pops pair up per thread, as on a GPU.
    GpuError PushContext(int32_t) override
    {
        ++t_pushed;
        return GPU_SUCCESS;
    }

    GpuError PopContext() override
    {
        if (t_pushed == 0)
            return GPU_ERROR_INVALID_VALUE;
        --t_pushed;
        return GPU_SUCCESS;
    }

    // The stand-in for a codec session's context: one handle, counted like the primary context.
    GpuError RetainContextHandle(int32_t, GpuContext *context) override
    {
        if (!context)
            return GPU_ERROR_INVALID_VALUE;
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_contextRetains;
        *context = &m_context;
        return GPU_SUCCESS;
    }

    GpuError ReleaseContextHandle(GpuContext context) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (context != &m_context || m_contextRetains == 0)
            return GPU_ERROR_INVALID_VALUE;
        --m_contextRetains;
        return GPU_SUCCESS;
    }

    GpuError MemGetInfo(size_t *freeBytes, size_t *totalBytes) override
    {
        struct sysinfo info;
        if (!freeBytes || !totalBytes || sysinfo(&info) != 0)
            return GPU_ERROR_INVALID_VALUE;
        *freeBytes = static_cast<size_t>(info.freeram) * info.mem_unit;
        *totalBytes = static_cast<size_t>(info.totalram) * info.mem_unit;
        return GPU_SUCCESS;
    }

    const char *ErrorName(GpuError error) const override
    {
        switch (error) {
        case GPU_SUCCESS: return "cudaSuccess";
        case GPU_ERROR_INVALID_VALUE: return "cudaErrorInvalidValue";
        case GPU_ERROR_MEMORY_ALLOCATION: return "cudaErrorMemoryAllocation";
        case GPU_ERROR_INITIALIZATION: return "cudaErrorInitializationError";
        case GPU_ERROR_INVALID_CONFIGURATION: return "cudaErrorInvalidConfiguration";
        case GPU_ERROR_INVALID_DEVICE_POINTER: return "cudaErrorInvalidDevicePointer";
        case GPU_ERROR_NO_DEVICE: return "cudaErrorNoDevice";
        case GPU_ERROR_INVALID_DEVICE: return "cudaErrorInvalidDevice";
        case GPU_ERROR_LAUNCH_FAILURE: return "cudaErrorLaunchFailure";
        case GPU_ERROR_NOT_SUPPORTED: return "cudaErrorNotSupported";
        default: return "cudaErrorUnknown";
        }
    }

private:
    stHostEvent *Find(GpuEvent event)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto &item : m_events) {
            if (item.get() == event)
                return item.get();
        }
        return nullptr;
    }

    static thread_local uint32_t t_pushed;

    std::mutex m_mutex;
    std::set<char *> m_streams;
    std::vector<std::unique_ptr<char>> m_streamStore;
    std::vector<std::unique_ptr<stHostEvent>> m_events;
    char m_context = 0; // its address is the handle
    uint32_t m_contextRetains = 0;
};

thread_local uint32_t CGpuHostBackend::t_pushed = 0;

} // namespace

std::unique_ptr<IGpuBackend> MakeHostGpuBackend()
{
    return std::make_unique<CGpuHostBackend>();
}
