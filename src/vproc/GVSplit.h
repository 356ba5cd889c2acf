#pragma once

// Cutting one I420 picture into several rectangular pictures in a single kernel launch; the records
// are read by nvcc and g++ alike.

#include <cstdint>

// One output of a split, in the split list.
struct stSplitOutput
{
    int32_t streamId = 0;
    uint16_t left = 0;
    uint16_t top = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    uint8_t used = 0;           // 1 once the list is built
    uint8_t *picture = nullptr; // contiguous device picture (core/I420Layout.h), made by SplitFrame
    int32_t length = 0;
};

// The picture being split. Pitches of 0 mean the contiguous layout (luma pitch = width, chroma
// pitch = width / 2 rounded up); U follows height luma lines and V as many chroma lines as the
// height has chroma rows.
struct stSrcFrameInfo
{
    uint16_t width = 0;
    uint16_t height = 0;
    uint16_t lumaPitch = 0;
    uint16_t chromaPitch = 0;
    uint8_t *picture = nullptr;
    int32_t length = 0;
    uint8_t memoryType = 1; // 1 device memory, 0 host memory
    uint8_t inputFlag = 0;  // taken from the worker's input parameters
};

// SplitFrame result when a GPU call failed.
constexpr int32_t TYX_SPLIT_GPU_FAILED = -16;

// Makes a new device picture for every output that lies inside the source and copies its part of
// the source into it; outputs that do not fit (or whose picture cannot be allocated) get none.
// Returns the number of pictures made, -1 for bad arguments, -2 when no output fits,
// TYX_SPLIT_GPU_FAILED when the copy failed (no output then keeps a picture). Returns when the
// copies are done. Any thread.
int32_t SplitFrame(const stSrcFrameInfo *source, int32_t count, stSplitOutput *outputs);
