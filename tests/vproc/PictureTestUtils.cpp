#include "PictureTestUtils.h"

#include <gtest/gtest.h>

CDeviceBlock::CDeviceBlock(size_t bytes) : m_bytes(bytes)
{
    void *data = nullptr;
    EXPECT_EQ(DevMalloc(&data, bytes), GPU_SUCCESS);
    m_data = static_cast<uint8_t *>(data);
}

CDeviceBlock::~CDeviceBlock()
{
    DevFree(m_data);
}

void CDeviceBlock::Upload(const std::vector<uint8_t> &bytes, size_t offset)
{
    ASSERT_LE(offset + bytes.size(), m_bytes);
    ASSERT_EQ(DevMemcpy(m_data + offset, bytes.data(), bytes.size(), EGpuCopyKind::HostToDevice), GPU_SUCCESS);
}

std::vector<uint8_t> CDeviceBlock::Download() const
{
    std::vector<uint8_t> bytes(m_bytes);
    EXPECT_EQ(DevMemcpy(bytes.data(), m_data, m_bytes, EGpuCopyKind::DeviceToHost), GPU_SUCCESS);
    return bytes;
}

uint8_t *CDeviceBlock::Release()
{
    uint8_t *data = m_data;
    m_data = nullptr;
    return data;
}

namespace {

size_t PlaneOffset(int width, int height, EPlane plane, int x, int y)
{
    const size_t w = static_cast<size_t>(width);
    const size_t h = static_cast<size_t>(height);
    switch (plane) {
    case EPlane::Y:
        return static_cast<size_t>(y) * w + static_cast<size_t>(x);
    case EPlane::U:
        return w * h + static_cast<size_t>(y) * (w / 2) + static_cast<size_t>(x);
    default:
        return w * h * 5 / 4 + static_cast<size_t>(y) * (w / 2) + static_cast<size_t>(x);
    }
}

} // namespace

std::vector<uint8_t> MakeI420(int width, int height, const PixelFunction &fn)
{
    std::vector<uint8_t> picture(static_cast<size_t>(width) * height * 3 / 2, 0);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            picture[PlaneOffset(width, height, EPlane::Y, x, y)] = fn(EPlane::Y, x, y);
    }
    for (EPlane plane : {EPlane::U, EPlane::V}) {
        for (int y = 0; y < height / 2; ++y) {
            for (int x = 0; x < width / 2; ++x)
                picture[PlaneOffset(width, height, plane, x, y)] = fn(plane, x, y);
        }
    }
    return picture;
}

uint8_t I420At(const std::vector<uint8_t> &picture, int width, int height, EPlane plane, int x, int y)
{
    return picture[PlaneOffset(width, height, plane, x, y)];
}

uint8_t NoiseAt(uint32_t seed, int x, int y)
{
    uint32_t h = seed * 0x9E3779B1u ^ static_cast<uint32_t>(x) * 0x85EBCA77u ^ static_cast<uint32_t>(y) * 0xC2B2AE3Du;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    return static_cast<uint8_t>(h);
}
