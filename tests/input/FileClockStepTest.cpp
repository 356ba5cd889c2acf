#include "input/MFRdrWorker.h"

#include "ReadWorkerRun.h"
#include "ReadWorkerTestSupport.h"

#include "core/ProgramClock.h"
#include "host/GlobalVars.h"
#include "host/TYXEvent.h"
#include "support/TestMedia.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <atomic>

// A file source on the program clock while the host's time steps: the clock the media is paced
// and stamped on goes with the monotonic clock, so the play neither waits out a step back nor
// runs ahead of its stamps after a step ahead.

namespace {

constexpr uint32_t kWorker = 0x01010000;
constexpr uint32_t kVideoOut = kWorker + 1;
constexpr int64_t kStepUs = 60000000;

// The clocks the program clock reads, through plain functions.
stFakeClock g_monotonic;
std::atomic<int64_t> g_stepUs{0};

TEST(FileClockStepTest, AFilePlaysThroughStepsOfTheHostsTimeAtItsOwnSpeed)
{
    CTYXGVMS::ResetForTests();
    ClearTYXEventQueue();
    CTestMediaSet media;
    const std::filesystem::path file = media.Add("steps.mp4", {.seconds = 2.0, .audio = false});

    // Every pacing wait moves the monotonic clock instead of sleeping; the host's time steps 60 s
    // ahead after the 10th wait and 120 s back after the 30th.
    stFakeClock &monotonic = g_monotonic;
    std::atomic<int64_t> &stepUs = g_stepUs;
    stepUs = 0;
    const CProgramClock clock([] { return g_monotonic.Now() + g_stepUs.load(); }, [] { return g_monotonic.Now(); });
    CTestConsumers consumers;
    consumers.Add(kVideoOut, TYX_PKT_KIND_CODED_VIDEO);
    auto worker = std::make_shared<CMediaFileReadWorker>(kWorker, &consumers.Links());
    worker->SetClockSources([&clock] { return clock.NowUs(); }, [&monotonic] { return monotonic.Tick(); });
    std::atomic<int> waits{0};
    CHandOverLog handOvers(consumers);
    worker->SetPacingSleep([&](int64_t us) {
        handOvers.Collect(*worker, clock.NowUs());
        monotonic.Advance(us);
        const int wait = ++waits;
        if (wait == 10)
            stepUs += kStepUs;
        else if (wait == 30)
            stepUs -= 2 * kStepUs;
        return false;
    });
    const int64_t started = monotonic.Now();
    ASSERT_GE(StartReadWorker(*worker, MakeSourceConfig(kWorker, TYX_MS_FILE, file.wstring(), false)), 0);
    ASSERT_TRUE(WaitUntil([&] { return worker->GetWorkingStep() == 31; }, 30000));
    ASSERT_TRUE(WaitUntil([&] { return worker->PendingStreamPackages() == 0; }, 10000));
    StopReadWorker(*worker);
    handOvers.Collect(*worker, clock.NowUs());

    ASSERT_GT(waits.load(), 30) << "both steps came during the play";
    const std::vector<stSeenPackage> video = DataOnly(handOvers.Of(kVideoOut));
    ASSERT_EQ(50u, video.size());
    for (size_t i = 0; i < video.size(); ++i) {
        if (i + 1 < video.size()) {
            EXPECT_EQ(video[i].pts + 40000, video[i + 1].pts) << i;
        }
        // Each package is handed over at its time.
        EXPECT_GE(video[i].handedAt, video[i].dts) << i;
        EXPECT_LE(video[i].handedAt, video[i].dts + 1000) << i;
    }
    EXPECT_LE(monotonic.Now() - started, 2500000) << "the play took its own length, no step of it";
    ClearTYXEventQueue();
}

} // namespace
