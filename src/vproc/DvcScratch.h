#pragma once

// Device blocks that one call needs for a while (device copies of host sources, record arrays); all
// freed together, on every path.

#include "vproc/DvcBuffer.h"

#include <vector>

class CDvcScratch
{
public:
    // A new block of that size in pointer; the device layer's error code.
    [[nodiscard]] GpuError Allocate(size_t bytes, uint8_t *&pointer)
    {
        CDvcBuffer block;
        const GpuError error = block.Allocate(bytes);
        pointer = block.Get();
        if (error == GPU_SUCCESS)
            m_blocks.push_back(std::move(block));
        return error;
    }
    void Release() { m_blocks.clear(); }

private:
    std::vector<CDvcBuffer> m_blocks;
};
