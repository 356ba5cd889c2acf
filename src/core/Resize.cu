#include "core/Resize.h"

#include "core/I420Layout.h"
#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "platform/GpuKernel.h"
#include "platform/Thread.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

struct stScaleStep
{
    uint32_t high = 0; // bits 20 and up
    uint32_t low1 = 0; // bits 10..19
    uint32_t low0 = 0; // bits 0..9
};

// Fractional bits of sample positions and weights: 12 keep the result within one step of the exact
// filter, and the weighted sums within 32 bits (255 x 4096 x 4096 < 2^32).
constexpr int kFractionBits = 12;
constexpr uint32_t kOne = 1u << kFractionBits;

// Source position of a destination index, in source texels with kFractionBits fractional bits,
// measured from the centre of texel 0 (the texture unit's linear filter works between centres).
// (index * step) >> 20 is taken in 32-bit pieces, which vector units multiply and which give the
// 64-bit product's bits exactly: step = H * 2^20 + L1 * 2^10 + L0, and a position within a plane
// of at most 65535 texels fits in 28 bits.
TYX_HD TYX_FORCEINLINE int32_t SourcePosition(uint32_t index, const stScaleStep &step)
{
    const uint32_t fraction = (index * step.low1 + ((index * step.low0) >> 10)) >> 10;
    return static_cast<int32_t>(index * step.high + fraction) - static_cast<int32_t>(kOne / 2);
}

TYX_HD TYX_FORCEINLINE int32_t Clamp(int32_t value, int32_t last)
{
    return value < 0 ? 0 : (value > last ? last : value);
}

#if !defined(__CUDA_ARCH__)
// The calling thread's scratch line of at least count values: one blended source line.
uint32_t *ScaleLine(size_t count)
{
    thread_local std::vector<uint32_t> line;
    if (line.size() < count)
        line.resize(count);
    return line.data();
}
#endif

// One destination sample per thread; Channels bytes per sample (1 plane, 2 interleaved U,V). Rows
// are the destination lines. The host runs a line in two passes: the two source lines blended
// vertically into a line of sums, then each sample from two sums, by taps worked out once per
// plane. The sum of the four weighted texels is exact in 32 bits, so the order of the passes
// leaves the bytes as Item computes them; each pass takes (1 - a) * p + a * q as
// p * one + a * (q - p), in unsigned arithmetic whose wrap-around cancels, as the sum fits.
template <int Channels>
struct ScalePlane
{
    uint8_t *dst;
    int32_t dstPitch;
    uint32_t dstWidth;
    uint32_t dstHeight;
    const uint8_t *src;
    int32_t srcPitch;
    int32_t srcWidth;
    int32_t srcHeight;
    stScaleStep stepX; // source texels per destination sample
    stScaleStep stepY;
    // Host runs only, else null: per destination sample, the offset of its left texel in a source
    // line (right texel one sample on) and the right texel's weight.
    const uint32_t *tapX = nullptr;
    const uint32_t *weightX = nullptr;

    TYX_HD void operator()(const stKernelIndex &index) const { RunRowItem(*this, index); }

    TYX_HD TYX_FORCEINLINE stRowSpan RowSpan(uint32_t y, uint32_t) const
    {
        return {0, y < dstHeight ? dstWidth : 0};
    }

    TYX_HD TYX_FORCEINLINE void Item(uint32_t x, uint32_t y, uint32_t) const
    {
        const int32_t px = SourcePosition(x, stepX);
        const int32_t py = SourcePosition(y, stepY);
        const uint32_t ax = static_cast<uint32_t>(px) & (kOne - 1);
        const uint32_t ay = static_cast<uint32_t>(py) & (kOne - 1);
        const int32_t x0 = Clamp(px >> kFractionBits, srcWidth - 1);
        const int32_t x1 = Clamp((px >> kFractionBits) + 1, srcWidth - 1);
        const int32_t y0 = Clamp(py >> kFractionBits, srcHeight - 1);
        const int32_t y1 = Clamp((py >> kFractionBits) + 1, srcHeight - 1);
        const uint8_t *row0 = src + static_cast<int64_t>(y0) * srcPitch;
        const uint8_t *row1 = src + static_cast<int64_t>(y1) * srcPitch;
        uint8_t *out = dst + static_cast<int64_t>(y) * dstPitch + static_cast<int64_t>(x) * Channels;
#if defined(__CUDA_ARCH__)
#pragma unroll
#endif
        for (int c = 0; c < Channels; ++c) {
            const uint32_t top = (kOne - ax) * row0[x0 * Channels + c] + ax * row0[x1 * Channels + c];
            const uint32_t bottom = (kOne - ax) * row1[x0 * Channels + c] + ax * row1[x1 * Channels + c];
            out[c] = static_cast<uint8_t>(((kOne - ay) * top + ay * bottom) >> (2 * kFractionBits));
        }
    }

#if !defined(__CUDA_ARCH__)
    TYX_FORCEINLINE void HostRow(uint32_t y, uint32_t z, uint32_t begin, uint32_t end) const
    {
        if (!tapX || !weightX) {
            for (uint32_t x = begin; x < end; ++x)
                Item(x, y, z);
            return;
        }
        const int32_t py = SourcePosition(y, stepY);
        const uint32_t ay = static_cast<uint32_t>(py) & (kOne - 1);
        const int32_t y0 = Clamp(py >> kFractionBits, srcHeight - 1);
        const int32_t y1 = Clamp((py >> kFractionBits) + 1, srcHeight - 1);
        const uint8_t *__restrict__ row0 = src + static_cast<int64_t>(y0) * srcPitch;
        const uint8_t *__restrict__ row1 = src + static_cast<int64_t>(y1) * srcPitch;
        const uint32_t samples = static_cast<uint32_t>(srcWidth) * Channels;
        // One sample more than the line: the right texel of the last, weighted 0.
        uint32_t *__restrict__ line = ScaleLine(samples + Channels);
        for (int64_t i = 0; i < static_cast<int64_t>(samples); ++i)
            line[i] = (uint32_t{row0[i]} << kFractionBits) + ay * (uint32_t{row1[i]} - row0[i]);
        for (uint32_t c = 0; c < Channels; ++c)
            line[samples + c] = 0;
        const uint32_t *__restrict__ taps = tapX;
        const uint32_t *__restrict__ weights = weightX;
        uint8_t *out = dst + static_cast<int64_t>(y) * dstPitch;
        // Samples go to a local block first: stores there cannot touch the line or the taps, so
        // the loop vectorises (both texels in one load, an emulated gather) without alias checks.
        constexpr int64_t kBlock = 64;
        uint8_t block[kBlock * Channels];
        for (int64_t first = begin; first < static_cast<int64_t>(end); first += kBlock) {
            const int64_t count = std::min(kBlock, static_cast<int64_t>(end) - first);
            for (int64_t i = 0; i < count; ++i) {
                const uint32_t ax = weights[first + i];
                // The left and right texels in 8-byte loads, which the vectoriser gathers: both
                // of a plane in one, or the U,V pair of each for interleaved chroma.
                uint64_t word = 0;
                std::memcpy(&word, line + taps[first + i], sizeof(word));
                uint32_t left[Channels];
                uint32_t right[Channels];
                if constexpr (Channels == 1) {
                    left[0] = static_cast<uint32_t>(word);
                    right[0] = static_cast<uint32_t>(word >> 32);
                } else {
                    uint64_t pair = 0;
                    std::memcpy(&pair, line + taps[first + i] + Channels, sizeof(pair));
                    left[0] = static_cast<uint32_t>(word);
                    left[1] = static_cast<uint32_t>(word >> 32);
                    right[0] = static_cast<uint32_t>(pair);
                    right[1] = static_cast<uint32_t>(pair >> 32);
                }
                for (uint32_t c = 0; c < Channels; ++c) {
                    const uint32_t sum = (left[c] << kFractionBits) + ax * (right[c] - left[c]);
                    block[i * Channels + c] = static_cast<uint8_t>(sum >> (2 * kFractionBits));
                }
            }
            // A whole block in a copy of constant size, which compiles to a few vector moves.
            if (count == kBlock)
                std::memcpy(out + first * Channels, block, sizeof(block));
            else
                std::memcpy(out + first * Channels, block, static_cast<size_t>(count * Channels));
        }
    }
#endif
};

// The host's horizontal taps of a plane (ScalePlane::tapX, weightX). Where both texels clamp to the
// same one, that one takes the whole weight: the same sum.
struct stScaleTaps
{
    std::vector<uint32_t> taps;
    std::vector<uint32_t> weights;

    stScaleTaps(const stScaleStep &step, int32_t srcWidth, int32_t dstWidth, int32_t channels)
        : taps(static_cast<size_t>(dstWidth)), weights(static_cast<size_t>(dstWidth))
    {
        for (int32_t x = 0; x < dstWidth; ++x) {
            const int32_t px = SourcePosition(static_cast<uint32_t>(x), step);
            const int32_t x0 = Clamp(px >> kFractionBits, srcWidth - 1);
            const int32_t x1 = Clamp((px >> kFractionBits) + 1, srcWidth - 1);
            taps[static_cast<size_t>(x)] = static_cast<uint32_t>(x0 * channels);
            weights[static_cast<size_t>(x)] = x1 == x0 ? 0 : static_cast<uint32_t>(px) & (kOne - 1);
        }
    }
};

// Source texels per destination sample with 32 fractional bits, in the pieces SourcePosition takes.
stScaleStep Step(int32_t source, int32_t destination)
{
    const uint64_t step = (static_cast<uint64_t>(source) << 32) / static_cast<uint64_t>(destination);
    stScaleStep pieces;
    pieces.high = static_cast<uint32_t>(step >> 20);
    pieces.low1 = static_cast<uint32_t>((step >> 10) & 0x3FF);
    pieces.low0 = static_cast<uint32_t>(step & 0x3FF);
    return pieces;
}

bool ValidPlane(const void *plane, int32_t pitch, int32_t width, int32_t height, int32_t channels)
{
    return plane && width > 0 && height > 0 && width <= 65535 && height <= 65535 &&
           static_cast<int64_t>(pitch) >= static_cast<int64_t>(width) * channels;
}

template <int Channels>
GpuError LaunchScale(bool onHost, uint8_t *dst, int32_t dstPitch, int32_t dstWidth, int32_t dstHeight,
                     const uint8_t *src, int32_t srcPitch, int32_t srcWidth, int32_t srcHeight)
{
    ScalePlane<Channels> body{dst,      dstPitch,  static_cast<uint32_t>(dstWidth), static_cast<uint32_t>(dstHeight),
                              src,      srcPitch,  srcWidth,
                              srcHeight, Step(srcWidth, dstWidth), Step(srcHeight, dstHeight)};
    const stDim3 grid = ScaleGridSize(static_cast<uint32_t>(dstWidth), static_cast<uint32_t>(dstHeight));
    const stDim3 block{TYX_SCALE_BLOCK, TYX_SCALE_BLOCK, 1};
    // The launch is done when it returns on the host, so the taps live long enough.
    const bool hostRuns = onHost || DevBackend() != EGpuBackend::Cuda;
    const stScaleTaps taps(body.stepX, hostRuns ? srcWidth : 1, hostRuns ? dstWidth : 0, Channels);
    if (hostRuns) {
        body.tapX = taps.taps.data();
        body.weightX = taps.weights.data();
    }
    if (onHost)
        return LaunchKernelOnHost(grid, block, body);

    const GpuError pending = DevGetLastError();
    if (pending != GPU_SUCCESS)
        TYX_LOG(3, L"[Thread:%d]Cuda Error(%d) occured before scaling kernel !", GetCurrentThreadIdInt(), pending);
    const GpuError error = LaunchKernel(grid, block, nullptr, body);
    if (error != GPU_SUCCESS) {
        TYX_LOG(3, L"[Thread:%d]Cuda Error(%d) occured in scaling kernel!", GetCurrentThreadIdInt(), error);
        TYX_LOG(3, L"[Thread:%d]While gridSize=(%d,%d,%d) and blockSize=(%d,%d,%d)!", GetCurrentThreadIdInt(),
                grid.x, grid.y, grid.z, block.x, block.y, block.z);
        HandleGPUCriticalError(error, L"ScaleKernelLaunch");
    }
    return error;
}

// One plane, not waited for; 0 or a positive GPU error.
GpuError ScalePlaneAsync(bool onHost, uint8_t *dst, int32_t dstPitch, int32_t dstWidth, int32_t dstHeight,
                         const uint8_t *src, int32_t srcPitch, int32_t srcWidth, int32_t srcHeight, bool interleaved)
{
    const int32_t channels = interleaved ? 2 : 1;
    if (!ValidPlane(dst, dstPitch, dstWidth, dstHeight, channels) ||
        !ValidPlane(src, srcPitch, srcWidth, srcHeight, channels)) {
        TYX_LOG(3, L"[Thread:%d]Scaling refused for plane %dx%d (pitch %d) to %dx%d (pitch %d)!",
                GetCurrentThreadIdInt(), srcWidth, srcHeight, srcPitch, dstWidth, dstHeight, dstPitch);
        return GPU_ERROR_INVALID_VALUE;
    }
    if (interleaved)
        return LaunchScale<2>(onHost, dst, dstPitch, dstWidth, dstHeight, src, srcPitch, srcWidth, srcHeight);
    return LaunchScale<1>(onHost, dst, dstPitch, dstWidth, dstHeight, src, srcPitch, srcWidth, srcHeight);
}

GpuError WaitForScaling(bool onHost)
{
    if (onHost)
        return GPU_SUCCESS;
    const GpuError error = DevStreamSynchronize(nullptr);
    if (error != GPU_SUCCESS) {
        TYX_LOG(3, L"[Thread:%d]Cuda Error(%d) occured in scaling kernel!", GetCurrentThreadIdInt(), error);
        HandleGPUCriticalError(error, L"ScaleKernelLaunch: synchronise");
    }
    return error;
}

int32_t ScaleYuv420(bool onHost, uint8_t *dstY, uint8_t *dstU, uint8_t *dstV, int32_t dstLumaPitch,
                    int32_t dstChromaPitch, int32_t dstWidth, int32_t dstHeight, const uint8_t *srcY,
                    const uint8_t *srcU, const uint8_t *srcV, int32_t srcLumaPitch, int32_t srcChromaPitch,
                    int32_t srcWidth, int32_t srcHeight, bool semiPlanar)
{
    // Every plane is tried; the first failure is the result.
    GpuError first = ScalePlaneAsync(onHost, dstY, dstLumaPitch, dstWidth, dstHeight, srcY, srcLumaPitch, srcWidth,
                                     srcHeight, false);
    const auto chromaDstWidth = static_cast<int32_t>(I420ChromaWidth(dstWidth));
    const auto chromaDstHeight = static_cast<int32_t>(I420ChromaHeight(dstHeight));
    const auto chromaSrcWidth = static_cast<int32_t>(I420ChromaWidth(srcWidth));
    const auto chromaSrcHeight = static_cast<int32_t>(I420ChromaHeight(srcHeight));
    auto chroma = [&](uint8_t *dst, const uint8_t *src, bool interleaved) {
        const GpuError error = ScalePlaneAsync(onHost, dst, dstChromaPitch, chromaDstWidth, chromaDstHeight, src,
                                               srcChromaPitch, chromaSrcWidth, chromaSrcHeight, interleaved);
        if (first == GPU_SUCCESS)
            first = error;
    };
    if (semiPlanar) {
        chroma(dstU, srcU, true);
    } else {
        chroma(dstU, srcU, false);
        chroma(dstV, srcV, false);
    }
    const GpuError waited = WaitForScaling(onHost);
    if (first == GPU_SUCCESS)
        first = waited;
    return -first;
}

} // namespace

int32_t ScaleKernelLaunch(uint8_t *dst, int32_t dstPitch, int32_t dstWidth, int32_t dstHeight, const uint8_t *src,
                          int32_t srcPitch, int32_t srcWidth, int32_t srcHeight, bool interleaved)
{
    GpuError error =
        ScalePlaneAsync(false, dst, dstPitch, dstWidth, dstHeight, src, srcPitch, srcWidth, srcHeight, interleaved);
    const GpuError waited = WaitForScaling(false);
    if (error == GPU_SUCCESS)
        error = waited;
    return -error;
}

int32_t ScaleYuv420InDvc(uint8_t *dstY, uint8_t *dstU, uint8_t *dstV, int32_t dstLumaPitch, int32_t dstChromaPitch,
                         int32_t dstWidth, int32_t dstHeight, const uint8_t *srcY, const uint8_t *srcU,
                         const uint8_t *srcV, int32_t srcLumaPitch, int32_t srcChromaPitch, int32_t srcWidth,
                         int32_t srcHeight, bool semiPlanar)
{
    return ScaleYuv420(false, dstY, dstU, dstV, dstLumaPitch, dstChromaPitch, dstWidth, dstHeight, srcY, srcU, srcV,
                       srcLumaPitch, srcChromaPitch, srcWidth, srcHeight, semiPlanar);
}

int32_t ScaleYuv420OnHost(uint8_t *dstY, uint8_t *dstU, uint8_t *dstV, int32_t dstLumaPitch, int32_t dstChromaPitch,
                          int32_t dstWidth, int32_t dstHeight, const uint8_t *srcY, const uint8_t *srcU,
                          const uint8_t *srcV, int32_t srcLumaPitch, int32_t srcChromaPitch, int32_t srcWidth,
                          int32_t srcHeight, bool semiPlanar)
{
    return ScaleYuv420(true, dstY, dstU, dstV, dstLumaPitch, dstChromaPitch, dstWidth, dstHeight, srcY, srcU, srcV,
                       srcLumaPitch, srcChromaPitch, srcWidth, srcHeight, semiPlanar);
}
