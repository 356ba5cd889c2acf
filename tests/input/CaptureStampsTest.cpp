#include "input/ReadWorkerSteps.h"

#include <gtest/gtest.h>

// Captured packages leave on the program clock in µs: stamps, their distance and their duration.
TEST(CaptureStampsTest, DurationAndDtsDistanceBecomeMicrosecondsLikeThePts)
{
    stTimestampRebase rebase;
    const AVRational device{1, 90000};
    FramePackage package;
    package.pts = 9000;
    package.dts = 6000;      // 3000 ticks = 33333 µs before its pts
    package.duration = 3600; // 40 ms
    EXPECT_EQ(RebaseCapturedStamps(rebase, package, device, 5'000'000), 5'000'000);
    EXPECT_EQ(package.pts, 5'000'000);
    EXPECT_EQ(package.dts, 5'000'000 - 33333);
    EXPECT_EQ(package.duration, 40000);

    package.pts = 12600;
    package.dts = 12600;
    package.duration = 3600;
    EXPECT_EQ(RebaseCapturedStamps(rebase, package, device, 0), 5'040'000);
    EXPECT_EQ(package.dts, 5'040'000);
    EXPECT_EQ(package.duration, 40000);

    // A device in µs keeps its values.
    stTimestampRebase micro;
    package.pts = 100;
    package.dts = 100;
    package.duration = 20833;
    RebaseCapturedStamps(micro, package, AVRational{1, 1000000}, 7'000'000);
    EXPECT_EQ(package.duration, 20833);
}
