// The mux worker's grouping and time-stamp rules.

#include "vproc/MuxGrouping.h"

#include "core/FrameRateAdjuster.h"

#include <algorithm>
#include <cmath>

namespace {

bool UsableRate(float rate)
{
    return rate >= 1.0f && rate <= 1000.0f;
}

} // namespace

stMuxOutputPace MuxOutputPace(float rate)
{
    stMuxOutputPace pace;
    if (!UsableRate(rate))
        return pace;
    // The rate stays a fraction: a 29.97 source through a mux of 29 groups a second would lose a
    // picture a second.
    const AVRational exact = ExactFrameRate(rate);
    const int64_t period = int64_t{1000000} * exact.den;
    pace.num = exact.num;
    pace.den = exact.den;
    pace.rate = std::max<int32_t>(1, static_cast<int32_t>(std::lround(static_cast<double>(exact.num) / exact.den)));
    pace.duration = static_cast<int32_t>(period / exact.num);
    pace.remainder = static_cast<int32_t>(period - int64_t{exact.num} * pace.duration);
    return pace;
}

float MuxPaceFrameRate(const stMuxOutputPace &pace)
{
    return pace.den > 0 ? static_cast<float>(static_cast<double>(pace.num) / pace.den) : 0.0f;
}

float MuxOutputRate(float configuredRate, float negotiatedRate)
{
    if (UsableRate(configuredRate))
        return configuredRate;
    return UsableRate(negotiatedRate) ? negotiatedRate : 30.0f;
}

namespace {

// The packages from the front that carry a stamp; the first one without ends the run.
int32_t StampedRun(const FramePackageQueue &queue)
{
    int32_t run = 0;
    for (const FramePackage &package : queue) {
        if (package.pts == TYX_NOPTS_VALUE)
            break;
        ++run;
    }
    return run;
}

} // namespace

int32_t ChooseExpectedPacketIndex(const FramePackageQueue &queue, int64_t expectedPts)
{
    if (queue.empty())
        return -1;
    // A package without a stamp (a status package) cannot be near or far: it is taken in its turn,
    // and the stamped ones before it are chosen among as if it ended the queue.
    const int32_t count = StampedRun(queue);
    if (count <= 1 || expectedPts == TYX_NOPTS_VALUE)
        return 0;
    const auto at = [&queue](int32_t i) { return queue[static_cast<size_t>(i)].pts; };
    if (expectedPts >= at(count - 1))
        return count - 1;
    for (int32_t i = 0; i < count; ++i) {
        if (at(i) < expectedPts)
            continue;
        if (i == 0)
            return 0;
        // Both differences are of stamps on either side of the expected one: no overflow for real
        // stamps, and wide enough for made-up ones.
        const __int128 after = static_cast<__int128>(at(i)) - expectedPts;
        const __int128 before = static_cast<__int128>(expectedPts) - at(i - 1);
        return before <= after ? i - 1 : i;
    }
    return count - 1;
}

int64_t FirstGroupExpectedPts(const std::vector<const FramePackageQueue *> &queues)
{
    int64_t smallest = 0;
    bool any = false;
    for (const FramePackageQueue *queue : queues) {
        if (!queue)
            continue;
        // The newest stamp of the queue; packages without one say nothing of its time.
        const auto newest = std::find_if(queue->rbegin(), queue->rend(),
                                         [](const FramePackage &package) { return package.pts != TYX_NOPTS_VALUE; });
        if (newest == queue->rend())
            continue;
        smallest = any ? std::min(smallest, newest->pts) : newest->pts;
        any = true;
    }
    return any ? smallest : 0;
}

int64_t NewestPicturePts(const FramePackageQueue &queue)
{
    const auto newest = std::find_if(queue.rbegin(), queue.rend(), [](const FramePackage &package) {
        return package.nLength > 0 && package.pts != TYX_NOPTS_VALUE;
    });
    return newest == queue.rend() ? TYX_NOPTS_VALUE : newest->pts;
}

bool IsLatePacket(int64_t chosenPts, int64_t expectedPts, int64_t tolerance)
{
    if (expectedPts == 0 || tolerance <= 0 || chosenPts == TYX_NOPTS_VALUE || expectedPts == TYX_NOPTS_VALUE)
        return false;
    return static_cast<__int128>(expectedPts) - chosenPts > tolerance;
}

bool NextPictureIsNearer(int64_t lastPts, int64_t expectedPts, int64_t frameDuration)
{
    if (lastPts == TYX_NOPTS_VALUE || expectedPts == TYX_NOPTS_VALUE || expectedPts == 0 || frameDuration <= 0)
        return false;
    const __int128 behind = static_cast<__int128>(expectedPts) - lastPts;
    return behind > frameDuration / 2 && behind <= frameDuration + frameDuration / 2;
}

bool KeepsItsLastPicture(int64_t chosenPts, int64_t lastPts, int64_t expectedPts, int64_t frameDuration, int64_t limit)
{
    if (chosenPts == TYX_NOPTS_VALUE || expectedPts == TYX_NOPTS_VALUE || expectedPts == 0)
        return false;
    const __int128 ahead = static_cast<__int128>(chosenPts) - expectedPts;
    if (ahead <= frameDuration / 2 || ahead > limit)
        return false;
    // An equal distance keeps the last picture: none is shown before its time for a tie.
    return lastPts == TYX_NOPTS_VALUE || static_cast<__int128>(expectedPts) - lastPts <= ahead;
}

int64_t AverageOfValidPts(const std::vector<int64_t> &stamps)
{
    // Status packages carry no stamp; adding the absent value would overflow the sum.
    __int128 sum = 0;
    int64_t count = 0;
    for (int64_t pts : stamps) {
        if (pts <= 0)
            continue;
        sum += pts;
        ++count;
    }
    return count == 0 ? 0 : static_cast<int64_t>(sum / count);
}

int32_t VirtualFrameLength(stMPInputState &state, int64_t now)
{
    if (state.statusCode < 0)
        return state.statusCode;
    if (state.lastPacketTime == 0 || now - state.lastPacketTime >= TYX_MUX_LAST_FRAME_HOLD_US) {
        state.statusCode = TYX_SRC_WAITING_INPUT;
        return TYX_SRC_WAITING_INPUT;
    }
    return 0;
}

bool NoteDeliveredPackage(stMPInputState &state, const FramePackage &package, int64_t now, int32_t &previousCode)
{
    previousCode = state.statusCode;
    state.lastPacketTime = now;
    if (package.nLength < 0) {
        state.statusCode = package.nLength;
        return true;
    }
    if (package.nLength > 0 && package.pData)
        state.statusCode = 0;
    return package.nLength == 0 || !package.pData;
}

int64_t MuxSlotPts(const stMuxOutputClock &clock, const stMuxOutputPace &pace, int64_t slot)
{
    if (pace.den > 1 && pace.num > 0)
        return clock.originPts + static_cast<int64_t>(static_cast<__int128>(slot) * 1000000 * pace.den / pace.num);
    const int64_t seconds = pace.rate > 0 ? (slot + 1) / pace.rate : 0;
    return clock.originPts + slot * pace.duration + seconds * pace.remainder;
}

int64_t MuxSlotDueTime(const stMuxOutputClock &clock, const stMuxOutputPace &pace, int64_t slot)
{
    return clock.originTime + (MuxSlotPts(clock, pace, slot) - clock.originPts);
}

int64_t MuxSlotAt(const stMuxOutputClock &clock, const stMuxOutputPace &pace, int64_t now)
{
    const int64_t next = clock.slot + 1;
    if (pace.duration <= 0 || now < MuxSlotDueTime(clock, pace, next + 1))
        return next;
    // An estimate from the elapsed time, then exact: the latest slot whose time has come.
    int64_t slot = std::max(next, (now - clock.originTime) / pace.duration);
    while (slot > next && MuxSlotDueTime(clock, pace, slot) > now)
        --slot;
    while (MuxSlotDueTime(clock, pace, slot + 1) <= now)
        ++slot;
    return slot;
}

int64_t MuxClockLag(const stMuxOutputClock &clock)
{
    return clock.originTime + clock.steppedBack - clock.originPts;
}

void MuxAnchorClock(stMuxOutputClock &clock, const stMuxOutputPace &pace, int64_t phasePts, int64_t now,
                    int64_t lastPts)
{
    clock.originPts = phasePts;
    clock.originTime = now;
    clock.reach.clear();
    if (phasePts > lastPts || pace.duration <= 0) {
        clock.slot = -1;
        return;
    }
    // An estimate from the distance, then exact: the last slot whose stamp is not after lastPts.
    int64_t slot = (lastPts - phasePts) / pace.duration;
    while (slot > 0 && MuxSlotPts(clock, pace, slot) > lastPts)
        --slot;
    while (MuxSlotPts(clock, pace, slot + 1) <= lastPts)
        ++slot;
    clock.slot = slot;
}

void MuxClockSteppedBack(stMuxOutputClock &clock, const stMuxOutputPace &pace, int64_t now, int64_t step)
{
    clock.originTime = now - (MuxSlotPts(clock, pace, clock.slot + 1) - clock.originPts);
    clock.steppedBack += step;
    clock.reach.clear();
}

int64_t MuxNoteInputReach(stMuxOutputClock &clock, const stMuxOutputPace &pace, int64_t reach)
{
    if (reach < -TYX_MUX_MOST_LAG_US)
        return 0;
    const int64_t half = pace.duration / 2;
    const int64_t lag = MuxClockLag(clock);
    int64_t move = 0;
    if (reach < -half) {
        // Every later slot would miss its picture as well: the second is measured again from here.
        clock.reach.clear();
        move = std::max<int64_t>(0, std::min(-reach, TYX_MUX_MOST_LAG_US - lag));
    } else {
        clock.reach.push_back(reach);
        if (clock.reach.size() < static_cast<size_t>(std::max(pace.rate, 1)))
            return 0;
        const int64_t low = *std::min_element(clock.reach.begin(), clock.reach.end());
        clock.reach.clear();
        // A lag already below its least (a clock that went back leaves it there) is not pushed further.
        if (low > pace.duration + half)
            move = -std::max<int64_t>(0, std::min(half, lag - TYX_MUX_LEAST_LAG_US));
    }
    clock.originTime += move;
    return move;
}
