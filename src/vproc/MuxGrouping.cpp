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

int32_t ChooseExpectedPacketIndex(const FramePackageQueue &queue, int64_t expectedPts)
{
    if (queue.empty())
        return -1;
    const auto count = static_cast<int32_t>(queue.size());
    if (count == 1)
        return 0;
    if (expectedPts >= queue.back().pts)
        return count - 1;
    for (int32_t i = 0; i < count; ++i) {
        if (queue[static_cast<size_t>(i)].pts < expectedPts)
            continue;
        if (i == 0)
            return 0;
        const int64_t after = queue[static_cast<size_t>(i)].pts - expectedPts;
        const int64_t before = expectedPts - queue[static_cast<size_t>(i - 1)].pts;
        return before <= after ? i - 1 : i;
    }
    return count - 1;
}

int64_t FirstGroupExpectedPts(const std::vector<const FramePackageQueue *> &queues)
{
    int64_t smallest = 0;
    bool any = false;
    for (const FramePackageQueue *queue : queues) {
        if (!queue || queue->empty())
            continue;
        const int64_t newest = queue->back().pts;
        smallest = any ? std::min(smallest, newest) : newest;
        any = true;
    }
    return any ? smallest : 0;
}

bool IsLatePacket(int64_t chosenPts, int64_t expectedPts, int64_t tolerance)
{
    if (expectedPts == 0 || tolerance <= 0 || chosenPts == TYX_NOPTS_VALUE)
        return false;
    return expectedPts - chosenPts > tolerance;
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
