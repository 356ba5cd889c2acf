// The frame-pipe message layout of a package.

#include "core/TYXUtils.h"

#include "core/FramePackage.h"
#include "core/debuglog.h"
#include "platform/GpuDevice.h"
#include "platform/Thread.h"

#include <cstring>
#include <type_traits>

namespace {

template <typename T>
void PutLittleEndian(uint8_t *at, T value)
{
    using Unsigned = std::make_unsigned_t<T>;
    const auto bits = static_cast<Unsigned>(value);
    for (size_t i = 0; i < sizeof(T); ++i)
        at[i] = static_cast<uint8_t>(bits >> (8 * i));
}

} // namespace

int32_t SerializeFramePackage(const FramePackage &package, int16_t messageType, std::vector<uint8_t> &out)
{
    // A header-only message would tell the client to read a negative length: never built.
    if (!package.pData || package.nLength <= 0)
        return -1;
    if (package.nLength > TYX_MAX_PACKAGE_BYTES) {
        TYX_LOG(3, L"[Thread:%d] Frame duplicating abort for Invalid Frame size[%d]!", GetCurrentThreadIdInt(),
                package.nLength);
        return -2;
    }
    const size_t length = static_cast<size_t>(package.nLength);
    out.resize(TYX_FRAME_MESSAGE_HEADER_BYTES + length);
    uint8_t *header = out.data();
    std::memset(header, 0, TYX_FRAME_MESSAGE_HEADER_BYTES);
    PutLittleEndian<int16_t>(header + 0, messageType);
    PutLittleEndian<int64_t>(header + 8, package.pts);
    PutLittleEndian<int64_t>(header + 16, package.dts);
    PutLittleEndian<uint32_t>(header + 24, static_cast<uint32_t>(static_cast<uint64_t>(package.duration)));
    PutLittleEndian<int32_t>(header + 28, package.flags);
    PutLittleEndian<int32_t>(header + 32, package.nLength);
    PutLittleEndian<uint16_t>(header + 36, package.width);
    PutLittleEndian<uint16_t>(header + 38, package.height);

    uint8_t *payload = header + TYX_FRAME_MESSAGE_HEADER_BYTES;
    if (!package.inDevice) {
        std::memcpy(payload, package.pData, length);
        return static_cast<int32_t>(out.size());
    }
    const GpuError error = DevMemcpy(payload, package.pData, length, EGpuCopyKind::DeviceToHost);
    if (error != GPU_SUCCESS) {
        TYX_LOG(3, L"[Thread:%d] GPU memory coping failed with error(%d) returned!", GetCurrentThreadIdInt(), error);
        HandleGPUCriticalError(error, L"SerializeFramePackage: copy to host");
        // The client would otherwise get whatever the buffer held before.
        out.clear();
        return -3;
    }
    return static_cast<int32_t>(out.size());
}
