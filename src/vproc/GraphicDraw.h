#pragma once

// Alpha blending of one RGBA image into an I420 frame in device memory (pictures and clip frames of
// the graphics overlays).

#include "core/VideoFrameInfo.h"

#include <cstdint>

// One image to blend (32 bytes).
struct stGraphicInfo
{
    uint64_t image = 0;     // device address of the RGBA image (R, G, B, A bytes per pixel)
    uint32_t rowLength = 0; // bytes per image row
    int16_t bytesPerPixel = 4;
    uint16_t width = 0;
    uint16_t height = 0;
    uint16_t X = 0; // left edge in the frame
    uint16_t Y = 0; // top edge in the frame
    uint8_t reserved[10] = {};
};
static_assert(sizeof(stGraphicInfo) == 32, "stGraphicInfo keeps its 32 bytes");

// Blends the image at (X, Y); 0, -1 without a Y address, -2 when luma pitch x height is below 1,
// -4 without a graphic record. Pixels outside the frame and fully transparent ones are left alone.
int32_t DrawGraphicOnFrame(const stVideoFrameInfo &frame, const stGraphicInfo *graphic);
