// The picture scaler as the mux scales inputs to their windows: whole I420 pictures against a
// bilinear filter computed here in floating point.

#include "core/Resize.h"

#include "PictureTestUtils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// A known pattern: a smooth diagonal ramp with a fine checker over it, so both the weights and the
// positions of the filter show in the result.
uint8_t PatternAt(EPlane plane, int x, int y)
{
    const int ramp = (x * 3 + y * 2 + static_cast<int>(plane) * 40) % 200;
    const int checker = ((x / 3 + y / 2) % 2) * 50;
    return static_cast<uint8_t>(ramp + checker);
}

// The linear filter of the texture unit: the sample at (x * sw / dw, y * sh / dh) in texel units,
// between the four texels whose centres surround it, edges clamped, truncated.
double FilterAt(const std::vector<uint8_t> &picture, int w, int h, EPlane plane, int pw, int ph, double sx, double sy)
{
    const double fx = sx - 0.5;
    const double fy = sy - 0.5;
    const int x0 = static_cast<int>(std::floor(fx));
    const int y0 = static_cast<int>(std::floor(fy));
    const double ax = fx - x0;
    const double ay = fy - y0;
    auto at = [&](int x, int y) {
        x = std::clamp(x, 0, pw - 1);
        y = std::clamp(y, 0, ph - 1);
        return static_cast<double>(I420At(picture, w, h, plane, x, y));
    };
    return (1 - ay) * ((1 - ax) * at(x0, y0) + ax * at(x0 + 1, y0)) + ay * ((1 - ax) * at(x0, y0 + 1) + ax * at(x0 + 1, y0 + 1));
}

// Scales a contiguous I420 picture with the scaler (chroma planes at half the sizes rounded up).
std::vector<uint8_t> Scale(const std::vector<uint8_t> &picture, int sw, int sh, int dw, int dh)
{
    const int scw = (sw + 1) / 2, sch = (sh + 1) / 2, dcw = (dw + 1) / 2, dch = (dh + 1) / 2;
    const size_t dstBytes = static_cast<size_t>(dw) * dh + 2 * static_cast<size_t>(dcw) * dch;
    CDeviceBlock src(picture.size() + 2 * static_cast<size_t>(scw) * sch);
    src.Upload(picture);
    CDeviceBlock dst(dstBytes);
    uint8_t *s = src.Data();
    uint8_t *d = dst.Data();
    const size_t sy = static_cast<size_t>(sw) * sh, dy = static_cast<size_t>(dw) * dh;
    EXPECT_EQ(ScaleYuv420InDvc(d, d + dy, d + dy + static_cast<size_t>(dcw) * dch, dw, dcw, dw, dh, s, s + sy,
                               s + sy * 5 / 4, sw, sw / 2, sw, sh),
              0);
    return dst.Download();
}

void ExpectBilinear(int sw, int sh, int dw, int dh)
{
    SCOPED_TRACE(testing::Message() << sw << "x" << sh << " to " << dw << "x" << dh);
    const std::vector<uint8_t> source = MakeI420(sw, sh, PatternAt);
    const std::vector<uint8_t> scaled = Scale(source, sw, sh, dw, dh);
    const int dcw = (dw + 1) / 2, dch = (dh + 1) / 2;
    int failures = 0;
    int exact = 0;
    int samples = 0;
    auto check = [&](EPlane plane, int pw, int ph, int spw, int sph, size_t offset) {
        for (int y = 0; y < ph && failures < 5; ++y) {
            for (int x = 0; x < pw && failures < 5; ++x) {
                const int expected = static_cast<int>(FilterAt(source, sw, sh, plane, spw, sph, x * double(spw) / pw, y * double(sph) / ph));
                const int actual = scaled[offset + static_cast<size_t>(y) * pw + x];
                ++samples;
                if (actual == expected)
                    ++exact;
                if (std::abs(actual - expected) > 1) {
                    ADD_FAILURE() << "plane " << static_cast<int>(plane) << " (" << x << ", " << y << "): " << actual
                                  << " for " << expected;
                    ++failures;
                }
            }
        }
    };
    const size_t dy = static_cast<size_t>(dw) * dh;
    check(EPlane::Y, dw, dh, sw, sh, 0);
    // Chroma of the source as the system lays it out: planes of (w / 2) x (h / 2).
    check(EPlane::U, dcw, dch, sw / 2, sh / 2, dy);
    check(EPlane::V, dcw, dch, sw / 2, sh / 2, dy + static_cast<size_t>(dcw) * dch);
    EXPECT_GT(exact, samples * 9 / 10) << "most samples match the filter exactly";
}

TEST(ScaleTest, MuxWindowSizesFollowTheBilinearFilter)
{
    ExpectBilinear(1920, 1080, 640, 360);
    ExpectBilinear(1920, 1080, 480, 268);
    ExpectBilinear(1280, 720, 416, 236);
    ExpectBilinear(352, 288, 1280, 720);
    ExpectBilinear(640, 360, 640, 360);
}

TEST(ScaleTest, UniformColoursStayUniform)
{
    const std::vector<uint8_t> source = MakeI420(320, 180, [](EPlane p, int, int) {
        return static_cast<uint8_t>(p == EPlane::Y ? 201 : p == EPlane::U ? 37 : 255);
    });
    const std::vector<uint8_t> scaled = Scale(source, 320, 180, 208, 116);
    const size_t luma = 208 * 116;
    for (size_t i = 0; i < scaled.size(); ++i) {
        const int expected = i < luma ? 201 : i < luma + 104 * 58 ? 37 : 255;
        ASSERT_EQ(scaled[i], expected) << i;
    }
}

} // namespace
