#include "vproc/GraphicDraw.h"
#include "vproc/OsdWriter.h"

#include "OverlayTestFrame.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

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

// The blend written out plainly, one pixel at a time, from the frame's original samples: luma per
// pixel, and each chroma sample from the first drawn pixel of its 2 x 2 block (upper row first).
struct stReferenceBlend
{
    const std::vector<uint8_t> &frame;
    const std::vector<uint8_t> &rgba;
    int32_t width, height, imageWidth, imageHeight, X, Y;

    static int32_t Byte(float value)
    {
        const float limited = value < -1.0f ? -1.0f : (value > 256.0f ? 256.0f : value);
        const auto rounded = static_cast<int32_t>(std::round(limited));
        return rounded < 0 ? 0 : (rounded > 255 ? 255 : rounded);
    }

    std::vector<uint8_t> Run() const
    {
        std::vector<uint8_t> out = frame;
        const int32_t luma = width * height;
        std::vector<bool> chromaDone(static_cast<size_t>(luma / 4), false);
        for (int32_t fy = Y; fy < Y + imageHeight && fy < height; ++fy) {
            for (int32_t fx = X; fx < X + imageWidth && fx < width; ++fx) {
                const uint8_t *p = &rgba[static_cast<size_t>(((fy - Y) * imageWidth + fx - X) * 4)];
                if (p[3] == 0)
                    continue;
                const size_t chroma = static_cast<size_t>(fy / 2 * (width / 2) + fx / 2);
                const float u = frame[static_cast<size_t>(luma) + chroma] - 128.0f;
                const float v = frame[static_cast<size_t>(luma * 5 / 4) + chroma] - 128.0f;
                const float y0 = frame[static_cast<size_t>(fy * width + fx)];
                const int32_t a = p[3];
                const float r = static_cast<float>(a * p[0] / 255 + (255 - a) * Byte(y0 + 1.402f * v) / 255);
                const float g =
                    static_cast<float>(a * p[1] / 255 + (255 - a) * Byte(y0 - 0.34414f * u - 0.71414f * v) / 255);
                const float b = static_cast<float>(a * p[2] / 255 + (255 - a) * Byte(y0 + 1.772f * u) / 255);
                out[static_cast<size_t>(fy * width + fx)] = static_cast<uint8_t>(Byte(0.299f * r + 0.587f * g + 0.114f * b));
                if (chromaDone[chroma])
                    continue;
                chromaDone[chroma] = true;
                out[static_cast<size_t>(luma) + chroma] =
                    static_cast<uint8_t>(Byte(-0.1687f * r - 0.3313f * g + 0.5f * b + 128.0f));
                out[static_cast<size_t>(luma * 5 / 4) + chroma] =
                    static_cast<uint8_t>(Byte(0.5f * r - 0.4187f * g - 0.0813f * b + 128.0f));
            }
        }
        return out;
    }
};

TEST(GraphicDrawTest, ColouredSemiTransparentImageBlendsFromTheOriginalSamples)
{
    // Coloured, moving video under a coloured image whose alpha varies and which has fully
    // transparent pixels on even columns and rows (the top left of many blocks); placed at odd
    // (X, Y), so the blocks along its edges are partly covered.
    constexpr int32_t kWidth = 64, kHeight = 48, kImageWidth = 21, kImageHeight = 15, kX = 13, kY = 9;
    COverlayTestFrame frame(kWidth, kHeight);
    uint8_t *data = frame.Data();
    for (int32_t y = 0; y < kHeight; ++y) {
        for (int32_t x = 0; x < kWidth; ++x)
            data[y * kWidth + x] = static_cast<uint8_t>(40 + (x * 3 + y * 5) % 180);
    }
    for (int32_t i = 0; i < kWidth * kHeight / 4; ++i) {
        data[kWidth * kHeight + i] = static_cast<uint8_t>(60 + (i * 7) % 150);
        data[kWidth * kHeight * 5 / 4 + i] = static_cast<uint8_t>(200 - (i * 11) % 150);
    }
    std::vector<uint8_t> rgba(static_cast<size_t>(kImageWidth) * kImageHeight * 4);
    for (int32_t y = 0; y < kImageHeight; ++y) {
        for (int32_t x = 0; x < kImageWidth; ++x) {
            uint8_t *p = &rgba[static_cast<size_t>((y * kImageWidth + x) * 4)];
            p[0] = static_cast<uint8_t>(250 - x * 9);
            p[1] = static_cast<uint8_t>(30 + y * 12);
            p[2] = static_cast<uint8_t>(90 + (x * y) % 160);
            const bool hole = (kX + x) % 2 == 0 && (kY + y) % 2 == 0 && (x + y) % 3 == 0;
            p[3] = hole ? 0 : static_cast<uint8_t>(60 + (x * 13 + y * 7) % 190);
        }
    }
    const std::vector<uint8_t> original = frame.Picture();
    const std::vector<uint8_t> expected =
        stReferenceBlend{original, rgba, kWidth, kHeight, kImageWidth, kImageHeight, kX, kY}.Run();

    CDvcBuffer image;
    ASSERT_EQ(image.Allocate(rgba.size()), GPU_SUCCESS);
    DevMemcpy(image.Get(), rgba.data(), rgba.size(), EGpuCopyKind::HostToDevice);
    stGraphicInfo graphic;
    graphic.image = reinterpret_cast<uintptr_t>(image.Get());
    graphic.rowLength = kImageWidth * 4;
    graphic.width = kImageWidth;
    graphic.height = kImageHeight;
    graphic.X = kX;
    graphic.Y = kY;
    frame.OnDevice([&](uint8_t *device) { EXPECT_EQ(DrawGraphicOnFrame(frame.Info(device, true), &graphic), 0); });
    ASSERT_TRUE(frame.GuardIntact());
    const std::vector<uint8_t> blended = frame.Picture();
    int32_t wrong = 0;
    for (size_t i = 0; i < blended.size(); ++i) {
        if (blended[i] != expected[i] && ++wrong <= 8)
            ADD_FAILURE() << "byte " << i << (i < static_cast<size_t>(kWidth * kHeight) ? " (luma)" : " (chroma)")
                          << ": " << int(blended[i]) << ", expected " << int(expected[i]);
    }
    EXPECT_EQ(wrong, 0);
    // A block whose top-left pixel is a hole still takes its colour from the others.
    EXPECT_NE(blended[static_cast<size_t>(kWidth * kHeight + (kY + 1) / 2 * (kWidth / 2) + (kX + 1) / 2)],
              original[static_cast<size_t>(kWidth * kHeight + (kY + 1) / 2 * (kWidth / 2) + (kX + 1) / 2)]);
}

// The host runs the blend a block row at a time in vector loops: images wider than its chunks,
// at odd and even places, cut by the right and bottom edges, one pixel small, and with pixels of
// eight bytes give the bytes of the plain per-pixel blend.
TEST(GraphicDrawTest, ImagesOfManySizesAndPlacesBlendAsThePlainBlend)
{
    constexpr int32_t kWidth = 352, kHeight = 96;
    const struct
    {
        int32_t width, height, x, y, bytesPerPixel;
    } cases[] = {{300, 40, 13, 9, 4}, {301, 41, 0, 0, 4}, {1, 1, 351, 95, 4}, {1, 1, 0, 1, 4}, {200, 50, 250, 70, 4},
                 {131, 7, 2, 3, 8},   {352, 96, 1, 1, 4}, {64, 2, 288, 94, 4}};
    for (const auto &c : cases) {
        COverlayTestFrame frame(kWidth, kHeight);
        uint8_t *data = frame.Data();
        for (int32_t i = 0; i < kWidth * kHeight; ++i)
            data[i] = static_cast<uint8_t>(16 + (i * 37 + i / kWidth * 11) % 220);
        for (int32_t i = 0; i < kWidth * kHeight / 2; ++i)
            data[kWidth * kHeight + i] = static_cast<uint8_t>(30 + (i * 53) % 200);
        std::vector<uint8_t> rgba(static_cast<size_t>(c.width) * c.height * 4);
        for (size_t i = 0; i < rgba.size(); ++i)
            rgba[i] = static_cast<uint8_t>((i * 97 + i / 7) % 256);
        for (size_t i = 3; i < rgba.size(); i += 4 * 5)
            rgba[i] = 0; // holes
        for (size_t i = 7; i < rgba.size(); i += 4 * 9)
            rgba[i] = 255;
        const std::vector<uint8_t> original = frame.Picture();
        const std::vector<uint8_t> expected =
            stReferenceBlend{original, rgba, kWidth, kHeight, c.width, c.height, c.x, c.y}.Run();
        // The image as the overlay holds it: bytesPerPixel apart, what follows a pixel's RGBA unused.
        std::vector<uint8_t> held(static_cast<size_t>(c.width) * c.height * static_cast<size_t>(c.bytesPerPixel), 0x5A);
        for (size_t p = 0; p < static_cast<size_t>(c.width) * c.height; ++p)
            std::copy_n(&rgba[p * 4], 4, &held[p * static_cast<size_t>(c.bytesPerPixel)]);
        CDvcBuffer image;
        ASSERT_EQ(image.Allocate(held.size()), GPU_SUCCESS);
        DevMemcpy(image.Get(), held.data(), held.size(), EGpuCopyKind::HostToDevice);
        stGraphicInfo graphic;
        graphic.image = reinterpret_cast<uintptr_t>(image.Get());
        graphic.rowLength = static_cast<uint32_t>(c.width * c.bytesPerPixel);
        graphic.bytesPerPixel = static_cast<int16_t>(c.bytesPerPixel);
        graphic.width = static_cast<uint16_t>(c.width);
        graphic.height = static_cast<uint16_t>(c.height);
        graphic.X = static_cast<uint16_t>(c.x);
        graphic.Y = static_cast<uint16_t>(c.y);
        frame.OnDevice([&](uint8_t *device) { EXPECT_EQ(DrawGraphicOnFrame(frame.Info(device, true), &graphic), 0); });
        ASSERT_TRUE(frame.GuardIntact());
        const std::vector<uint8_t> blended = frame.Picture();
        int32_t wrong = 0;
        for (size_t i = 0; i < blended.size(); ++i) {
            if (blended[i] != expected[i] && ++wrong <= 4)
                ADD_FAILURE() << c.width << "x" << c.height << " at " << c.x << "," << c.y << ": byte " << i << " is "
                              << int(blended[i]) << ", expected " << int(expected[i]);
        }
        EXPECT_EQ(wrong, 0) << c.width << "x" << c.height << " at " << c.x << "," << c.y;
    }
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
