#include "vproc/GraphicDraw.h"
#include "vproc/OsdWriter.h"

#include "OverlayTestFrame.h"

#include <gtest/gtest.h>

#include <array>

namespace {

// An RGBA image of one colour in device memory.
class CTestImage
{
public:
    CTestImage(uint16_t width, uint16_t height, std::array<uint8_t, 4> rgba) : m_width(width), m_height(height)
    {
        std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 4);
        for (size_t i = 0; i < pixels.size(); i += 4)
            std::copy(rgba.begin(), rgba.end(), pixels.begin() + static_cast<std::ptrdiff_t>(i));
        DevMalloc(&m_device, pixels.size());
        DevMemcpy(m_device, pixels.data(), pixels.size(), EGpuCopyKind::HostToDevice);
    }
    ~CTestImage() { DevFree(m_device); }
    stGraphicInfo At(uint16_t x, uint16_t y) const
    {
        stGraphicInfo graphic;
        graphic.image = reinterpret_cast<uintptr_t>(m_device);
        graphic.rowLength = m_width * 4u;
        graphic.width = m_width;
        graphic.height = m_height;
        graphic.X = x;
        graphic.Y = y;
        return graphic;
    }

private:
    void *m_device = nullptr;
    uint16_t m_width;
    uint16_t m_height;
};

COverlayTestFrame Blend(const CTestImage &image, uint16_t x, uint16_t y, int32_t width = 64, int32_t height = 32)
{
    COverlayTestFrame frame(width, height, {100, 128, 128});
    const stGraphicInfo graphic = image.At(x, y);
    frame.OnDevice([&](uint8_t *data) {
        stVideoFrameInfo info = frame.Info(data, true);
        info.lumaPitch = static_cast<uint16_t>(width);
        EXPECT_EQ(DrawGraphicOnFrame(info, &graphic), 0);
    });
    EXPECT_TRUE(frame.GuardIntact());
    return frame;
}

TEST(GraphicDrawTest, OpaqueReplacesTransparentLeavesAndHalfMixes)
{
    const COverlayTestFrame opaque = Blend(CTestImage(8, 4, {200, 200, 200, 255}), 10, 6);
    for (int32_t y = 0; y < 32; ++y) {
        for (int32_t x = 0; x < 64; ++x) {
            const bool inside = x >= 10 && x < 18 && y >= 6 && y < 10;
            ASSERT_EQ(opaque.Y(x, y), inside ? 200 : 100) << x << "," << y;
        }
    }
    EXPECT_EQ(opaque.U(6, 4), 128);

    const COverlayTestFrame clear = Blend(CTestImage(8, 4, {255, 0, 0, 0}), 10, 6);
    EXPECT_EQ(clear.Picture(), COverlayTestFrame(64, 32, {100, 128, 128}).Picture());

    // alpha 128: 128 x 200 / 255 + 127 x 100 / 255 = 100 + 49.
    const COverlayTestFrame half = Blend(CTestImage(8, 4, {200, 200, 200, 128}), 10, 6);
    EXPECT_EQ(half.Y(12, 7), 149);

    const COverlayTestFrame red = Blend(CTestImage(4, 4, {255, 0, 0, 255}), 8, 8);
    const stColorYuv expected = InitOsgColor(OsgColorCodeToRgb(OSD_COLOR_RED));
    EXPECT_EQ(red.Y(9, 9), expected.y);
    EXPECT_EQ(red.U(4, 4), expected.u);
    EXPECT_EQ(red.V(5, 5), expected.v);
}

TEST(GraphicDrawTest, ImageReachingPastTheFrameIsCut)
{
    const COverlayTestFrame frame = Blend(CTestImage(8, 8, {200, 200, 200, 255}), 60, 28);
    EXPECT_EQ(frame.Y(63, 31), 200);
    EXPECT_EQ(frame.Y(60, 28), 200);
    for (int32_t y = 0; y < 32; ++y)
        EXPECT_EQ(frame.Y(0, y), 100) << y; // nothing wrapped into the next row
}

TEST(GraphicDrawTest, RefusesMissingRecords)
{
    COverlayTestFrame frame(16, 16);
    stVideoFrameInfo info = frame.Info(nullptr, true);
    stGraphicInfo graphic;
    EXPECT_EQ(DrawGraphicOnFrame(info, &graphic), -1);
    info.pY = frame.Data();
    info.lumaPitch = 0;
    EXPECT_EQ(DrawGraphicOnFrame(info, &graphic), -2);
    info.lumaPitch = 16;
    EXPECT_EQ(DrawGraphicOnFrame(info, nullptr), -4);
}

} // namespace
