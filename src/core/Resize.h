#pragma once

#include "platform/GpuKernelDefs.h"

#include <cstdint>

// Bilinear scaling of 8-bit planes and of whole 4:2:0 pictures in device memory. Sampling follows
// the GPU texture unit with linear filtering: destination pixel x reads the source at x * sw / dw
// in texel units (no half-texel offset), between the texels whose centres surround it, edges
// clamped; the result is truncated. It is computed in integers (12-bit fractions), so the CUDA and
// the host backend give the same bytes.
//
// Results: 0, or the first GPU error as a negative number; failures are logged and reported to
// HandleGPUCriticalError. The work is done when a function returns. Any thread may call.

// Scales one plane: width counts pixels, or byte pairs when interleaved (NV12-style U,V chroma).
int32_t ScaleKernelLaunch(uint8_t *dst, int32_t dstPitch, int32_t dstWidth, int32_t dstHeight, const uint8_t *src,
                          int32_t srcPitch, int32_t srcWidth, int32_t srcHeight, bool interleaved);

// Scales a 4:2:0 picture plane by plane: luma, then the chroma planes at half the sizes rounded up
// (U then V, or the one interleaved plane addressed by the U pointers when semiPlanar is set).
int32_t ScaleYuv420InDvc(uint8_t *dstY, uint8_t *dstU, uint8_t *dstV, int32_t dstLumaPitch, int32_t dstChromaPitch,
                         int32_t dstWidth, int32_t dstHeight, const uint8_t *srcY, const uint8_t *srcU,
                         const uint8_t *srcV, int32_t srcLumaPitch, int32_t srcChromaPitch, int32_t srcWidth,
                         int32_t srcHeight, bool semiPlanar = false);

// The same computation on host memory whatever the backend: the reference for tests and benchmarks.
int32_t ScaleYuv420OnHost(uint8_t *dstY, uint8_t *dstU, uint8_t *dstV, int32_t dstLumaPitch, int32_t dstChromaPitch,
                          int32_t dstWidth, int32_t dstHeight, const uint8_t *srcY, const uint8_t *srcU,
                          const uint8_t *srcV, int32_t srcLumaPitch, int32_t srcChromaPitch, int32_t srcWidth,
                          int32_t srcHeight, bool semiPlanar = false);

// Blocks of 32 x 32 threads, one per destination pixel (or pair).
constexpr uint32_t TYX_SCALE_BLOCK = 32;
TYX_HD TYX_FORCEINLINE stDim3 ScaleGridSize(uint32_t dstWidth, uint32_t dstHeight)
{
    stDim3 grid;
    grid.x = DivUp(dstWidth == 0 ? 1 : dstWidth, TYX_SCALE_BLOCK);
    grid.y = DivUp(dstHeight == 0 ? 1 : dstHeight, TYX_SCALE_BLOCK);
    return grid;
}
