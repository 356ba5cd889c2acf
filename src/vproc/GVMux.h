#pragma once

// Composition of several I420 pictures into one canvas in a single kernel launch; the records are
// read by nvcc and g++ alike.

#include "platform/GpuKernelDefs.h"

#include <cstdint>

// One window of one composition. The source is a contiguous I420 picture (pitch = source width).
struct stMuxInputData
{
    uint16_t srcWidth = 0;  // the window width, for pictures the composer was given
    uint16_t srcHeight = 0; // the window height, likewise
    int32_t srcLength = 0;  // bytes of the source picture
    uint8_t *source = nullptr;
    uint8_t srcInDevice = 0;
    uint8_t kind = 0; // region kind: 0 background covering the canvas, else 1..16
    uint16_t left = 0;
    uint16_t top = 0;
    uint16_t winWidth = 0;
    uint16_t winHeight = 0;
    uint16_t cropLeft = 0; // where the shown part of the source starts, for windows hanging off
    uint16_t cropTop = 0;  // the canvas; (left, top) is then where that part goes
};

// MuxFrames result when a GPU call failed; the composed picture may then be incomplete.
constexpr int32_t TYX_MUX_GPU_FAILED = -16;

// Composes count windows onto the I420 canvas dst (width x height). Returns the canvas size, the
// first window's length when it was the only one (copied whole), -1 for bad arguments, -8 when a
// full-canvas first window is longer than the canvas, TYX_MUX_GPU_FAILED when a GPU call failed.
// Windows are clipped to the canvas and sources are read within their own size; a source shorter
// than its size says is skipped. Returns when the copies are done. Any thread.
int32_t MuxFrames(int32_t count, stMuxInputData *windows, uint16_t width, uint16_t height, uint8_t *dst,
                  bool dstInDevice);

// Launch shape of the composition kernel for windows up to maxHeight lines: one thread per line
// and plane, blocks of at most 1024 lines.
void MuxLaunchShape(uint32_t maxHeight, uint32_t windows, stDim3 &grid, stDim3 &block);
