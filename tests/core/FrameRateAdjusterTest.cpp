#include "core/FrameRateAdjuster.h"

#include "platform/GpuDevice.h"
#include "support/LeakCheck.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <tuple>
#include <vector>

namespace {

constexpr stTimeBase kMicroseconds{1, 1000000};

// Dropped and repeated pictures are freed: every test ends with the blocks it started with.
class FrameRateAdjusterTest : public CLeakCheckedTest
{
protected:
    // A picture of 16 bytes with its stamp.
    static FramePackage Picture(int64_t pts, int64_t duration, bool inDevice = false)
    {
        FramePackage package;
        package.inDevice = inDevice ? 1 : 0;
        EXPECT_EQ(AllocFramePackageData(package, 16), 16);
        const uint8_t bytes[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
        EXPECT_EQ(DevMemcpy(package.pData, bytes, 16, inDevice ? EGpuCopyKind::HostToDevice : EGpuCopyKind::HostToHost),
                  GPU_SUCCESS);
        package.pts = pts;
        package.dts = pts;
        package.duration = duration;
        package.kind = TYX_PKT_KIND_RAW_VIDEO;
        package.mediaType = TYX_MEDIA_VIDEO;
        return package;
    }

    static void Release(FramePackageQueue &queue)
    {
        for (FramePackage &package : queue)
            FreeFramePackage(package);
        queue.clear();
    }

    // The stamps of what the adjuster gives for one input; the outputs are released.
    static std::vector<int64_t> Stamps(CFrameRateAdjuster &adjuster, const FramePackage &input)
    {
        FramePackageQueue output;
        adjuster.ConvertFrame(input, output);
        std::vector<int64_t> stamps;
        for (const FramePackage &package : output)
            stamps.push_back(package.pts);
        Release(output);
        return stamps;
    }

    struct stRun
    {
        int32_t inputs = 0;
        int32_t outputs = 0;
        int32_t dropped = 0;  // inputs that gave no picture
        int32_t repeated = 0; // outputs beyond the first of an input
        std::vector<int64_t> stamps;
    };

    // Ten seconds (or more) of a live input at inputFps (stamps rounded to µs) through an adjuster to
    // outputFps.
    static stRun TenSeconds(float inputFps, float outputFps, int64_t seconds = 10)
    {
        CFrameRateAdjuster adjuster;
        adjuster.Init(kMicroseconds, inputFps, outputFps);
        stRun run;
        const int64_t start = 1'000'000'000;
        for (int32_t i = 0;; ++i) {
            const int64_t pts = start + std::llround(i * 1e6 / inputFps);
            if (pts >= start + seconds * 1'000'000)
                break;
            const int64_t next = start + std::llround((i + 1) * 1e6 / inputFps);
            const std::vector<int64_t> stamps = Stamps(adjuster, Picture(pts, next - pts));
            ++run.inputs;
            run.outputs += static_cast<int32_t>(stamps.size());
            if (stamps.empty())
                ++run.dropped;
            else
                run.repeated += static_cast<int32_t>(stamps.size()) - 1;
            run.stamps.insert(run.stamps.end(), stamps.begin(), stamps.end());
        }
        return run;
    }
};

TEST_F(FrameRateAdjusterTest, DoublingTheRateRepeatsEachPictureAsItsOwnCopy)
{
    for (const bool inDevice : {false, true}) {
        CFrameRateAdjuster adjuster;
        EXPECT_EQ(adjuster.Init(kMicroseconds, 25.0f, 50.0f), 50.0f);
        FramePackageQueue output;
        for (int i = 0; i < 5; ++i) {
            const FramePackage input = Picture(40000 * i, 40000, inDevice);
            adjuster.ConvertFrame(input, output);
            ASSERT_EQ(output.size(), 2u);
            EXPECT_EQ(output[0].pData, input.pData); // the picture itself goes on first
            EXPECT_NE(output[1].pData, input.pData);
            EXPECT_EQ(output[1].inDevice, inDevice ? 1 : 0);
            EXPECT_EQ(output[0].pts, 40000 * i);
            EXPECT_EQ(output[1].pts, 40000 * i + 20000);
            EXPECT_EQ(output[0].duration, 20000);
            EXPECT_EQ(output[1].duration, 20000);
            std::vector<uint8_t> first(16), second(16);
            const EGpuCopyKind kind = inDevice ? EGpuCopyKind::DeviceToHost : EGpuCopyKind::HostToHost;
            ASSERT_EQ(DevMemcpy(first.data(), output[0].pData, 16, kind), GPU_SUCCESS);
            ASSERT_EQ(DevMemcpy(second.data(), output[1].pData, 16, kind), GPU_SUCCESS);
            EXPECT_EQ(first, second);
            Release(output);
        }
    }
}

TEST_F(FrameRateAdjusterTest, TenSecondsOfCommonRateChanges)
{
    // 29.97 to 30: the input falls behind the grid by 33 µs a picture; once it is half a frame
    // behind (after 16.7 s) a slot is nearer to the picture before it than to its own, and that
    // picture is shown twice. Halving keeps every second picture; the dropped ones are freed (see
    // TearDown).
    const struct
    {
        float in, out;
        int64_t seconds;
        int32_t inputs, outputs, dropped, repeated;
    } cases[] = {{25.0f, 30.0f, 10, 250, 300, 0, 50},
                 {30.0f, 25.0f, 10, 300, 250, 50, 0},
                 {50.0f, 25.0f, 10, 500, 250, 250, 0},
                 {29.97f, 30.0f, 10, 300, 300, 0, 0},
                 {29.97f, 30.0f, 20, 600, 601, 0, 1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.in << " -> " << c.out << " for " << c.seconds << " s");
        const stRun run = TenSeconds(c.in, c.out, c.seconds);
        EXPECT_EQ(std::tie(run.inputs, run.outputs, run.dropped, run.repeated),
                  std::tie(c.inputs, c.outputs, c.dropped, c.repeated));
        for (size_t i = 1; i < run.stamps.size(); ++i) {
            const int64_t step = run.stamps[i] - run.stamps[i - 1];
            ASSERT_GE(step, 33333) << i;
            ASSERT_LE(step, 40000) << i;
        }
    }

    // 30 to 29.97 runs on the exact 29.97 grid (299.7 pictures in 10 s), not on a 30 fps one.
    const stRun slow = TenSeconds(30.0f, 29.97f);
    EXPECT_EQ(slow.inputs, 300);
    EXPECT_EQ(slow.outputs, 300);
    EXPECT_EQ(slow.dropped, slow.repeated);
    for (size_t i = 1; i < slow.stamps.size(); ++i) {
        const int64_t step = slow.stamps[i] - slow.stamps[i - 1];
        ASSERT_TRUE(step == 33366 || step == 33367) << step;
    }
}

// The television rates are fractions of 1001 that no decimal states: the grid of an encoder set to
// 29.97 is the one of a 30000/1001 source and of the mux in front of it, 30000 pictures in exactly
// 1001 s. For the source's rate as measured (its float is not 29.97's) and for a rate not known,
// every picture keeps its stamp, none is dropped or repeated. A grid of 2997/100 runs 1 ms behind
// it over those 1001 s.
TEST_F(FrameRateAdjusterTest, ATelevisionRateKeepsTheExactGridOfItsSource)
{
    EXPECT_EQ(av_cmp_q(ExactFrameRate(29.97f), AVRational{30000, 1001}), 0);
    EXPECT_EQ(av_cmp_q(ExactFrameRate(30000.0f / 1001.0f), AVRational{30000, 1001}), 0);
    EXPECT_EQ(av_cmp_q(ExactFrameRate(23.976f), AVRational{24000, 1001}), 0);
    EXPECT_EQ(av_cmp_q(ExactFrameRate(59.94f), AVRational{60000, 1001}), 0);
    EXPECT_EQ(av_cmp_q(ExactFrameRate(30.0f), AVRational{30, 1}), 0);
    EXPECT_EQ(av_cmp_q(ExactFrameRate(25.0f), AVRational{25, 1}), 0);
    EXPECT_EQ(av_cmp_q(ExactFrameRate(12.5f), AVRational{25, 2}), 0);
    EXPECT_EQ(ExactFrameRate(0.0f).num, 0);

    const auto pictureAt = [](int64_t i) { return 1'000'000'000 + i * 1001000000 / 30000; };
    for (const float inputFps : {30000.0f / 1001.0f, 0.0f}) {
        SCOPED_TRACE(inputFps);
        CFrameRateAdjuster adjuster;
        adjuster.Init(kMicroseconds, inputFps, 29.97f);
        EXPECT_EQ(adjuster.OutputInterval(), 33366);
        for (int64_t i = 0; i <= 30000; ++i) {
            const std::vector<int64_t> stamps = Stamps(adjuster, Picture(pictureAt(i), pictureAt(i + 1) - pictureAt(i)));
            ASSERT_EQ(stamps, std::vector<int64_t>{pictureAt(i)}) << "picture " << i;
        }
    }
}

TEST_F(FrameRateAdjusterTest, SetUpRules)
{
    CFrameRateAdjuster adjuster;
    EXPECT_EQ(adjuster.Init(kMicroseconds, 25.0f, 0.0f), 0.0f);
    EXPECT_EQ(adjuster.Init(kMicroseconds, 25.0f, 25.1f), 25.1f);
    EXPECT_FALSE(adjuster.ConversionNeeded());
    EXPECT_EQ(adjuster.Init(kMicroseconds, 25.0f, -5.0f), 25.1f); // unchanged
    EXPECT_EQ(adjuster.Init(kMicroseconds, 25.0f, 25.2f), 25.2f);
    EXPECT_TRUE(adjuster.ConversionNeeded());
    EXPECT_EQ(adjuster.Init({1, 90000}, 30.0f, 30.0f), 30.0f);
    EXPECT_EQ(adjuster.OutputInterval(), 3000);
    EXPECT_FALSE(adjuster.ConversionNeeded());
}

TEST_F(FrameRateAdjusterTest, PicturesWithoutStampsOrBeforeSetUpPassThrough)
{
    CFrameRateAdjuster unset;
    EXPECT_EQ(Stamps(unset, Picture(1000, 40000)), (std::vector<int64_t>{1000})); // no grid: never a loop without end
    CFrameRateAdjuster adjuster;
    adjuster.Init({0, 0}, 25.0f, 30.0f); // no time base: no grid either
    EXPECT_EQ(Stamps(adjuster, Picture(1000, 40000)), (std::vector<int64_t>{1000}));

    FramePackageQueue output;
    adjuster.Init(kMicroseconds, 25.0f, 50.0f);
    const FramePackage input = Picture(TYX_NOPTS_VALUE, 40000);
    adjuster.ConvertFrame(input, output);
    ASSERT_EQ(output.size(), 1u);
    EXPECT_EQ(output[0].pts, TYX_NOPTS_VALUE);
    EXPECT_EQ(output[0].pData, input.pData);
    Release(output);

    FramePackage status;
    status.nLength = TYX_SRC_CONNECTING;
    status.pts = 5000;
    adjuster.ConvertFrame(status, output);
    ASSERT_EQ(output.size(), 1u);
    EXPECT_EQ(output[0].nLength, TYX_SRC_CONNECTING);
}

TEST_F(FrameRateAdjusterTest, PicturesWithoutDurationLastOneInputFrame)
{
    CFrameRateAdjuster adjuster;
    adjuster.Init(kMicroseconds, 25.0f, 25.0f);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(Stamps(adjuster, Picture(40000 * i, 0)).size(), 1u) << i;
}

TEST_F(FrameRateAdjusterTest, GapsAndJumpsBackRebaseTheGrid)
{
    CFrameRateAdjuster adjuster;
    adjuster.Init(kMicroseconds, 0.0f, 25.0f); // the input's rate unknown, as a decoder sets it up
    using Stamped = std::vector<int64_t>;
    EXPECT_EQ(Stamps(adjuster, Picture(0, 40000)), Stamped{0});
    // One second missing: no burst of 25 catch-up pictures.
    EXPECT_EQ(Stamps(adjuster, Picture(1'040'000, 40000)), Stamped{1'040'000});
    // The source starts again from 0: pictures go on instead of being dropped for a second.
    EXPECT_EQ(Stamps(adjuster, Picture(0, 40000)), Stamped{0});
    // A picture 3.5 % early still takes its stamp.
    EXPECT_EQ(Stamps(adjuster, Picture(40000 - 1300, 40000)), Stamped{40000});
}

// A producer that could not keep its pace (a mux on a slow machine) leaves a few pictures out but
// keeps their time: the output repeats a picture for the missing stamps and stays at its rate,
// instead of leaving a hole that a player shows as a stalled picture and a lower rate.
TEST_F(FrameRateAdjusterTest, AShortGapIsFilledWithRepeats)
{
    CFrameRateAdjuster adjuster;
    adjuster.Init(kMicroseconds, 30.0f, 25.0f);
    using Stamped = std::vector<int64_t>;
    EXPECT_EQ(Stamps(adjuster, Picture(0, 33333)), Stamped{0});
    EXPECT_EQ(Stamps(adjuster, Picture(33333, 33333)), Stamped{40000});
    EXPECT_EQ(Stamps(adjuster, Picture(66667, 33333)), Stamped{80000});
    // Three pictures of the producer missing.
    EXPECT_EQ(Stamps(adjuster, Picture(200000, 33333)), (Stamped{120000, 160000, 200000}));
    EXPECT_EQ(Stamps(adjuster, Picture(233333, 33333)), Stamped{240000});
    // Almost half a second missing is still filled; more is an interruption (see above).
    EXPECT_EQ(Stamps(adjuster, Picture(733333, 33333)).size(), 12u);
}

// A looping clip starts each repeat a little after the last picture's frame ends (its sound runs
// longer), and a camera's stamps move a few milliseconds now and then: the input's phase against
// the grid moves without a gap that would start the grid again. Where the input's rate is not
// known (a decoder's), each picture takes the slot nearest to it, never one up to a frame later;
// where it is the output's, each picture keeps its own stamp. Once the phase has moved, every
// picture gives exactly one.
TEST_F(FrameRateAdjusterTest, EachPictureKeepsItsTimeAcrossPhaseMoves)
{
    constexpr int64_t kFrame = 40000;
    for (const float inputFps : {0.0f, 25.0f}) {
        for (const int64_t move : {int64_t{27000}, int64_t{3000}, int64_t{-15000}, int64_t{19000}}) {
            SCOPED_TRACE(testing::Message() << "input at " << inputFps << " fps, phase moves by " << move << " us");
            const int64_t within = inputFps > 0.0f ? 0 : kFrame / 2;
            CFrameRateAdjuster adjuster;
            adjuster.Init(kMicroseconds, inputFps, 25.0f);
            int64_t pts = 1'000'000'000;
            for (int repeat = 0; repeat < 8; ++repeat) {
                for (int i = 0; i < 25; ++i) {
                    const std::vector<int64_t> stamps = Stamps(adjuster, Picture(pts, kFrame));
                    if (i == 0 && repeat > 0) {
                        // The first picture after the move may also fill the slot that the move
                        // left between it and the one before, or give none where the move took
                        // it into the slot of the one before; its own slot is the last.
                        ASSERT_LE(stamps.size(), 2u) << repeat;
                        if (!stamps.empty()) {
                            EXPECT_LE(std::llabs(stamps.back() - pts), within) << repeat;
                        }
                    } else {
                        ASSERT_EQ(stamps.size(), 1u) << "repeat " << repeat << ", picture " << i;
                        EXPECT_LE(std::llabs(stamps.front() - pts), within) << "repeat " << repeat << ", picture " << i;
                    }
                    pts += kFrame;
                }
                pts += move;
            }
        }
    }
}

// At the output's rate the pictures keep their stamps, and a gap is still filled from the grid of
// the picture before it, up to half a frame before the next picture's own stamp.
TEST_F(FrameRateAdjusterTest, AtTheOutputsRateAGapIsFilledBeforeThePictureKeepsItsStamp)
{
    CFrameRateAdjuster adjuster;
    adjuster.Init(kMicroseconds, 25.0f, 25.0f);
    using Stamped = std::vector<int64_t>;
    EXPECT_EQ(Stamps(adjuster, Picture(1000, 40000)), Stamped{1000});
    EXPECT_EQ(Stamps(adjuster, Picture(41000, 40000)), Stamped{41000});
    // Two pictures missing, and the phase moved by 15 ms.
    EXPECT_EQ(Stamps(adjuster, Picture(176000, 40000)), (Stamped{81000, 121000, 176000}));
    EXPECT_EQ(Stamps(adjuster, Picture(216000, 40000)), Stamped{216000});
    // Nearer the slot of the picture before than its own: one too many.
    EXPECT_EQ(Stamps(adjuster, Picture(230000, 40000)), Stamped{});
    EXPECT_EQ(Stamps(adjuster, Picture(256000, 40000)), Stamped{256000});
}

TEST_F(FrameRateAdjusterTest, BogusDurationsAndFailedCopiesAreBounded)
{
    CFrameRateAdjuster adjuster;
    adjuster.Init(kMicroseconds, 25.0f, 50.0f);
    FramePackageQueue output;
    adjuster.ConvertFrame(Picture(0, int64_t{1} << 40), output);
    EXPECT_EQ(output.size(), static_cast<size_t>(CFrameRateAdjuster::kMaxOutputsPerInput));
    Release(output);

    // A repeat that cannot be copied is left out; the picture itself goes on.
    CFrameRateAdjuster device;
    device.Init(kMicroseconds, 25.0f, 50.0f);
    const FramePackage input = Picture(0, 40000, true);
    DevInjectFault(EDevFault::Malloc, 1);
    device.ConvertFrame(input, output);
    ASSERT_EQ(output.size(), 1u);
    EXPECT_EQ(output[0].pData, input.pData);
    Release(output);
}

// Regulating live stamps: latency unit 300 ms, interval 40 ms, clock passed in.
class RegulateOutputTimestampTest : public ::testing::Test
{
protected:
    static constexpr int64_t kNow = 1'700'000'000'000'000;
    stOutputTimeRecord m_record{300, 40000, kNow - 200'000 - 40000, kNow - 40000, 0};
};

TEST_F(RegulateOutputTimestampTest, ImplausibleStampsAreReplaced)
{
    const int64_t next = m_record.lastPts + m_record.interval;
    // Too young, in the future, too old, none, or too close to the last one: the next grid stamp.
    for (const int64_t bad : {kNow - 100'000, kNow, kNow + 5, kNow - 1'600'000, int64_t{0}, int64_t{-7},
                              m_record.lastPts + 10'000}) {
        int64_t pts = bad;
        EXPECT_EQ(RegulateOutputTimestamp(kNow, pts, m_record), 0) << bad;
        EXPECT_EQ(pts, next) << bad;
    }
    // Nothing pushed yet.
    stOutputTimeRecord first{300, 40000, 0, 0, 0};
    int64_t pts = kNow - 180'000;
    EXPECT_EQ(RegulateOutputTimestamp(kNow, pts, first), 0);
    EXPECT_EQ(pts, kNow - 450'000);
    // The last push long ago.
    stOutputTimeRecord stale{300, 40000, kNow - 3'000'000, kNow - 1'600'000, 0};
    pts = kNow;
    EXPECT_EQ(RegulateOutputTimestamp(kNow, pts, stale), 0);
    EXPECT_EQ(pts, kNow - 600'000);
    // A last push in the future: no stamp yet.
    stOutputTimeRecord ahead{300, 40000, kNow - 200'000, kNow + 1000, 0};
    pts = 0;
    EXPECT_EQ(RegulateOutputTimestamp(kNow, pts, ahead), -1);
    EXPECT_EQ(pts, 0);
}

TEST_F(RegulateOutputTimestampTest, PlausibleStampsAreKeptAndNearlyRegularOnesSnapOntoTheGrid)
{
    const int64_t next = m_record.lastPts + m_record.interval;
    const std::pair<int64_t, int64_t> cases[] = {
        {kNow - 180'000, kNow - 180'000}, {next + 3999, next}, {next - 4000, next}, {next + 4001, next + 4001}};
    for (const auto &[given, kept] : cases) {
        int64_t pts = given;
        EXPECT_EQ(RegulateOutputTimestamp(kNow, pts, m_record), 0) << given;
        EXPECT_EQ(pts, kept) << given;
    }
}

TEST_F(RegulateOutputTimestampTest, PacedOutputWaitsForTheInterval)
{
    stOutputTimeRecord paced{300, 40000, kNow - 300'000, kNow - 10'000, 1};
    int64_t pts = kNow - 262'000;
    EXPECT_EQ(RegulateOutputTimestamp(kNow, pts, paced), 30000);
    EXPECT_EQ(pts, kNow - 262'000);
    paced.lastPushTime = kNow - 39'000;
    EXPECT_EQ(RegulateOutputTimestamp(kNow, pts, paced), 0);
    EXPECT_EQ(pts, paced.lastPts + 40000);
    // Pacing also answers where no stamp could be chosen.
    paced.lastPushTime = kNow + 1000;
    EXPECT_EQ(RegulateOutputTimestamp(kNow, pts, paced), 41000);
}

// Output that comes slower than its interval (a source or a worker that cannot keep its pace)
// must not take its stamps one interval at a time behind the clock for good: the stamps come back
// to the clock in whole intervals, so a recording lasts as long as the time it ran.
TEST_F(RegulateOutputTimestampTest, StampsThatFellBehindTheClockComeBackToItInWholeIntervals)
{
    // Last stamp 2 s behind: the next interval would lie beyond the window of 1.5 s.
    stOutputTimeRecord behind{300, 40000, kNow - 2'000'000, kNow - 40000, 0};
    int64_t pts = 0;
    EXPECT_EQ(RegulateOutputTimestamp(kNow, pts, behind), 0);
    EXPECT_EQ((pts - behind.lastPts) % 40000, 0) << "on the grid of the last stamp";
    EXPECT_LE(pts, kNow - 450'000);
    EXPECT_GT(pts, kNow - 450'000 - 40000) << "where a first stamp would lie";

    // A worker taking 60 ms per picture of a 40 ms interval, for ten minutes on a clock passed in:
    // the stamps keep within the window of the clock.
    stOutputTimeRecord record{300, 40000, 0, 0, 0};
    int64_t now = kNow;
    for (int i = 0; i < 10000; ++i, now += 60000) {
        int64_t stamp = -1;
        ASSERT_EQ(RegulateOutputTimestamp(now, stamp, record), 0) << i;
        ASSERT_GT(stamp, record.lastPts) << i;
        ASSERT_GE(stamp, now - 1'500'000) << i;
        record.lastPts = stamp;
        record.lastPushTime = now;
    }
}

// Paced output that wakes a little early runs ahead of the clock picture by picture: it is held
// back once its next stamp would be younger than the window allows.
TEST_F(RegulateOutputTimestampTest, PacedOutputIsHeldBackWhenItsStampsRunAheadOfTheClock)
{
    stOutputTimeRecord record{300, 40000, 0, 0, 1};
    int64_t now = kNow;
    for (int i = 0; i < 5000; ++i) {
        int64_t stamp = -1;
        const int32_t rc = RegulateOutputTimestamp(now, stamp, record);
        ASSERT_GE(rc, 0) << i;
        if (rc > 0) {
            now += rc;
            continue;
        }
        ASSERT_LE(stamp, now - 150'000) << i;
        record.lastPts = stamp;
        record.lastPushTime = now;
        now += 38900; // every wake-up 1.1 ms early, within the 97 % the pacing allows
    }
    EXPECT_GT(now - kNow, 100'000'000);
    EXPECT_GE(record.lastPts, now - 1'500'000) << "the output kept the pace of the clock";
}

TEST(RebaseTimestampTest, StampsFollowTheProgramClockFromTheFirstPackage)
{
    stTimestampRebase state;
    FramePackage package;
    package.pts = 900000;
    package.dts = 123;
    EXPECT_EQ(RebaseTimestamp(state, package, {1, 90000}, 5'000'000), 5'000'000);
    EXPECT_EQ(state.base, 5'000'000);
    package.pts = 990000;
    EXPECT_EQ(RebaseTimestamp(state, package, {1, 90000}, 9'999'999), 6'000'000);
    EXPECT_EQ(package.dts, 123);

    // Truncation toward zero, both ways.
    stTimestampRebase third;
    package.pts = 10;
    RebaseTimestamp(third, package, {1, 3}, 1'000'000);
    package.pts = 9;
    EXPECT_EQ(RebaseTimestamp(third, package, {1, 3}, 0), 1'000'000 - 333333);
    package.pts = 11;
    EXPECT_EQ(RebaseTimestamp(third, package, {1, 3}, 0), 1'000'000 + 333333);
}

TEST(RebaseTimestampTest, LongRunsAndMissingValues)
{
    // Eleven days of a 100 ns time base: the product passes 64 bits.
    stTimestampRebase state;
    FramePackage package;
    package.pts = 0;
    RebaseTimestamp(state, package, {1, 10000000}, 1'000'000);
    package.pts = int64_t{11} * 86400 * 10000000;
    EXPECT_EQ(RebaseTimestamp(state, package, {1, 10000000}, 0), 1'000'000 + int64_t{11} * 86400 * 1000000);

    package.pts = TYX_NOPTS_VALUE;
    EXPECT_EQ(RebaseTimestamp(state, package, {1, 10000000}, 0), TYX_NOPTS_VALUE);
    package.pts = 500;
    EXPECT_EQ(RebaseTimestamp(state, package, {1, 0}, 0), 500);

    // An absent stamp does not fix the base.
    stTimestampRebase fresh;
    package.pts = TYX_NOPTS_VALUE;
    RebaseTimestamp(fresh, package, {1, 1000}, 77);
    EXPECT_EQ(fresh.base, 0);
}

} // namespace
