#include "platform/GpuBackend.h"
#include "platform/GpuLaunchDetail.h"

#if defined(TYX_HAVE_CUDA) && TYX_HAVE_CUDA

#include <cuda.h>
#include <cuda_runtime_api.h>
#include <dlfcn.h>

#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace {

// The three driver calls behind a codec session's context, taken from the driver library at run
// time: the program never links it, so it starts where there is none.
struct stDriverApi
{
    decltype(&cuDeviceGet) deviceGet = nullptr;
    decltype(&cuDevicePrimaryCtxRetain) primaryCtxRetain = nullptr;
    decltype(&cuDevicePrimaryCtxRelease) primaryCtxRelease = nullptr;

    bool Loaded() const { return deviceGet && primaryCtxRetain && primaryCtxRelease; }
};

const stDriverApi &DriverApi()
{
    static const stDriverApi api = [] {
        stDriverApi loaded;
        void *library = dlopen("libcuda.so.1", RTLD_NOW | RTLD_LOCAL);
        if (!library)
            return loaded;
        loaded.deviceGet = reinterpret_cast<decltype(&cuDeviceGet)>(dlsym(library, "cuDeviceGet"));
        loaded.primaryCtxRetain =
            reinterpret_cast<decltype(&cuDevicePrimaryCtxRetain)>(dlsym(library, "cuDevicePrimaryCtxRetain"));
        loaded.primaryCtxRelease =
            reinterpret_cast<decltype(&cuDevicePrimaryCtxRelease)>(dlsym(library, "cuDevicePrimaryCtxRelease_v2"));
        return loaded; // the library stays open for the process
    }();
    return api;
}

cudaMemcpyKind ToCuda(EGpuCopyKind kind)
{
    switch (kind) {
    case EGpuCopyKind::HostToHost: return cudaMemcpyHostToHost;
    case EGpuCopyKind::HostToDevice: return cudaMemcpyHostToDevice;
    case EGpuCopyKind::DeviceToHost: return cudaMemcpyDeviceToHost;
    case EGpuCopyKind::DeviceToDevice: return cudaMemcpyDeviceToDevice;
    case EGpuCopyKind::Default: return cudaMemcpyDefault;
    }
    return cudaMemcpyDefault;
}

cudaStream_t Stream(GpuStream stream)
{
    return static_cast<cudaStream_t>(stream);
}

// The runtime shuts down at the process's exit before the static objects made ahead of it are
// destroyed: what they release then went with it, and nothing queued runs any more.
cudaError_t ShutDownAsDone(cudaError_t error)
{
    return error == cudaErrorCudartUnloading ? cudaSuccess : error;
}

// The runtime API only: it loads the driver itself and reports "no device" where there is none, so
// the program starts on machines without a GPU. A context is the device's primary context, made
// current on a thread by cudaSetDevice.
class CGpuCudaBackend final : public IGpuBackend
{
public:
    explicit CGpuCudaBackend(int32_t device, int32_t count) : m_device(device), m_count(count) {}

    EGpuBackend Kind() const override { return EGpuBackend::Cuda; }
    int32_t Device() const override { return m_device; }
    int32_t DeviceCount() const override { return m_count; }

    GpuError DeviceProperties(int32_t device, stDevDeviceProperties *properties) const override
    {
        if (!properties)
            return GPU_ERROR_INVALID_VALUE;
        if (device < 0 || device >= m_count)
            return GPU_ERROR_INVALID_DEVICE;
        cudaDeviceProp prop{};
        const cudaError_t error = cudaGetDeviceProperties(&prop, device);
        if (error != cudaSuccess)
            return error;
        stDevDeviceProperties out;
        std::memcpy(out.name, prop.name, sizeof(out.name) - 1);
        std::memcpy(&out.luid, prop.luid, sizeof(out.luid));
        out.pciBusId = prop.pciBusID;
        out.pciDeviceId = prop.pciDeviceID;
        out.totalGlobalMemory = prop.totalGlobalMem;
        out.constantMemory = prop.totalConstMem;
        out.memoryBusWidth = prop.memoryBusWidth;
        int clockRate = 0;
        if (cudaDeviceGetAttribute(&clockRate, cudaDevAttrClockRate, device) == cudaSuccess)
            out.clockRateKHz = clockRate;
        out.multiProcessors = prop.multiProcessorCount;
        out.major = prop.major;
        out.minor = prop.minor;
        out.maxThreadsPerMultiProcessor = prop.maxThreadsPerMultiProcessor;
        out.maxThreadsPerBlock = prop.maxThreadsPerBlock;
        out.maxBlocksPerMultiProcessor = prop.maxBlocksPerMultiProcessor;
        *properties = out;
        return GPU_SUCCESS;
    }

    GpuError Malloc(void **pointer, size_t bytes) override
    {
        if (!pointer)
            return GPU_ERROR_INVALID_VALUE;
        *pointer = nullptr;
        if (bytes == 0)
            return GPU_SUCCESS;
        Bind();
        return cudaMalloc(pointer, bytes);
    }

    GpuError MallocPitch(void **pointer, size_t *pitch, size_t widthBytes, size_t height) override
    {
        if (!pointer || !pitch)
            return GPU_ERROR_INVALID_VALUE;
        Bind();
        return cudaMallocPitch(pointer, pitch, widthBytes == 0 ? 1 : widthBytes, height);
    }

    GpuError Free(void *pointer) override
    {
        Bind();
        return ShutDownAsDone(cudaFree(pointer));
    }

    GpuError MallocHost(void **pointer, size_t bytes) override
    {
        Bind();
        return cudaMallocHost(pointer, bytes);
    }

    GpuError FreeHost(void *pointer) override { return cudaFreeHost(pointer); }

    GpuError Memcpy(void *dst, const void *src, size_t bytes, EGpuCopyKind kind, GpuStream stream) override
    {
        if (bytes == 0)
            return GPU_SUCCESS;
        Bind();
        if (!stream)
            return cudaMemcpy(dst, src, bytes, ToCuda(kind));
        return cudaMemcpyAsync(dst, src, bytes, ToCuda(kind), Stream(stream));
    }

    GpuError Memcpy2D(void *dst, size_t dstPitch, const void *src, size_t srcPitch, size_t widthBytes,
                      size_t height, EGpuCopyKind kind, GpuStream stream) override
    {
        if (widthBytes == 0 || height == 0)
            return GPU_SUCCESS;
        Bind();
        if (!stream)
            return cudaMemcpy2D(dst, dstPitch, src, srcPitch, widthBytes, height, ToCuda(kind));
        return cudaMemcpy2DAsync(dst, dstPitch, src, srcPitch, widthBytes, height, ToCuda(kind), Stream(stream));
    }

    GpuError Memset(void *pointer, int value, size_t bytes, GpuStream stream) override
    {
        if (bytes == 0)
            return GPU_SUCCESS;
        Bind();
        if (!stream)
            return cudaMemset(pointer, value, bytes);
        return cudaMemsetAsync(pointer, value, bytes, Stream(stream));
    }

    GpuError Memset2D(void *pointer, size_t pitch, int value, size_t widthBytes, size_t height,
                      GpuStream stream) override
    {
        if (widthBytes == 0 || height == 0)
            return GPU_SUCCESS;
        Bind();
        if (!stream)
            return cudaMemset2D(pointer, pitch, value, widthBytes, height);
        return cudaMemset2DAsync(pointer, pitch, value, widthBytes, height, Stream(stream));
    }

    GpuError StreamCreate(GpuStream *stream) override
    {
        if (!stream)
            return GPU_ERROR_INVALID_VALUE;
        Bind();
        cudaStream_t created = nullptr;
        const cudaError_t error = cudaStreamCreateWithFlags(&created, cudaStreamNonBlocking);
        *stream = created;
        return error;
    }

    GpuError StreamDestroy(GpuStream stream) override { return cudaStreamDestroy(Stream(stream)); }
    GpuError StreamSynchronize(GpuStream stream) override
    {
        if (!stream)
            Bind(); // the default stream is the current device's
        return ShutDownAsDone(cudaStreamSynchronize(Stream(stream)));
    }

    GpuError Synchronize() override
    {
        Bind();
        return cudaDeviceSynchronize();
    }

    GpuError EventCreate(GpuEvent *event) override
    {
        if (!event)
            return GPU_ERROR_INVALID_VALUE;
        Bind();
        cudaEvent_t created = nullptr;
        const cudaError_t error = cudaEventCreate(&created);
        *event = created;
        return error;
    }

    GpuError EventDestroy(GpuEvent event) override { return cudaEventDestroy(static_cast<cudaEvent_t>(event)); }

    GpuError EventRecord(GpuEvent event, GpuStream stream) override
    {
        return cudaEventRecord(static_cast<cudaEvent_t>(event), Stream(stream));
    }

    GpuError EventSynchronize(GpuEvent event) override
    {
        return cudaEventSynchronize(static_cast<cudaEvent_t>(event));
    }

    GpuError EventElapsedTime(float *milliseconds, GpuEvent start, GpuEvent end) override
    {
        return cudaEventElapsedTime(milliseconds, static_cast<cudaEvent_t>(start), static_cast<cudaEvent_t>(end));
    }

    GpuError RetainPrimaryContext(int32_t device) override { return cudaSetDevice(Valid(device)); }
    GpuError ReleasePrimaryContext(int32_t) override { return GPU_SUCCESS; }

    GpuError PushContext(int32_t device) override
    {
        int current = 0;
        cudaGetDevice(&current);
        const cudaError_t error = cudaSetDevice(Valid(device));
        if (error == cudaSuccess)
            t_stack.push_back(current); // a failed push leaves nothing to pop
        return error;
    }

    GpuError PopContext() override
    {
        if (t_stack.empty())
            return GPU_ERROR_INVALID_VALUE;
        const int previous = t_stack.back();
        t_stack.pop_back();
        return cudaSetDevice(previous);
    }

    GpuError RetainContextHandle(int32_t device, GpuContext *context) override
    {
        if (!context)
            return GPU_ERROR_INVALID_VALUE;
        *context = nullptr;
        const stDriverApi &api = DriverApi();
        if (!api.Loaded())
            return GPU_ERROR_INITIALIZATION;
        const int32_t ordinal = Valid(device);
        // The runtime makes the primary context current; the driver then hands out its handle.
        const cudaError_t bound = cudaSetDevice(ordinal);
        if (bound != cudaSuccess)
            return bound;
        CUdevice handle = 0;
        CUcontext primary = nullptr;
        if (api.deviceGet(&handle, ordinal) != CUDA_SUCCESS || api.primaryCtxRetain(&primary, handle) != CUDA_SUCCESS)
            return GPU_ERROR_INITIALIZATION;
        std::lock_guard<std::mutex> lock(m_contextMutex);
        stRetained &retained = m_contexts[primary];
        retained.device = handle;
        ++retained.count;
        *context = primary;
        return GPU_SUCCESS;
    }

    GpuError ReleaseContextHandle(GpuContext context) override
    {
        CUdevice device = 0;
        {
            std::lock_guard<std::mutex> lock(m_contextMutex);
            const auto found = m_contexts.find(context);
            if (found == m_contexts.end())
                return GPU_ERROR_INVALID_VALUE;
            device = found->second.device;
            if (--found->second.count == 0)
                m_contexts.erase(found);
        }
        return DriverApi().primaryCtxRelease(device) == CUDA_SUCCESS ? GPU_SUCCESS : GPU_ERROR_INVALID_VALUE;
    }

    GpuError MemGetInfo(size_t *freeBytes, size_t *totalBytes) override
    {
        Bind();
        return cudaMemGetInfo(freeBytes, totalBytes);
    }

    const char *ErrorName(GpuError error) const override
    {
        return cudaGetErrorName(static_cast<cudaError_t>(error));
    }

private:
    int32_t Valid(int32_t device) const { return device >= 0 && device < m_count ? device : m_device; }

    // Every thread that touches memory works on the chosen device's primary context.
    void Bind() const
    {
        int current = -1;
        if (cudaGetDevice(&current) != cudaSuccess || current != m_device)
            cudaSetDevice(m_device);
    }

    struct stRetained
    {
        CUdevice device = 0;
        uint32_t count = 0;
    };

    const int32_t m_device;
    const int32_t m_count;
    std::mutex m_contextMutex;
    std::map<GpuContext, stRetained> m_contexts; // handles given out, by context
    static thread_local std::vector<int> t_stack;
};

thread_local std::vector<int> CGpuCudaBackend::t_stack;

} // namespace

std::unique_ptr<IGpuBackend> MakeCudaGpuBackend(int32_t preferredDevice)
{
    int count = 0;
    if (cudaGetDeviceCount(&count) != cudaSuccess || count <= 0) {
        cudaGetLastError(); // clear the sticky "no device" answer
        return nullptr;
    }
    const int32_t device = preferredDevice >= 0 && preferredDevice < count ? preferredDevice : 0;
    if (cudaSetDevice(device) != cudaSuccess)
        return nullptr;
    return std::make_unique<CGpuCudaBackend>(device, count);
}

GpuError tyx_gpu_detail::CudaLaunchResult()
{
    return cudaGetLastError();
}

void tyx_gpu_detail::BindCudaDevice()
{
    const int device = DevCurrentDevice();
    int current = -1;
    if (cudaGetDevice(&current) != cudaSuccess || current != device)
        cudaSetDevice(device);
}

#else

std::unique_ptr<IGpuBackend> MakeCudaGpuBackend(int32_t)
{
    return nullptr;
}

GpuError tyx_gpu_detail::CudaLaunchResult()
{
    return GPU_ERROR_NOT_SUPPORTED;
}

void tyx_gpu_detail::BindCudaDevice() {}

#endif
