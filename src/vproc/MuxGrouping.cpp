// The mux worker's grouping and time-stamp rules.

#include "vproc/MuxGrouping.h"

#include <algorithm>

stMuxOutputPace MuxOutputPace(float negotiatedRate)
{
    stMuxOutputPace pace;
    const int32_t rate = negotiatedRate >= 1.0f && negotiatedRate <= 1000.0f ? static_cast<int32_t>(negotiatedRate) : 30;
    pace.rate = rate;
    pace.duration = 1000000 / rate;
    pace.remainder = 1000000 - rate * pace.duration;
    return pace;
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

bool IsLatePacket(int64_t chosenPts, int64_t expectedPts, int64_t tolerance)
{
    if (expectedPts == 0 || tolerance <= 0 || chosenPts == TYX_NOPTS_VALUE || expectedPts == TYX_NOPTS_VALUE)
        return false;
    return static_cast<__int128>(expectedPts) - chosenPts > tolerance;
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
