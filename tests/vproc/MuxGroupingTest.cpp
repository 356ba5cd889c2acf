// The mux worker's grouping and time-stamp rules, on plain queues and clock readings.

#include "vproc/MuxGrouping.h"

#include <gtest/gtest.h>

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

TEST(MuxGrouping, OutputPaceFollowsTheNegotiatedRate)
{
    const stMuxOutputPace p25 = MuxOutputPace(25.0f);
    EXPECT_EQ(p25.duration, 40000);
    EXPECT_EQ(p25.remainder, 0);
    const stMuxOutputPace p30 = MuxOutputPace(30.0f);
    EXPECT_EQ(p30.duration, 33333);
    EXPECT_EQ(p30.remainder, 10);
    EXPECT_EQ(MuxOutputPace(29.97f).rate, 29);
    EXPECT_EQ(MuxOutputPace(0.0f).rate, 30) << "nothing negotiated";

    // Thirty groups at 30 fps span exactly one second.
    int64_t pts = 1000000;
    const int64_t first = pts;
    for (uint32_t count = 1; count <= 30; ++count)
        pts = AddSecondRemainder(GroupCandidatePts(pts, p30.duration, 0), count, p30);
    EXPECT_EQ(pts - first, 1000000);
    EXPECT_EQ(AddSecondRemainder(500, 29, p30), 500);
    EXPECT_EQ(AddSecondRemainder(500, 30, p30), 510);
}

TEST(MuxGrouping, CandidateJumpsOnlyAFullDurationAhead)
{
    EXPECT_EQ(GroupCandidatePts(0, 40000, 0), 0);
    EXPECT_EQ(GroupCandidatePts(1000000, 40000, 0), 1040000);
    EXPECT_EQ(GroupCandidatePts(1000000, 40000, 1079999), 1040000);
    EXPECT_EQ(GroupCandidatePts(1000000, 40000, 1080000), 1080000) << "inputs far ahead pull the output along";
}

} // namespace
