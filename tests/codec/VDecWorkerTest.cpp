// The decode worker base with a scripted back-end: key-frame gate, decoder retries, discarded and
// converted pictures, default pictures for status packages and for a silent source, bad input.

#include "codec/DecodeTestSupport.h"
#include "codec/VDecWorker.h"
#include "core/VideoFrameInfo.h"
#include "host/GlobalVars.h"

#include "support/LeakCheck.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

namespace {

constexpr int32_t kDiscardRequest = 0x100; // asks the scripted back-end for a discarded picture
constexpr int64_t kFirstPts = 2000000000;
constexpr int64_t kInputInterval = 40000;

// Decodes every package into one picture whose luma is a function of the pts.
class CScriptedDecoder : public CTYXVDecWorker
{
public:
    using CTYXVDecWorker::CTYXVDecWorker;
    ~CScriptedDecoder() override { UninitializeDecoder(); }

    int32_t InitializeDecoder(int32_t) override
    {
        ++opens;
        if (failOpens > 0) {
            --failOpens;
            return -5;
        }
        return 0;
    }
    void UninitializeDecoder() override { m_decoderReady = false; }
    int32_t DecodeExtraData(const uint8_t *, int32_t) override { return 0; }
    int32_t DecodeFrame(FramePackage &package, std::vector<FramePackage> &frames) override
    {
        ++decodes;
        if (package.pts == throwAtPts)
            throw std::runtime_error("stream the decoder cannot take");
        FramePackage frame;
        frame.width = static_cast<uint16_t>(width);
        frame.height = static_cast<uint16_t>(height);
        frame.pitch = frame.width;
        frame.inDevice = 1;
        frame.pts = package.pts;
        if (CreateBlankVideoFramePackage(frame, stColorYuv{static_cast<uint8_t>(package.pts / kInputInterval), 128, 128}) <= 0)
            return -1;
        frame.flags = (package.flags & kDiscardRequest) ? TYX_PKT_FLAG_DISCARD : (package.flags & TYX_PKT_FLAG_KEY);
        frames.push_back(frame);
        return 1;
    }
    int32_t GetDecodedFrameInfo(stDecodedFrameInfo &info) override
    {
        info.width = static_cast<uint16_t>(width);
        info.height = static_cast<uint16_t>(height);
        info.pitch = static_cast<uint16_t>(width);
        return 0;
    }
    int32_t CreateMdpFrame(uint32_t size) override
    {
        ++mdpFrames;
        return AllocateWorkingBuffer(size, true);
    }
    int32_t ListDecoderCaps() override { return 0; }

    std::atomic<int> opens{0};
    std::atomic<int> decodes{0};
    std::atomic<int> mdpFrames{0};
    int failOpens = 0;
    int64_t throwAtPts = -1;
    int width = 64;
    int height = 48;
};

class VDecWorkerTest : public CLeakCheckedTest
{
protected:
    void SetUp() override
    {
        CLeakCheckedTest::SetUp();
        CTYXGVMS::ResetForTests();
        m_input.codecId = 27;
        m_input.width = 64;
        m_input.height = 48;
        m_input.pitch = 64;
        m_input.frameRate = 25.0f;
    }
    void TearDown() override
    {
        CTYXGVMS::ResetForTests();
        CLeakCheckedTest::TearDown();
    }
    static std::shared_ptr<CTYXVDecWorker> Make(uint32_t id, const CTYXWorker::InputLinkMap *inputs,
                                                const CTYXWorker::ConsumerLinkMap *consumers)
    {
        return std::make_shared<CScriptedDecoder>(id, inputs, consumers);
    }
    static CScriptedDecoder &Scripted(CDecodeHarness &harness) { return static_cast<CScriptedDecoder &>(harness.Worker()); }
    static FramePackage Packet(int index, bool key, int32_t extraFlags = 0)
    {
        stCodedPacket packet;
        packet.data.assign(16, static_cast<uint8_t>(index));
        packet.pts = kFirstPts + index * kInputInterval;
        packet.dts = packet.pts;
        packet.key = key;
        FramePackage package = MakeCodedPackage(packet);
        package.flags |= extraFlags;
        return package;
    }
    stStreamParams m_input;
};

struct stYuvSample
{
    int y = 0;
    int u = 0;
    int v = 0;
};

// The top-left pixel of an I420 picture.
stYuvSample CornerOf(const stPicture &picture)
{
    stYuvSample sample;
    const size_t luma = static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height);
    if (picture.bytes.size() < luma * 3 / 2)
        return sample;
    sample.y = picture.bytes[0];
    sample.u = picture.bytes[luma];
    sample.v = picture.bytes[luma + luma / 4];
    return sample;
}

// Counts the pixels of the picture that differ from its corner pixel's luma.
int MarkedPixels(const stPicture &picture)
{
    int marked = 0;
    for (int i = 0; i < picture.width * picture.height; ++i)
        marked += picture.bytes[static_cast<size_t>(i)] != picture.bytes[0] ? 1 : 0;
    return marked;
}

} // namespace

TEST(VDecCacheMarksTest, MarksFollowTheCacheLengthAndStayReachable)
{
    const CTYXVDecWorker::stCacheMarks marks = CTYXVDecWorker::ComputeCacheMarks(2000, 25.0f);
    EXPECT_EQ(marks.target, 50);
    EXPECT_EQ(marks.low, 16);
    EXPECT_EQ(marks.high, 56) << "ceil(50 x 1.1) in double precision";
    // 40 s at 30 fps would be 1200 packets: more than a link ever holds.
    const CTYXVDecWorker::stCacheMarks capped = CTYXVDecWorker::ComputeCacheMarks(40000, 30.0f);
    EXPECT_LT(capped.target, 900);
    EXPECT_LT(capped.high, 900);
}

TEST_F(VDecWorkerTest, DecoderThatFailsToOpenIsRetriedWithThePackageKept)
{
    CLogCapture log;
    CDecodeHarness harness(Make);
    Scripted(harness).failOpens = 2;
    ASSERT_TRUE(harness.Configure(m_input));
    EXPECT_FALSE(harness.Worker().IsDecoderReady());
    ASSERT_TRUE(harness.Start());
    for (int i = 0; i < 5; ++i)
        harness.Feed(Packet(i, i == 0));
    std::vector<FramePackage> frames = harness.TakeAtLeast(5);
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_EQ(frames.front().pts, kFirstPts) << "the key packet waited for the decoder";
    EXPECT_EQ(Scripted(harness).opens.load(), 3);
    EXPECT_EQ(log.Count(L"Initializing failed with error code=[-5]!", 3), 2);
    for (const FramePackage &frame : frames) {
        EXPECT_EQ(frame.kind, TYX_PKT_KIND_RAW_VIDEO);
        EXPECT_EQ(frame.duration, 40000) << "one input frame at 25 fps";
        EXPECT_EQ(frame.dts, TYX_NOPTS_VALUE);
    }
    FreePackages(frames);
    harness.Stop();
    EXPECT_EQ(Scripted(harness).mdpFrames.load(), 1) << "the working buffer is made once";
}

TEST_F(VDecWorkerTest, DiscardedPicturesAreNeverSentAndOnlyKeyBitOpensTheGate)
{
    CLogCapture log;
    CDecodeHarness harness(Make);
    ASSERT_TRUE(harness.Configure(m_input));
    ASSERT_TRUE(harness.Start());
    harness.Feed(Packet(0, false, TYX_PKT_FLAG_DISCARD)); // flags set, but no key bit
    harness.Feed(Packet(1, true));
    harness.Feed(Packet(2, false, kDiscardRequest));
    harness.Feed(Packet(3, false));
    std::vector<FramePackage> frames = harness.TakeAtLeast(2);
    ASSERT_TRUE(PollUntil([&] { return harness.InputQueued() == 0; }));
    harness.Stop();
    for (const FramePackage &frame : harness.Take())
        frames.push_back(frame);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].pts, kFirstPts + kInputInterval);
    EXPECT_EQ(frames[1].pts, kFirstPts + 3 * kInputInterval);
    EXPECT_EQ(log.Count(L"before 1st Key frame received discarded"), 1);
    EXPECT_EQ(log.Count(L"was marked as Discard, skip it!"), 1);
    FreePackages(frames);
}

TEST_F(VDecWorkerTest, FirstDecodedSizeIsAnnouncedOnce)
{
    CDecodeHarness harness(Make);
    std::atomic<int> callbacks{0};
    harness.Worker().SetOutputParamsCallback([&](CTYXWorker *, uint32_t, const stStreamParams *params) {
        EXPECT_EQ(params->width, 64);
        ++callbacks;
    });
    stStreamParams unsized = m_input;
    unsized.width = 0;
    unsized.height = 0;
    ASSERT_TRUE(harness.Configure(unsized));
    ASSERT_TRUE(harness.Start());
    for (int i = 0; i < 10; ++i)
        harness.Feed(Packet(i, i == 0));
    std::vector<FramePackage> frames = harness.TakeAtLeast(10);
    EXPECT_EQ(frames.size(), 10u);
    EXPECT_EQ(callbacks.load(), 1);
    FreePackages(frames);
}

TEST_F(VDecWorkerTest, FrameRateConversionDuplicatesPicturesOnTheOutputGrid)
{
    CDecodeHarness harness(Make);
    harness.Config().OutputFramerate = 30.0f;
    ASSERT_TRUE(harness.Configure(m_input));
    EXPECT_EQ(harness.Worker().FrameInterval(), 33333);
    ASSERT_TRUE(harness.Start());
    // Fed a few at a time: a consumer queue holds 30 pictures.
    std::vector<FramePackage> frames;
    for (int i = 0; i < 50; ++i) {
        harness.Feed(Packet(i, i == 0));
        if (i % 10 == 9) {
            std::vector<FramePackage> some = harness.TakeAtLeast(frames.size() < 48 ? 12 : 10);
            frames.insert(frames.end(), some.begin(), some.end());
        }
    }
    ASSERT_GE(frames.size(), 58u);
    int duplicates = 0;
    for (size_t i = 1; i < frames.size(); ++i) {
        const int64_t step = frames[i].pts - frames[i - 1].pts;
        EXPECT_GE(step, 33333);
        EXPECT_LE(step, 33334);
        duplicates += ReadPicture(frames[i]).bytes == ReadPicture(frames[i - 1]).bytes ? 1 : 0;
    }
    EXPECT_GE(duplicates, 8) << "one picture in five is sent twice";
    FreePackages(frames);
}

TEST_F(VDecWorkerTest, WithoutConsumersOrDirectOutputsNothingIsDecoded)
{
    CDecodeHarness harness(Make, false);
    ASSERT_TRUE(harness.Configure(m_input));
    ASSERT_TRUE(harness.Start());
    for (int i = 0; i < 5; ++i)
        harness.Feed(Packet(i, i == 0));
    ASSERT_TRUE(PollUntil([&] { return harness.InputQueued() == 0; }));
    harness.Stop();
    EXPECT_EQ(Scripted(harness).decodes.load(), 0);
}

TEST_F(VDecWorkerTest, DecoderExceptionIsCaughtAndTheDecoderReopenedAtTheNextKeyFrame)
{
    CLogCapture log;
    CDecodeHarness harness(Make);
    Scripted(harness).throwAtPts = kFirstPts + 2 * kInputInterval;
    ASSERT_TRUE(harness.Configure(m_input));
    ASSERT_TRUE(harness.Start());
    for (int i = 0; i < 8; ++i)
        harness.Feed(Packet(i, i == 0 || i == 5));
    std::vector<FramePackage> frames = harness.TakeAtLeast(5);
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_EQ(frames[2].pts, kFirstPts + 5 * kInputInterval) << "pictures 3 and 4 wait for the next key frame";
    EXPECT_TRUE(log.Contains(L"decoder threw: stream the decoder cannot take", 3));
    EXPECT_EQ(Scripted(harness).opens.load(), 2);
    FreePackages(frames);
}

TEST_F(VDecWorkerTest, StatusPackageGivesADefaultPictureWithOnlyItsText)
{
    CLogCapture log;
    CDecodeHarness harness(Make);
    ASSERT_TRUE(harness.Configure(m_input));
    ASSERT_TRUE(harness.Start());
    harness.Feed(MakeStatusPackage(TYX_SRC_CONNECTING, GetCurrentTimeUs()));
    std::vector<FramePackage> frames = harness.TakeAtLeast(1);
    ASSERT_EQ(frames.size(), 1u);
    const FramePackage &frame = frames.front();
    EXPECT_EQ(frame.width, 1280) << "no picture decoded yet: the default size";
    EXPECT_EQ(frame.height, 720);
    EXPECT_EQ(frame.nLength, 1280 * 720 * 3 / 2);
    EXPECT_EQ(frame.inDevice, 1);
    EXPECT_EQ(frame.kind, TYX_PKT_KIND_RAW_VIDEO);
    const stPicture picture = ReadPicture(frame);
    EXPECT_GT(MarkedPixels(picture), 500) << "the text is drawn";
    const stYuvSample corner = CornerOf(picture);
    EXPECT_LE(corner.y, 16) << "drawn on the configured background, black";
    EXPECT_NEAR(corner.u, 128, 2);
    EXPECT_NEAR(corner.v, 128, 2);
    SaveI420AsPng("vdec_status_connecting", picture);
    EXPECT_TRUE(log.Contains(L"Default frame with error(-90) OSD pushed to downstream"));
    FreePackages(frames);

    harness.Feed(MakeStatusPackage(-55, GetCurrentTimeUs()));
    frames = harness.TakeAtLeast(1);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(MarkedPixels(ReadPicture(frames.front())), 0) << "a code without text leaves the picture blank";
    EXPECT_TRUE(log.Contains(L"Frame datalen(-55) indicated its error, But relevant OSD not found!", 3));
    FreePackages(frames);
}

TEST_F(VDecWorkerTest, StatusPicturesTakeTheConfiguredBackgroundColour)
{
    CTYXGVMS::GeneralSettings().DefaultBGC = 1; // blue
    CDecodeHarness harness(Make);
    ASSERT_TRUE(harness.Configure(m_input));
    ASSERT_TRUE(harness.Start());
    harness.Feed(MakeStatusPackage(TYX_SRC_CONNECTING, GetCurrentTimeUs()));
    std::vector<FramePackage> frames = harness.TakeAtLeast(1);
    ASSERT_EQ(frames.size(), 1u);
    const stYuvSample corner = CornerOf(ReadPicture(frames.front()));
    EXPECT_NEAR(corner.y, 29, 2);
    EXPECT_GT(corner.u, 240);
    EXPECT_NEAR(corner.v, 107, 2);
    FreePackages(frames);
}

TEST_F(VDecWorkerTest, StatusPackagesSoonerThanAFrameApartAreHeldBack)
{
    CLogCapture log;
    CDecodeHarness harness(Make);
    ASSERT_TRUE(harness.Configure(m_input));
    ASSERT_TRUE(harness.Start());
    const int64_t now = GetCurrentTimeUs();
    for (int i = 0; i < 3; ++i)
        harness.Feed(MakeStatusPackage(TYX_SRC_CLOSED, now));
    std::vector<FramePackage> frames = harness.TakeAtLeast(3);
    ASSERT_EQ(frames.size(), 3u);
    for (size_t i = 1; i < frames.size(); ++i)
        EXPECT_GE(frames[i].pts - frames[i - 1].pts, 33333 * 97 / 100);
    EXPECT_TRUE(log.Contains(L"Timestamp Calculating suggested push the frame after"));
    FreePackages(frames);
}

TEST_F(VDecWorkerTest, SilentSourceGetsPacedTimeoutPicturesUntilPacketsReturn)
{
    CLogCapture log;
    CTestTicks ticks;
    CDecodeHarness harness(Make);
    Scripted(harness).width = 640;
    Scripted(harness).height = 360;
    harness.UseTicks(ticks);
    ASSERT_TRUE(harness.Configure(m_input));
    ASSERT_TRUE(harness.Start());
    for (int i = 0; i < 3; ++i)
        harness.Feed(Packet(i, i == 0));
    std::vector<FramePackage> decoded = harness.TakeAtLeast(3);
    ASSERT_EQ(decoded.size(), 3u);
    FreePackages(decoded);

    ticks.Advance(CTYXVDecWorker::kInputTimeoutMs + 1);
    std::vector<FramePackage> defaults = harness.TakeAtLeast(5);
    ASSERT_GE(defaults.size(), 5u);
    for (size_t i = 0; i < defaults.size(); ++i) {
        EXPECT_EQ(defaults[i].width, 640) << "default pictures keep the decoded size";
        EXPECT_EQ(defaults[i].nLength, 640 * 360 * 3 / 2);
        if (i > 0) {
            EXPECT_GE(defaults[i].pts - defaults[i - 1].pts, 33333 * 97 / 100);
            EXPECT_LE(defaults[i].pts - defaults[i - 1].pts, 2 * 33333);
        }
    }
    const stPicture picture = ReadPicture(defaults.back());
    EXPECT_GT(MarkedPixels(picture), 500) << "\"video waiting timed out!\" is drawn";
    SaveI420AsPng("vdec_status_timeout", picture);
    EXPECT_EQ(log.Count(L"Timed out in waiting for input data"), 1);
    EXPECT_EQ(log.Count(L"The 1st Default frame with Timedout-OSD pushed to downstream"), 1);
    FreePackages(defaults);

    harness.Feed(Packet(100, true));
    std::vector<FramePackage> back;
    ASSERT_TRUE(PollUntil([&] {
        for (const FramePackage &frame : harness.Take())
            back.push_back(frame);
        return !back.empty() && back.back().pts == kFirstPts + 100 * kInputInterval;
    }));
    EXPECT_TRUE(log.Contains(L"from receiving-Timed-out"));
    harness.Stop();
    const size_t afterStop = harness.Take().size();
    EXPECT_EQ(afterStop, 0u);
    FreePackages(back);
}

TEST_F(VDecWorkerTest, BadInputIsLoggedAndTheWorkerGoesOn)
{
    CLogCapture log;
    CDecodeHarness harness(Make);
    ASSERT_TRUE(harness.Configure(m_input));
    ASSERT_TRUE(harness.Start());
    FramePackage picture;
    picture.kind = TYX_PKT_KIND_RAW_VIDEO;
    ASSERT_EQ(AllocFramePackageData(picture, 100), 100);
    harness.Feed(picture);                      // a length that no coded packet of this kind has
    FramePackage empty;
    empty.kind = TYX_PKT_KIND_CODED_VIDEO;
    empty.pts = GetCurrentTimeUs();
    harness.Feed(empty);                        // zero length: a status package without a code
    harness.Feed(Packet(0, true));
    harness.Feed(Packet(1, false));
    std::vector<FramePackage> frames = harness.TakeAtLeast(3);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].width, 1280) << "the empty package became a blank default picture";
    EXPECT_EQ(frames[1].pts, kFirstPts);
    EXPECT_EQ(frames[2].pts, kFirstPts + kInputInterval);
    EXPECT_TRUE(log.Contains(L"Paket(kind=1, length=100) is no coded video, discarded", 3));
    EXPECT_TRUE(log.Contains(L"Frame datalen(0) indicated its error, But relevant OSD not found!", 3));
    EXPECT_EQ(Scripted(harness).decodes.load(), 2);
    FreePackages(frames);
}

TEST_F(VDecWorkerTest, UnknownCodecIdIsLoggedAndNeverOpened)
{
    CLogCapture log;
    CDecodeHarness harness(Make);
    stStreamParams unknown = m_input;
    unknown.codecId = 70000;
    ASSERT_TRUE(harness.Configure(unknown));
    EXPECT_TRUE(log.Contains(L"Decoders not initialized for unknown codecID[70000].", 3));
    EXPECT_EQ(Scripted(harness).opens.load(), 0);
}

TEST_F(VDecWorkerTest, StopPushingHoldsThePackagesUntilPushingStartsAgain)
{
    CLogCapture log;
    CTestTicks ticks;
    ticks.Advance(TYX_PUSH_STOP_INTERVAL_MS + 1); // a stop is refused in the first seconds of the clock
    CDecodeHarness harness(Make);
    harness.UseTicks(ticks);
    ASSERT_TRUE(harness.Configure(m_input));
    ASSERT_TRUE(harness.Start());
    ASSERT_EQ(harness.Worker().StopDataPushing(), 0);
    ASSERT_TRUE(PollUntil([&] { return log.Contains(L"Recieved Stop-data-pushing signal."); }));
    for (int i = 0; i < 3; ++i)
        harness.Feed(Packet(i, i == 0));
    const size_t heldBeforeStart = harness.InputQueued();
    EXPECT_EQ(heldBeforeStart, 3u) << "a paused worker takes nothing";
    ASSERT_EQ(harness.Worker().StartDataPushing(), 0);
    std::vector<FramePackage> frames = harness.TakeAtLeast(3);
    EXPECT_EQ(frames.size(), 3u);
    EXPECT_EQ(Scripted(harness).decodes.load(), 3);
    FreePackages(frames);
}
