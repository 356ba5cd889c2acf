// The mux worker on a program clock of the test's own: the stamps of its groups keep the pace of
// that clock whatever its input delivers and however fast the machine composes.

#include "MuxTestRig.h"

#include "core/TYXUtils.h"
#include "host/GlobalVars.h"
#include "support/LeakCheck.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

constexpr int kStandAlone = 1;
// The program clock runs this many times faster than real time: more groups a second than the
// machine may be able to compose, and waits of the worker's own that pass in real time.
constexpr int64_t kClockSpeed = 2;
constexpr int64_t kSecond = 1000000;

class MuxOutputClockTest : public CLeakCheckedTest
{
protected:
    void SetUp() override
    {
        CLeakCheckedTest::SetUp();
        CTYXGVMS::ResetForTests();
    }
    void TearDown() override
    {
        CTYXGVMS::ResetForTests();
        CLeakCheckedTest::TearDown();
    }
};

// What the consumer took: the stamps, each with the program time it was taken at.
struct stTaken
{
    std::vector<int64_t> stamps;
    std::vector<int64_t> takenAt;
};

void TakeAndFree(stWorkerConsumerLink &consumer, int64_t now, stTaken &taken)
{
    FramePackageQueue packages;
    {
        CCsLock lock(*consumer.queueLock);
        packages.swap(*consumer.queue);
    }
    for (FramePackage &package : packages) {
        taken.stamps.push_back(package.pts);
        taken.takenAt.push_back(now);
        FreeFramePackage(package);
    }
}

// An input that delivers ten pictures a second to a mux at 30: the groups still leave thirty times a
// second of the clock (or, when the machine cannot compose that many, the groups it makes stay on
// the clock), and their stamps advance one second per second of it. Groups stamped a frame apart
// however long they took to make would leave the stamps further behind the clock with every group.
TEST_F(MuxOutputClockTest, GroupStampsKeepThePaceOfTheProgramClock)
{
    CTempDir folder;
    const std::vector<stDecodedPicture> clip = DecodeTestClip(folder.Path(), "qvga10", 320, 240, 10, 1);
    ASSERT_FALSE(clip.empty());
    CMuxRig rig(1, kStandAlone);
    const int64_t origin = GetCurrentTimeUs();
    const auto realOrigin = std::chrono::steady_clock::now();
    const auto clock = [origin, realOrigin] {
        const auto real = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - realOrigin);
        return origin + kClockSpeed * real.count();
    };
    rig.Mux().SetClockSources(clock, {});
    ASSERT_EQ(rig.Start(), 0);

    stTaken taken;
    int64_t nextPicture = clock();
    size_t picture = 0;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    bool ranLongEnough = false;
    while (!ranLongEnough && std::chrono::steady_clock::now() < giveUp) {
        const int64_t now = clock();
        if (now >= nextPicture && rig.InputsEmpty()) {
            rig.Feed(1, DevicePackageOf(clip[picture++ % clip.size()], now));
            nextPicture = now + kSecond / 10;
        }
        TakeAndFree(rig.Consumer(), now, taken);
        ranLongEnough = !taken.takenAt.empty() && taken.takenAt.back() - taken.takenAt.front() >= 20 * kSecond;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    rig.Stop();
    stTaken late;
    TakeAndFree(rig.Consumer(), clock(), late);
    ASSERT_TRUE(ranLongEnough) << taken.stamps.size() << " groups";

    // Rising, and without leaps: a group left out by a slow machine leaves the slots empty that the
    // clock passed meanwhile (on a busy machine under the sanitizers, a second or so of this fast
    // clock), never a leap beyond the delay that the checks below allow.
    for (size_t i = 1; i < taken.stamps.size(); ++i) {
        ASSERT_GT(taken.stamps[i], taken.stamps[i - 1]) << i;
        EXPECT_LT(taken.stamps[i] - taken.stamps[i - 1], 5 * kSecond) << i;
    }
    // Each group lies behind the clock by the mux's delay and the time it took to compose and hand
    // over, never by more with every group.
    const size_t last = taken.stamps.size() - 1;
    for (size_t i : {size_t{0}, last}) {
        EXPECT_GT(taken.takenAt[i] - taken.stamps[i], 0) << i;
        EXPECT_LT(taken.takenAt[i] - taken.stamps[i], 5 * kSecond) << i << " of " << taken.stamps.size();
    }
    EXPECT_GT(taken.stamps[last] - taken.stamps[0], taken.takenAt[last] - taken.takenAt[0] - 5 * kSecond)
        << taken.stamps.size() << " groups";
}

} // namespace
