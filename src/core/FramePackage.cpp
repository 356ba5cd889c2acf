#include "core/FramePackage.h"

#include "core/I420Layout.h"
#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "platform/GpuDevice.h"
#include "platform/Thread.h"
#include "core/VideoFrameInfo.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/mem.h>
}

#include <atomic>
#include <cstring>

namespace {

std::atomic<int64_t> g_hostBlocks{0};

long long PointerValue(const void *pointer)
{
    return static_cast<long long>(reinterpret_cast<intptr_t>(pointer));
}

uint8_t *AllocHostData(int32_t length)
{
    auto *data = static_cast<uint8_t *>(av_malloc(static_cast<size_t>(length) + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!data)
        return nullptr;
    std::memset(data + length, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    g_hostBlocks.fetch_add(1);
    return data;
}

void FreeHostData(uint8_t *data)
{
    if (!data)
        return;
    av_free(data);
    g_hostBlocks.fetch_sub(1);
}

// A buffer for length bytes in the chosen memory, or none (logged).
uint8_t *AllocData(int32_t length, bool inDevice)
{
    if (!inDevice) {
        uint8_t *data = AllocHostData(length);
        if (!data)
            TYX_LOG(3, L"[Thread:%d] Host memory[size=%d] allocing failed!", GetCurrentThreadIdInt(), length);
        return data;
    }
    // Pictures of one size come and go many times a second: the pool keeps them.
    void *device = nullptr;
    const GpuError error = DevPoolAlloc(&device, static_cast<size_t>(length));
    if (error != GPU_SUCCESS || !device) {
        TYX_LOG(3, L"[Thread:%d] GPU memory[size=%d] allocing failed with error(%d) returned!",
                GetCurrentThreadIdInt(), length, error);
        HandleGPUCriticalError(error != GPU_SUCCESS ? error : GPU_ERROR_MEMORY_ALLOCATION,
                               L"DuplicateFramePackage: allocation");
        return nullptr;
    }
    return static_cast<uint8_t *>(device);
}

void ReleaseData(uint8_t *data, bool inDevice)
{
    if (!inDevice) {
        FreeHostData(data);
        return;
    }
    const GpuError error = DevPoolRelease(data);
    if (error != GPU_SUCCESS) {
        TYX_LOG(3, L"[Thread:%d] GPU memory free failed with error(%d) returned!", GetCurrentThreadIdInt(), error);
        HandleGPUCriticalError(error, L"FreeFramePackage");
    }
}

EGpuCopyKind CopyKind(bool srcDevice, bool dstDevice)
{
    if (srcDevice)
        return dstDevice ? EGpuCopyKind::DeviceToDevice : EGpuCopyKind::DeviceToHost;
    return dstDevice ? EGpuCopyKind::HostToDevice : EGpuCopyKind::HostToHost;
}

void DropData(FramePackage &package)
{
    package.pData = nullptr;
    package.nLength = 0;
}

} // namespace

int32_t DuplicateFramePackage(FramePackage &dst, const FramePackage &src)
{
    const FramePackage source = src; // dst may be src
    const bool dstDevice = dst.inDevice != 0;
    const bool srcDevice = source.inDevice != 0;
    dst = source;
    dst.inDevice = dstDevice ? 1 : 0;

    if (source.nLength < 0) { // a status package: no data, its code travels on
        dst.pData = nullptr;
        return 0;
    }
    if (!source.pData || source.nLength == 0) {
        DropData(dst);
        return 0;
    }
    if (source.nLength > TYX_MAX_PACKAGE_BYTES) {
        TYX_LOG(3, L"[Thread:%d] Frame duplicating abort for Invalid Frame size[%d]!", GetCurrentThreadIdInt(),
                source.nLength);
        DropData(dst);
        return TYX_PKG_ERR_SIZE;
    }

    uint8_t *copy = AllocData(source.nLength, dstDevice);
    if (!copy) {
        DropData(dst);
        return TYX_PKG_ERR_NO_BUFFER;
    }
    if (!srcDevice && !dstDevice) {
        std::memcpy(copy, source.pData, static_cast<size_t>(source.nLength));
        dst.pData = copy;
        return source.nLength;
    }

    const GpuError error = DevMemcpy(copy, source.pData, static_cast<size_t>(source.nLength),
                                     CopyKind(srcDevice, dstDevice));
    if (error != GPU_SUCCESS) {
        if (srcDevice)
            TYX_LOG(3,
                    L"[Thread:%d] GPU memory coping failed with error(%d) returned!...With [srcPtr=%lld,dstPtr=%lld, "
                    L"len=%d]",
                    GetCurrentThreadIdInt(), error, PointerValue(source.pData), PointerValue(copy), source.nLength);
        else
            TYX_LOG(3,
                    L"[Thread:%d] GPU memory coping failed with error(%d) returned!..With [srcPtr=%lld,dstPtr=%lld, "
                    L"len=%d]",
                    GetCurrentThreadIdInt(), error, PointerValue(source.pData), PointerValue(copy), source.nLength);
        ReleaseData(copy, dstDevice);
        HandleGPUCriticalError(error, L"DuplicateFramePackage: copy");
        DropData(dst);
        return TYX_PKG_ERR_COPY;
    }
    dst.pData = copy;
    return source.nLength;
}

void FreeFramePackage(FramePackage &package)
{
    if (package.nLength > 0 && package.pData)
        ReleaseData(package.pData, package.inDevice != 0);
    ClearFramePackage(package);
}

void ClearFramePackage(FramePackage &package)
{
    static_assert(std::is_trivially_copyable_v<FramePackage>);
    std::memset(static_cast<void *>(&package), 0, sizeof(package));
}

int32_t AllocFramePackageData(FramePackage &package, int32_t length)
{
    if (length < 1 || length > TYX_MAX_PACKAGE_BYTES)
        return TYX_PKG_ERR_SIZE;
    if (package.pData && package.nLength > 0)
        return TYX_PKG_ERR_OCCUPIED;
    DropData(package);
    uint8_t *data = AllocData(length, package.inDevice != 0);
    if (!data)
        return TYX_PKG_ERR_NO_BUFFER;
    package.pData = data;
    package.nLength = length;
    return length;
}

void ReleaseFramePackageData(uint8_t *data, bool inDevice)
{
    if (data)
        ReleaseData(data, inDevice);
}

namespace {

// Fills [offset, offset + bytes) of a device picture; false on failure (reported).
bool FillDevice(uint8_t *picture, size_t offset, uint8_t value, size_t bytes)
{
    const GpuError error = DevMemset(picture + offset, value, bytes);
    if (error == GPU_SUCCESS)
        return true;
    HandleGPUCriticalError(error, L"CreateBlankVideoFrame: fill");
    return false;
}

} // namespace

int32_t CreateBlankVideoFramePackage(FramePackage &package, const stColorYuv &color)
{
    const int64_t pixels = int64_t{package.width} * package.height;
    if (pixels < 1)
        return TYX_PKG_ERR_SIZE;
    const int64_t length = I420Size(package.width, package.height);
    if (length > TYX_MAX_PACKAGE_BYTES) {
        TYX_LOG(3, L"[Thread:%d] Blank frame refused for Invalid Frame size[%dx%d]!", GetCurrentThreadIdInt(),
                package.width, package.height);
        return TYX_PKG_ERR_SIZE;
    }
    if (package.pData && package.nLength > 0) {
        TYX_LOG(3, L"[Thread:%d] Blank frame refused: the package holds data already!", GetCurrentThreadIdInt());
        return TYX_PKG_ERR_OCCUPIED;
    }
    DropData(package);

    const bool inDevice = package.inDevice != 0;
    const auto luma = static_cast<size_t>(I420UOffset(package.width, package.height));
    const auto chroma = static_cast<size_t>(I420ChromaBytes(package.width, package.height));
    uint8_t *data = nullptr;
    if (inDevice) {
        void *device = nullptr;
        const GpuError error = DevPoolAlloc(&device, static_cast<size_t>(length));
        if (error != GPU_SUCCESS || !device) {
            TYX_LOG(2, L"Device memory allocating failed with err=%d!", error);
            HandleGPUCriticalError(error != GPU_SUCCESS ? error : GPU_ERROR_MEMORY_ALLOCATION,
                                   L"CreateBlankVideoFrame: allocation");
            return TYX_PKG_ERR_NO_BUFFER;
        }
        data = static_cast<uint8_t *>(device);
        // Every plane is filled even when an earlier one fails.
        bool filled = FillDevice(data, 0, color.y, luma);
        filled = FillDevice(data, luma, color.u, chroma) && filled;
        filled = FillDevice(data, luma + chroma, color.v, chroma) && filled;
        if (!filled) {
            ReleaseData(data, true);
            return TYX_PKG_ERR_COPY;
        }
    } else {
        data = AllocHostData(static_cast<int32_t>(length));
        if (!data) {
            TYX_LOG(2, L"Host memory allocating failed for a blank frame of %d bytes!", static_cast<int32_t>(length));
            return TYX_PKG_ERR_NO_BUFFER;
        }
        std::memset(data, color.y, luma);
        std::memset(data + luma, color.u, chroma);
        std::memset(data + luma + chroma, color.v, chroma);
    }
    package.pData = data;
    package.nLength = static_cast<int32_t>(length);
    return package.nLength;
}

int64_t FramePackageHostBlocks()
{
    return g_hostBlocks.load();
}
