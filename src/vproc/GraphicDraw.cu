#include "vproc/GraphicDraw.h"

#include "vproc/OverlayLaunch.h"
#include "vproc/OverlayPixels.h"

namespace {

TYX_HD TYX_FORCEINLINE int32_t ToByteRounded(float value)
{
    return ClampToByte(static_cast<int32_t>(RoundHalfAway(value < -1.0f ? -1.0f : (value > 256.0f ? 256.0f : value))));
}

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

    // A thread blends four pixels through RGB in scalar float code: on the host about as much as
    // a hundred calls of a vectorised per-pixel body, so that large images spread over the pool.
    uint64_t HostCost() const { return 100; }

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
