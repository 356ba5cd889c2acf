#pragma once

// Pixel-format conversions of pictures in device memory: I420 <-> NV12 in place and NV12 -> BGRA32.
// Each returns after the work is done or has failed, with 0 or the GPU error of the first failed
// call (GPU_ERROR_INVALID_VALUE for a null picture or a size that cannot be converted).

#include "platform/GpuDevice.h"

#include <cstdint>

// Rows give R, G and B from (Y - black, U - 128, V - 128).
struct stYuvToRgbMatrix
{
    float m[3][3] = {};
};

// Colour standards as the decoder's video signal description gives them.
constexpr int32_t TYX_COLOR_STANDARD_BT601 = 6;
constexpr int32_t TYX_COLOR_STANDARD_BT2020 = 9;

// The matrix of a colour standard: BT.601 for 6, BT.2020 for 9, BT.709 for any other.
stYuvToRgbMatrix SelectYuvToRgbMatrix(int32_t colourStandard);

// I420 (contiguous, core/I420Layout.h) to NV12 in place, pitch = width. The chroma rows of an odd
// width have no room for the last column's pair: the row's last byte is 128.
GpuError ConvertPlanarToSemiplanarInDvc(uint8_t *picture, int32_t width, int32_t height);

// NV12 with the given pitch (0 = width; the chroma plane follows height lines of it, its rows
// rounded up) to I420 in place. The result is always a contiguous I420 picture (core/I420Layout.h)
// at the start of the buffer, which must hold it: for an odd width it is longer than NV12 of pitch
// = width, whose rows lack the last column's pair (that column then repeats the one before).
GpuError ConvertSemiplanarToPlanarInDvc(uint8_t *picture, int32_t width, int32_t height, int32_t pitch);

// NV12 (chroma plane after height lines of srcPitch) to 32-bit pixels B, G, R, 0. Pixels are
// converted in 2 x 2 blocks, so an odd last column or row is left as it was.
GpuError Nv12ToBgra32InDvc(const uint8_t *nv12, int32_t srcPitch, uint8_t *bgra, int32_t dstPitch, int32_t width,
                           int32_t height, int32_t colourStandard);

// A contiguous I420 picture (pitch = width; odd sizes have their chroma planes rounded up) to 32-bit
// pixels B, G, R, 0, every pixel of it.
GpuError I420ToBgra32InDvc(const uint8_t *i420, int32_t width, int32_t height, uint8_t *bgra, int32_t dstPitch,
                           int32_t colourStandard);
