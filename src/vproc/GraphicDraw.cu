#include "vproc/GraphicDraw.h"

#include "vproc/OverlayLaunch.h"
#include "vproc/OverlayPixels.h"

namespace {

TYX_HD TYX_FORCEINLINE int32_t ToByteRounded(float value)
{
    return ClampToByte(static_cast<int32_t>(RoundHalfAway(value < -1.0f ? -1.0f : (value > 256.0f ? 256.0f : value))));
}

// One thread per image pixel. Each frame pixel is turned into RGB, mixed with the image pixel by its
// alpha and turned back; the chroma sample of a 2 x 2 block is written by its first image pixel only,
// so no two threads write one sample.
struct DrawGraphicOnFrameDvc
{
    stOverlayPlanes planes;
    stGraphicInfo graphic;

    TYX_HD void operator()(const stKernelIndex &index) const
    {
        const int32_t x = static_cast<int32_t>(index.blockIdx.x * index.blockDim.x + index.threadIdx.x);
        const int32_t y = static_cast<int32_t>(index.blockIdx.y * index.blockDim.y + index.threadIdx.y);
        if (x >= graphic.width || y >= graphic.height)
            return;
        const int32_t fx = graphic.X + x;
        const int32_t fy = graphic.Y + y;
        if (!IsInsideLuma(planes, fx, fy))
            return;
        const auto *image = reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(graphic.image));
        const uint8_t *pixel = image + static_cast<int64_t>(y) * graphic.rowLength + static_cast<int64_t>(x) * graphic.bytesPerPixel;
        const int32_t alpha = pixel[3];
        if (alpha == 0)
            return;
        uint8_t &lumaSample = planes.pY[static_cast<int64_t>(fy) * planes.lumaPitch + fx];
        const int32_t cx = fx / 2;
        const int32_t cy = fy / 2;
        const bool hasChroma = IsInsideChroma(planes, cx, cy);
        const int64_t chromaOffset = static_cast<int64_t>(cy) * planes.chromaPitch + cx;
        const float fy0 = lumaSample;
        const float fu = hasChroma ? static_cast<float>(planes.pU[chromaOffset]) - 128.0f : 0.0f;
        const float fv = hasChroma ? static_cast<float>(planes.pV[chromaOffset]) - 128.0f : 0.0f;
        const int32_t frameR = ToByteRounded(fy0 + 1.402f * fv);
        const int32_t frameG = ToByteRounded(fy0 - 0.34414f * fu - 0.71414f * fv);
        const int32_t frameB = ToByteRounded(fy0 + 1.772f * fu);
        const int32_t r = alpha * pixel[0] / 255 + (255 - alpha) * frameR / 255;
        const int32_t g = alpha * pixel[1] / 255 + (255 - alpha) * frameG / 255;
        const int32_t b = alpha * pixel[2] / 255 + (255 - alpha) * frameB / 255;
        const float rf = static_cast<float>(r), gf = static_cast<float>(g), bf = static_cast<float>(b);
        lumaSample = static_cast<uint8_t>(ToByteRounded(0.299f * rf + 0.587f * gf + 0.114f * bf));
        const bool writesChroma = (fx % 2 == 0 || x == 0) && (fy % 2 == 0 || y == 0);
        if (!hasChroma || !writesChroma)
            return;
        planes.pU[chromaOffset] = static_cast<uint8_t>(ToByteRounded(-0.1687f * rf - 0.3313f * gf + 0.5f * bf + 128.0f));
        planes.pV[chromaOffset] = static_cast<uint8_t>(ToByteRounded(0.5f * rf - 0.4187f * gf - 0.0813f * bf + 128.0f));
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
    LaunchOverlayKernel(L"DrawGraphicOnFrameDvc", {graphic->width / 32u + 1, graphic->height / 32u + 1, 1},
                        {32, 32, 1}, body);
    return 0;
}
