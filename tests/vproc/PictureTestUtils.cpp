#include "PictureTestUtils.h"

#include "core/I420Layout.h"

#include <gtest/gtest.h>

CDvcBuffer DeviceCopy(const std::vector<uint8_t> &bytes)
{
    CDvcBuffer block;
    if (block.Allocate(bytes.size()) != GPU_SUCCESS ||
        DevMemcpy(block.Get(), bytes.data(), bytes.size(), EGpuCopyKind::HostToDevice) != GPU_SUCCESS)
        ADD_FAILURE() << "no device copy of " << bytes.size() << " bytes";
    return block;
}

std::vector<uint8_t> Download(const CDvcBuffer &block)
{
    std::vector<uint8_t> bytes(block.Size());
    EXPECT_EQ(DevMemcpy(bytes.data(), block.Get(), bytes.size(), EGpuCopyKind::DeviceToHost), GPU_SUCCESS);
    return bytes;
}

namespace {

size_t PlaneOffset(int width, int height, EPlane plane, int x, int y)
{
    const auto chromaPitch = static_cast<size_t>(I420ChromaPitch(width));
    switch (plane) {
    case EPlane::Y:
        return static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x);
    case EPlane::U:
        return static_cast<size_t>(I420UOffset(width, height)) + static_cast<size_t>(y) * chromaPitch +
               static_cast<size_t>(x);
    default:
        return static_cast<size_t>(I420VOffset(width, height)) + static_cast<size_t>(y) * chromaPitch +
               static_cast<size_t>(x);
    }
}

// Calls fn for every sample of a width x height picture.
void ForEachSample(int width, int height, const std::function<void(EPlane, int, int)> &fn)
{
    for (EPlane plane : {EPlane::Y, EPlane::U, EPlane::V}) {
        const bool luma = plane == EPlane::Y;
        const auto rows = static_cast<int>(luma ? height : I420ChromaHeight(height));
        const auto columns = static_cast<int>(luma ? width : I420ChromaWidth(width));
        for (int y = 0; y < rows; ++y) {
            for (int x = 0; x < columns; ++x)
                fn(plane, x, y);
        }
    }
}

uint8_t NoiseAt(uint32_t seed, int x, int y)
{
    uint32_t h = seed * 0x9E3779B1u ^ static_cast<uint32_t>(x) * 0x85EBCA77u ^ static_cast<uint32_t>(y) * 0xC2B2AE3Du;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    return static_cast<uint8_t>(h);
}

} // namespace

std::vector<uint8_t> MakeI420(int width, int height, const PixelFunction &fn)
{
    std::vector<uint8_t> picture(static_cast<size_t>(I420Size(width, height)), 0);
    ForEachSample(width, height,
                  [&](EPlane plane, int x, int y) { picture[PlaneOffset(width, height, plane, x, y)] = fn(plane, x, y); });
    return picture;
}

uint8_t I420At(const std::vector<uint8_t> &picture, int width, int height, EPlane plane, int x, int y)
{
    return picture[PlaneOffset(width, height, plane, x, y)];
}

std::vector<uint8_t> NoiseI420(int width, int height, uint32_t seed)
{
    return MakeI420(width, height,
                    [seed](EPlane plane, int x, int y) { return NoiseAt(seed * 3 + static_cast<uint32_t>(plane), x, y); });
}

std::vector<uint8_t> CropI420(const std::vector<uint8_t> &picture, int width, int height, int left, int top, int w,
                              int h)
{
    return MakeI420(w, h, [&](EPlane plane, int x, int y) {
        return plane == EPlane::Y ? I420At(picture, width, height, plane, left + x, top + y)
                                  : I420At(picture, width, height, plane, left / 2 + x, top / 2 + y);
    });
}

std::vector<uint8_t> SolidI420(int width, int height, uint8_t y, uint8_t u, uint8_t v)
{
    return MakeI420(width, height, [=](EPlane plane, int, int) { return plane == EPlane::Y ? y : plane == EPlane::U ? u : v; });
}

void PasteI420(std::vector<uint8_t> &picture, int width, int height, const std::vector<uint8_t> &window, int left,
               int top, int w, int h)
{
    ForEachSample(w, h, [&](EPlane plane, int x, int y) {
        const int shift = plane == EPlane::Y ? 0 : 1;
        picture[PlaneOffset(width, height, plane, (left >> shift) + x, (top >> shift) + y)] =
            I420At(window, w, h, plane, x, y);
    });
}

void ExpectSameI420(const std::vector<uint8_t> &actual, const std::vector<uint8_t> &expected, int width, int height)
{
    const auto bytes = static_cast<size_t>(I420Size(width, height));
    ASSERT_GE(actual.size(), bytes);
    ASSERT_GE(expected.size(), bytes);
    int reported = 0;
    ForEachSample(width, height, [&](EPlane plane, int x, int y) {
        const int a = I420At(actual, width, height, plane, x, y);
        const int e = I420At(expected, width, height, plane, x, y);
        if (a == e || ++reported > 8)
            return;
        ADD_FAILURE() << "YUV"[static_cast<int>(plane)] << " at (" << x << ", " << y << "): " << a << " instead of " << e;
    });
}
