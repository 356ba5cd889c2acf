#include "WriterTestSupport.h"
#include "core/TYXUtils.h"
#include "host/GlobalVars.h"
#include "support/LeakCheck.h"
#include "support/TempDir.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

// Recordings of a picture with B-frames and its sound: every stream of a file counts from one
// time origin, so a picture and the sound that came with it keep their distance in every segment.

namespace fs = std::filesystem;

namespace {

constexpr int64_t kBase = 1700000000000000; // program clock µs of the clip's time 0

const CTestEncoder &ReorderedClip()
{
    static CTestEncoder encoder;
    static const bool made = encoder.Encode(stTestEncodeSpec{.bFrames = 2});
    EXPECT_TRUE(made);
    return encoder;
}

// The first packet of each kind in decode order.
struct stFirstPackets
{
    const stTestPacket *video = nullptr;
    const stTestPacket *audio = nullptr;
    int videoCount = 0;
    int audioCount = 0;
};

stFirstPackets FirstPackets(const std::vector<stTestPacket> &packets)
{
    stFirstPackets first;
    for (const stTestPacket &packet : packets) {
        if (packet.mediaType == 0) {
            first.video = first.video ? first.video : &packet;
            ++first.videoCount;
        } else if (packet.mediaType == 1) {
            first.audio = first.audio ? first.audio : &packet;
            ++first.audioCount;
        }
    }
    return first;
}

} // namespace

class WriterTimeOriginTest : public CLeakCheckedTest
{
protected:
    void SetUp() override
    {
        CLeakCheckedTest::SetUp();
        CTYXGVMS::ResetForTests();
        CTYXGVMS::GeneralSettings().RecordWriter = L"RecWriter";
        ClearTYXEventQueue();
    }
    void TearDown() override
    {
        m_harness.reset();
        CTYXGVMS::ResetForTests();
        ClearTYXEventQueue();
        CLeakCheckedTest::TearDown();
    }

    CTempDir m_dir;
    std::atomic<int64_t> m_now{1700000000};
    std::atomic<int64_t> m_programShiftUs{0};
    std::unique_ptr<CWriterHarness> m_harness;
};

TEST_F(WriterTimeOriginTest, PictureAndSoundKeepTheirDistanceInEverySegment)
{
    const CTestEncoder &clip = ReorderedClip();
    ASSERT_FALSE(clip.Video().empty());
    // The clip really reorders: some picture is shown later than it is decoded.
    ASSERT_TRUE(std::any_of(clip.Video().begin(), clip.Video().end(), [](const stCodedPacket &p) { return p.pts > p.dts; }));
    m_harness = std::make_unique<CWriterHarness>(clip, true);
    m_harness->Worker().SetMaxWaitMs(20);
    m_harness->Worker().SetWallClock([this] { return m_now.load(); });
    m_harness->Worker().SetClockSources([this] { return GetCurrentTimeUs() + m_programShiftUs.load(); }, nullptr);
    ASSERT_EQ(m_harness->Start(CWriterHarness::RecordConfig(m_dir.Path(), true)), 0);

    // The clip's first packets come before its time 0 (the reordering delay).
    m_harness->Feed(kBase, -1000000, 1500000);
    ASSERT_TRUE(WaitFor([this] { return m_harness->Worker().IsOutputOpened(); }));
    ASSERT_TRUE(m_harness->WaitDrained(20000));
    m_now += 178; // the segment length is 3 minutes; the cut comes 2 s early
    m_programShiftUs += 178000000;
    m_harness->Feed(kBase, 1500000, 4000000);
    ASSERT_TRUE(WaitFor([this] { return ListRecordings(m_dir.Path()).size() == 2; }));
    ASSERT_TRUE(m_harness->WaitDrained(20000));
    ASSERT_EQ(m_harness->Worker().StopDataPushing(), 0);
    ASSERT_TRUE(WaitFor([this] { return m_harness->Worker().GetWorkingStep() == TYX_MW_STEP_IDLE; }));

    // The clip's packets in decode order, as the writer was given them.
    std::vector<stCodedPacket> video = clip.Video();
    std::vector<stCodedPacket> audio = clip.Audio();
    const auto byDts = [](const stCodedPacket &a, const stCodedPacket &b) { return a.dts < b.dts; };
    std::stable_sort(video.begin(), video.end(), byDts);
    std::stable_sort(audio.begin(), audio.end(), byDts);
    const int64_t audioFrameUs = audio.empty() ? 0 : audio.front().duration;

    // The segments join without gap or overlap and end with the clip: counted back from its end,
    // the packets before each segment's first ones are known.
    const std::vector<fs::path> files = ListRecordings(m_dir.Path());
    ASSERT_EQ(files.size(), 2u);
    std::vector<std::vector<stTestPacket>> contents;
    size_t videoBefore = video.size();
    size_t audioBefore = audio.size();
    for (const fs::path &file : files) {
        contents.push_back(ReadTestMediaPackets(file));
        const stFirstPackets first = FirstPackets(contents.back());
        videoBefore -= std::min(videoBefore, static_cast<size_t>(first.videoCount));
        audioBefore -= std::min(audioBefore, static_cast<size_t>(first.audioCount));
    }
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(files[i].string());
        const stFirstPackets first = FirstPackets(contents[i]);
        ASSERT_TRUE(first.video && first.audio);
        EXPECT_TRUE(first.video->key);
        const int64_t inputDistance = video[videoBefore].pts - audio[audioBefore].pts;
        const int64_t fileDistance = first.video->ptsUs - first.audio->ptsUs;
        EXPECT_NEAR(static_cast<double>(fileDistance), static_cast<double>(inputDistance), static_cast<double>(audioFrameUs))
            << "input: video pts " << video[videoBefore].pts << ", audio pts " << audio[audioBefore].pts
            << "; file: video pts " << first.video->ptsUs << ", audio pts " << first.audio->ptsUs;
        EXPECT_TRUE(video[videoBefore].key);
        videoBefore += static_cast<size_t>(first.videoCount);
        audioBefore += static_cast<size_t>(first.audioCount);
    }
    EXPECT_EQ(videoBefore, video.size());
    EXPECT_EQ(audioBefore, audio.size());
}
