#include "core/FrameRateAdjuster.h"

extern "C" {
#include <libavutil/mathematics.h>
#include <libavutil/rational.h>
}

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace {

// The stamp after the last one: one interval on, or, when that has fallen too far behind the
// clock (output that came slower than its interval), as many whole intervals on as bring it back
// to where a first stamp would lie. Stamps one interval apart however seldom pictures came would
// make a recording shorter than the time it ran.
int64_t NextStampNearTheClock(int64_t now, const stOutputTimeRecord &record)
{
    const int64_t n = record.delay;
    const int64_t next = record.lastPts + record.interval;
    if (record.interval <= 0 || next >= now - 5000 * n)
        return next;
    return record.lastPts + record.interval * std::max<int64_t>(1, (now - 1500 * n - record.lastPts) / record.interval);
}

} // namespace

AVRational ExactFrameRate(float fps)
{
    if (!(fps > 0.0f) || !std::isfinite(fps))
        return AVRational{0, 1};
    const double rate = fps;
    // A whole rate lies 0.1 % from the television rate above it and is never taken for one.
    const double thousands = std::round(rate * 1.001);
    if (thousands >= 1.0 && thousands <= std::numeric_limits<int32_t>::max() / 1000 &&
        std::fabs(rate * 1.001 - thousands) <= thousands * 1e-4)
        return AVRational{static_cast<int>(thousands) * 1000, 1001};
    return av_d2q(rate, 100000);
}

CFrameRateAdjuster::CFrameRateAdjuster()
{
    for (FramePackage &slot : m_slots)
        ClearFramePackage(slot);
}

float CFrameRateAdjuster::Init(const stTimeBase &timeBase, float inputFps, float outputFps)
{
    if (!(outputFps > 0.0f))
        return m_outputFps;
    for (FramePackage &slot : m_slots)
        ClearFramePackage(slot);
    m_slots[2].pts = TYX_NOPTS_VALUE;
    m_inputFps = inputFps;
    m_outputFps = outputFps;
    m_timeBase = timeBase;
    m_stepNum = 0; // no grid until the step below is known

    // The grid steps by the exact output rate (29.97 is 30000/1001, not 30), so the pictures per
    // second and the stamps agree with the interval, and with those of a producer at that rate.
    const AVRational rate = ExactFrameRate(outputFps);
    // A rate configured as 29.97 and one measured as 30000/1001 are one rate, though their floats
    // differ.
    m_sameRate = inputFps > 0.0f &&
                 (inputFps == outputFps || (rate.den == 1001 && av_cmp_q(ExactFrameRate(inputFps), rate) == 0));
    if (timeBase.den <= 0 || timeBase.num <= 0 || rate.num <= 0 || rate.den <= 0)
        return outputFps;
    const int64_t num = int64_t{timeBase.den} * rate.den;
    const int64_t den = int64_t{timeBase.num} * rate.num;
    const int64_t divisor = std::gcd(num, den);
    if ((divisor & 0xFFFF) == 0)
        return outputFps;
    m_stepNum = num / divisor;
    m_stepDen = den / divisor;
    m_count = 0;

    m_outputInterval = static_cast<int64_t>(timeBase.den / static_cast<double>(outputFps) / timeBase.num);
    m_slots[2].duration = m_outputInterval;
    m_conversionNeeded = std::fabs(outputFps - inputFps) / outputFps >= 0.005f ? 1 : 0;
    return outputFps;
}

int64_t CFrameRateAdjuster::GridStamp() const
{
    return m_gridBase + av_rescale_rnd(m_count, m_stepNum, m_stepDen, AV_ROUND_DOWN);
}

// A picture without a duration lasts one input frame (one output frame when the input rate is not
// known): taken as 0, every picture would be dropped.
int64_t CFrameRateAdjuster::InputDuration(const FramePackage &input) const
{
    if (input.duration > 0)
        return input.duration;
    if (m_inputFps > 0.0f && m_timeBase.num > 0)
        return static_cast<int64_t>(m_timeBase.den / static_cast<double>(m_inputFps) / m_timeBase.num);
    return m_slots[2].duration;
}

void CFrameRateAdjuster::ConvertFrame(const FramePackage &input, FramePackageQueue &output)
{
    output.clear();
    if (!Ready() || input.pts == TYX_NOPTS_VALUE || input.nLength <= 0) {
        output.push_back(input);
        return;
    }
    m_slots[1] = input;
    const int64_t interval = m_slots[2].duration;
    const int64_t duration = InputDuration(input);
    if (m_gridBase == TYX_NOPTS_VALUE) {
        m_gridBase = input.pts;
        m_count = 0;
    }
    // A short gap in the input (a producer that could not keep its pace left a few pictures out)
    // is filled with repeats of this picture, so that the output keeps its rate and its timeline.
    // A grid left behind further (the source was away) starts again at this picture instead of
    // catching up with a burst; so does a grid ahead of the input by more than a picture (the
    // input went back).
    int64_t stamp = GridStamp();
    const int64_t longestFilledGap = int64_t{m_timeBase.den} / (2 * int64_t{m_timeBase.num}); // half a second
    if (input.pts - stamp > longestFilledGap || stamp > input.pts + duration + interval) {
        m_gridBase = input.pts;
        m_count = 0;
        stamp = m_gridBase;
    }
    int64_t stamps[kMaxOutputsPerInput];
    const int32_t count = KeepsStamps() ? OwnStampAfterGap(input.pts, stamp, interval, stamps)
                                        : NearestSlots(input.pts + duration / 2, stamp, stamps);
    if (count == 0) {
        FreeFramePackage(m_slots[1]);
        return;
    }
    Emit(stamps, count, output);
}

// Each slot shows the picture nearest to it: this one up to half its duration on (lastSlot), where
// the next picture comes nearer; an equal distance keeps this one, so that no picture is shown
// before its time for a tie. A slot taken any later would show a picture up to a whole frame late
// whenever the input's phase against the grid moved (a repeat of a clip, a camera's jitter).
int32_t CFrameRateAdjuster::NearestSlots(int64_t lastSlot, int64_t stamp, int64_t *stamps)
{
    int32_t count = 0;
    while (stamp <= lastSlot && count < kMaxOutputsPerInput) {
        stamps[count++] = stamp;
        ++m_count;
        stamp = GridStamp();
    }
    return count;
}

// At the input's own rate a picture keeps its stamp, and the grid goes on from it: a grid of its
// own phase would move every picture by up to half a frame whenever the input's phase differs (a
// producer that stamped its first pictures on another phase, then its real ones). The slots of a
// gap before it are filled; a picture nearer the slot of the one before is one too many.
int32_t CFrameRateAdjuster::OwnStampAfterGap(int64_t pts, int64_t stamp, int64_t interval, int64_t *stamps)
{
    if (pts < stamp - interval / 2)
        return 0;
    int32_t count = 0;
    while (stamp < pts - interval / 2 && count < kMaxOutputsPerInput - 1) {
        stamps[count++] = stamp;
        ++m_count;
        stamp = GridStamp();
    }
    stamps[count++] = pts;
    m_gridBase = pts;
    m_count = 1;
    return count;
}

void CFrameRateAdjuster::Emit(const int64_t *stamps, int32_t count, FramePackageQueue &output)
{
    FramePackage &picture = m_slots[1];
    for (int32_t i = 1; i < count; ++i) {
        FramePackage copy;
        copy.inDevice = picture.inDevice;
        if (DuplicateFramePackage(copy, picture) <= 0)
            continue; // a picture without data is no picture: the repeat is skipped
        copy.pts = stamps[i];
        copy.duration = m_slots[2].duration;
        output.push_back(copy);
    }
    picture.pts = stamps[0];
    picture.duration = m_slots[2].duration;
    output.push_front(picture);
    ClearFramePackage(picture); // its data belongs to the queue now
}

int32_t RegulateOutputTimestamp(int64_t now, int64_t &pts, const stOutputTimeRecord &record)
{
    const int64_t n = record.delay;
    const int64_t interval = record.interval;
    const bool pushedBefore = record.lastPts > 0 && record.lastPushTime > 0;
    int64_t stamp = pts;
    bool noStamp = false;
    const bool replaced = pts <= 0 || pts >= now || pts > now - 500 * n || pts < now - 5000 * n ||
                          record.lastPts <= 0 || pts < record.lastPts + interval / 3;
    if (replaced) {
        if (!pushedBefore)
            stamp = now - 1500 * n;
        else if (now - record.lastPushTime > 5000 * n)
            stamp = now - 2000 * n;
        else
            stamp = NextStampNearTheClock(now, record);
        noStamp = record.lastPushTime > now;
    }
    if (record.paced && record.lastPushTime > 0) {
        const int64_t passed = now - record.lastPushTime;
        if (passed < interval - interval * 3 / 100)
            return static_cast<int32_t>(std::min<int64_t>(interval - passed, std::numeric_limits<int32_t>::max()));
        // Output paced by its own intervals runs ahead of the clock bit by bit: it waits until
        // its next stamp is old enough again.
        if (replaced && !noStamp && pushedBefore && stamp > now - 500 * n)
            return static_cast<int32_t>(std::min<int64_t>(stamp - (now - 500 * n), std::numeric_limits<int32_t>::max()));
    }
    if (noStamp)
        return -1;
    if (record.lastPts > 0) {
        const int64_t next = record.lastPts + interval;
        if (stamp >= next - interval / 10 && stamp <= next + interval / 10)
            stamp = next;
    }
    if (stamp > 0)
        pts = stamp;
    return 0;
}

int64_t RebaseTimestamp(stTimestampRebase &state, FramePackage &package, const stTimeBase &timeBase, int64_t now)
{
    if (package.pts == TYX_NOPTS_VALUE)
        return package.pts;
    if (state.base == 0) {
        state.base = now;
        state.firstPts = package.pts;
        package.pts = now;
        return package.pts;
    }
    if (timeBase.den == 0)
        return package.pts;
    // 128 bits: a 100 ns time base overflows 64 bits after about ten days.
    const __int128 elapsed = static_cast<__int128>(package.pts) - state.firstPts;
    const __int128 micros = elapsed * timeBase.num * 1000000 / timeBase.den;
    const __int128 stamp = state.base + micros;
    const __int128 lowest = std::numeric_limits<int64_t>::min() + 1; // never the absent value
    const __int128 highest = std::numeric_limits<int64_t>::max();
    package.pts = static_cast<int64_t>(stamp < lowest ? lowest : (stamp > highest ? highest : stamp));
    return package.pts;
}
