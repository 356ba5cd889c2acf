#pragma once

#include <cstddef>
#include <cstdint>

// The one layer through which the system makes GPU calls. Two backends, chosen once at start-up:
// CUDA when the runtime finds a device, host otherwise ("device memory" is then aligned host memory
// and kernels run on a thread pool). The header pulls in no GPU runtime, so any compiler reads it.

// Results: 0 on success, else the CUDA runtime's error number (the host backend uses the same
// numbers for the same failures).
using GpuError = int32_t;
constexpr GpuError GPU_SUCCESS = 0;
constexpr GpuError GPU_ERROR_INVALID_VALUE = 1;
constexpr GpuError GPU_ERROR_MEMORY_ALLOCATION = 2;
constexpr GpuError GPU_ERROR_INITIALIZATION = 3;
constexpr GpuError GPU_ERROR_INVALID_DEVICE = 101;
constexpr GpuError GPU_ERROR_NO_DEVICE = 100;
constexpr GpuError GPU_ERROR_INVALID_DEVICE_POINTER = 17;
constexpr GpuError GPU_ERROR_LAUNCH_FAILURE = 719;
constexpr GpuError GPU_ERROR_INVALID_CONFIGURATION = 9;
constexpr GpuError GPU_ERROR_NOT_SUPPORTED = 801;

enum class EGpuBackend { None = 0, Host = 1, Cuda = 2 };
// Default: the memory kinds are told by the pointers themselves (unified addressing).
enum class EGpuCopyKind { HostToHost = 0, HostToDevice = 1, DeviceToHost = 2, DeviceToDevice = 3, Default = 4 };

using GpuStream = void *;  // opaque; nullptr is the calling thread's stream (below), else the default one
using GpuEvent = void *;   // opaque
using GpuContext = void *; // opaque

// Chooses the backend on first use (or now): the configured device when it is valid, device 0
// otherwise; host when the CUDA runtime finds none. Logs the choice once. Thread-safe.
EGpuBackend DevInitialize(int32_t preferredDevice = 0);
EGpuBackend DevBackend();
// The device the CUDA backend uses (0 on the host backend).
int32_t DevCurrentDevice();
int32_t DevDeviceCount();

// What the host report and the choice of the configured GPU read of a CUDA device.
struct stDevDeviceProperties
{
    char name[256] = {};
    int64_t luid = 0; // the 8-byte locally unique id (0 where the platform has none)
    int32_t pciBusId = 0;
    int32_t pciDeviceId = 0;
    uint64_t totalGlobalMemory = 0; // bytes
    uint64_t constantMemory = 0;    // bytes
    int32_t memoryBusWidth = 0;     // bits
    int32_t clockRateKHz = 0;
    int32_t multiProcessors = 0;
    int32_t major = 0; // compute capability
    int32_t minor = 0;
    int32_t maxThreadsPerMultiProcessor = 0;
    int32_t maxThreadsPerBlock = 0;
    int32_t maxBlocksPerMultiProcessor = 0;
};
// The properties of CUDA device `device` (0 .. DevDeviceCount() - 1); GPU_ERROR_NO_DEVICE on the
// host backend, GPU_ERROR_INVALID_DEVICE for a number out of range.
GpuError DevGetDeviceProperties(int32_t device, stDevDeviceProperties *properties);

GpuError DevMalloc(void **pointer, size_t bytes);
// Rows of widthBytes, each starting at a multiple of the returned pitch.
GpuError DevMallocPitch(void **pointer, size_t *pitch, size_t widthBytes, size_t height);
GpuError DevFree(void *pointer); // nullptr is fine
GpuError DevMallocHost(void **pointer, size_t bytes); // page-locked where the backend has it
GpuError DevFreeHost(void *pointer);

// Copies and fills. A pointer that the kind names as device memory must lie, with the whole extent
// of the call, in a live device allocation of this layer, and one it names as host memory must not
// (GPU_ERROR_INVALID_VALUE otherwise); the host backend checks it, so that a wrong on-device flag
// fails there as it would on a GPU. A copy given no stream is complete when it returns.
GpuError DevMemcpy(void *dst, const void *src, size_t bytes, EGpuCopyKind kind, GpuStream stream = nullptr);
GpuError DevMemcpy2D(void *dst, size_t dstPitch, const void *src, size_t srcPitch, size_t widthBytes,
                     size_t height, EGpuCopyKind kind, GpuStream stream = nullptr);
GpuError DevMemset(void *pointer, int value, size_t bytes, GpuStream stream = nullptr);
GpuError DevMemset2D(void *pointer, size_t pitch, int value, size_t widthBytes, size_t height,
                     GpuStream stream = nullptr);

// A worker's own stream. Bound to a thread, it carries every copy, fill, launch, event and
// synchronisation of that thread that names no stream, so they run in the order they were made
// (a stream of its own never waits for the default one, nor the default one for it). nullptr
// unbinds. The binding is the caller's; it ends with the thread.
void DevSetThreadStream(GpuStream stream);
GpuStream DevThreadStream();

GpuError DevStreamCreate(GpuStream *stream);
GpuError DevStreamDestroy(GpuStream stream);
GpuError DevStreamSynchronize(GpuStream stream);
GpuError DevSynchronize();

GpuError DevEventCreate(GpuEvent *event);
GpuError DevEventDestroy(GpuEvent event);
GpuError DevEventRecord(GpuEvent event, GpuStream stream = nullptr);
GpuError DevEventSynchronize(GpuEvent event);
GpuError DevEventElapsedTime(float *milliseconds, GpuEvent start, GpuEvent end);

// The primary context of a device: retained by each GPU-using object, released when it is
// uninitialised; push/pop make it current on the calling thread.
GpuError DevRetainPrimaryContext(int32_t device);
GpuError DevReleasePrimaryContext(int32_t device);
GpuError DevPushContext(int32_t device);
GpuError DevPopContext();

// The handle of a device's primary context that NVDEC and NVENC sessions take: the CUDA context
// (CUcontext) on the CUDA backend, a stand-in handle on the host backend. It retains the primary
// context; each handle is released once with DevReleaseContextHandle. A device out of range means
// the device the layer uses.
GpuError DevRetainContextHandle(int32_t device, GpuContext *context);
GpuError DevReleaseContextHandle(GpuContext context);

// Device pictures kept by size: DevPoolAlloc takes an idle block of exactly that size when there is
// one and allocates otherwise; DevPoolRelease takes back any live device block of the layer (also
// one from DevMalloc) and keeps it for the next request of its size, or frees it when the pool
// already holds enough. A worker making 30 or more pictures a second so neither allocates nor frees
// device memory for each (with CUDA a free waits for the whole device). A block is handed back only
// once the releasing thread's stream is done with it. Any thread.
GpuError DevPoolAlloc(void **pointer, size_t bytes);
GpuError DevPoolRelease(void *pointer);
// Frees every idle block of the pool.
void DevPoolTrim();

GpuError DevMemGetInfo(size_t *freeBytes, size_t *totalBytes);
// The error's name, as "cudaErrorMemoryAllocation".
const char *DevErrorName(GpuError error);
// The error of the last kernel launch on this thread, cleared by reading.
GpuError DevGetLastError();

// Test hook: counts of live allocations made through this layer (device and host kinds). Idle
// blocks of the picture pool count apart, not as device blocks.
struct stDevAllocationCounts
{
    int64_t deviceBlocks = 0;
    int64_t deviceBytes = 0;
    int64_t hostBlocks = 0;
    int64_t pooledBlocks = 0;
    int64_t pooledBytes = 0;
    int64_t contextHandles = 0; // retained and not yet released
};
stDevAllocationCounts DevAllocationCounts();
// Test hook: the stream that the last copy, fill or launch of the calling thread went on.
GpuStream DevLastIssuedStream();

// Test hook: the next `count` calls of that kind fail (with the error a GPU would give), so tests can
// check every failure path. Any backend; count 0 clears it.
// Context: DevPushContext fails without pushing.
enum class EDevFault { Malloc = 0, Memcpy = 1, Memset = 2, Launch = 3, Context = 4 };
void DevInjectFault(EDevFault fault, int32_t count);
// The same, after the next `after` calls of that kind have succeeded.
void DevInjectFault(EDevFault fault, int32_t count, int32_t after);
