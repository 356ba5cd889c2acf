#pragma once

// The one I420 layout of the system; read by nvcc and g++ alike. A picture of width x height has a Y
// plane of width x height bytes, then U and V planes of chroma width x chroma height bytes each,
// the chroma sizes rounded up: the odd last column or row of an odd size has chroma samples of its
// own, as libavcodec, capture sources and the scaler make them. Even sizes come to
// width x height x 3 / 2 bytes. Pitched pictures have a chroma pitch of the luma pitch rounded up
// by the same rule, U after height luma lines and V after chroma height lines of U.

#include "platform/GpuKernelDefs.h"

#include <cstdint>

TYX_HD TYX_FORCEINLINE int64_t I420ChromaWidth(int64_t width)
{
    return (width + 1) / 2;
}

TYX_HD TYX_FORCEINLINE int64_t I420ChromaHeight(int64_t height)
{
    return (height + 1) / 2;
}

// The chroma pitch that goes with a luma pitch.
TYX_HD TYX_FORCEINLINE int64_t I420ChromaPitch(int64_t lumaPitch)
{
    return I420ChromaWidth(lumaPitch);
}

TYX_HD TYX_FORCEINLINE int64_t I420ChromaBytes(int64_t width, int64_t height)
{
    return I420ChromaWidth(width) * I420ChromaHeight(height);
}

TYX_HD TYX_FORCEINLINE int64_t I420UOffset(int64_t width, int64_t height)
{
    return width * height;
}

TYX_HD TYX_FORCEINLINE int64_t I420VOffset(int64_t width, int64_t height)
{
    return width * height + I420ChromaBytes(width, height);
}

// Bytes of a contiguous picture (pitch = width).
TYX_HD TYX_FORCEINLINE int64_t I420Size(int64_t width, int64_t height)
{
    return width * height + 2 * I420ChromaBytes(width, height);
}

// The same as a package length: 0 for an empty size, -1 for one past what a length can hold.
inline int32_t I420Length(int32_t width, int32_t height)
{
    if (width <= 0 || height <= 0)
        return 0;
    const int64_t size = I420Size(width, height);
    return size <= INT32_MAX ? static_cast<int32_t>(size) : -1;
}
