#pragma once

#include <cstdint>
#include <string>

// One monitor of the X screen (a RandR 1.5 monitor), as the display server and the presenter list
// them. Coordinates are root-window pixels; right and bottom lie just outside.
struct stDisplayEntry
{
    std::wstring deviceName;     // the monitor's name
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
    bool attachedToDesktop = true;
    int32_t rotation = 0;        // degrees
    bool primary = false;
    unsigned long output = 0;    // its first RandR output; 0 for a monitor made without one

    int32_t Width() const { return right - left; }
    int32_t Height() const { return bottom - top; }
    bool Contains(int32_t x, int32_t y) const { return x >= left && x < right && y >= top && y < bottom; }
};
