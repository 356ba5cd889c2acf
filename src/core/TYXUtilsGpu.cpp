// The GPU picture operations of CTYXUtils: copies into device pictures and I420 scaling.

#include "core/TYXUtils.h"

#include "core/FramePackage.h"
#include "core/I420Layout.h"
#include "core/NvBufferFormat.h"
#include "core/Resize.h"
#include "core/debuglog.h"
#include "platform/GpuDevice.h"
#include "platform/Thread.h"

#include <string>

namespace {

std::wstring ErrorName(GpuError error)
{
    return StringToWString(DevErrorName(error));
}

long long AsNumber(const void *pointer)
{
    return static_cast<long long>(reinterpret_cast<intptr_t>(pointer));
}

// An unknown memory type is reported and the copy still runs, with the kinds told by the pointers.
EGpuCopyKind CheckedCopyKind(int32_t srcMemoryType)
{
    if (srcMemoryType == TYX_MEMORY_HOST)
        return EGpuCopyKind::HostToDevice;
    if (srcMemoryType == TYX_MEMORY_DEVICE)
        return EGpuCopyKind::DeviceToDevice;
    TYX_LOG(2, L"[Thread:%d] Invalid source memory type(srcMemoryType=%d) for copy(err=%d)!", GetCurrentThreadIdInt(),
            srcMemoryType, GPU_ERROR_INVALID_VALUE);
    HandleGPUCriticalError(true, L"CopyToDeviceFrame: source memory type");
    return EGpuCopyKind::Default;
}

struct stPlaneCopy
{
    const uint8_t *src = nullptr;
    size_t srcPitch = 0;
    uint8_t *dst = nullptr;
    size_t dstPitch = 0;
    size_t widthBytes = 0;
    size_t height = 0;
};

GpuError CopyPlane(const stPlaneCopy &plane, EGpuCopyKind kind)
{
    return DevMemcpy2D(plane.dst, plane.dstPitch, plane.src, plane.srcPitch, plane.widthBytes, plane.height, kind);
}

// The three planes of an I420 copy; index 0 is luma.
struct stI420Copy
{
    stPlaneCopy planes[3];
};

// I420 geometry of a source of that pitch (0: packed) and of a destination with chroma planes at
// the given places.
stI420Copy I420Copy(const uint8_t *src, uint32_t srcPitch, uint8_t *dstY, uint32_t dstPitch, uint8_t *dstU,
                    uint8_t *dstV, uint32_t dstChromaPitch, uint32_t width, uint32_t height)
{
    const uint32_t format = TYX_NV_BUFFER_FORMAT_IYUV;
    const uint32_t pitch = srcPitch != 0 ? srcPitch : *NvBufferWidthInBytes(format, width);
    const std::vector<uint32_t> offsets = *NvBufferChromaSubPlaneOffsets(format, pitch, height);
    const size_t chromaWidth = *NvBufferChromaWidthInBytes(format, width);
    const size_t chromaHeight = *NvBufferChromaHeight(format, height);
    const size_t srcChromaPitch = *NvBufferChromaPitch(format, pitch);
    stI420Copy copy;
    copy.planes[0] = {src, pitch, dstY, dstPitch, *NvBufferWidthInBytes(format, width), height};
    copy.planes[1] = {src + offsets[0], srcChromaPitch, dstU, dstChromaPitch, chromaWidth, chromaHeight};
    copy.planes[2] = {src + offsets[1], srcChromaPitch, dstV, dstChromaPitch, chromaWidth, chromaHeight};
    return copy;
}

void LogFailedCopyParameters(const stPlaneCopy &plane)
{
    TYX_LOG(3, L"[Thread:%d]While pSrc=%lld, pDst=%lld,  srcPitch=%lld, dstPitch=%lld, WidthInBytes=%lld, Height=%lld.",
            GetCurrentThreadIdInt(), AsNumber(plane.src), AsNumber(plane.dst), static_cast<long long>(plane.srcPitch),
            static_cast<long long>(plane.dstPitch), static_cast<long long>(plane.widthBytes),
            static_cast<long long>(plane.height));
}

// Copies the planes in order and stops at the first failure; the context is the caller's.
bool CopyI420Planes(const stI420Copy &copy, EGpuCopyKind kind)
{
    const int tid = GetCurrentThreadIdInt();
    GpuError error = CopyPlane(copy.planes[0], kind);
    if (error != GPU_SUCCESS) {
        TYX_LOG(3, L"[Thread:%d] Cuda Error(%s) while copying luma data to 2D!.", tid, ErrorName(error).c_str());
        LogFailedCopyParameters(copy.planes[0]);
        HandleGPUCriticalError(true, L"CopyToDeviceFrame: luma");
        return false;
    }
    if (copy.planes[1].height == 0)
        return true;
    for (int32_t i = 0; i < 2; ++i) {
        error = CopyPlane(copy.planes[1 + i], kind);
        if (error != GPU_SUCCESS) {
            TYX_LOG(3, L"[Thread:%d] Cuda Error(%s) while copying chroma data(%d) to 2D!.", tid,
                    ErrorName(error).c_str(), i);
            LogFailedCopyParameters(copy.planes[1 + i]);
            HandleGPUCriticalError(true, L"CopyToDeviceFrame: chroma");
            return false;
        }
    }
    return true;
}

bool PushContext(int32_t gpuDevice, const wchar_t *failureFormat)
{
    const GpuError error = DevPushContext(gpuDevice);
    if (error == GPU_SUCCESS)
        return true;
    TYX_LOG(3, failureFormat, GetCurrentThreadIdInt(), ErrorName(error).c_str());
    HandleGPUCriticalError(true, L"CopyToDeviceFrame: push context");
    return false;
}

bool PopContext(const wchar_t *failureFormat)
{
    const GpuError error = DevPopContext();
    if (error == GPU_SUCCESS)
        return true;
    TYX_LOG(3, failureFormat, GetCurrentThreadIdInt(), ErrorName(error).c_str());
    HandleGPUCriticalError(true, L"CopyToDeviceFrame: pop context");
    return false;
}

constexpr const wchar_t *kPushI420 = L"[Thread:%d] Cuda Error(%s) in calling cuCtxPushCurrent!";
constexpr const wchar_t *kPopI420 = L"[Thread:%d] Cuda Error(%s) in calling cuCtxPopCurrent(2)!";

bool ValidCopyArguments(const void *src, void *dst, uint32_t numChromaPlanes, const uint32_t *dstChromaOffsets,
                        uint32_t formatPlanes)
{
    if (src && dst && numChromaPlanes <= formatPlanes && (numChromaPlanes == 0 || dstChromaOffsets))
        return true;
    TYX_LOG(3, L"[Thread:%d] Frame copy refused: pSrc=%lld, pDst=%lld, chroma planes=%d!", GetCurrentThreadIdInt(),
            AsNumber(src), AsNumber(dst), numChromaPlanes);
    return false;
}

} // namespace

int32_t CTYXUtils::CopyToDeviceFrame(int32_t gpuDevice, const void *src, uint32_t srcPitch, void *dst,
                                     uint32_t dstPitch, uint32_t width, uint32_t height, int32_t srcMemoryType,
                                     uint32_t bufferFormat, const uint32_t *dstChromaOffsets, uint32_t numChromaPlanes)
{
    const int tid = GetCurrentThreadIdInt();
    if (!IsKnownNvBufferFormat(bufferFormat)) {
        TYX_LOG(3, L"[Thread:%d] Frame copy refused for buffer format 0x%x!", tid, bufferFormat);
        return -1;
    }
    if (!ValidCopyArguments(src, dst, numChromaPlanes, dstChromaOffsets, *NvBufferNumChromaPlanes(bufferFormat)))
        return -1;
    const EGpuCopyKind kind = CheckedCopyKind(srcMemoryType);
    bool failed = false;
    const bool pushed = PushContext(gpuDevice, L"[Thread:%d] Cuda Error(%s) in calling cuCtxPushCurrent(1-1)!");
    failed = !pushed;

    // A pitched source is read at its own pitch; 0 means packed rows.
    const uint32_t widthBytes = *NvBufferWidthInBytes(bufferFormat, width);
    const uint32_t pitch = srcPitch != 0 ? srcPitch : widthBytes;
    const auto *source = static_cast<const uint8_t *>(src);
    auto *target = static_cast<uint8_t *>(dst);
    GpuError error = DevMemcpy2D(target, dstPitch, source, pitch, widthBytes, height, kind);
    if (error != GPU_SUCCESS) {
        TYX_LOG(3, L"[Thread:%d] Cuda Error(%s) while copying luma data to 2D!.", tid, ErrorName(error).c_str());
        HandleGPUCriticalError(true, L"CopyToDeviceFrame: luma");
        failed = true;
    }

    const uint32_t chromaHeight = *NvBufferChromaHeight(bufferFormat, height);
    if (chromaHeight != 0) {
        const std::vector<uint32_t> srcOffsets = *NvBufferChromaSubPlaneOffsets(bufferFormat, pitch, height);
        const uint32_t srcChromaPitch = *NvBufferChromaPitch(bufferFormat, pitch);
        const uint32_t dstChromaPitch = *NvBufferChromaPitch(bufferFormat, dstPitch);
        const uint32_t chromaWidth = *NvBufferChromaWidthInBytes(bufferFormat, width);
        for (uint32_t i = 0; i < numChromaPlanes; ++i) {
            error = DevMemcpy2D(target + dstChromaOffsets[i], dstChromaPitch, source + srcOffsets[i], srcChromaPitch,
                                chromaWidth, chromaHeight, kind);
            if (error != GPU_SUCCESS) {
                TYX_LOG(3, L"[Thread:%d] Cuda Error(%s) while copying chroma data(1) to 2D!.", tid,
                        ErrorName(error).c_str());
                HandleGPUCriticalError(true, L"CopyToDeviceFrame: chroma");
                failed = true;
            }
        }
    }

    if (pushed && !PopContext(L"[Thread:%d] Cuda Error(%s) in calling cuCtxPopCurrent!"))
        failed = true;
    return failed ? -2 : 0;
}

int32_t CTYXUtils::CopyToDeviceFrame(int32_t gpuDevice, const void *src, uint32_t srcPitch, void *dst,
                                     uint32_t dstPitch, uint32_t width, uint32_t height, int32_t srcMemoryType,
                                     const uint32_t *dstChromaOffsets, uint32_t numChromaPlanes)
{
    if (!ValidCopyArguments(src, dst, numChromaPlanes, dstChromaOffsets, 2))
        return -1;
    const EGpuCopyKind kind = CheckedCopyKind(srcMemoryType);
    if (!PushContext(gpuDevice, kPushI420))
        return -2;
    auto *target = static_cast<uint8_t *>(dst);
    const uint32_t dstChromaPitch = *NvBufferChromaPitch(TYX_NV_BUFFER_FORMAT_IYUV, dstPitch);
    stI420Copy copy = I420Copy(static_cast<const uint8_t *>(src), srcPitch, target, dstPitch,
                               numChromaPlanes > 0 ? target + dstChromaOffsets[0] : nullptr,
                               numChromaPlanes > 1 ? target + dstChromaOffsets[1] : nullptr, dstChromaPitch, width,
                               height);
    // A destination with fewer chroma planes takes only those.
    for (uint32_t i = numChromaPlanes; i < 2; ++i)
        copy.planes[1 + i].height = 0;
    const bool ok = CopyI420Planes(copy, kind);
    const bool popped = PopContext(kPopI420);
    return ok && popped ? 0 : -2;
}

namespace {

// The pitched device copy of the source that the scaler reads: luma, and one area with the U rows
// followed by the V rows.
struct stPitchedSource
{
    uint8_t *luma = nullptr;
    size_t lumaPitch = 0;
    uint8_t *chroma = nullptr;
    size_t chromaPitch = 0;
    int32_t chromaHeight = 0;

    uint8_t *U() const { return chroma; }
    uint8_t *V() const { return chroma + chromaPitch * static_cast<size_t>(chromaHeight); }
};

bool AllocPitchedSource(stPitchedSource &planes, int32_t width, int32_t height)
{
    const int tid = GetCurrentThreadIdInt();
    void *luma = nullptr;
    GpuError error = DevMallocPitch(&luma, &planes.lumaPitch, static_cast<size_t>(width), static_cast<size_t>(height));
    if (error != GPU_SUCCESS) {
        TYX_LOG(3, L"[Thread:%d] cuMemAllocPitch failed with error=%d[%s] and YPitch=%d, LumaWidth=%d, SrcHeight=%d!",
                tid, error, ErrorName(error).c_str(), static_cast<int32_t>(planes.lumaPitch), width, height);
        HandleGPUCriticalError(error, L"ScaleFrameGPU: luma plane");
        return false;
    }
    planes.luma = static_cast<uint8_t *>(luma);
    planes.chromaHeight = static_cast<int32_t>(I420ChromaHeight(height));
    void *chroma = nullptr;
    error = DevMallocPitch(&chroma, &planes.chromaPitch, static_cast<size_t>(I420ChromaWidth(width)),
                           static_cast<size_t>(planes.chromaHeight) * 2);
    if (error != GPU_SUCCESS) {
        TYX_LOG(3, L"[Thread:%d] cuMemAllocPitch failed with error=%d[%s]!", tid, error, ErrorName(error).c_str());
        HandleGPUCriticalError(error, L"ScaleFrameGPU: chroma planes");
        return false;
    }
    planes.chroma = static_cast<uint8_t *>(chroma);
    return true;
}

// False when a free failed (logged).
bool FreePitchedSource(stPitchedSource &planes)
{
    bool ok = true;
    for (uint8_t *block : {planes.luma, planes.chroma}) {
        const GpuError error = DevFree(block);
        if (error != GPU_SUCCESS) {
            TYX_LOG(3, L"[Thread:%d] cudaFree failed with error=%d!", GetCurrentThreadIdInt(), error);
            HandleGPUCriticalError(error, L"ScaleFrameGPU: free planes");
            ok = false;
        }
    }
    planes = stPitchedSource{};
    return ok;
}

// Pictures whose I420 length fits a package.
bool PackageSize(int32_t width, int32_t height)
{
    return width > 0 && height > 0 && width <= 65535 && height <= 65535 &&
           I420Size(width, height) <= TYX_MAX_PACKAGE_BYTES;
}

// Hands the scaled device picture to the caller, in device memory or copied into host memory.
int32_t DeliverResult(uint8_t *scaled, int32_t length, bool resultInDevice, uint8_t **result)
{
    if (resultInDevice) {
        *result = scaled;
        return length;
    }
    FramePackage host;
    host.inDevice = 0;
    if (AllocFramePackageData(host, length) != length) {
        ReleaseFramePackageData(scaled, true);
        return -1;
    }
    const GpuError error = DevMemcpy(host.pData, scaled, static_cast<size_t>(length), EGpuCopyKind::DeviceToHost);
    ReleaseFramePackageData(scaled, true);
    if (error != GPU_SUCCESS) {
        TYX_LOG(3, L"[Thread:%d] cudaMemcpy failed with error=%d!", GetCurrentThreadIdInt(), error);
        HandleGPUCriticalError(error, L"ScaleFrameGPU: copy out");
        FreeFramePackage(host);
        return -3;
    }
    *result = host.pData;
    return length;
}

// Scales the pitched source into a new device picture; its length, or a negative code.
int32_t ScaleIntoNewPicture(const stPitchedSource &planes, int32_t srcWidth, int32_t srcHeight, int32_t width,
                            int32_t height, uint8_t **scaled)
{
    const int32_t length = I420Length(width, height);
    void *device = nullptr;
    const GpuError error = DevPoolAlloc(&device, static_cast<size_t>(length));
    if (error != GPU_SUCCESS) {
        TYX_LOG(3, L"[Thread:%d] device mem allocing[Size=%d] failed with error=%d!", GetCurrentThreadIdInt(),
                length, error);
        HandleGPUCriticalError(error, L"ScaleFrameGPU: result");
        return -1;
    }
    TYX_LOG(8, L"Frame scaling prepared.");
    auto *picture = static_cast<uint8_t *>(device);
    const auto chromaPitch = static_cast<int32_t>(I420ChromaPitch(width));
    const int32_t scaledResult =
        ScaleYuv420InDvc(picture, picture + I420UOffset(width, height), picture + I420VOffset(width, height), width,
                         chromaPitch, width, height,
                         planes.luma, planes.U(), planes.V(), static_cast<int32_t>(planes.lumaPitch),
                         static_cast<int32_t>(planes.chromaPitch), srcWidth, srcHeight);
    if (scaledResult != 0) {
        ReleaseFramePackageData(picture, true);
        return -3;
    }
    TYX_LOG(8, L"Frame scaling finished.");
    *scaled = picture;
    return length;
}

} // namespace

int32_t CTYXUtils::ScaleFrameGPU(int32_t gpuDevice, const uint8_t *src, int32_t srcWidth, int32_t srcHeight,
                                 int32_t srcPitch, bool srcInDevice, uint8_t **result, int32_t scaledWidth,
                                 int32_t scaledHeight, bool resultInDevice)
{
    const int tid = GetCurrentThreadIdInt();
    if (result)
        *result = nullptr;
    if (!PackageSize(srcWidth, srcHeight) || (srcPitch != 0 && srcPitch < srcWidth) || srcPitch < 0) {
        TYX_LOG(5, L"[Thread:%d] ScaleFrameGPU rejected with SrcWidth=%d SrcHeight=%d, and nSrcPitch=%d!", tid,
                srcWidth, srcHeight, srcPitch);
        return -1;
    }
    if (!PackageSize(scaledWidth, scaledHeight)) {
        TYX_LOG(5, L"[Thread:%d] ScaleFrameGPU rejected with Scaled_width=%d Scaled_width=%d!", tid, scaledWidth,
                scaledHeight);
        return -2;
    }
    if (!src || !result) {
        TYX_LOG(5, L"[Thread:%d] ScaleFrameGPU rejected with pSrcFrame==NULL!", tid);
        return -4;
    }

    TYX_LOG(8, L"Prepare for frame scaling.");
    if (!PushContext(gpuDevice, kPushI420))
        return -3;
    stPitchedSource planes;
    if (!AllocPitchedSource(planes, srcWidth, srcHeight)) {
        FreePitchedSource(planes);
        PopContext(kPopI420);
        return -1;
    }
    TYX_LOG(8, L"Copy frame data to device...");
    const stI420Copy copy =
        I420Copy(src, static_cast<uint32_t>(srcPitch), planes.luma, static_cast<uint32_t>(planes.lumaPitch),
                 planes.U(), planes.V(), static_cast<uint32_t>(planes.chromaPitch), static_cast<uint32_t>(srcWidth),
                 static_cast<uint32_t>(srcHeight));
    int32_t length = -3;
    if (CopyI420Planes(copy, srcInDevice ? EGpuCopyKind::DeviceToDevice : EGpuCopyKind::HostToDevice)) {
        TYX_LOG(8, L"Frame data copied to device.");
        uint8_t *scaled = nullptr;
        length = ScaleIntoNewPicture(planes, srcWidth, srcHeight, scaledWidth, scaledHeight, &scaled);
        if (length > 0) {
            length = DeliverResult(scaled, length, resultInDevice, result);
            if (length > 0)
                TYX_LOG(8, L"Scaled data copied out.");
        }
    }
    // The result already belongs to the caller: a failed free of the temporary planes is only logged.
    FreePitchedSource(planes);
    PopContext(kPopI420);
    return length;
}
