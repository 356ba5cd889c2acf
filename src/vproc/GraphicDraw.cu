#include "vproc/GraphicDraw.h"

#include "vproc/OverlayLaunch.h"
#include "vproc/OverlayPixels.h"

#include <algorithm>

namespace {

TYX_HD TYX_FORCEINLINE int32_t ToByteRounded(float value)
{
    return ClampToByte(static_cast<int32_t>(RoundHalfAway(value < -1.0f ? -1.0f : (value > 256.0f ? 256.0f : value))));
}

#if !defined(__CUDA_ARCH__)
// ToByteRounded for the values of the blend (sums of bytes and chroma products, well inside
// +-2^23): rounding before the clamp gives the same byte as clamping first, and without a float
// clamp or branches the host loops vectorise.
TYX_FORCEINLINE int32_t ToByteRoundedHost(float value)
{
    const auto whole = static_cast<int32_t>(value);
    const float fraction = value - static_cast<float>(whole);
    const int32_t rounded = whole + static_cast<int32_t>(fraction >= 0.5f) - static_cast<int32_t>(fraction <= -0.5f);
    return std::min(std::max(rounded, 0), 255);
}
#endif

// Frame YUV to RGB (full range), each channel rounded and clamped.
struct stBlendRgb
{
    int32_t r = 0;
    int32_t g = 0;
    int32_t b = 0;
};

// One thread per 2 x 2 block of the frame that the image touches, so that one thread owns the
// block's chroma sample: all four pixels blend from the frame's original samples, and the sample
// takes the blend of the block's first drawn pixel (row by row), whichever of them the image
// covers. A pixel outside the image or the frame, or fully transparent, is left alone.
struct DrawGraphicOnFrameDvc
{
    stOverlayPlanes planes;
    stGraphicInfo graphic;
    uint32_t blocksWide = 0; // blocks of the frame the image spans
    uint32_t blocksHigh = 0;

    TYX_HD void operator()(const stKernelIndex &index) const { RunRowItem(*this, index); }

    TYX_HD TYX_FORCEINLINE stRowSpan RowSpan(uint32_t by, uint32_t) const
    {
        return {0, by < blocksHigh ? blocksWide : 0};
    }

    // A thread blends four pixels; the host's row loop (HostRow) does them in vector code.
    uint64_t HostCost() const { return 8; }

    TYX_HD TYX_FORCEINLINE void Item(uint32_t bx, uint32_t by, uint32_t) const
    {
        const int32_t left = (graphic.X / 2 + static_cast<int32_t>(bx)) * 2;
        const int32_t top = (graphic.Y / 2 + static_cast<int32_t>(by)) * 2;
        const int32_t cx = left / 2;
        const int32_t cy = top / 2;
        const bool hasChroma = IsInsideChroma(planes, cx, cy);
        const int64_t chromaOffset = static_cast<int64_t>(cy) * planes.chromaPitch + cx;
        const float fu = hasChroma ? static_cast<float>(planes.pU[chromaOffset]) - 128.0f : 0.0f;
        const float fv = hasChroma ? static_cast<float>(planes.pV[chromaOffset]) - 128.0f : 0.0f;
        bool chromaDone = false;
        for (int32_t dy = 0; dy < 2; ++dy) {
            for (int32_t dx = 0; dx < 2; ++dx) {
                stBlendRgb rgb;
                if (!BlendPixel(left + dx, top + dy, fu, fv, rgb))
                    continue;
                if (hasChroma && !chromaDone) {
                    const float rf = static_cast<float>(rgb.r), gf = static_cast<float>(rgb.g),
                                bf = static_cast<float>(rgb.b);
                    planes.pU[chromaOffset] =
                        static_cast<uint8_t>(ToByteRounded(-0.1687f * rf - 0.3313f * gf + 0.5f * bf + 128.0f));
                    planes.pV[chromaOffset] =
                        static_cast<uint8_t>(ToByteRounded(0.5f * rf - 0.4187f * gf - 0.0813f * bf + 128.0f));
                    chromaDone = true;
                }
            }
        }
    }

#if !defined(__CUDA_ARCH__)
    // The blocks [begin, end) of block row by, in chunks: each frame row's luma in one loop over its
    // pixels (the same float steps as BlendPixel, with the block's chroma products worked out once),
    // then each block's chroma from its first drawn pixel. The same bytes as Item.
    TYX_FORCEINLINE void HostRow(uint32_t by, uint32_t, uint32_t begin, uint32_t end) const
    {
        for (uint32_t first = begin; first < end; first += kHostChunk)
            HostChunk(by, first, std::min(kHostChunk, end - first));
    }

    static constexpr uint32_t kHostChunk = 64; // blocks

    // The blended RGB of a chunk's pixels in both frame rows, and whether each was drawn.
    struct stHostChunk
    {
        int32_t r[2][2 * kHostChunk];
        int32_t g[2][2 * kHostChunk];
        int32_t b[2][2 * kHostChunk];
        uint8_t drawn[2][2 * kHostChunk];
        // Per pixel, the products of its block's original chroma that the YUV to RGB steps add.
        float vRed[2 * kHostChunk];
        float uGreen[2 * kHostChunk];
        float vGreen[2 * kHostChunk];
        float uBlue[2 * kHostChunk];
    };

    TYX_FORCEINLINE void HostChunk(uint32_t by, uint32_t first, uint32_t count) const
    {
        stHostChunk chunk;
        const int32_t top = (graphic.Y / 2 + static_cast<int32_t>(by)) * 2;
        const int32_t left = (graphic.X / 2 + static_cast<int32_t>(first)) * 2;
        const int32_t cy = top / 2;
        // The chunk's blocks [from, to) that have a chroma sample; the others blend with 0, as Item.
        const int32_t chromaEnd = OverlayChromaWidth(planes);
        const bool chromaRow = cy >= 0 && cy < OverlayChromaHeight(planes);
        const int32_t from = chromaRow ? std::clamp(-left / 2, 0, static_cast<int32_t>(count)) : 0;
        const int32_t to = chromaRow ? std::clamp(chromaEnd - left / 2, from, static_cast<int32_t>(count)) : 0;
        const uint8_t *__restrict__ sourceU = planes.pU + static_cast<int64_t>(cy) * planes.chromaPitch + left / 2;
        const uint8_t *__restrict__ sourceV = planes.pV + static_cast<int64_t>(cy) * planes.chromaPitch + left / 2;
        float fu[kHostChunk] = {};
        float fv[kHostChunk] = {};
        for (int32_t k = from; k < to; ++k) {
            fu[k] = static_cast<float>(sourceU[k]) - 128.0f;
            fv[k] = static_cast<float>(sourceV[k]) - 128.0f;
        }
        for (uint32_t i = 0; i < 2 * count; ++i) {
            chunk.vRed[i] = 1.402f * fv[i / 2];
            chunk.uGreen[i] = 0.34414f * fu[i / 2];
            chunk.vGreen[i] = 0.71414f * fv[i / 2];
            chunk.uBlue[i] = 1.772f * fu[i / 2];
        }
        for (int32_t dy = 0; dy < 2; ++dy) {
            if (graphic.bytesPerPixel == 4)
                HostLumaRow<4>(chunk, dy, top + dy, left, 2 * count);
            else
                HostLumaRow<0>(chunk, dy, top + dy, left, 2 * count);
        }
        HostChromaRow(chunk, cy, left / 2 + from, from, to);
    }

    // The chroma samples of the chunk's blocks [from, to), at (cx, cy) onwards: each from its block's
    // first drawn pixel, upper row first, as Item takes it; a block with none keeps its samples.
    TYX_FORCEINLINE void HostChromaRow(const stHostChunk &chunk, int32_t cy, int32_t cx, int32_t from, int32_t to) const
    {
        uint8_t *__restrict__ outU = planes.pU + static_cast<int64_t>(cy) * planes.chromaPitch + cx;
        uint8_t *__restrict__ outV = planes.pV + static_cast<int64_t>(cy) * planes.chromaPitch + cx;
        const uint8_t *__restrict__ upper = chunk.drawn[0];
        const uint8_t *__restrict__ lower = chunk.drawn[1];
        for (int32_t k = from; k < to; ++k) {
            // Masks of the four pixels, each only where none before it was drawn.
            const int32_t a = -static_cast<int32_t>(upper[2 * k] != 0);
            const int32_t b = ~a & -static_cast<int32_t>(upper[2 * k + 1] != 0);
            const int32_t c = ~(a | b) & -static_cast<int32_t>(lower[2 * k] != 0);
            const int32_t d = ~(a | b | c) & -static_cast<int32_t>(lower[2 * k + 1] != 0);
            const int32_t any = a | b | c | d;
            const auto pick = [&](const int32_t(&plane)[2][2 * kHostChunk]) {
                return (plane[0][2 * k] & a) | (plane[0][2 * k + 1] & b) | (plane[1][2 * k] & c) |
                       (plane[1][2 * k + 1] & d);
            };
            const float rf = static_cast<float>(pick(chunk.r)), gf = static_cast<float>(pick(chunk.g)),
                        bf = static_cast<float>(pick(chunk.b));
            const int32_t u = ToByteRoundedHost(-0.1687f * rf - 0.3313f * gf + 0.5f * bf + 128.0f);
            const int32_t v = ToByteRoundedHost(0.5f * rf - 0.4187f * gf - 0.0813f * bf + 128.0f);
            const int32_t k0 = k - from;
            outU[k0] = static_cast<uint8_t>((u & any) | (outU[k0] & ~any));
            outV[k0] = static_cast<uint8_t>((v & any) | (outV[k0] & ~any));
        }
    }

    // One frame row fy of the chunk's pixels [left, left + pixels): luma written, RGB kept. Stride is
    // the image's bytes per pixel when it is fixed at compile time (0: the record's).
    template <int32_t Stride>
    TYX_FORCEINLINE void HostLumaRow(stHostChunk &chunk, int32_t dy, int32_t fy, int32_t left, uint32_t pixels) const
    {
        uint8_t *__restrict__ drawn = chunk.drawn[dy];
        for (uint32_t i = 0; i < pixels; ++i)
            drawn[i] = 0;
        const int32_t y = fy - graphic.Y;
        if (y < 0 || y >= graphic.height || fy < 0 || fy >= planes.height)
            return;
        const int32_t lumaEnd = std::min(planes.width, planes.lumaPitch);
        const int32_t from = std::max({left, static_cast<int32_t>(graphic.X), 0});
        const int32_t to = std::min({left + static_cast<int32_t>(pixels), graphic.X + static_cast<int32_t>(graphic.width),
                                     lumaEnd});
        if (from >= to)
            return;
        const int64_t stride = Stride > 0 ? Stride : graphic.bytesPerPixel;
        const auto *image = reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(graphic.image));
        const uint8_t *__restrict__ pixel =
            image + static_cast<int64_t>(y) * graphic.rowLength + static_cast<int64_t>(from - graphic.X) * stride;
        uint8_t *__restrict__ luma = planes.pY + static_cast<int64_t>(fy) * planes.lumaPitch + from;
        const int32_t offset = from - left;
        const int32_t count = to - from;
        int32_t *__restrict__ outR = chunk.r[dy] + offset;
        int32_t *__restrict__ outG = chunk.g[dy] + offset;
        int32_t *__restrict__ outB = chunk.b[dy] + offset;
        uint8_t *__restrict__ outDrawn = drawn + offset;
        const float *__restrict__ vRed = chunk.vRed + offset;
        const float *__restrict__ uGreen = chunk.uGreen + offset;
        const float *__restrict__ vGreen = chunk.vGreen + offset;
        const float *__restrict__ uBlue = chunk.uBlue + offset;
        for (int32_t i = 0; i < count; ++i) {
            const uint8_t *p = pixel + i * stride;
            const int32_t alpha = p[3];
            const float fy0 = luma[i];
            const int32_t frameR = ToByteRoundedHost(fy0 + vRed[i]);
            const int32_t frameG = ToByteRoundedHost(fy0 - uGreen[i] - vGreen[i]);
            const int32_t frameB = ToByteRoundedHost(fy0 + uBlue[i]);
            const int32_t r = alpha * p[0] / 255 + (255 - alpha) * frameR / 255;
            const int32_t g = alpha * p[1] / 255 + (255 - alpha) * frameG / 255;
            const int32_t b = alpha * p[2] / 255 + (255 - alpha) * frameB / 255;
            const int32_t blended = ToByteRoundedHost(0.299f * static_cast<float>(r) + 0.587f * static_cast<float>(g) +
                                                      0.114f * static_cast<float>(b));
            // A select by mask: a branch here would keep the loop from vectorising.
            const int32_t drawnMask = -static_cast<int32_t>(alpha != 0);
            luma[i] = static_cast<uint8_t>((blended & drawnMask) | (luma[i] & ~drawnMask));
            outR[i] = r;
            outG[i] = g;
            outB[i] = b;
            outDrawn[i] = static_cast<uint8_t>(alpha != 0);
        }
    }
#endif

    // Blends frame pixel (fx, fy) with its image pixel from the original luma and the block's
    // original chroma (fu, fv), writes its luma and gives its RGB; false when nothing is drawn.
    TYX_HD TYX_FORCEINLINE bool BlendPixel(int32_t fx, int32_t fy, float fu, float fv, stBlendRgb &out) const
    {
        const int32_t x = fx - graphic.X;
        const int32_t y = fy - graphic.Y;
        if (x < 0 || y < 0 || x >= graphic.width || y >= graphic.height || !IsInsideLuma(planes, fx, fy))
            return false;
        const auto *image = reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(graphic.image));
        const uint8_t *pixel =
            image + static_cast<int64_t>(y) * graphic.rowLength + static_cast<int64_t>(x) * graphic.bytesPerPixel;
        const int32_t alpha = pixel[3];
        if (alpha == 0)
            return false;
        uint8_t &lumaSample = planes.pY[static_cast<int64_t>(fy) * planes.lumaPitch + fx];
        const float fy0 = lumaSample;
        const int32_t frameR = ToByteRounded(fy0 + 1.402f * fv);
        const int32_t frameG = ToByteRounded(fy0 - 0.34414f * fu - 0.71414f * fv);
        const int32_t frameB = ToByteRounded(fy0 + 1.772f * fu);
        out.r = alpha * pixel[0] / 255 + (255 - alpha) * frameR / 255;
        out.g = alpha * pixel[1] / 255 + (255 - alpha) * frameG / 255;
        out.b = alpha * pixel[2] / 255 + (255 - alpha) * frameB / 255;
        const float rf = static_cast<float>(out.r), gf = static_cast<float>(out.g), bf = static_cast<float>(out.b);
        lumaSample = static_cast<uint8_t>(ToByteRounded(0.299f * rf + 0.587f * gf + 0.114f * bf));
        return true;
    }
};

} // namespace

int32_t DrawGraphicOnFrame(const stVideoFrameInfo &frame, const stGraphicInfo *graphic)
{
    if (!frame.pY)
        return -1;
    if (static_cast<int64_t>(frame.lumaPitch) * frame.height < 1)
        return -2;
    if (!graphic)
        return -4;
    if (!graphic->image || graphic->width == 0 || graphic->height == 0)
        return 0;
    DrawGraphicOnFrameDvc body;
    body.planes = MakeOverlayPlanes(frame);
    body.graphic = *graphic;
    if (body.graphic.bytesPerPixel < 4)
        body.graphic.bytesPerPixel = 4;
    body.blocksWide = (graphic->X + graphic->width - 1u) / 2 - graphic->X / 2u + 1;
    body.blocksHigh = (graphic->Y + graphic->height - 1u) / 2 - graphic->Y / 2u + 1;
    LaunchOverlayKernel(L"DrawGraphicOnFrameDvc", {body.blocksWide / 32 + 1, body.blocksHigh / 32 + 1, 1}, {32, 32, 1},
                        body);
    return 0;
}
