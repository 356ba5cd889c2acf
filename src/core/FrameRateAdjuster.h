#pragma once

#include "core/FramePackage.h"
#include "core/StreamParams.h"

extern "C" {
#include <libavutil/rational.h>
}

#include <cstdint>

// A rate in frames per second as an exact fraction: the television rates written 29.97, 23.976 or
// 59.94 are n x 1000/1001 (30000/1001), which no decimal states exactly; any other rate is the
// nearest fraction with a denominator up to 100000 (25 is 25/1). {0, 1} for a rate of 0 or less.
AVRational ExactFrameRate(float fps);

// Turns each input picture of a video worker into zero, one or several output pictures stamped on a
// regular grid of the output rate. One per worker, used by that worker's thread only.
class CFrameRateAdjuster
{
public:
    // Most pictures one input may become (10 s at 30 fps): a bogus duration never floods memory.
    static constexpr int32_t kMaxOutputsPerInput = 300;

    CFrameRateAdjuster();
    CFrameRateAdjuster(const CFrameRateAdjuster &) = delete;
    CFrameRateAdjuster &operator=(const CFrameRateAdjuster &) = delete;

    // Sets up the conversion from inputFps to outputFps for stamps in timeBase; an outputFps of 0 or
    // less leaves everything as it was. The output rate in effect.
    float Init(const stTimeBase &timeBase, float inputFps, float outputFps);

    // Fills output (emptied first, nothing in it released) with the pictures for one input. The
    // adjuster takes over the input's data: it goes to the first output, or is released when the
    // picture is dropped; further outputs are deep copies in the same memory. Stamps are the grid's
    // slots nearest the picture, durations the output interval; at an input rate equal to the output
    // rate a picture keeps its own stamp, and only the slots of a gap before it are added. A package
    // without a pts, a status package, or any package before a successful Init passes through
    // unchanged.
    void ConvertFrame(const FramePackage &input, FramePackageQueue &output);

    // Output and input differ by 0.5 % or more.
    bool ConversionNeeded() const { return m_conversionNeeded != 0; }
    int64_t OutputInterval() const { return m_outputInterval; }
    float InputFps() const { return m_inputFps; }
    float OutputFps() const { return m_outputFps; }

private:
    bool Ready() const { return m_stepNum > 0 && m_stepDen > 0; }
    // The input's rate is known and is the output's: no picture needs another time.
    bool KeepsStamps() const { return m_sameRate; }
    int64_t GridStamp() const;
    // The stamps for one picture, from the next grid stamp on; their count.
    int32_t NearestSlots(int64_t lastSlot, int64_t stamp, int64_t *stamps);
    int32_t OwnStampAfterGap(int64_t pts, int64_t stamp, int64_t interval, int64_t *stamps);
    int64_t InputDuration(const FramePackage &input) const;
    void Emit(const int64_t *stamps, int32_t count, FramePackageQueue &output);

    FramePackage m_slots[3];     // [1] the current picture, [2] carries the output interval
    stTimeBase m_timeBase{0, 0};
    float m_inputFps = 0.0f;
    float m_outputFps = 0.0f;
    int64_t m_outputInterval = 0; // in time-base units
    int64_t m_stepNum = 0;        // grid step in time-base units, as a fraction
    int64_t m_stepDen = 1;
    int64_t m_gridBase = TYX_NOPTS_VALUE;
    int64_t m_count = 0;          // outputs since the grid base
    uint8_t m_conversionNeeded = 0;
    bool m_sameRate = false;
};

// What a worker keeps about its live output for RegulateOutputTimestamp. The worker writes lastPts
// and lastPushTime itself after each picture it sends.
struct stOutputTimeRecord
{
    int32_t delay = 0;        // the worker's latency unit, ms
    int64_t interval = 0;     // output interval, µs
    int64_t lastPts = 0;      // µs of the program clock; 0 before the first picture
    int64_t lastPushTime = 0; // program time of the last push, µs; 0 before the first
    uint8_t paced = 0;        // hold pictures back to the interval
};

// Keeps a live output's stamps regular and near the program clock `now`: 0 when pts was accepted
// or replaced (written back when above 0), the µs to wait before the next picture when paced (pts
// unchanged), -1 when no stamp can be chosen yet. A replacement is the next interval unless that
// has fallen behind the clock; paced output also waits while its next stamp would run ahead of it.
int32_t RegulateOutputTimestamp(int64_t now, int64_t &pts, const stOutputTimeRecord &record);

// Stamps live capture pictures on the program clock: the first package with a pts fixes the base at
// `now`; later ones are base + (pts - first pts) in µs, truncated toward zero. The dts is left alone.
struct stTimestampRebase
{
    int64_t base = 0; // 0: not fixed yet
    int64_t firstPts = 0;
};
// The package's pts afterwards; a package without a pts, or a time base without denominator,
// keeps its pts.
int64_t RebaseTimestamp(stTimestampRebase &state, FramePackage &package, const stTimeBase &timeBase, int64_t now);
