#pragma once

#include "core/FramePackage.h"

#include <cstdint>

// What one output stream of a media writer has written so far: its first package, and its last
// one, which the ordering rule compares against.
struct WrittenStreamState
{
    int16_t outputIndex = -1;                 // the output stream it belongs to
    int64_t lastSourceDts = TYX_NOPTS_VALUE; // µs
    int64_t lastDts = TYX_NOPTS_VALUE;       // rebased, output units
    int64_t lastSourcePts = TYX_NOPTS_VALUE;
    int64_t lastPts = TYX_NOPTS_VALUE;
    int32_t lastSize = 0;
    int64_t firstWriteTime = TYX_NOPTS_VALUE; // program clock
    int64_t firstSourceDts = TYX_NOPTS_VALUE;
    int64_t firstSourcePts = TYX_NOPTS_VALUE;
    int64_t baseDts = TYX_NOPTS_VALUE;
    int64_t basePts = TYX_NOPTS_VALUE;
    int64_t discardsInRow = 0;               // out-of-order packages since the last write (log pacing)
};
