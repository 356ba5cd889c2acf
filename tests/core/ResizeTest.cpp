#include "core/Resize.h"

#include "support/DeviceBuffer.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace {

// One 8-bit plane (channels bytes per sample) with its pitch.
struct stPlane
{
    int32_t width = 0;
    int32_t height = 0;
    int32_t channels = 1;
    int32_t pitch = 0;
    std::vector<uint8_t> bytes;

    stPlane(int32_t w, int32_t h, int32_t c, int32_t extra, uint8_t fill)
        : width(w), height(h), channels(c), pitch(w * c + extra),
          bytes(static_cast<size_t>(pitch) * static_cast<size_t>(h), fill)
    {
    }
    uint8_t &At(int32_t x, int32_t y, int32_t c = 0)
    {
        return bytes[static_cast<size_t>(y) * static_cast<size_t>(pitch) + static_cast<size_t>(x * channels + c)];
    }
    uint8_t At(int32_t x, int32_t y, int32_t c = 0) const
    {
        return bytes[static_cast<size_t>(y) * static_cast<size_t>(pitch) + static_cast<size_t>(x * channels + c)];
    }
};

// The texture unit's linear filter, written out in doubles: sample at x * sw / dw texels,
// between the texels whose centres lie around it, edges clamped, result truncated.
uint8_t ReferenceSample(const stPlane &src, double sx, double sy, int32_t c)
{
    const double bx = sx - 0.5;
    const double by = sy - 0.5;
    const int32_t x0 = static_cast<int32_t>(std::floor(bx));
    const int32_t y0 = static_cast<int32_t>(std::floor(by));
    const double ax = bx - x0;
    const double ay = by - y0;
    auto texel = [&](int32_t x, int32_t y) {
        return static_cast<double>(src.At(std::clamp(x, 0, src.width - 1), std::clamp(y, 0, src.height - 1), c));
    };
    const double top = (1 - ax) * texel(x0, y0) + ax * texel(x0 + 1, y0);
    const double bottom = (1 - ax) * texel(x0, y0 + 1) + ax * texel(x0 + 1, y0 + 1);
    return static_cast<uint8_t>(std::min(255.0, (1 - ay) * top + ay * bottom));
}

stPlane ReferenceScale(const stPlane &src, int32_t width, int32_t height)
{
    stPlane dst(width, height, src.channels, 0, 0);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            for (int32_t c = 0; c < src.channels; ++c)
                dst.At(x, y, c) = ReferenceSample(src, x * double(src.width) / width, y * double(src.height) / height, c);
        }
    }
    return dst;
}

// Scales a plane through the device layer (device buffers, the chosen backend).
stPlane ScaleOnDevice(const stPlane &src, int32_t width, int32_t height, int32_t extra, int32_t *result)
{
    stPlane dst(width, height, src.channels, extra, 0xEE);
    CDeviceBuffer in(src.bytes);
    CDeviceBuffer out(dst.bytes);
    *result = ScaleKernelLaunch(out.Data(), dst.pitch, width, height, in.Data(), src.pitch, src.width, src.height,
                                src.channels == 2);
    dst.bytes = out.Download();
    return dst;
}

stPlane Pattern(int32_t width, int32_t height, int32_t channels, int32_t extra, uint32_t seed)
{
    stPlane plane(width, height, channels, extra, 0);
    plane.bytes = PatternBytes(plane.bytes.size(), seed);
    return plane;
}

TEST(ResizeTest, SameSizeAveragesEachPixelWithItsUpperLeftNeighbours)
{
    DevInitialize(0);
    const stPlane src = Pattern(37, 23, 1, 5, 1);
    int32_t result = -1;
    const stPlane dst = ScaleOnDevice(src, 37, 23, 3, &result);
    ASSERT_EQ(result, 0);
    for (int32_t y = 0; y < 23; ++y) {
        for (int32_t x = 0; x < 37; ++x) {
            const int32_t left = std::max(x - 1, 0);
            const int32_t up = std::max(y - 1, 0);
            const int sum = src.At(left, up) + src.At(x, up) + src.At(left, y) + src.At(x, y);
            ASSERT_EQ(dst.At(x, y), sum / 4) << x << "," << y;
        }
    }
}

TEST(ResizeTest, FollowsTheLinearFilterWithinOneStep)
{
    DevInitialize(0);
    struct stCase
    {
        int32_t sw, sh, dw, dh, channels;
    };
    const stCase cases[] = {{1920, 1080, 1280, 720, 1}, {640, 360, 1920, 1080, 1}, {97, 41, 13, 7, 1},
                            {13, 7, 97, 41, 1},        {320, 180, 211, 97, 2},   {1, 1, 5, 3, 1}};
    uint32_t seed = 20;
    for (const stCase &c : cases) {
        SCOPED_TRACE(testing::Message() << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh << " channels "
                                        << c.channels);
        const stPlane src = Pattern(c.sw, c.sh, c.channels, 7, ++seed);
        int32_t result = -1;
        const stPlane dst = ScaleOnDevice(src, c.dw, c.dh, 0, &result);
        ASSERT_EQ(result, 0);
        const stPlane expected = ReferenceScale(src, c.dw, c.dh);
        int worst = 0;
        for (size_t i = 0; i < dst.bytes.size(); ++i)
            worst = std::max(worst, std::abs(int{dst.bytes[i]} - int{expected.bytes[i]}));
        EXPECT_LE(worst, 1);
    }
}

// The integer filter the kernel computes per sample on the GPU: 12-bit positions from a 32-bit
// fraction step, four texels weighted in 12-bit fractions, truncated. The host must give the same
// bytes, whatever order it computes them in.
stPlane IntegerScale(const stPlane &src, int32_t width, int32_t height)
{
    auto position = [](int32_t index, int32_t source, int32_t destination) {
        const uint64_t step = (static_cast<uint64_t>(source) << 32) / static_cast<uint64_t>(destination);
        return static_cast<int64_t>((static_cast<uint64_t>(index) * step) >> 20) - 2048;
    };
    stPlane dst(width, height, src.channels, 0, 0);
    for (int32_t y = 0; y < height; ++y) {
        const int64_t py = position(y, src.height, height);
        const uint32_t ay = static_cast<uint32_t>(py & 4095);
        const int32_t y0 = std::clamp<int32_t>(static_cast<int32_t>(py >> 12), 0, src.height - 1);
        const int32_t y1 = std::clamp<int32_t>(static_cast<int32_t>(py >> 12) + 1, 0, src.height - 1);
        for (int32_t x = 0; x < width; ++x) {
            const int64_t px = position(x, src.width, width);
            const uint32_t ax = static_cast<uint32_t>(px & 4095);
            const int32_t x0 = std::clamp<int32_t>(static_cast<int32_t>(px >> 12), 0, src.width - 1);
            const int32_t x1 = std::clamp<int32_t>(static_cast<int32_t>(px >> 12) + 1, 0, src.width - 1);
            for (int32_t c = 0; c < src.channels; ++c) {
                const uint32_t top = (4096 - ax) * src.At(x0, y0, c) + ax * src.At(x1, y0, c);
                const uint32_t bottom = (4096 - ax) * src.At(x0, y1, c) + ax * src.At(x1, y1, c);
                dst.At(x, y, c) = static_cast<uint8_t>(((4096 - ay) * top + ay * bottom) >> 24);
            }
        }
    }
    return dst;
}

// Ratios both ways, one-texel and one-sample planes, widths around the host's blocks of samples,
// interleaved chroma, padded pitches on both sides.
TEST(ResizeTest, GivesTheBytesOfTheIntegerFilterExactly)
{
    DevInitialize(0);
    struct stCase
    {
        int32_t sw, sh, dw, dh, channels;
    };
    const stCase cases[] = {{1920, 1080, 1280, 720, 1}, {1280, 720, 1920, 1080, 1}, {1920, 1080, 480, 270, 2},
                            {640, 360, 1280, 720, 2},   {1, 1, 70, 3, 1},         {1, 9, 3, 130, 2},
                            {130, 5, 1, 1, 1},          {97, 41, 63, 64, 2},      {64, 3, 65, 129, 1},
                            {255, 17, 128, 33, 2},      {13, 7, 97, 41, 1},       {5000, 2, 4999, 3, 1}};
    uint32_t seed = 50;
    for (const stCase &c : cases) {
        SCOPED_TRACE(testing::Message() << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh << " channels "
                                        << c.channels);
        const stPlane src = Pattern(c.sw, c.sh, c.channels, 5, ++seed);
        int32_t result = -1;
        const stPlane dst = ScaleOnDevice(src, c.dw, c.dh, 0, &result);
        ASSERT_EQ(result, 0);
        const stPlane expected = IntegerScale(src, c.dw, c.dh);
        ASSERT_EQ(dst.bytes.size(), expected.bytes.size());
        size_t differing = 0;
        for (size_t i = 0; i < dst.bytes.size(); ++i)
            differing += dst.bytes[i] != expected.bytes[i];
        EXPECT_EQ(differing, 0u);
    }
}

TEST(ResizeTest, UniformPicturesStayUniform)
{
    DevInitialize(0);
    for (const auto &[dw, dh] : {std::pair{960, 540}, std::pair{1920, 1080}, std::pair{642, 362}}) {
        stPlane y(1280, 720, 1, 0, 81);
        stPlane u(640, 360, 1, 0, 90);
        stPlane v(640, 360, 1, 0, 240);
        const int32_t cw = (dw + 1) / 2;
        const int32_t ch = (dh + 1) / 2;
        CDeviceBuffer sy(y.bytes), su(u.bytes), sv(v.bytes);
        CDeviceBuffer ty(static_cast<size_t>(dw) * dh), tu(static_cast<size_t>(cw) * ch), tv(static_cast<size_t>(cw) * ch);
        ASSERT_EQ(ScaleYuv420InDvc(ty.Data(), tu.Data(), tv.Data(), dw, cw, dw, dh, sy.Data(), su.Data(), sv.Data(),
                                   1280, 640, 1280, 720),
                  0);
        EXPECT_EQ(ty.Download(), std::vector<uint8_t>(ty.Size(), 81));
        EXPECT_EQ(tu.Download(), std::vector<uint8_t>(tu.Size(), 90));
        EXPECT_EQ(tv.Download(), std::vector<uint8_t>(tv.Size(), 240));
    }
}

TEST(ResizeTest, OddPictureSizesRoundTheChromaPlanesUp)
{
    DevInitialize(0);
    const stPlane y = Pattern(640, 360, 1, 0, 31);
    const stPlane u = Pattern(320, 180, 1, 0, 32);
    const stPlane v = Pattern(320, 180, 1, 0, 33);
    // 641 x 361 has chroma planes of 321 x 181; the bytes past them stay as they were.
    stPlane ty(641, 361, 1, 3, 0xEE), tu(321, 181, 1, 3, 0xEE), tv(321, 181, 1, 3, 0xEE);
    CDeviceBuffer sy(y.bytes), su(u.bytes), sv(v.bytes);
    CDeviceBuffer dy(ty.bytes), du(tu.bytes), dv(tv.bytes);
    ASSERT_EQ(ScaleYuv420InDvc(dy.Data(), du.Data(), dv.Data(), ty.pitch, tu.pitch, 641, 361, sy.Data(), su.Data(),
                               sv.Data(), 640, 320, 640, 360),
              0);
    const stPlane *expectedPlanes[] = {&y, &u, &v};
    stPlane *targets[] = {&ty, &tu, &tv};
    const CDeviceBuffer *buffers[] = {&dy, &du, &dv};
    for (int p = 0; p < 3; ++p) {
        stPlane &target = *targets[p];
        target.bytes = buffers[p]->Download();
        const stPlane expected = ReferenceScale(*expectedPlanes[p], target.width, target.height);
        for (int32_t row = 0; row < target.height; ++row) {
            for (int32_t x = 0; x < target.width; ++x)
                ASSERT_LE(std::abs(target.At(x, row) - expected.At(x, row)), 1) << p << ":" << x << "," << row;
            for (int32_t x = target.width; x < target.pitch; ++x)
                ASSERT_EQ(target.At(x, row), 0xEE) << "plane " << p << " padding " << x << "," << row;
        }
    }
}

TEST(ResizeTest, DeviceAndHostEntriesAgree)
{
    DevInitialize(0);
    const stPlane y = Pattern(352, 288, 1, 16, 41);
    const stPlane u = Pattern(176, 144, 1, 8, 42);
    const stPlane v = Pattern(176, 144, 1, 8, 43);
    stPlane hy(200, 120, 1, 0, 0), hu(100, 60, 1, 0, 0), hv(100, 60, 1, 0, 0);
    ASSERT_EQ(ScaleYuv420OnHost(hy.bytes.data(), hu.bytes.data(), hv.bytes.data(), 200, 100, 200, 120, y.bytes.data(),
                                u.bytes.data(), v.bytes.data(), y.pitch, u.pitch, 352, 288),
              0);
    CDeviceBuffer sy(y.bytes), su(u.bytes), sv(v.bytes);
    CDeviceBuffer dy(hy.bytes.size()), du(hu.bytes.size()), dv(hv.bytes.size());
    ASSERT_EQ(ScaleYuv420InDvc(dy.Data(), du.Data(), dv.Data(), 200, 100, 200, 120, sy.Data(), su.Data(), sv.Data(),
                               y.pitch, u.pitch, 352, 288),
              0);
    EXPECT_EQ(dy.Download(), hy.bytes);
    EXPECT_EQ(du.Download(), hu.bytes);
    EXPECT_EQ(dv.Download(), hv.bytes);
}

TEST(ResizeTest, FailuresAreReportedNotHidden)
{
    DevInitialize(0);
    CDeviceBuffer src(64 * 64), dst(64 * 64);
    CLogCapture log;
    EXPECT_LT(ScaleKernelLaunch(dst.Data(), 64, 64, 64, nullptr, 64, 64, 64, false), 0);
    EXPECT_LT(ScaleKernelLaunch(dst.Data(), 63, 64, 64, src.Data(), 64, 64, 64, false), 0);
    EXPECT_EQ(ScaleKernelLaunch(dst.Data(), 64, 32, 64, src.Data(), 64, 32, 64, true), 0); // 32 pairs fit
    EXPECT_LT(ScaleKernelLaunch(dst.Data(), 64, 33, 64, src.Data(), 64, 32, 64, true), 0);
    EXPECT_LT(ScaleKernelLaunch(dst.Data(), 64, 0, 64, src.Data(), 64, 64, 64, false), 0);
    EXPECT_TRUE(log.Contains(L"Scaling refused for plane"));

    log.Clear();
    DevInjectFault(EDevFault::Launch, 1);
    EXPECT_EQ(ScaleKernelLaunch(dst.Data(), 64, 40, 33, src.Data(), 64, 64, 64, false), -GPU_ERROR_LAUNCH_FAILURE);
    EXPECT_TRUE(log.Contains(L"Cuda Error(719) occured in scaling kernel!", 3));
    EXPECT_TRUE(log.Contains(L"While gridSize=(2,2,1) and blockSize=(32,32,1)!", 3));

    // A failed plane fails the picture even though the later planes are scaled.
    DevInjectFault(EDevFault::Launch, 1);
    EXPECT_EQ(ScaleYuv420InDvc(dst.Data(), dst.Data() + 1024, dst.Data() + 1280, 32, 16, 32, 32, src.Data(),
                               src.Data() + 1024, src.Data() + 1280, 32, 16, 32, 32),
              -GPU_ERROR_LAUNCH_FAILURE);
}

} // namespace
