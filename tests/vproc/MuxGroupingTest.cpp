// The mux worker's grouping and time-stamp rules, on plain queues and clock readings.

#include "vproc/MuxGrouping.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

namespace {

FramePackageQueue QueueOf(std::initializer_list<int64_t> stamps)
{
    FramePackageQueue queue;
    for (int64_t pts : stamps) {
        FramePackage package;
        package.pts = pts;
        queue.push_back(package);
    }
    return queue;
}

TEST(MuxGrouping, ChoosesThePackageNearestTheExpectedStamp)
{
    EXPECT_EQ(ChooseExpectedPacketIndex(QueueOf({}), 100), -1);
    EXPECT_EQ(ChooseExpectedPacketIndex(QueueOf({500}), 100), 0) << "a single package is taken whatever its stamp";
    const FramePackageQueue queue = QueueOf({1000, 2000, 3000, 4000});
    EXPECT_EQ(ChooseExpectedPacketIndex(queue, 500), 0) << "all newer: the oldest";
    EXPECT_EQ(ChooseExpectedPacketIndex(queue, 4000), 3);
    EXPECT_EQ(ChooseExpectedPacketIndex(queue, 9000), 3) << "all older: the newest";
    EXPECT_EQ(ChooseExpectedPacketIndex(queue, 2100), 1);
    EXPECT_EQ(ChooseExpectedPacketIndex(queue, 2900), 2);
    EXPECT_EQ(ChooseExpectedPacketIndex(queue, 2500), 1) << "equally far: the older";
}

TEST(MuxGrouping, FirstGroupWaitsForTheSlowestInput)
{
    const FramePackageQueue fast = QueueOf({1000, 2000, 3000, 4000});
    const FramePackageQueue slow = QueueOf({1500, 2500});
    const FramePackageQueue empty;
    EXPECT_EQ(FirstGroupExpectedPts({&fast, &slow, &empty}), 2500);
    EXPECT_EQ(ChooseExpectedPacketIndex(fast, 2500), 1) << "the fast input gives its package nearest 2500";
    EXPECT_EQ(FirstGroupExpectedPts({&empty}), 0);
}

// Status packages carry no pts: they are taken in their turn and never measured against a stamp
// (the absent value in a difference overflows).
TEST(MuxGrouping, PackagesWithoutPtsAreTakenInOrderNeverComparedByTime)
{
    constexpr int64_t kNone = TYX_NOPTS_VALUE;
    EXPECT_EQ(ChooseExpectedPacketIndex(QueueOf({kNone, 1000, 2000}), 1500), 0) << "the oldest, without pts";
    EXPECT_EQ(ChooseExpectedPacketIndex(QueueOf({kNone, kNone}), 1500), 0);
    EXPECT_EQ(ChooseExpectedPacketIndex(QueueOf({1000, 2000, kNone, 3000}), 1900), 1);
    EXPECT_EQ(ChooseExpectedPacketIndex(QueueOf({1000, 2000, kNone, 3000}), 2900), 1)
        << "nothing past the package without pts is chosen: it would be dropped";
    EXPECT_EQ(ChooseExpectedPacketIndex(QueueOf({1000, kNone}), 9000), 0);
    EXPECT_EQ(ChooseExpectedPacketIndex(QueueOf({1000, 2000}), kNone), 0);
    EXPECT_EQ(ChooseExpectedPacketIndex(QueueOf({INT64_MIN + 1, INT64_MAX}), INT64_MAX - 1), 1);

    const FramePackageQueue stamped = QueueOf({1000, 2000, kNone});
    const FramePackageQueue unstamped = QueueOf({kNone, kNone});
    EXPECT_EQ(FirstGroupExpectedPts({&stamped, &unstamped}), 2000);
    EXPECT_EQ(FirstGroupExpectedPts({&unstamped}), 0);

    EXPECT_FALSE(IsLatePacket(1000, kNone, 33333));
    EXPECT_TRUE(IsLatePacket(INT64_MIN + 1, INT64_MAX, 33333));
}

TEST(MuxGrouping, LateOnlyBeyondTheTolerance)
{
    EXPECT_FALSE(IsLatePacket(1000, 0, 33333)) << "the first group never waits";
    EXPECT_FALSE(IsLatePacket(100000 - 33333, 100000, 33333));
    EXPECT_TRUE(IsLatePacket(100000 - 33334, 100000, 33333));
    EXPECT_FALSE(IsLatePacket(TYX_NOPTS_VALUE, 100000, 33333)) << "a status package has no stamp to be late with";
}

TEST(MuxGrouping, AverageLeavesOutStatusPackagesWithoutStamps)
{
    EXPECT_EQ(AverageOfValidPts({}), 0);
    EXPECT_EQ(AverageOfValidPts({TYX_NOPTS_VALUE, TYX_NOPTS_VALUE}), 0);
    EXPECT_EQ(AverageOfValidPts({TYX_NOPTS_VALUE, 3000, 5000}), 4000) << "an absent stamp must not wrap the sum";
    const int64_t big = INT64_MAX / 2;
    EXPECT_EQ(AverageOfValidPts({big, big, big}), big);
}

TEST(MuxGrouping, SilentInputsGetWaitingOrTheLastPicture)
{
    const int64_t now = 100000000;
    stMPInputState never;
    EXPECT_EQ(VirtualFrameLength(never, now), TYX_SRC_WAITING_INPUT);
    EXPECT_EQ(never.statusCode, TYX_SRC_WAITING_INPUT);

    stMPInputState paused;
    paused.lastPacketTime = now - TYX_MUX_LAST_FRAME_HOLD_US + 1;
    EXPECT_EQ(VirtualFrameLength(paused, now), 0) << "under 5 s: its last valid picture";
    paused.lastPacketTime = now - TYX_MUX_LAST_FRAME_HOLD_US;
    EXPECT_EQ(VirtualFrameLength(paused, now), TYX_SRC_WAITING_INPUT);
    EXPECT_EQ(VirtualFrameLength(paused, now + 1), TYX_SRC_WAITING_INPUT) << "stays waiting until a picture comes";

    stMPInputState failed;
    failed.statusCode = TYX_SRC_CONNECTING;
    failed.lastPacketTime = now;
    EXPECT_EQ(VirtualFrameLength(failed, now), TYX_SRC_CONNECTING);
}

TEST(MuxGrouping, StatusPackagesAreStoredAndAValidPictureClearsThem)
{
    stMPInputState state;
    int32_t previous = 0;
    FramePackage status;
    status.nLength = TYX_SRC_CONNECTING;
    EXPECT_TRUE(NoteDeliveredPackage(state, status, 500, previous));
    EXPECT_EQ(state.statusCode, TYX_SRC_CONNECTING);
    EXPECT_EQ(state.lastPacketTime, 500);
    uint8_t byte = 0;
    FramePackage picture;
    picture.pData = &byte;
    picture.nLength = 1;
    EXPECT_FALSE(NoteDeliveredPackage(state, picture, 600, previous));
    EXPECT_EQ(previous, TYX_SRC_CONNECTING) << "the caller logs the recovery from it";
    EXPECT_EQ(state.statusCode, 0);
}

TEST(MuxGrouping, OutputPaceOfARate)
{
    const stMuxOutputPace p25 = MuxOutputPace(25.0f);
    EXPECT_EQ(p25.duration, 40000);
    EXPECT_EQ(p25.remainder, 0);
    const stMuxOutputPace p30 = MuxOutputPace(30.0f);
    EXPECT_EQ(p30.duration, 33333);
    EXPECT_EQ(p30.remainder, 10);
    EXPECT_EQ(std::tie(p30.num, p30.den, p30.rate), std::make_tuple(30, 1, 30));
    EXPECT_EQ(MuxOutputPace(0.0f).rate, 30) << "no rate";
    EXPECT_EQ(MuxOutputPace(0.0f).den, 1);
    // The television rates stay fractions, configured (29.97) or measured (30000/1001) alike.
    for (const float rate : {29.97f, 30000.0f / 1001.0f}) {
        const stMuxOutputPace ntsc = MuxOutputPace(rate);
        EXPECT_EQ(std::tie(ntsc.num, ntsc.den, ntsc.rate), std::make_tuple(30000, 1001, 30)) << rate;
        EXPECT_EQ(ntsc.duration, 33366) << rate;
        EXPECT_FLOAT_EQ(MuxPaceFrameRate(ntsc), 30000.0f / 1001.0f) << rate;
    }
    EXPECT_EQ(MuxOutputPace(59.94f).num, 60000);
    EXPECT_EQ(MuxOutputPace(23.976f).num, 24000);
    EXPECT_FLOAT_EQ(MuxPaceFrameRate(p25), 25.0f);
}

// The negotiation at start-up gives its default, 30, whenever readers are configured: a mux of 25 fps
// inputs configured for 25 fps must not run at 30.
TEST(MuxGrouping, TheConfiguredRateGoesBeforeTheNegotiatedOne)
{
    EXPECT_FLOAT_EQ(MuxOutputRate(25.0f, 30.0f), 25.0f);
    EXPECT_FLOAT_EQ(MuxOutputRate(25.0f, 0.0f), 25.0f);
    EXPECT_FLOAT_EQ(MuxOutputRate(-2.0f, 25.0f), 25.0f) << "no configured rate: the negotiated one";
    EXPECT_FLOAT_EQ(MuxOutputRate(-2.0f, 0.0f), 30.0f) << "neither: 30";
    EXPECT_EQ(MuxOutputPace(MuxOutputRate(29.97f, 30.0f)).num, 30000);
}

TEST(MuxGrouping, NewestPictureLeavesOutStatusPackages)
{
    FramePackageQueue queue = QueueOf({1000, 2000, 3000});
    for (FramePackage &package : queue)
        package.nLength = 100;
    EXPECT_EQ(NewestPicturePts(queue), 3000);
    queue.back().nLength = TYX_SRC_CONNECTING; // a status package, stamped when it was sent
    EXPECT_EQ(NewestPicturePts(queue), 2000);
    queue[1].pts = TYX_NOPTS_VALUE;
    EXPECT_EQ(NewestPicturePts(queue), 1000);
    EXPECT_EQ(NewestPicturePts(QueueOf({})), TYX_NOPTS_VALUE);
    EXPECT_EQ(NewestPicturePts(QueueOf({5000})), TYX_NOPTS_VALUE) << "a package without a picture";
}

// The output clock from its first group: stamp 1,000,000 at program time 1,900,000.
stMuxOutputClock ClockFrom(int64_t lastSlot)
{
    stMuxOutputClock clock;
    clock.originPts = 1000000;
    clock.originTime = 1900000;
    clock.slot = lastSlot;
    return clock;
}

TEST(MuxGrouping, SlotsOfOneSecondSpanExactlyOneSecond)
{
    const stMuxOutputPace p30 = MuxOutputPace(30.0f);
    const stMuxOutputClock clock = ClockFrom(0);
    EXPECT_EQ(MuxSlotPts(clock, p30, 0), 1000000);
    EXPECT_EQ(MuxSlotPts(clock, p30, 1) - MuxSlotPts(clock, p30, 0), 33333);
    EXPECT_EQ(MuxSlotPts(clock, p30, 29) - MuxSlotPts(clock, p30, 28), 33343) << "the 30th group takes the remainder";
    EXPECT_EQ(MuxSlotPts(clock, p30, 30) - MuxSlotPts(clock, p30, 0), 1000000);
    EXPECT_EQ(MuxSlotPts(clock, p30, 3000) - MuxSlotPts(clock, p30, 0), 100000000);
    const stMuxOutputPace p25 = MuxOutputPace(25.0f);
    EXPECT_EQ(MuxSlotPts(clock, p25, 7) - MuxSlotPts(clock, p25, 6), 40000);
    // A slot is due as long after the first group as its stamp lies after the first stamp.
    EXPECT_EQ(MuxSlotDueTime(clock, p30, 30), 2900000);
}

TEST(MuxGrouping, AGroupFillsTheNextSlotUnlessTheClockHasPassedItsSuccessor)
{
    const stMuxOutputPace p25 = MuxOutputPace(25.0f);
    const stMuxOutputClock clock = ClockFrom(9); // slot 10 is due at 2,300,000, slot 11 at 2,340,000
    EXPECT_EQ(MuxSlotAt(clock, p25, 2290000), 10) << "early: the pass waits for it";
    EXPECT_EQ(MuxSlotAt(clock, p25, 2300000), 10);
    EXPECT_EQ(MuxSlotAt(clock, p25, 2339999), 10) << "late by less than a frame: the slot is kept";
    EXPECT_EQ(MuxSlotAt(clock, p25, 2340000), 11) << "a whole frame late: slot 10 stays empty";
    EXPECT_EQ(MuxSlotAt(clock, p25, 2419999), 12);
    EXPECT_EQ(MuxSlotAt(clock, p25, 61900000), 1500) << "a minute on: the slot of that minute";
    const stMuxOutputPace p30 = MuxOutputPace(30.0f);
    for (int64_t slot : {int64_t{28}, int64_t{29}, int64_t{30}, int64_t{89}, int64_t{9000}}) {
        const int64_t due = MuxSlotDueTime(ClockFrom(0), p30, slot);
        EXPECT_EQ(MuxSlotAt(ClockFrom(0), p30, due), slot) << slot;
        EXPECT_EQ(MuxSlotAt(ClockFrom(0), p30, due - 1), slot - 1) << slot;
    }
}

// A mux that makes each group as soon as its slot is due (or as soon as it can), on a clock
// passed in: however long a group takes, the stamps advance as far as the clock did.
TEST(MuxGrouping, StampsKeepThePaceOfTheClockWhateverAGroupCosts)
{
    const stMuxOutputPace p30 = MuxOutputPace(30.0f);
    for (const int64_t cost : {int64_t{5000}, int64_t{33000}, int64_t{37900}, int64_t{90000}, int64_t{400000}}) {
        stMuxOutputClock clock = ClockFrom(0);
        int64_t now = clock.originTime;
        int64_t groups = 1;
        int64_t stamp = clock.originPts;
        while (now < clock.originTime + 60000000) {
            now = std::max(now, MuxSlotDueTime(clock, p30, clock.slot + 1));
            clock.slot = MuxSlotAt(clock, p30, now);
            const int64_t next = MuxSlotPts(clock, p30, clock.slot);
            ASSERT_GT(next, stamp) << cost;
            stamp = next;
            ++groups;
            now += cost;
        }
        // The last group's stamp lies as far behind the clock as the first one's did, give or
        // take the group's own cost and a frame.
        const int64_t lag = now - cost - stamp;
        EXPECT_GE(lag, clock.originTime - clock.originPts) << cost;
        EXPECT_LE(lag, clock.originTime - clock.originPts + cost + p30.duration) << cost;
        if (cost < p30.duration)
            EXPECT_EQ(groups, 1801) << "every slot of the minute filled";
        else
            EXPECT_LT(groups, 1800) << cost;
    }
}

// A 29.97 source (30000 pictures in 1001 s) through a mux at 29.97, groups made as their slots
// come on an injected clock: every slot of the 1001 s is filled, each shows its own picture, none
// is left out or shown twice. A mux at 29 groups a second leaves out about one picture a second.
TEST(MuxGrouping, ATelevisionRateKeepsEveryPictureOfItsSource)
{
    const stMuxOutputPace pace = MuxOutputPace(29.97f);
    const int64_t lag = 60000;
    const auto pictureAt = [](int64_t i) { return 5000000 + i * 1001000000 / 30000; };
    stMuxOutputClock clock;
    MuxAnchorClock(clock, pace, pictureAt(0), pictureAt(0) + lag, 0);
    FramePackageQueue queue;
    int64_t fed = 0;
    int64_t now = clock.originTime;
    std::vector<int64_t> shown;
    while (now < clock.originTime + 1001 * 1000000) {
        now = MuxSlotDueTime(clock, pace, clock.slot + 1);
        clock.slot = MuxSlotAt(clock, pace, now);
        const int64_t expected = MuxSlotPts(clock, pace, clock.slot);
        for (; pictureAt(fed) + lag <= now; ++fed) {
            FramePackage package;
            package.pts = pictureAt(fed);
            queue.push_back(package);
        }
        const int32_t chosen = ChooseExpectedPacketIndex(queue, expected);
        ASSERT_GE(chosen, 0);
        shown.push_back(queue[static_cast<size_t>(chosen)].pts);
        queue.erase(queue.begin(), queue.begin() + chosen + 1);
    }
    ASSERT_EQ(shown.size(), 30001u) << "slot 0 to the one 1001 s after it";
    for (size_t i = 0; i < shown.size(); ++i)
        ASSERT_EQ(shown[i], pictureAt(static_cast<int64_t>(i))) << "group " << i;
    EXPECT_EQ(MuxSlotPts(clock, pace, 30000) - MuxSlotPts(clock, pace, 0), 1001 * 1000000);
}

// The first pictures set the grid's phase. Pictures newer than the stamps given so far start it at
// once; older ones make the output wait until their slots are due, its stamps rising on the new grid.
TEST(MuxGrouping, PicturesSetTheGridsPhaseAndStampsKeepRising)
{
    const stMuxOutputPace p25 = MuxOutputPace(25.0f);
    stMuxOutputClock clock;
    MuxAnchorClock(clock, p25, 5000000, 5060000, 4000000);
    EXPECT_EQ(clock.slot, -1);
    EXPECT_EQ(MuxSlotPts(clock, p25, 0), 5000000);
    EXPECT_EQ(MuxSlotDueTime(clock, p25, 0), 5060000) << "the lag the pictures came with";
    EXPECT_EQ(MuxClockLag(clock), 60000);

    MuxAnchorClock(clock, p25, 5000000, 5900000, 5650000);
    const int64_t next = MuxSlotPts(clock, p25, clock.slot + 1);
    EXPECT_EQ(next, 5680000) << "the first slot of the grid after the last stamp";
    EXPECT_EQ(MuxSlotDueTime(clock, p25, clock.slot + 1), 5900000 + 680000) << "due its lag after its stamp";
    MuxAnchorClock(clock, p25, 5000000, 5900000, 5640000);
    EXPECT_EQ(MuxSlotPts(clock, p25, clock.slot + 1), 5680000) << "a stamp on the grid is not given twice";

    const stMuxOutputPace p30 = MuxOutputPace(30.0f);
    MuxAnchorClock(clock, p30, 1000000, 1100000, 1000000 + 3 * 1000000 + 5);
    EXPECT_EQ(MuxSlotPts(clock, p30, clock.slot + 1), 1000000 + 3 * 1000000 + 33333) << "whole seconds with remainders";
}

// A step back of the program clock: the next slot is due at once, and the grid goes on.
TEST(MuxGrouping, AClockGoneBackLeavesTheGridAndItsStampsGoingOn)
{
    const stMuxOutputPace p25 = MuxOutputPace(25.0f);
    stMuxOutputClock clock;
    MuxAnchorClock(clock, p25, 100000000, 100050000, 0);
    clock.slot = 9; // slot 10 at 100,400,000, due at 100,450,000
    const int64_t now = 100450000 - 60000000;
    MuxClockSteppedBack(clock, p25, now, 60000000);
    EXPECT_EQ(MuxSlotAt(clock, p25, now), 10);
    EXPECT_EQ(MuxSlotPts(clock, p25, 10), 100400000);
    EXPECT_EQ(MuxSlotDueTime(clock, p25, 10), now);
    EXPECT_EQ(MuxSlotDueTime(clock, p25, 11), now + 40000);
    EXPECT_EQ(MuxClockLag(clock), 50000) << "behind the clock as it ran before the step";
}

// Feeds a second of groups whose slowest input reached `reach` past each group's stamp.
int64_t SecondOfReach(stMuxOutputClock &clock, const stMuxOutputPace &pace, const std::vector<int64_t> &reach)
{
    int64_t moved = 0;
    for (int i = 0; i < pace.rate; ++i)
        moved += MuxNoteInputReach(clock, pace, reach[static_cast<size_t>(i) % reach.size()]);
    return moved;
}

TEST(MuxGrouping, TheLagFollowsTheSlowestInputWithinItsBounds)
{
    const stMuxOutputPace p25 = MuxOutputPace(25.0f);
    stMuxOutputClock clock;
    MuxAnchorClock(clock, p25, 10000000, 10040000, 0); // 40 ms behind

    EXPECT_EQ(SecondOfReach(clock, p25, {0, 40000, -20000, 0}), 0)
        << "half a frame short at worst: the newest picture is still the one nearest the slot";
    // A group that could only show an older picture (the one it missed would be dropped at the next
    // slot) is one too many: the next one is due later by as much as this one needed.
    EXPECT_EQ(MuxNoteInputReach(clock, p25, 0), 0);
    EXPECT_EQ(MuxNoteInputReach(clock, p25, -30000), 30000) << "at once";
    EXPECT_TRUE(clock.reach.empty()) << "the second is measured again";
    EXPECT_EQ(MuxClockLag(clock), 70000);
    EXPECT_EQ(SecondOfReach(clock, p25, {0, 60000}), 0) << "a frame and a half ahead at least: not yet earlier";
    EXPECT_EQ(SecondOfReach(clock, p25, {100000}), -20000) << "pictures queued ahead: earlier, half a frame at a time";
    EXPECT_EQ(SecondOfReach(clock, p25, {65000}), -20000);
    EXPECT_EQ(MuxClockLag(clock), 30000);
    EXPECT_EQ(SecondOfReach(clock, p25, {5000000}), -20000);
    EXPECT_EQ(SecondOfReach(clock, p25, {5000000}), -(10000 - TYX_MUX_LEAST_LAG_US)) << "never ahead of the clock";
    EXPECT_EQ(MuxClockLag(clock), TYX_MUX_LEAST_LAG_US);
    EXPECT_EQ(SecondOfReach(clock, p25, {5000000}), 0);

    EXPECT_EQ(MuxNoteInputReach(clock, p25, -900000), 900000);
    EXPECT_EQ(MuxNoteInputReach(clock, p25, -900000), TYX_MUX_MOST_LAG_US - 901000) << "up to the most lag";
    EXPECT_EQ(MuxClockLag(clock), TYX_MUX_MOST_LAG_US);
    EXPECT_EQ(MuxNoteInputReach(clock, p25, -40000), 0) << "not beyond it";
    EXPECT_EQ(SecondOfReach(clock, p25, {-3000000}), 0) << "an input on another timeline is not followed";
    EXPECT_TRUE(clock.reach.empty()) << "nor counted";
}

// An input whose queue is empty at its slot is waited for (within the slot's bound) when its next
// picture is the nearer one: its last lies more than half a frame before the slot. One further
// behind than a frame and a half has stalled.
TEST(MuxGrouping, AnEmptyInputJustBehindIsWaitedFor)
{
    constexpr int64_t kFrame = 40000;
    constexpr int64_t kSlot = 10000000;
    EXPECT_FALSE(NextPictureIsNearer(kSlot - 20000, kSlot, kFrame)) << "half a frame: the last is as near";
    EXPECT_TRUE(NextPictureIsNearer(kSlot - 20001, kSlot, kFrame));
    EXPECT_TRUE(NextPictureIsNearer(kSlot - 40000, kSlot, kFrame)) << "the picture of the slot before";
    EXPECT_TRUE(NextPictureIsNearer(kSlot - 60000, kSlot, kFrame));
    EXPECT_FALSE(NextPictureIsNearer(kSlot - 60001, kSlot, kFrame)) << "stalled";
    EXPECT_FALSE(NextPictureIsNearer(TYX_NOPTS_VALUE, kSlot, kFrame)) << "never gave a picture";
    EXPECT_FALSE(NextPictureIsNearer(kSlot - 40000, 0, kFrame)) << "the first group";
}

// A picture is not shown before its time while the one the window shows is nearer the slot: after a
// gap in the input (a clip's repeat) the window keeps its picture for a slot rather than show every
// later picture early.
TEST(MuxGrouping, AWindowKeepsItsPictureWhileTheNextOneIsFurther)
{
    constexpr int64_t kFrame = 40000;
    constexpr int64_t kSlot = 10000000;
    constexpr int64_t kLimit = 200000;
    EXPECT_FALSE(KeepsItsLastPicture(kSlot + 20000, kSlot - 20000, kSlot, kFrame, kLimit)) << "half a frame ahead: taken";
    EXPECT_TRUE(KeepsItsLastPicture(kSlot + 27000, kSlot - 13000, kSlot, kFrame, kLimit));
    EXPECT_TRUE(KeepsItsLastPicture(kSlot + 27000, kSlot - 27000, kSlot, kFrame, kLimit)) << "as far: the last is kept";
    EXPECT_FALSE(KeepsItsLastPicture(kSlot + 27000, kSlot - 40000, kSlot, kFrame, kLimit))
        << "the slot of a gap shows the picture nearest to it";
    EXPECT_TRUE(KeepsItsLastPicture(kSlot + 100000, TYX_NOPTS_VALUE, kSlot, kFrame, kLimit))
        << "an input's first picture waits for its time";
    EXPECT_FALSE(KeepsItsLastPicture(kSlot + kLimit + 1, kSlot - 40000, kSlot, kFrame, kLimit))
        << "a picture beyond the lag is on a timeline of its own";
    EXPECT_FALSE(KeepsItsLastPicture(TYX_NOPTS_VALUE, kSlot - 40000, kSlot, kFrame, kLimit));
    EXPECT_FALSE(KeepsItsLastPicture(kSlot + 27000, kSlot - 13000, 0, kFrame, kLimit)) << "the first group";
}

} // namespace
