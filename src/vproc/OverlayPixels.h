#pragma once

// Pixel access shared by the overlay kernels and their host loops (text, graphics, geometry); read by
// nvcc and g++ alike. Every write is bounded to the picture: overlays placed for another frame size,
// or reaching past an edge, are cut at the edge instead of running into the next row or plane.

#include "core/I420Layout.h"
#include "core/VideoFrameInfo.h"
#include "platform/GpuKernelDefs.h"

#include <cmath>
#include <cstdint>

// The planes of one contiguous I420 picture as the overlay code sees it.
struct stOverlayPlanes
{
    uint8_t *pY = nullptr;
    uint8_t *pU = nullptr;
    uint8_t *pV = nullptr;
    int32_t width = 0;
    int32_t height = 0;
    int32_t lumaPitch = 0;
    int32_t chromaPitch = 0;
};

// A pitch of 0 becomes the width (luma) or half of it, rounded up (chroma); the chroma planes
// follow the luma plane in the layout of core/I420Layout.h: U after height luma lines, V after the
// chroma rows of U.
TYX_HD TYX_FORCEINLINE stOverlayPlanes MakeOverlayPlanes(const stVideoFrameInfo &frame)
{
    stOverlayPlanes planes;
    planes.width = frame.width;
    planes.height = frame.height;
    planes.lumaPitch = frame.lumaPitch > 0 ? frame.lumaPitch : frame.width;
    planes.chromaPitch = frame.chromaPitch > 0 ? frame.chromaPitch : static_cast<int32_t>(I420ChromaPitch(frame.width));
    planes.pY = frame.pY;
    if (planes.pY) {
        const int64_t lumaBytes = static_cast<int64_t>(planes.height) * planes.lumaPitch;
        planes.pU = planes.pY + lumaBytes;
        planes.pV = planes.pU + I420ChromaHeight(planes.height) * planes.chromaPitch;
    }
    return planes;
}

// The record of an overlay slot's frame: its geometry as the slot keeps it, in a buffer of size bytes.
inline stVideoFrameInfo OverlayFrameInfo(int32_t width, int32_t height, int32_t lumaPitch, int32_t chromaPitch,
                                         uint8_t *data, int32_t size, bool inDevice)
{
    stVideoFrameInfo info;
    info.width = static_cast<uint16_t>(width);
    info.height = static_cast<uint16_t>(height);
    info.lumaPitch = static_cast<uint16_t>(lumaPitch);
    info.chromaPitch = static_cast<uint16_t>(chromaPitch);
    info.size = size;
    info.pY = data;
    info.inDevice = inDevice;
    return info;
}

// Bytes a picture of that geometry needs, up to the end of its V plane.
TYX_HD TYX_FORCEINLINE int64_t OverlayFrameBytes(const stOverlayPlanes &planes)
{
    const int64_t lumaBytes = static_cast<int64_t>(planes.height) * planes.lumaPitch;
    return lumaBytes + 2 * I420ChromaHeight(planes.height) * planes.chromaPitch;
}

// Chroma samples of a row and rows of the chroma planes; an odd last column or row has its own.
TYX_HD TYX_FORCEINLINE int32_t OverlayChromaWidth(const stOverlayPlanes &planes)
{
    const auto width = static_cast<int32_t>(I420ChromaWidth(planes.width));
    return width < planes.chromaPitch ? width : planes.chromaPitch;
}

TYX_HD TYX_FORCEINLINE int32_t OverlayChromaHeight(const stOverlayPlanes &planes)
{
    return static_cast<int32_t>(I420ChromaHeight(planes.height));
}

TYX_HD TYX_FORCEINLINE bool IsInsideLuma(const stOverlayPlanes &planes, int32_t x, int32_t y)
{
    return x >= 0 && y >= 0 && x < planes.width && y < planes.height && x < planes.lumaPitch;
}

// Chroma sample (cx, cy) of the picture.
TYX_HD TYX_FORCEINLINE bool IsInsideChroma(const stOverlayPlanes &planes, int32_t cx, int32_t cy)
{
    return cx >= 0 && cy >= 0 && cx < OverlayChromaWidth(planes) && cy < OverlayChromaHeight(planes);
}

TYX_HD TYX_FORCEINLINE void PutLuma(const stOverlayPlanes &planes, int32_t x, int32_t y, uint8_t value)
{
    if (IsInsideLuma(planes, x, y))
        planes.pY[static_cast<int64_t>(y) * planes.lumaPitch + x] = value;
}

// Writes the chroma sample under luma pixel (x, y).
TYX_HD TYX_FORCEINLINE void PutChromaAt(const stOverlayPlanes &planes, int32_t x, int32_t y, const stColorYuv &color)
{
    if (x < 0 || y < 0)
        return;
    const int32_t cx = x / 2;
    const int32_t cy = y / 2;
    if (!IsInsideChroma(planes, cx, cy))
        return;
    const int64_t offset = static_cast<int64_t>(cy) * planes.chromaPitch + cx;
    planes.pU[offset] = color.u;
    planes.pV[offset] = color.v;
}

TYX_HD TYX_FORCEINLINE void PutPixel(const stOverlayPlanes &planes, int32_t x, int32_t y, const stColorYuv &color)
{
    PutLuma(planes, x, y, color.y);
    PutChromaAt(planes, x, y, color);
}

// Rounds half away from zero, as roundf does, without a library call, so that the host loops keep
// it inline (and may vectorise it): value - trunc(value) is exact below 2^23, where floats still
// have a fraction.
TYX_HD TYX_FORCEINLINE float RoundHalfAway(float value)
{
    if (!(value > -8388608.0f && value < 8388608.0f))
        return value;
    const float whole = static_cast<float>(static_cast<int32_t>(value));
    const float fraction = value - whole;
    return fraction >= 0.5f ? whole + 1.0f : (fraction <= -0.5f ? whole - 1.0f : whole);
}

// False for NaN and infinities; float-to-int conversion of those is undefined.
TYX_HD TYX_FORCEINLINE bool IsFiniteValue(float value)
{
    return value == value && value - value == 0.0f;
}

TYX_HD TYX_FORCEINLINE uint8_t ClampToByte(int32_t value)
{
    return static_cast<uint8_t>(value < 0 ? 0 : (value > 255 ? 255 : value));
}
