#pragma once

#include "platform/GpuDevice.h"

#include <cstdint>
#include <vector>

// A block of device memory for tests, filled from and read back into host vectors.
class CDeviceBuffer
{
public:
    explicit CDeviceBuffer(size_t bytes) : m_bytes(bytes)
    {
        void *pointer = nullptr;
        if (DevMalloc(&pointer, bytes) == GPU_SUCCESS)
            m_data = static_cast<uint8_t *>(pointer);
    }
    explicit CDeviceBuffer(const std::vector<uint8_t> &bytes) : CDeviceBuffer(bytes.size()) { Upload(bytes); }
    ~CDeviceBuffer() { DevFree(m_data); }
    CDeviceBuffer(const CDeviceBuffer &) = delete;
    CDeviceBuffer &operator=(const CDeviceBuffer &) = delete;

    uint8_t *Data() const { return m_data; }
    size_t Size() const { return m_bytes; }

    bool Upload(const std::vector<uint8_t> &bytes)
    {
        return bytes.size() <= m_bytes &&
               DevMemcpy(m_data, bytes.data(), bytes.size(), EGpuCopyKind::HostToDevice) == GPU_SUCCESS;
    }
    std::vector<uint8_t> Download() const
    {
        std::vector<uint8_t> bytes(m_bytes);
        if (DevMemcpy(bytes.data(), m_data, m_bytes, EGpuCopyKind::DeviceToHost) != GPU_SUCCESS)
            bytes.clear();
        return bytes;
    }

private:
    size_t m_bytes = 0;
    uint8_t *m_data = nullptr;
};

// Bytes that differ from their neighbours and between planes, so a misplaced row shows.
inline std::vector<uint8_t> PatternBytes(size_t count, uint32_t seed)
{
    std::vector<uint8_t> bytes(count);
    uint32_t state = seed * 2654435761u + 12345u;
    for (uint8_t &byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(state >> 24);
    }
    return bytes;
}
