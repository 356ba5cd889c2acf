#pragma once

// The two small records every GPU routine of the system shares; read by nvcc and g++ alike.

#include <cstdint>

// One I420 picture handed to GPU kernels. A pitch of 0 means the contiguous layout of
// core/I420Layout.h: the luma pitch is the width and the chroma pitch half of it, rounded up.
struct stVideoFrameInfo
{
    uint16_t width = 0;
    uint16_t height = 0;
    uint16_t lumaPitch = 0;
    uint16_t chromaPitch = 0;
    int32_t size = 0;
    uint8_t *pY = nullptr;
    uint8_t *pU = nullptr;
    uint8_t *pV = nullptr;
    bool inDevice = false;
};
static_assert(sizeof(stVideoFrameInfo) == 48, "stVideoFrameInfo keeps its 48-byte layout");

// A drawing colour in YUV.
struct stColorYuv
{
    uint8_t y = 0;
    uint8_t u = 128;
    uint8_t v = 128;
};
