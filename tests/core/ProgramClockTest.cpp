#include "core/ProgramClock.h"

#include "core/TYXUtils.h"

#include <gtest/gtest.h>

#include <atomic>

// The program clock against steps of the host's time: media stamps go on with the monotonic clock,
// what people read goes with the wall clock.

namespace {

constexpr int64_t kWallStartUs = 1700000000000000; // µs since 1970
constexpr int64_t kStepUs = 60000000;

struct ProgramClockTest : ::testing::Test
{
    std::atomic<int64_t> wallUs{kWallStartUs};
    std::atomic<int64_t> monotonicUs{5000000};
    CProgramClock clock{[this] { return wallUs.load(); }, [this] { return monotonicUs.load(); }};

    // Both clocks go on, as time passes.
    void Pass(int64_t us)
    {
        wallUs += us;
        monotonicUs += us;
    }
};

TEST_F(ProgramClockTest, StartsAtTheHostsTimePlusEightHoursAndGoesOnWithTheMonotonicClock)
{
    EXPECT_EQ(clock.NowUs(), kWallStartUs + TYX_CLOCK_OFFSET_US);
    Pass(40000);
    EXPECT_EQ(clock.NowUs(), kWallStartUs + TYX_CLOCK_OFFSET_US + 40000);
}

TEST_F(ProgramClockTest, StepsOfTheHostsTimeDoNotMoveItButMoveWhatPeopleRead)
{
    const int64_t start = clock.NowUs();
    EXPECT_EQ(clock.WallOfProgramUs(start), kWallStartUs);

    Pass(40000);
    wallUs += kStepUs;
    EXPECT_EQ(clock.NowUs(), start + 40000) << "a step ahead leaves it where the monotonic clock is";
    EXPECT_EQ(clock.WallOfProgramUs(start + 40000), kWallStartUs + 40000 + kStepUs);

    Pass(40000);
    wallUs -= 2 * kStepUs;
    EXPECT_EQ(clock.NowUs(), start + 80000) << "a step back neither holds it nor turns it back";
    EXPECT_EQ(clock.WallOfProgramUs(start + 80000), kWallStartUs + 80000 - kStepUs);
    // A stamp taken before the steps reads as the host's time now counts it.
    EXPECT_EQ(clock.WallOfProgramUs(start), kWallStartUs - kStepUs);
}

} // namespace
