#pragma once

// Test pictures in host and device memory for the picture kernels' tests.

#include "platform/GpuDevice.h"

#include <cstdint>
#include <functional>
#include <vector>

// A device block that frees itself.
class CDeviceBlock
{
public:
    explicit CDeviceBlock(size_t bytes);
    ~CDeviceBlock();
    CDeviceBlock(const CDeviceBlock &) = delete;
    CDeviceBlock &operator=(const CDeviceBlock &) = delete;

    uint8_t *Data() const { return m_data; }
    size_t Bytes() const { return m_bytes; }
    void Upload(const std::vector<uint8_t> &bytes, size_t offset = 0);
    std::vector<uint8_t> Download() const;
    // Hands the block to the caller, who frees it.
    uint8_t *Release();

private:
    uint8_t *m_data = nullptr;
    size_t m_bytes = 0;
};

enum class EPlane { Y = 0, U = 1, V = 2 };
using PixelFunction = std::function<uint8_t(EPlane plane, int x, int y)>;

// A contiguous I420 picture (width x height x 3 / 2 bytes) with every sample from fn.
std::vector<uint8_t> MakeI420(int width, int height, const PixelFunction &fn);
// The sample of a contiguous I420 picture.
uint8_t I420At(const std::vector<uint8_t> &picture, int width, int height, EPlane plane, int x, int y);
// Repeatable noise.
uint8_t NoiseAt(uint32_t seed, int x, int y);
