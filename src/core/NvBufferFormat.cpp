#include "core/NvBufferFormat.h"

#include "core/I420Layout.h"

namespace {

enum class EFamily { Unknown, Nv12, Planar420, Yuv444, P010, Yuv444_10, Packed };

EFamily Family(uint32_t format)
{
    switch (format) {
    case TYX_NV_BUFFER_FORMAT_NV12: return EFamily::Nv12;
    case TYX_NV_BUFFER_FORMAT_YV12:
    case TYX_NV_BUFFER_FORMAT_IYUV: return EFamily::Planar420;
    case TYX_NV_BUFFER_FORMAT_YUV444: return EFamily::Yuv444;
    case TYX_NV_BUFFER_FORMAT_YUV420_10BIT: return EFamily::P010;
    case TYX_NV_BUFFER_FORMAT_YUV444_10BIT: return EFamily::Yuv444_10;
    case TYX_NV_BUFFER_FORMAT_ARGB:
    case TYX_NV_BUFFER_FORMAT_ARGB10:
    case TYX_NV_BUFFER_FORMAT_AYUV:
    case TYX_NV_BUFFER_FORMAT_ABGR:
    case TYX_NV_BUFFER_FORMAT_ABGR10: return EFamily::Packed;
    default: return EFamily::Unknown;
    }
}

} // namespace

bool IsKnownNvBufferFormat(uint32_t format)
{
    return Family(format) != EFamily::Unknown;
}

std::optional<uint32_t> NvBufferWidthInBytes(uint32_t format, uint32_t width)
{
    switch (Family(format)) {
    case EFamily::Nv12:
    case EFamily::Planar420:
    case EFamily::Yuv444: return width;
    case EFamily::P010:
    case EFamily::Yuv444_10: return width * 2;
    case EFamily::Packed: return width * 4;
    case EFamily::Unknown: break;
    }
    return std::nullopt;
}

std::optional<uint32_t> NvBufferNumChromaPlanes(uint32_t format)
{
    switch (Family(format)) {
    case EFamily::Nv12:
    case EFamily::P010: return 1u;
    case EFamily::Planar420:
    case EFamily::Yuv444:
    case EFamily::Yuv444_10: return 2u;
    case EFamily::Packed: return 0u;
    case EFamily::Unknown: break;
    }
    return std::nullopt;
}

std::optional<uint32_t> NvBufferChromaPitch(uint32_t format, uint32_t lumaPitch)
{
    switch (Family(format)) {
    case EFamily::Nv12:
    case EFamily::P010:
    case EFamily::Yuv444:
    case EFamily::Yuv444_10: return lumaPitch;
    case EFamily::Planar420: return static_cast<uint32_t>(I420ChromaPitch(lumaPitch));
    case EFamily::Packed: return 0u;
    case EFamily::Unknown: break;
    }
    return std::nullopt;
}

std::optional<uint32_t> NvBufferChromaHeight(uint32_t format, uint32_t lumaHeight)
{
    switch (Family(format)) {
    case EFamily::Nv12:
    case EFamily::P010:
    case EFamily::Planar420: return static_cast<uint32_t>(I420ChromaHeight(lumaHeight));
    case EFamily::Yuv444:
    case EFamily::Yuv444_10: return lumaHeight;
    case EFamily::Packed: return 0u;
    case EFamily::Unknown: break;
    }
    return std::nullopt;
}

std::optional<uint32_t> NvBufferChromaWidthInBytes(uint32_t format, uint32_t lumaWidth)
{
    switch (Family(format)) {
    case EFamily::Nv12:
    case EFamily::Yuv444: return lumaWidth;
    case EFamily::P010:
    case EFamily::Yuv444_10: return lumaWidth * 2;
    case EFamily::Planar420: return static_cast<uint32_t>(I420ChromaWidth(lumaWidth));
    case EFamily::Packed: return 0u;
    case EFamily::Unknown: break;
    }
    return std::nullopt;
}

std::optional<std::vector<uint32_t>> NvBufferChromaSubPlaneOffsets(uint32_t format, uint32_t pitch, uint32_t height)
{
    const uint32_t luma = pitch * height;
    switch (Family(format)) {
    case EFamily::Nv12:
    case EFamily::P010: return std::vector<uint32_t>{luma};
    case EFamily::Planar420: {
        const uint32_t chroma = *NvBufferChromaPitch(format, pitch) * *NvBufferChromaHeight(format, height);
        return std::vector<uint32_t>{luma, luma + chroma};
    }
    case EFamily::Yuv444:
    case EFamily::Yuv444_10: return std::vector<uint32_t>{luma, 2 * luma};
    case EFamily::Packed: return std::vector<uint32_t>{};
    case EFamily::Unknown: break;
    }
    return std::nullopt;
}
