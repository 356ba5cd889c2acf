#pragma once

// The time rules of the mux worker's grouping, as functions of queues, states and a clock reading,
// so that they hold without threads.

#include "core/FramePackage.h"
#include "vproc/TYXMPWorker.h"

#include <cstdint>
#include <vector>

// An input silent for less than this is drawn with its last valid picture.
constexpr int64_t TYX_MUX_LAST_FRAME_HOLD_US = 5000000;

// The output pace of a rate (30 when none): the rate as the exact fraction num/den (29.97 is
// 30000/1001: num groups in den seconds), the groups of about a second (the whole rate nearest it),
// the frame duration (µs, rounded down) and what num durations lack of den seconds.
struct stMuxOutputPace
{
    int32_t rate = 30;
    int32_t num = 30;
    int32_t den = 1;
    int32_t duration = 33333;
    int32_t remainder = 10;
};
stMuxOutputPace MuxOutputPace(float rate);
// The pace's rate in frames per second, as the mux's consumers are told it.
float MuxPaceFrameRate(const stMuxOutputPace &pace);

// The rate the groups leave at: the configured one, else the negotiated one. The negotiation at
// start-up hears from no reader and gives its default (30) whenever readers are configured, so it
// would put a mux of 25 fps inputs at 30 groups a second.
float MuxOutputRate(float configuredRate, float negotiatedRate);

// The queue index of the package nearest to expectedPts: the first with pts >= expectedPts, or the
// one before it when that one is at least as close; 0 when even the oldest is at or after it; the
// newest when every package is older. -1 for an empty queue. A package without pts is never
// compared: the choice is among the stamped packages before the first one without, and that one is
// taken (index 0) when it is the oldest.
int32_t ChooseExpectedPacketIndex(const FramePackageQueue &queue, int64_t expectedPts);

// The expected pts of the first group: the smallest of the queues' newest stamps (packages without
// pts left out); 0 when no queue has a stamped package.
int64_t FirstGroupExpectedPts(const std::vector<const FramePackageQueue *> &queues);

// The newest stamp among the queue's pictures (status packages and packages without pts left
// out); TYX_NOPTS_VALUE when it holds none.
int64_t NewestPicturePts(const FramePackageQueue &queue);

// True when the chosen package is more than tolerance older than expected (and waiting applies).
bool IsLatePacket(int64_t chosenPts, int64_t expectedPts, int64_t tolerance);

// True when an input whose queue is empty is worth waiting for: the last picture it gave lies more
// than half a frame before the slot, so its next one is nearer, yet no more than a frame and a half
// (an input further behind has stalled). lastPts TYX_NOPTS_VALUE: the input gave none.
bool NextPictureIsNearer(int64_t lastPts, int64_t expectedPts, int64_t frameDuration);

// True when the window keeps showing the input's last picture (lastPts, TYX_NOPTS_VALUE when it
// showed none) rather than take the queued one nearest the slot: that one lies more than half a
// frame after the slot, and the last picture lies no further before it. A picture more than limit
// ahead is on a timeline of its own and is shown at once.
bool KeepsItsLastPicture(int64_t chosenPts, int64_t lastPts, int64_t expectedPts, int64_t frameDuration, int64_t limit);

// Sum and count of the usable time stamps among the taken packages (absent or non-positive ones
// are left out): the average, or 0 when none.
int64_t AverageOfValidPts(const std::vector<int64_t> &stamps);

// The length of the made-up package of an input that delivered nothing in this group, with the
// input's state updated: its stored status code, -96 when it never delivered or fell silent for 5 s
// or more, 0 (its last valid picture) otherwise.
int32_t VirtualFrameLength(stMPInputState &state, int64_t now);

// Records a package the input did deliver: the state's last-packet time, and its status code
// (stored when negative, cleared by a valid package). True when the package counts as made up.
bool NoteDeliveredPackage(stMPInputState &state, const FramePackage &package, int64_t now, int32_t &previousCode);

// The output clock: group stamps are the slots of a grid at the output pace whose phase comes from
// the inputs' pictures, so that a picture keeps the time it was read or received. The grid lies a
// lag behind the program clock: each slot is due that long after its stamp, so the groups leave at
// the pace of the clock, one slot each, and their stamps advance one second per second of it. The
// lag follows the inputs: it grows when the slowest of them misses a slot and shrinks when all
// keep pictures queued beyond them.
struct stMuxOutputClock
{
    int64_t originPts = 0;      // the stamp of slot 0; 0 before the first group
    int64_t originTime = 0;     // program time at which slot 0 is due
    int64_t slot = -1;          // the last slot given out
    int64_t steppedBack = 0;    // how far the program clock went back under the grid
    bool onPictures = false;    // the phase came from pictures (before them: from the clock)
    std::vector<int64_t> reach; // the samples of the current second, see MuxNoteInputReach
};

// A group's stamp lies at least this far behind the moment it is made (never at or after it), and
// the lag grows to wait for a slow input up to about a queue of pictures, no further.
constexpr int64_t TYX_MUX_LEAST_LAG_US = 1000;
constexpr int64_t TYX_MUX_MOST_LAG_US = 1000000;

// The stamp of a slot: at a whole rate a duration per slot, and the remainder once for every
// rate-th group, so that rate slots span exactly one second; at a fractional rate the slot's exact
// time rounded down to the µs, so that num slots span exactly den seconds.
int64_t MuxSlotPts(const stMuxOutputClock &clock, const stMuxOutputPace &pace, int64_t slot);
// The program time at which a slot is due.
int64_t MuxSlotDueTime(const stMuxOutputClock &clock, const stMuxOutputPace &pace, int64_t slot);
// The slot a group made at `now` fills: the one after the last, unless the clock has reached the
// one after that as well; then the latest slot due, and the slots between stay empty (a late
// output leaves pictures out rather than falling behind the clock).
int64_t MuxSlotAt(const stMuxOutputClock &clock, const stMuxOutputPace &pace, int64_t now);
// How far the grid lies behind the program clock (as it ran before any step back).
int64_t MuxClockLag(const stMuxOutputClock &clock);

// Sets the grid's phase: slot 0 stamped phasePts and due at now. The slot given out last becomes
// the last one not after lastPts, so that stamps keep rising; the next is then due later than now
// when the pictures are older than the stamps already given (the output waits for them).
void MuxAnchorClock(stMuxOutputClock &clock, const stMuxOutputPace &pace, int64_t phasePts, int64_t now,
                    int64_t lastPts);

// The program clock went back by step: the next slot is due at once and the grid goes on, its
// stamps rising, so that inputs stamped before the step keep their pictures' times.
void MuxClockSteppedBack(stMuxOutputClock &clock, const stMuxOutputPace &pace, int64_t now, int64_t step);

// Notes how far the inputs' newest pictures reached past a group's stamp when it was made (the
// least over the inputs that had any). A group that found the slowest input more than half a frame
// short of its slot could only show an older picture, and the one it missed is dropped at the next
// slot: the due times move later at once, so that the group would have found the picture of its own
// stamp. When every group of a second found every input more than a frame and a half ahead, they
// move earlier by half a frame, so that a frame is kept (a larger step would skip slots and drop
// their pictures). The lag stays within its bounds; a reach beyond the most lag is another timeline
// and is not followed. The move applied to the due times (later: positive), mostly 0.
int64_t MuxNoteInputReach(stMuxOutputClock &clock, const stMuxOutputPace &pace, int64_t reach);
