#pragma once

// A contiguous I420 test picture in host memory, filled with one colour, with guard bytes behind it
// that no drawing may touch; and its round trip through device memory. Also the images that the
// graphics overlays blend.

#include "PictureTestUtils.h"
#include "core/I420Layout.h"
#include "vproc/DvcBuffer.h"
#include "vproc/OverlayPixels.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

// An RGBA image of one colour in device memory.
inline CDvcBuffer SolidImage(int32_t width, int32_t height, std::array<uint8_t, 4> rgba)
{
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 4);
    for (size_t i = 0; i < pixels.size(); i += 4)
        std::copy(rgba.begin(), rgba.end(), pixels.begin() + static_cast<std::ptrdiff_t>(i));
    CDvcBuffer image;
    if (image.Allocate(pixels.size()) == GPU_SUCCESS)
        DevMemcpy(image.Get(), pixels.data(), pixels.size(), EGpuCopyKind::HostToDevice);
    return image;
}

class COverlayTestFrame
{
public:
    static constexpr size_t kGuardBytes = 4096;
    static constexpr uint8_t kGuard = 0xA5;

    COverlayTestFrame(int32_t width, int32_t height, stColorYuv fill = {16, 128, 128})
        : m_width(width), m_height(height), m_bytes(static_cast<size_t>(I420Size(width, height))),
          m_data(m_bytes + kGuardBytes, kGuard)
    {
        Fill(fill);
    }

    void Fill(stColorYuv color)
    {
        const std::vector<uint8_t> solid = SolidI420(m_width, m_height, color.y, color.u, color.v);
        std::copy(solid.begin(), solid.end(), m_data.begin());
    }

    uint8_t *Data() { return m_data.data(); }
    int32_t Bytes() const { return static_cast<int32_t>(m_bytes); }
    int32_t Width() const { return m_width; }
    int32_t Height() const { return m_height; }
    uint8_t Y(int32_t x, int32_t y) const { return I420At(m_data, m_width, m_height, EPlane::Y, x, y); }
    uint8_t U(int32_t cx, int32_t cy) const { return I420At(m_data, m_width, m_height, EPlane::U, cx, cy); }
    uint8_t V(int32_t cx, int32_t cy) const { return I420At(m_data, m_width, m_height, EPlane::V, cx, cy); }
    bool GuardIntact() const
    {
        return std::all_of(m_data.begin() + static_cast<std::ptrdiff_t>(m_bytes), m_data.end(),
                           [](uint8_t b) { return b == kGuard; });
    }
    // The picture bytes, without the guard.
    std::vector<uint8_t> Picture() const
    {
        return std::vector<uint8_t>(m_data.begin(), m_data.begin() + static_cast<std::ptrdiff_t>(m_bytes));
    }
    stVideoFrameInfo Info(uint8_t *data, bool inDevice) const
    {
        return OverlayFrameInfo(m_width, m_height, m_width, m_width / 2, data, Bytes(), inDevice);
    }

    // Runs draw(deviceData) on a device copy of the picture (picture plus guard) and copies it back.
    template <typename Draw>
    void OnDevice(Draw draw)
    {
        CDvcBuffer device;
        if (device.Allocate(m_data.size()) != GPU_SUCCESS)
            return;
        DevMemcpy(device.Get(), m_data.data(), m_data.size(), EGpuCopyKind::HostToDevice);
        draw(device.Get());
        DevMemcpy(m_data.data(), device.Get(), m_data.size(), EGpuCopyKind::DeviceToHost);
    }

private:
    int32_t m_width;
    int32_t m_height;
    size_t m_bytes;
    std::vector<uint8_t> m_data;
};
