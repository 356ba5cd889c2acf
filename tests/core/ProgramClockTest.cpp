#include "core/ProgramClock.h"

#include "core/TYXUtils.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <latch>
#include <thread>
#include <type_traits>

// The program clock against steps of the host's time: media stamps go on with the monotonic clock,
// what people read goes with the wall clock.

namespace {

constexpr int64_t kWallStartUs = 1700000000000000; // µs since 1970
constexpr int64_t kStepUs = 60000000;

// The clocks the fixture's program clock reads; plain functions read them.
std::atomic<int64_t> g_wallUs{0};
std::atomic<int64_t> g_monotonicUs{0};

struct stClocksAtStart
{
    stClocksAtStart()
    {
        g_wallUs = kWallStartUs;
        g_monotonicUs = 5000000;
    }
};

struct ProgramClockTest : ::testing::Test
{
    stClocksAtStart start; // before the clock takes its origin
    CProgramClock clock{[] { return g_wallUs.load(); }, [] { return g_monotonicUs.load(); }};

    // Both clocks go on, as time passes.
    static void Pass(int64_t us)
    {
        g_wallUs += us;
        g_monotonicUs += us;
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
    g_wallUs += kStepUs;
    EXPECT_EQ(clock.NowUs(), start + 40000) << "a step ahead leaves it where the monotonic clock is";
    EXPECT_EQ(clock.WallOfProgramUs(start + 40000), kWallStartUs + 40000 + kStepUs);

    Pass(40000);
    g_wallUs -= 2 * kStepUs;
    EXPECT_EQ(clock.NowUs(), start + 80000) << "a step back neither holds it nor turns it back";
    EXPECT_EQ(clock.WallOfProgramUs(start + 80000), kWallStartUs + 80000 - kStepUs);
    // A stamp taken before the steps reads as the host's time now counts it.
    EXPECT_EQ(clock.WallOfProgramUs(start), kWallStartUs - kStepUs);
}

// Made before the program's clock is first read, so destroyed after it at the exit: it reads the
// clock once every other static object is gone, as an abandoned thread may.
struct stReadsTheClockLast
{
    ~stReadsTheClockLast()
    {
        if (GetCurrentTimeUs() < before)
            std::_Exit(3);
    }
    int64_t before = 0;
};

[[noreturn]] void ReadTheClockThroughTheExit()
{
    static stReadsTheClockLast last;
    std::latch reading(1);
    // Abandoned: it reads the clock until the process is gone, through the exit's destruction.
    std::thread([&reading] {
        int64_t previous = GetCurrentTimeUs();
        reading.count_down();
        for (;;) {
            const int64_t now = GetCurrentTimeUs();
            if (now < previous)
                std::_Exit(4);
            previous = now;
        }
    }).detach();
    reading.wait();
    last.before = GetCurrentTimeUs();
    std::exit(0);
}

// Threads that outlive their stop are abandoned and may read the program's clock while the process
// exits and after its static objects are destroyed: the clock holds nothing that a destructor ends.
TEST(ProgramClockExitTest, AnAbandonedThreadReadsTheClockThroughTheExit)
{
    EXPECT_TRUE(std::is_trivially_destructible_v<CProgramClock>) << "the clock's destructor would run at the exit";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(ReadTheClockThroughTheExit(), ::testing::ExitedWithCode(0), "");
}

} // namespace
