#pragma once

#include "core/FramePackage.h"

#include <cstdint>

// What one output stream of a media writer has written so far: when it wrote first, and its last
// package, which the ordering rule compares against.
struct WrittenStreamState
{
    int16_t outputIndex = -1;                 // the output stream it belongs to
    int64_t lastSourceDts = TYX_NOPTS_VALUE; // µs
    int64_t lastDts = TYX_NOPTS_VALUE;       // rebased, output units
    int64_t lastSourcePts = TYX_NOPTS_VALUE;
    int64_t lastPts = TYX_NOPTS_VALUE;
    int32_t lastSize = 0;
    int64_t firstWriteTime = TYX_NOPTS_VALUE; // program clock
    int64_t sourceEnd = TYX_NOPTS_VALUE;     // µs: the latest end (pts + duration) written
    int64_t discardsInRow = 0;               // out-of-order packages since the last write (log pacing)
};
