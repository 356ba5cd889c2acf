// The mux worker on a program clock of the test's own: the stamps of its groups keep the pace of
// that clock whatever its input delivers and however fast the machine composes.

#include "MuxTestRig.h"

#include "core/TYXUtils.h"
#include "host/GlobalVars.h"
#include "support/LeakCheck.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <set>
#include <thread>

namespace {

constexpr int kStandAlone = 1;
// The program clock runs this many times faster than real time: more groups a second than the
// machine may be able to compose, and waits of the worker's own that pass in real time.
constexpr int64_t kClockSpeed = 2;
constexpr int64_t kSecond = 1000000;
constexpr int kQuad = 4;
constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int64_t kFrame = 40000; // the rigs below run at 25 fps
// Where the stepped program clock starts: any day will do.
constexpr int64_t kStart = 1'800'000'000'000'000;

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

// ---- on a clock the test moves: a group is made when its slot comes, however fast the machine ----

// Pictures the test gives an input, each of its own luma, and the stamps they carried.
class CStampedPictures
{
public:
    CStampedPictures(CMuxRig &rig, int input, int width, int height)
        : m_rig(rig), m_input(input), m_width(width), m_height(height)
    {
    }

    void Feed(int64_t pts)
    {
        const uint8_t luma = static_cast<uint8_t>(40 + 2 * (m_stamps.size() % 90));
        m_stamps[luma] = pts;
        m_rig.Feed(m_input, DevicePackageOf(FlatPicture(m_width, m_height, luma), pts));
    }
    // The stamp of the picture with this luma; 0 for one the test did not give (a status window).
    int64_t StampOf(int luma) const
    {
        const auto found = m_stamps.find(luma);
        return found == m_stamps.end() ? 0 : found->second;
    }

private:
    CMuxRig &m_rig;
    int m_input;
    int m_width;
    int m_height;
    std::map<int, int64_t> m_stamps;
};

class MuxSteppedClockTest : public MuxOutputClockTest
{
protected:
    // A rig at 25 fps on a clock the test moves, past its first (status) group.
    void StartRig(CMuxRig &rig)
    {
        rig.Config().OutputFramerate = 25.0f;
        CTYXGVMS::NegotiatedInputFrameRate() = 25.0f;
        rig.UseSteppedClock(kStart);
        ASSERT_EQ(rig.Start(), 0);
    }
};

// Pictures reach the mux some time after they were read (900 ms, or 60 ms): each group carries the
// stamp of the pictures it shows, on the grid of the output rate, not a slot of a clock that began
// with the mux (its first status group, 17 ms off the pictures' grid here).
TEST_F(MuxSteppedClockTest, PicturesKeepTheTimesTheyWereReadOrReceived)
{
    for (const int64_t lag : {int64_t{900000}, int64_t{60000}}) {
        CMuxRig rig(1, kStandAlone);
        StartRig(rig);
        if (HasFatalFailure())
            return;
        CStampedPictures pictures(rig, 1, kWidth, kHeight);
        const int64_t firstArrival = kStart + kFrame + 17000;
        pictures.Feed(firstArrival - lag);
        rig.SetNow(firstArrival);
        for (int i = 0; i < 40; ++i)
            ASSERT_TRUE(rig.StepToNextGroup([&](int64_t due) { pictures.Feed(due - lag); })) << lag << " " << i;
        ASSERT_GE(rig.WaitOutputs(40), 40u);
        int shown = 0;
        int64_t previous = 0;
        for (const FramePackage &output : rig.Outputs()) {
            const int64_t stamp = pictures.StampOf(WindowLuma(output, kWidth, kHeight, kStandAlone, 0));
            if (stamp == 0) {
                EXPECT_EQ(shown, 0) << "a status picture after the pictures came, at " << output.pts;
                continue;
            }
            ++shown;
            EXPECT_EQ(output.pts, stamp) << lag << ": the group is stamped as the picture it shows";
            if (previous != 0) {
                EXPECT_EQ(output.pts - previous, kFrame) << lag;
            }
            previous = output.pts;
        }
        EXPECT_GE(shown, 30) << lag;
    }
}

// Two inputs keep coming while the mux stands still for a second (a live source joining held it):
// afterwards each input is back at its current picture, the ones the skipped slots left behind are
// dropped, and every later group shows the pictures of its own time.
TEST_F(MuxSteppedClockTest, AfterAStallEveryInputIsBackAtItsCurrentPicture)
{
    constexpr int64_t kLag = 80000;
    CMuxRig rig(2, kQuad);
    StartRig(rig);
    if (HasFatalFailure())
        return;
    CStampedPictures first(rig, 1, kWidth / 2, kHeight / 2);
    CStampedPictures second(rig, 2, kWidth / 2, kHeight / 2);
    const auto feedBoth = [&](int64_t due) {
        first.Feed(due - kLag);
        second.Feed(due - kLag);
    };
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(rig.StepToNextGroup(feedBoth)) << i;
    ASSERT_GE(rig.WaitOutputs(10), 10u);
    const size_t beforeStall = rig.Outputs().size();
    const int64_t stalledAt = rig.Now();
    for (int64_t n = 1; n <= 25; ++n)
        feedBoth(stalledAt + n * kFrame);
    rig.SetNow(stalledAt + 25 * kFrame);
    ASSERT_TRUE(rig.WaitGroupsOut(rig.Mux().GetGroupsProduced() + 1));
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(rig.StepToNextGroup(feedBoth)) << i;
    ASSERT_GE(rig.WaitOutputs(beforeStall + 11), beforeStall + 11);

    const std::vector<FramePackage> &outputs = rig.Outputs();
    EXPECT_EQ(outputs[beforeStall].pts, stalledAt + 25 * kFrame - kLag) << "the slot the clock came to";
    for (size_t i = 0; i < outputs.size(); ++i) {
        const int64_t one = first.StampOf(WindowLuma(outputs[i], kWidth, kHeight, kQuad, 0));
        const int64_t two = second.StampOf(WindowLuma(outputs[i], kWidth, kHeight, kQuad, 1));
        if (one == 0 && two == 0)
            continue; // before the pictures came
        EXPECT_EQ(one, outputs[i].pts) << "input 1 in group " << i;
        EXPECT_EQ(two, outputs[i].pts) << "input 2 in group " << i;
    }
}

// A source of the test's own: pictures with the stamps given, each reaching the mux at the time
// given; and what each group showed.
class CTimedSource
{
public:
    struct stPicture
    {
        int64_t pts = 0;
        int64_t arrival = 0;
    };

    CTimedSource(CMuxRig &rig, std::vector<stPicture> pictures, int64_t frame = kFrame)
        : m_rig(rig), m_pictures(std::move(pictures)), m_frame(frame)
    {
    }

    // Steps group by group until every picture came and `after` groups more; false when a group
    // did not come out. Each picture has a luma of its own among the last 90: the shown pictures are
    // told by it at once, before it is given again.
    bool Run(int after)
    {
        const auto feed = [this](int64_t now) {
            for (; m_fed < m_pictures.size() && m_pictures[m_fed].arrival <= now; ++m_fed) {
                const auto luma = static_cast<uint8_t>(40 + 2 * (m_fed % 90));
                m_byLuma[luma] = m_pictures[m_fed].pts;
                m_rig.Feed(1, DevicePackageOf(FlatPicture(kWidth, kHeight, luma), m_pictures[m_fed].pts));
            }
        };
        int left = after;
        while (m_fed < m_pictures.size() || left-- > 0) {
            if (!m_rig.StepToNextGroup(feed))
                return false;
            const std::vector<FramePackage> &outputs = m_rig.Outputs();
            for (; m_seen < outputs.size(); ++m_seen) {
                const auto found = m_byLuma.find(WindowLuma(outputs[m_seen], kWidth, kHeight, kStandAlone, 0));
                const int64_t shown = found == m_byLuma.end() ? 0 : found->second;
                const bool beyond = outputs[m_seen].pts > m_pictures.back().pts + m_frame / 2; // the source ended
                if ((shown != 0 || !m_slots.empty()) && !beyond) {
                    m_slots.push_back(outputs[m_seen].pts);
                    m_shown.push_back(shown);
                }
            }
        }
        return true;
    }

    // From the first group that showed a picture on to the slot of the last picture: each group's
    // stamp and the picture it showed.
    const std::vector<int64_t> &Slots() const { return m_slots; }
    const std::vector<int64_t> &Shown() const { return m_shown; }
    // How far the picture nearest the slot lies from it.
    int64_t NearestDistance(int64_t slot) const
    {
        int64_t nearest = INT64_MAX;
        for (const stPicture &picture : m_pictures)
            nearest = std::min<int64_t>(nearest, std::llabs(picture.pts - slot));
        return nearest;
    }
    // The pictures whose slots came, each with the groups that showed it.
    std::map<int64_t, int> TimesShown() const
    {
        std::map<int64_t, int> shown;
        for (const stPicture &picture : m_pictures) {
            if (!m_slots.empty() && picture.pts <= m_slots.back() - m_frame)
                shown[picture.pts] = 0;
        }
        for (int64_t pts : m_shown) {
            if (shown.count(pts) != 0)
                ++shown[pts];
        }
        return shown;
    }

private:
    CMuxRig &m_rig;
    std::vector<stPicture> m_pictures;
    int64_t m_frame;
    std::map<int, int64_t> m_byLuma; // the stamp of the picture last given each luma
    size_t m_fed = 0;
    size_t m_seen = 0;
    std::vector<int64_t> m_slots;
    std::vector<int64_t> m_shown;
};

// A looping clip's pictures move 27 ms against the grid at each repeat (its sound runs longer than
// its pictures), and reach the mux 60 ms after their stamps. Every group shows a picture within
// half a frame of its slot, but for a slot that the gap leaves without one, and no picture is
// dropped; one is shown twice only for such a slot. A window that took each picture nearest the
// slot from what was queued would show every picture after a gap early by up to a frame, or, once
// it had missed one, late for good.
TEST_F(MuxSteppedClockTest, AClipsRepeatsMoveNoPictureFurtherThanHalfAFrame)
{
    constexpr int64_t kDelay = 60000;
    constexpr int64_t kGap = 27000;
    CMuxRig rig(1, kStandAlone);
    StartRig(rig);
    if (HasFatalFailure())
        return;
    std::vector<CTimedSource::stPicture> clip;
    int64_t pts = kStart + 3 * kFrame + 7000;
    for (int repeat = 0; repeat < 7; ++repeat) {
        for (int i = 0; i < 25; ++i, pts += kFrame)
            clip.push_back({pts, pts + kDelay});
        pts += kGap;
    }
    CTimedSource source(rig, clip);
    ASSERT_TRUE(source.Run(3));

    const std::vector<int64_t> &slots = source.Slots();
    const std::vector<int64_t> &shown = source.Shown();
    ASSERT_GE(slots.size(), 170u);
    std::set<int64_t> twiceForAGap;
    for (size_t i = 0; i < slots.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "group " << i << " at " << slots[i] - kStart);
        ASSERT_NE(shown[i], 0) << "a status picture after the pictures came";
        if (source.NearestDistance(slots[i]) > kFrame / 2) {
            twiceForAGap.insert(shown[i]);
            EXPECT_LE(std::llabs(shown[i] - slots[i]), kFrame) << "the slot of a gap shows a picture beside it";
            continue;
        }
        EXPECT_LE(std::llabs(shown[i] - slots[i]), kFrame / 2) << "shows " << shown[i] - kStart;
    }
    for (const auto &[picture, times] : source.TimesShown()) {
        EXPECT_GE(times, 1) << "picture " << picture - kStart << " dropped";
        EXPECT_LE(times, twiceForAGap.count(picture) != 0 ? 2 : 1) << "picture " << picture - kStart;
    }
}

// A camera's pictures come with stamps ±9 ms off its pace and reach the mux 60 to 75 ms after
// them. Once the output clock has met the input (the first second), no picture is dropped or shown
// twice, and each is shown within half a frame of its time. A lag that tolerated the slowest input
// short of its slot now and then would show a picture twice where it missed one, then drop it.
TEST_F(MuxSteppedClockTest, ACamerasJitterDropsNoPicture)
{
    constexpr int64_t kDelay = 60000;
    CMuxRig rig(1, kStandAlone);
    StartRig(rig);
    if (HasFatalFailure())
        return;
    std::vector<CTimedSource::stPicture> camera;
    uint32_t random = 12345;
    const auto next = [&random](int64_t range) {
        random = random * 1103515245u + 12345u;
        return static_cast<int64_t>((random >> 8) % static_cast<uint32_t>(range));
    };
    const int64_t first = kStart + 3 * kFrame + 11000;
    for (int i = 0; i < 250; ++i) {
        const int64_t pts = first + i * kFrame + next(19) * 1000 - 9000;
        camera.push_back({pts, pts + kDelay + next(16) * 1000});
    }
    CTimedSource source(rig, camera);
    ASSERT_TRUE(source.Run(3));

    const std::vector<int64_t> &slots = source.Slots();
    const std::vector<int64_t> &shown = source.Shown();
    ASSERT_GE(slots.size(), 240u);
    const int64_t settled = first + 25 * kFrame;
    for (size_t i = 0; i < slots.size(); ++i) {
        if (slots[i] < settled)
            continue;
        EXPECT_LE(std::llabs(shown[i] - slots[i]), kFrame / 2) << "group " << i << " at " << slots[i] - kStart;
    }
    for (const auto &[picture, times] : source.TimesShown()) {
        if (picture >= settled + kFrame) {
            EXPECT_EQ(times, 1) << "picture " << picture - kStart;
        }
    }
}

// A 29.97 source through the mux, its rate negotiated from it: the mux tells its consumer 29.97,
// and once the output clock has met the input every picture is shown once, in the group of its own
// stamp. A mux at 29 groups a second left out about one picture a second.
TEST_F(MuxSteppedClockTest, ATelevisionRateSourceLosesNoPicture)
{
    constexpr float kNtsc = 30000.0f / 1001.0f;
    constexpr int64_t kNtscFrame = 33367;
    CMuxRig rig(1, kStandAlone);
    rig.Config().OutputFramerate = -2.0f;
    CTYXGVMS::NegotiatedInputFrameRate() = kNtsc;
    rig.UseSteppedClock(kStart);
    ASSERT_EQ(rig.Start(), 0);
    EXPECT_FLOAT_EQ(rig.Mux().GetOutputParameters().frameRate, kNtsc);
    std::vector<CTimedSource::stPicture> camera;
    const int64_t first = kStart + 3 * kNtscFrame + 11000;
    for (int64_t i = 0; i < 150; ++i) {
        const int64_t pts = first + i * 1001000 / 30;
        camera.push_back({pts, pts + 60000});
    }
    CTimedSource source(rig, camera, kNtscFrame);
    ASSERT_TRUE(source.Run(3));

    const std::vector<int64_t> &slots = source.Slots();
    const std::vector<int64_t> &shown = source.Shown();
    ASSERT_GE(slots.size(), 140u);
    const int64_t settled = first + 30 * kNtscFrame;
    for (size_t i = 0; i < slots.size(); ++i) {
        if (slots[i] >= settled) {
            EXPECT_EQ(shown[i], slots[i]) << "group " << i << " at " << slots[i] - kStart;
        }
    }
    for (const auto &[picture, times] : source.TimesShown()) {
        if (picture >= settled) {
            EXPECT_EQ(times, 1) << "picture " << picture - kStart;
        }
    }
}

// The program clock is the system time: a step back of it (an NTP step, the date set by hand) must
// not stop the output. The grid goes on where it was, its stamps rising, once the clock went back,
// and says so once.
TEST_F(MuxSteppedClockTest, AStepBackOfTheProgramClockDoesNotStopTheMux)
{
    constexpr int64_t kLag = 60000;
    constexpr int64_t kStep = 60 * kSecond;
    CMuxRig rig(1, kStandAlone);
    StartRig(rig);
    if (HasFatalFailure())
        return;
    CLogCapture log;
    CStampedPictures pictures(rig, 1, kWidth, kHeight);
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(rig.StepToNextGroup([&](int64_t due) { pictures.Feed(due - kLag); })) << i;
    // The reader stamped its pictures before the step: they go on on its timeline.
    int64_t nextPicture = rig.Now() + kFrame - kLag;
    pictures.Feed(nextPicture);
    const uint32_t groups = rig.Mux().GetGroupsProduced();
    rig.SetNow(rig.Now() - kStep);
    for (uint32_t made = groups + 1; made <= groups + 10; ++made) {
        ASSERT_TRUE(rig.WaitGroupsOut(made)) << "group " << made - groups << " after the step";
        nextPicture += kFrame;
        pictures.Feed(nextPicture);
        rig.SetNow(rig.Now() + kFrame);
    }
    ASSERT_GE(rig.WaitOutputs(20), 20u);
    const std::vector<FramePackage> &outputs = rig.Outputs();
    for (size_t i = 1; i < outputs.size(); ++i)
        EXPECT_GT(outputs[i].pts, outputs[i - 1].pts) << i;
    for (size_t i = 10; i < 20; ++i)
        EXPECT_EQ(pictures.StampOf(WindowLuma(outputs[i], kWidth, kHeight, kStandAlone, 0)), outputs[i].pts) << i;
    EXPECT_EQ(log.Count(L"The program clock went back by", 3), 1);
}

} // namespace
