#pragma once

// One block of device memory with one owner; freed when the owner goes.

#include "platform/GpuDevice.h"

#include <cstddef>
#include <cstdint>
#include <utility>

class CDvcBuffer
{
public:
    CDvcBuffer() = default;
    ~CDvcBuffer() { Reset(); }
    CDvcBuffer(const CDvcBuffer &) = delete;
    CDvcBuffer &operator=(const CDvcBuffer &) = delete;
    CDvcBuffer(CDvcBuffer &&other) noexcept : m_pointer(std::exchange(other.m_pointer, nullptr)),
                                              m_bytes(std::exchange(other.m_bytes, 0)) {}
    CDvcBuffer &operator=(CDvcBuffer &&other) noexcept
    {
        if (this != &other) {
            Reset();
            m_pointer = std::exchange(other.m_pointer, nullptr);
            m_bytes = std::exchange(other.m_bytes, 0);
        }
        return *this;
    }

    // Replaces the block by a new one of that size; the device layer's error code.
    [[nodiscard]] GpuError Allocate(size_t bytes)
    {
        Reset();
        void *pointer = nullptr;
        const GpuError error = DevMalloc(&pointer, bytes);
        if (error == GPU_SUCCESS) {
            m_pointer = static_cast<uint8_t *>(pointer);
            m_bytes = bytes;
        }
        return error;
    }
    // The device layer's error code of the free (0 when empty).
    GpuError Reset()
    {
        GpuError error = GPU_SUCCESS;
        if (m_pointer)
            error = DevFree(m_pointer);
        m_pointer = nullptr;
        m_bytes = 0;
        return error;
    }

    uint8_t *Get() const { return m_pointer; }
    size_t Size() const { return m_bytes; }
    explicit operator bool() const { return m_pointer != nullptr; }

private:
    uint8_t *m_pointer = nullptr;
    size_t m_bytes = 0;
};
