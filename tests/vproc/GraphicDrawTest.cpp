#include "vproc/GraphicDraw.h"
#include "vproc/OsdWriter.h"

#include "OverlayTestFrame.h"

#include <gtest/gtest.h>

#include <array>

namespace {

// An RGBA image of one colour at (x, y).
struct stTestImage
{
    CDvcBuffer pixels;
    stGraphicInfo graphic;
};

stTestImage Image(uint16_t width, uint16_t height, std::array<uint8_t, 4> rgba, uint16_t x, uint16_t y)
{
    stTestImage image{SolidImage(width, height, rgba), {}};
    image.graphic.image = reinterpret_cast<uintptr_t>(image.pixels.Get());
    image.graphic.rowLength = width * 4u;
    image.graphic.width = width;
    image.graphic.height = height;
    image.graphic.X = x;
    image.graphic.Y = y;
    return image;
}

// Blends the image on a device copy of a 64 x 32 grey picture.
COverlayTestFrame Blend(const stTestImage &image)
{
    COverlayTestFrame frame(64, 32, {100, 128, 128});
    frame.OnDevice([&](uint8_t *data) { EXPECT_EQ(DrawGraphicOnFrame(frame.Info(data, true), &image.graphic), 0); });
    EXPECT_TRUE(frame.GuardIntact());
    return frame;
}

TEST(GraphicDrawTest, OpaqueReplacesTransparentLeavesAndHalfMixes)
{
    const COverlayTestFrame opaque = Blend(Image(8, 4, {200, 200, 200, 255}, 10, 6));
    for (int32_t y = 0; y < 32; ++y) {
        for (int32_t x = 0; x < 64; ++x) {
            const bool inside = x >= 10 && x < 18 && y >= 6 && y < 10;
            ASSERT_EQ(opaque.Y(x, y), inside ? 200 : 100) << x << "," << y;
        }
    }
    EXPECT_EQ(opaque.U(6, 4), 128);

    const COverlayTestFrame clear = Blend(Image(8, 4, {255, 0, 0, 0}, 10, 6));
    EXPECT_EQ(clear.Picture(), COverlayTestFrame(64, 32, {100, 128, 128}).Picture());

    // alpha 128: 128 x 200 / 255 + 127 x 100 / 255 = 100 + 49.
    const COverlayTestFrame half = Blend(Image(8, 4, {200, 200, 200, 128}, 10, 6));
    EXPECT_EQ(half.Y(12, 7), 149);

    const COverlayTestFrame red = Blend(Image(4, 4, {255, 0, 0, 255}, 8, 8));
    const stColorYuv expected = InitOsgColor(OsgColorCodeToRgb(OSD_COLOR_RED));
    EXPECT_EQ(red.Y(9, 9), expected.y);
    EXPECT_EQ(red.U(4, 4), expected.u);
    EXPECT_EQ(red.V(5, 5), expected.v);
}

TEST(GraphicDrawTest, ImageReachingPastTheFrameIsCut)
{
    const COverlayTestFrame frame = Blend(Image(8, 8, {200, 200, 200, 255}, 60, 28));
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
