#pragma once

// A picture-in-picture record as the mux worker keeps it, for the layout and composer tests.

#include "vproc/VideoMux.h"

inline stPipWindowInfo Pip(uint8_t anchor, int16_t x, int16_t y, uint16_t width, uint16_t height, uint8_t kind = 1)
{
    stPipWindowInfo info;
    info.anchor = anchor;
    info.kind = kind;
    info.x = x;
    info.y = y;
    info.width = width;
    info.height = height;
    return info;
}
