// The host backend builds every kernel body for the baseline and for AVX2 and picks one at run
// time; both must give the same bytes. Each case runs the same work through both variants and
// compares the pictures.

#include "core/Resize.h"
#include "platform/GpuLaunchDetail.h"
#include "vproc/FormatConvert.h"
#include "vproc/GVMux.h"
#include "vproc/GmtDrawer.h"
#include "vproc/GraphicDraw.h"
#include "vproc/OsdWriter.h"

#include "OverlayTestFrame.h"
#include "PictureTestUtils.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace {

class HostVariantParityTest : public testing::Test
{
protected:
    void SetUp() override
    {
        if (DevBackend() != EGpuBackend::Host)
            GTEST_SKIP() << "the host variants are compared on the host backend";
        if (!HostKernelIsaSupported(EHostKernelIsa::Avx2))
            GTEST_SKIP() << "this processor has no AVX2";
        m_before = HostKernelIsa();
    }
    void TearDown() override { SetHostKernelIsa(m_before); }

    // Runs work on a copy of the picture in each variant; the two results.
    static std::pair<std::vector<uint8_t>, std::vector<uint8_t>>
    BothVariants(const std::vector<uint8_t> &picture, const std::function<void(uint8_t *)> &work)
    {
        std::vector<uint8_t> results[2];
        const EHostKernelIsa variants[2] = {EHostKernelIsa::Baseline, EHostKernelIsa::Avx2};
        for (int i = 0; i < 2; ++i) {
            EXPECT_TRUE(SetHostKernelIsa(variants[i]));
            CDvcBuffer device = DeviceCopy(picture);
            work(device.Get());
            results[i] = Download(device);
        }
        return {results[0], results[1]};
    }

    EHostKernelIsa m_before = EHostKernelIsa::Baseline;
};

// Odd sizes and ratios both ways, planar and interleaved chroma.
TEST_F(HostVariantParityTest, Scaling)
{
    const struct
    {
        int sw, sh, dw, dh;
    } cases[] = {{1920, 1080, 1280, 720}, {1920, 1080, 480, 270}, {1280, 720, 1920, 1080}, {334, 188, 642, 362},
                 {640, 360, 638, 362}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh);
        const std::vector<uint8_t> source = NoiseI420(c.sw, c.sh, 7);
        const CDvcBuffer src = DeviceCopy(source);
        for (const bool semiPlanar : {false, true}) {
            const auto [baseline, avx2] = BothVariants(std::vector<uint8_t>(static_cast<size_t>(c.dw) * c.dh * 3 / 2, 0), [&](uint8_t *d) {
                const uint8_t *s = src.Get();
                const size_t sl = static_cast<size_t>(c.sw) * c.sh;
                const size_t dl = static_cast<size_t>(c.dw) * c.dh;
                const int sp = semiPlanar ? c.sw : c.sw / 2;
                const int dp = semiPlanar ? c.dw : c.dw / 2;
                EXPECT_EQ(ScaleYuv420InDvc(d, d + dl, d + dl * 5 / 4, c.dw, dp, c.dw, c.dh, s, s + sl,
                                           s + sl * 5 / 4, c.sw, sp, c.sw, c.sh, semiPlanar),
                          0);
            });
            EXPECT_EQ(baseline, avx2) << (semiPlanar ? "semi-planar" : "planar");
        }
    }
}

TEST_F(HostVariantParityTest, CompositionAndFormatConversion)
{
    std::vector<std::vector<uint8_t>> sources;
    std::vector<CDvcBuffer> blocks;
    std::vector<stMuxInputData> windows(6);
    for (size_t i = 0; i < windows.size(); ++i) {
        sources.push_back(NoiseI420(320, 180, static_cast<uint32_t>(i) + 3));
        blocks.push_back(DeviceCopy(sources.back()));
        stMuxInputData &in = windows[i];
        in.srcWidth = in.winWidth = 320;
        in.srcHeight = in.winHeight = 180;
        in.srcLength = static_cast<int32_t>(sources.back().size());
        in.source = blocks.back().Get();
        in.srcInDevice = 1;
        in.kind = 1;
        in.left = static_cast<uint16_t>(i % 3 * 320 + 16);
        in.top = static_cast<uint16_t>(i / 3 * 180 + 8);
        in.cropLeft = i == 5 ? 32 : 0;
    }
    auto [baseline, avx2] = BothVariants(SolidI420(1008, 540, 0, 128, 128), [&](uint8_t *d) {
        EXPECT_GT(MuxFrames(static_cast<int32_t>(windows.size()), windows.data(), 1008, 540, d, true), 0);
    });
    EXPECT_EQ(baseline, avx2) << "composition";

    const std::vector<uint8_t> picture = NoiseI420(1920, 1080, 11);
    std::tie(baseline, avx2) =
        BothVariants(picture, [](uint8_t *d) { EXPECT_EQ(ConvertPlanarToSemiplanarInDvc(d, 1920, 1080), GPU_SUCCESS); });
    EXPECT_EQ(baseline, avx2) << "I420 -> NV12";
    std::tie(baseline, avx2) = BothVariants(
        picture, [](uint8_t *d) { EXPECT_EQ(ConvertSemiplanarToPlanarInDvc(d, 1920, 1080, 0), GPU_SUCCESS); });
    EXPECT_EQ(baseline, avx2) << "NV12 -> I420";
    // An odd width: its last chroma column has no pair of its own in NV12 as wide as the picture.
    std::tie(baseline, avx2) = BothVariants(
        picture, [](uint8_t *d) { EXPECT_EQ(ConvertSemiplanarToPlanarInDvc(d, 1919, 1079, 0), GPU_SUCCESS); });
    EXPECT_EQ(baseline, avx2) << "NV12 -> I420, odd width";
    std::vector<uint8_t> bgra(static_cast<size_t>(1920) * 1080 * 4);
    std::tie(baseline, avx2) = BothVariants(bgra, [&](uint8_t *d) {
        const CDvcBuffer nv12 = DeviceCopy(picture);
        EXPECT_EQ(Nv12ToBgra32InDvc(nv12.Get(), 1920, d, 1920 * 4, 1920, 1080, TYX_COLOR_STANDARD_BT601), GPU_SUCCESS);
    });
    EXPECT_EQ(baseline, avx2) << "NV12 -> BGRA";
}

TEST_F(HostVariantParityTest, Overlays)
{
    const std::vector<uint8_t> frame = NoiseI420(640, 360, 21);
    std::vector<uint8_t> rgba = NoiseI420(200, 200, 22);
    rgba.resize(static_cast<size_t>(151) * 97 * 4);
    const CDvcBuffer image = DeviceCopy(rgba);
    auto info = [](uint8_t *d) { return OverlayFrameInfo(640, 360, 640, 320, d, 640 * 360 * 3 / 2, true); };
    auto [baseline, avx2] = BothVariants(frame, [&](uint8_t *d) {
        stGraphicInfo graphic;
        graphic.image = reinterpret_cast<uintptr_t>(image.Get());
        graphic.rowLength = 151 * 4;
        graphic.width = 151;
        graphic.height = 97;
        graphic.X = 533;
        graphic.Y = 301;
        EXPECT_EQ(DrawGraphicOnFrame(info(d), &graphic), 0);
    });
    EXPECT_EQ(baseline, avx2) << "image blending";

    COsdWriter writer(false);
    writer.SetFrameSize(640, 360, 0, 0);
    stOsdFont font;
    font.height = 32;
    font.charSet = 134;
    font.faceName = L"Arial";
    ASSERT_EQ(writer.AddOsd(1, OSD_CONTENT_DYNAMIC_TEXT, font, OSD_COLOR_YELLOW, OSD_POS_CENTER, 3, 5, false), 1);
    writer.SetOsdText(1, L"Parity 09:41");
    std::tie(baseline, avx2) = BothVariants(frame, [&](uint8_t *d) { writer.ProcessFrameUseGpu(d, 640 * 360 * 3 / 2, true); });
    EXPECT_EQ(baseline, avx2) << "text";

    stOsgDrawStyle style;
    style.lineColor = {81, 90, 240};
    style.hollow = 0;
    style.fillColor = {41, 240, 110};
    std::tie(baseline, avx2) = BothVariants(frame, [&](uint8_t *d) {
        const stCircleInfo circle{300, 170, 90};
        EXPECT_EQ(DrawCircleOnFrame(info(d), &style, &circle), 0);
        const stEllipseInfo ellipse{200, 100, 120, 50};
        EXPECT_EQ(DrawEllipseOnFrame(info(d), &style, &ellipse), 0);
        for (const int32_t code : {50, 53, 54, 55, 58, 60, 68, 72, 80, 88}) {
            stCurveParams curve;
            curve.coef[0] = 40.0f;
            curve.coef[1] = 0.03f;
            curve.coef[2] = 0.5f;
            curve.xLeft = -300;
            curve.xRight = 300;
            curve.originX = 320;
            curve.originY = 180;
            EXPECT_EQ(DrawFctCurveOnFrame(info(d), code, &curve, &style), 0);
        }
    });
    EXPECT_EQ(baseline, avx2) << "figures and curves";
}

} // namespace
