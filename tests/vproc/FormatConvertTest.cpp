#include "vproc/FormatConvert.h"

#include "PictureTestUtils.h"
#include "core/I420Layout.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <tuple>
#include <vector>

namespace {

// The NV12 picture of an I420 one: the same luma, then lines of U, V pairs of the given pitch, as
// many as the pitch has room for.
std::vector<uint8_t> ToNv12(const std::vector<uint8_t> &i420, int width, int height, int pitch, size_t bytes)
{
    std::vector<uint8_t> nv12(bytes, 0xCD);
    for (int y = 0; y < height; ++y)
        std::memcpy(&nv12[static_cast<size_t>(y) * pitch], &i420[static_cast<size_t>(y) * width], static_cast<size_t>(width));
    const auto pairs = std::min(static_cast<int>(I420ChromaWidth(width)), pitch / 2);
    for (int y = 0; y < I420ChromaHeight(height); ++y) {
        for (int x = 0; x < pairs; ++x) {
            const size_t at = static_cast<size_t>(pitch) * height + static_cast<size_t>(y) * pitch + 2 * static_cast<size_t>(x);
            nv12[at] = I420At(i420, width, height, EPlane::U, x, y);
            nv12[at + 1] = I420At(i420, width, height, EPlane::V, x, y);
        }
    }
    return nv12;
}

// B, G, R, A of one pixel by the formula in double precision.
void ReferencePixel(int32_t standard, int y, int u, int v, double out[3])
{
    double kr = 0.2126, kb = 0.0722, f = 255.0 / 219.0;
    if (standard == 6) {
        kr = 0.299;
        kb = 0.114;
    } else if (standard == 9) {
        kr = 0.2627;
        kb = 0.0593;
        f = 65535.0 / 56064.0;
    }
    const double ly = y - 16.0, cu = u - 128.0, cv = v - 128.0;
    out[2] = f * ly + 2 * (1 - kr) * f * cv;
    out[1] = f * ly + 2 * kb * (kb - 1) / (1 - kb - kr) * f * cu + 2 * kr * (kr - 1) / (1 - kb - kr) * f * cv;
    out[0] = f * ly + 2 * (1 - kb) * f * cu;
}

int Clamp8(double value)
{
    return value < 0 ? 0 : value > 255 ? 255 : static_cast<int>(value);
}

struct stBgraCase
{
    int width;
    int height;
    int srcPitch;
    int dstPitch;
    int32_t standard;
};

void CheckBgra(const stBgraCase &c)
{
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " standard " << c.standard);
    const std::vector<uint8_t> i420 = NoiseI420(c.width, c.height, 31);
    const size_t srcBytes = static_cast<size_t>(c.srcPitch) * c.height * 3 / 2 + c.srcPitch;
    const CDvcBuffer src = DeviceCopy(ToNv12(i420, c.width, c.height, c.srcPitch, srcBytes));
    const CDvcBuffer dst = DeviceCopy(std::vector<uint8_t>(static_cast<size_t>(c.dstPitch) * c.height, 0xEE));
    ASSERT_EQ(Nv12ToBgra32InDvc(src.Get(), c.srcPitch, dst.Get(), c.dstPitch, c.width, c.height, c.standard),
              GPU_SUCCESS);
    const std::vector<uint8_t> bgra = Download(dst);
    int failures = 0;
    for (int y = 0; y < c.height && failures < 5; ++y) {
        for (int x = 0; x < c.width && failures < 5; ++x) {
            const uint8_t *pixel = &bgra[static_cast<size_t>(y) * c.dstPitch + 4 * static_cast<size_t>(x)];
            if (x >= c.width / 2 * 2 || y >= c.height / 2 * 2) {
                EXPECT_TRUE(pixel[0] == 0xEE && pixel[3] == 0xEE) << "odd edge converted at " << x << ", " << y;
                continue;
            }
            double ref[3];
            ReferencePixel(c.standard, I420At(i420, c.width, c.height, EPlane::Y, x, y),
                           I420At(i420, c.width, c.height, EPlane::U, x / 2, y / 2),
                           I420At(i420, c.width, c.height, EPlane::V, x / 2, y / 2), ref);
            for (int k = 0; k < 3; ++k) {
                if (std::abs(pixel[k] - Clamp8(ref[k])) > 1) {
                    ADD_FAILURE() << "channel " << k << " at " << x << ", " << y << ": " << int(pixel[k]) << " for "
                                  << ref[k];
                    ++failures;
                }
            }
            if (pixel[3] != 0) {
                ADD_FAILURE() << "alpha at " << x << ", " << y;
                ++failures;
            }
        }
    }
}

TEST(FormatConvertTest, Nv12ToBgraFollowsTheFormulas)
{
    CheckBgra({66, 34, 66, 264, 6});
    CheckBgra({66, 34, 96, 300, 1});
    CheckBgra({67, 35, 80, 272, 0}); // odd: last column and row stay as they were
    CheckBgra({130, 18, 130, 520, 9});
}

TEST(FormatConvertTest, Nv12ToBgraKnownColours)
{
    // White, black and BT.601 red in the three 2 x 2 blocks of a 6 x 2 picture.
    std::vector<uint8_t> nv12 = {235, 235, 16, 16, 81, 81, 235, 235, 16, 16, 81, 81, 128, 128, 128, 128, 90, 240};
    const CDvcBuffer src = DeviceCopy(nv12);
    const CDvcBuffer dst = DeviceCopy(std::vector<uint8_t>(6 * 2 * 4));
    ASSERT_EQ(Nv12ToBgra32InDvc(src.Get(), 6, dst.Get(), 24, 6, 2, 6), GPU_SUCCESS);
    const std::vector<uint8_t> bgra = Download(dst);
    const uint8_t expected[3][4] = {{255, 255, 255, 0}, {0, 0, 0, 0}, {0, 0, 255, 0}};
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 6; ++x) {
            for (int k = 0; k < 4; ++k)
                EXPECT_EQ(bgra[static_cast<size_t>(y) * 24 + 4 * x + k], expected[x / 2][k]) << x << ", " << y << " byte " << k;
        }
    }
    EXPECT_EQ(Nv12ToBgra32InDvc(nullptr, 6, dst.Get(), 24, 6, 2, 6), GPU_ERROR_INVALID_VALUE);
    EXPECT_EQ(Nv12ToBgra32InDvc(src.Get(), 4, dst.Get(), 24, 6, 2, 6), GPU_ERROR_INVALID_VALUE);
    EXPECT_EQ(Nv12ToBgra32InDvc(src.Get(), 6, dst.Get(), 20, 6, 2, 6), GPU_ERROR_INVALID_VALUE);
}

// Every pixel of a contiguous I420 picture, odd sizes (chroma planes rounded up) included.
TEST(FormatConvertTest, I420ToBgraConvertsEveryPixelOfAnyPictureSize)
{
    for (const auto &[width, height, standard] : {std::tuple{66, 34, 6}, std::tuple{67, 35, 1}, std::tuple{1, 1, 9}, std::tuple{65, 2, 0}}) {
        SCOPED_TRACE(testing::Message() << width << "x" << height);
        const int cw = (width + 1) / 2;
        const int ch = (height + 1) / 2;
        std::vector<uint8_t> i420(static_cast<size_t>(width * height + 2 * cw * ch));
        for (size_t i = 0; i < i420.size(); ++i)
            i420[i] = static_cast<uint8_t>(16 + (i * 37 + i / 7) % 220);
        const int pitch = 4 * width + 8;
        const CDvcBuffer src = DeviceCopy(i420);
        const CDvcBuffer dst = DeviceCopy(std::vector<uint8_t>(static_cast<size_t>(pitch) * height, 0xEE));
        ASSERT_EQ(I420ToBgra32InDvc(src.Get(), width, height, dst.Get(), pitch, standard), GPU_SUCCESS);
        const std::vector<uint8_t> bgra = Download(dst);
        int failures = 0;
        for (int y = 0; y < height && failures < 5; ++y) {
            for (int x = 0; x < width && failures < 5; ++x) {
                const uint8_t *pixel = &bgra[static_cast<size_t>(y) * pitch + 4 * static_cast<size_t>(x)];
                double ref[3];
                const size_t chroma = static_cast<size_t>(y / 2 * cw + x / 2);
                ReferencePixel(standard, i420[static_cast<size_t>(y * width + x)], i420[static_cast<size_t>(width * height) + chroma],
                               i420[static_cast<size_t>(width * height + cw * ch) + chroma], ref);
                for (int k = 0; k < 3; ++k) {
                    if (std::abs(pixel[k] - Clamp8(ref[k])) > 1) {
                        ADD_FAILURE() << "channel " << k << " at " << x << ", " << y << ": " << int(pixel[k]) << " for " << ref[k];
                        ++failures;
                    }
                }
                if (pixel[3] != 0) {
                    ADD_FAILURE() << "alpha at " << x << ", " << y;
                    ++failures;
                }
            }
            // Nothing past the picture's row is written.
            EXPECT_EQ(bgra[static_cast<size_t>(y) * pitch + 4 * static_cast<size_t>(width)], 0xEE);
        }
    }
    uint8_t byte = 0;
    EXPECT_EQ(I420ToBgra32InDvc(nullptr, 2, 2, &byte, 8, 0), GPU_ERROR_INVALID_VALUE);
    EXPECT_EQ(I420ToBgra32InDvc(&byte, 2, 2, &byte, 7, 0), GPU_ERROR_INVALID_VALUE);
    EXPECT_EQ(I420ToBgra32InDvc(&byte, 0, 2, &byte, 8, 0), GPU_ERROR_INVALID_VALUE);
}

TEST(FormatConvertTest, PlanarToSemiplanarInterleavesTheChroma)
{
    const int w = 64, h = 48;
    const std::vector<uint8_t> i420 = NoiseI420(w, h, 41);
    const CDvcBuffer picture = DeviceCopy(i420);
    ASSERT_EQ(ConvertPlanarToSemiplanarInDvc(picture.Get(), w, h), GPU_SUCCESS);
    EXPECT_EQ(Download(picture), ToNv12(i420, w, h, w, i420.size()));
}

// Exact, odd heights included; NV12 as wide as an odd width has no room for the last column's
// chroma, which comes back as the column before it.
TEST(FormatConvertTest, RoundTripsKeepEverySampleNv12Holds)
{
    const std::pair<int, int> sizes[] = {{64, 48}, {64, 47},      {63, 47},  {2, 2},      {1, 1},
                                         {34, 3},  {3840, 2160}, {4098, 8}, {1919, 1081}, {3, 5}};
    for (const auto &[w, h] : sizes) {
        SCOPED_TRACE(testing::Message() << w << "x" << h);
        const std::vector<uint8_t> i420 = NoiseI420(w, h, 51);
        const CDvcBuffer picture = DeviceCopy(i420);
        ASSERT_EQ(ConvertPlanarToSemiplanarInDvc(picture.Get(), w, h), GPU_SUCCESS);
        ASSERT_EQ(ConvertSemiplanarToPlanarInDvc(picture.Get(), w, h, 0), GPU_SUCCESS);
        const auto lastColumn = static_cast<int>(I420ChromaWidth(w)) - 1;
        const bool lost = w % 2 != 0 && w > 1;
        const std::vector<uint8_t> expected = MakeI420(w, h, [&](EPlane plane, int x, int y) {
            const int column = lost && plane != EPlane::Y && x == lastColumn ? x - 1 : x;
            return I420At(i420, w, h, plane, column, y);
        });
        ExpectSameI420(Download(picture), expected, w, h);
    }
}

TEST(FormatConvertTest, PitchedNv12BecomesContiguousI420)
{
    // Odd heights have a chroma row of their own, odd widths in a wider pitch a pair of their own.
    const std::tuple<int, int, int> cases[] = {{1920, 1080, 2048}, {3840, 1080, 4096}, {62, 30, 64},
                                               {1920, 1081, 2048}, {62, 31, 64},       {63, 31, 64}};
    for (const auto &[w, h, pitch] : cases) {
        SCOPED_TRACE(testing::Message() << w << "x" << h << " pitch " << pitch);
        const std::vector<uint8_t> i420 = NoiseI420(w, h, 61);
        const auto bytes = static_cast<size_t>(pitch) * static_cast<size_t>(h + I420ChromaHeight(h));
        const CDvcBuffer picture = DeviceCopy(ToNv12(i420, w, h, pitch, bytes));
        const int64_t before = DevAllocationCounts().deviceBlocks;
        ASSERT_EQ(ConvertSemiplanarToPlanarInDvc(picture.Get(), w, h, pitch), GPU_SUCCESS);
        EXPECT_EQ(DevAllocationCounts().deviceBlocks, before);
        ExpectSameI420(Download(picture), i420, w, h);
    }
}

TEST(FormatConvertTest, FailuresLeaveThePictureAsItWas)
{
    CLogCapture log;
    EXPECT_EQ(ConvertPlanarToSemiplanarInDvc(nullptr, 64, 48), GPU_ERROR_INVALID_VALUE);
    EXPECT_EQ(ConvertSemiplanarToPlanarInDvc(nullptr, 64, 48, 64), GPU_ERROR_INVALID_VALUE);
    EXPECT_EQ(log.Count(L"NULL source frame pointer input!", 3), 2);
    EXPECT_EQ(log.Lines().size(), 2u);

    const int w = 64, h = 48;
    const std::vector<uint8_t> i420 = NoiseI420(w, h, 71);
    const CDvcBuffer picture = DeviceCopy(i420);
    DevInjectFault(EDevFault::Launch, 1);
    EXPECT_EQ(ConvertPlanarToSemiplanarInDvc(picture.Get(), w, h), GPU_ERROR_LAUNCH_FAILURE);
    EXPECT_TRUE(log.Contains(L"GPU error(719) returned after kernel [UVInterleavedToPlanarInDevice] excuted!", 3));
    DevInjectFault(EDevFault::Launch, 1);
    EXPECT_EQ(ConvertSemiplanarToPlanarInDvc(picture.Get(), w, h, 0), GPU_ERROR_LAUNCH_FAILURE);
    DevInjectFault(EDevFault::Malloc, 1);
    EXPECT_EQ(ConvertSemiplanarToPlanarInDvc(picture.Get(), w, h, 0), GPU_ERROR_MEMORY_ALLOCATION);
    EXPECT_TRUE(log.Contains(L"GPU memory allocing failed with error(2) returned!", 3));
    EXPECT_EQ(Download(picture), i420);
    EXPECT_EQ(ConvertSemiplanarToPlanarInDvc(picture.Get(), w, h, 32), GPU_ERROR_INVALID_VALUE) << "pitch below width";
}

} // namespace
