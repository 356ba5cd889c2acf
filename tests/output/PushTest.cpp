#include "PushReceiver.h"
#include "WriterTestSupport.h"
#include "core/TYXUtils.h"
#include "host/GlobalVars.h"
#include "output/RTMPWriter.h"
#include "output/RTSPWriter.h"
#include "support/LeakCheck.h"
#include "support/TempDir.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

// The media writer pushing to real RTMP and RTSP receivers on 127.0.0.1 that go away and come
// back while it pushes.

namespace {

constexpr int64_t kBase = 1700000000000000;

// Plays the clip into the writer's links again and again, four times faster than real time, as a
// live encoder would (its time stamps keep growing).
class CLiveFeeder
{
public:
    explicit CLiveFeeder(CWriterHarness &harness) : m_harness(harness)
    {
        m_thread = std::thread([this] { Run(); });
    }
    ~CLiveFeeder()
    {
        m_stop = true;
        m_thread.join();
    }

private:
    void Run()
    {
        constexpr int64_t kSliceUs = 80000;
        const int64_t clip = TestClip().ClipUs();
        int64_t position = 0;
        while (!m_stop) {
            const int64_t loop = position / clip;
            const int64_t from = position % clip;
            m_harness.Feed(kBase + loop * clip, from, std::min(from + kSliceUs, clip));
            position = loop * clip + std::min(from + kSliceUs, clip);
            // Keep the queues from growing while the writer is away.
            if (m_harness.Queued(true) > 200)
                m_harness.Worker().FlushInputQueues();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    CWriterHarness &m_harness;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

int TotalVideo(const CPushReceiver &receiver)
{
    int total = 0;
    for (const CPushReceiver::stSession &session : receiver.Sessions())
        total += session.videoPackets;
    return total;
}

class PushTest : public CLeakCheckedTest
{
protected:
    void SetUp() override
    {
        CLeakCheckedTest::SetUp();
        CTYXGVMS::ResetForTests();
        CTYXGVMS::GeneralSettings().LiveBCWriter = L"PushWriter";
        ClearTYXEventQueue();
        m_harness = std::make_unique<CWriterHarness>(TestClip(), true);
        m_harness->Worker().SetMaxWaitMs(50);
    }
    void TearDown() override
    {
        m_harness.reset();
        CTYXGVMS::ResetForTests();
        ClearTYXEventQueue();
        CLeakCheckedTest::TearDown();
    }
    void ExpectGoodSession(const CPushReceiver::stSession &session)
    {
        EXPECT_TRUE(session.firstVideoKey) << "a push starts on a key frame";
        EXPECT_EQ(session.streams, 2);
        EXPECT_EQ(session.codecVideo, AV_CODEC_ID_H264);
        EXPECT_EQ(session.codecAudio, AV_CODEC_ID_AAC);
        EXPECT_EQ(session.width, 320);
        EXPECT_EQ(session.height, 240);
        EXPECT_GT(session.audioPackets, 0);
    }
    // Pushes to the receiver, which goes away mid-push and comes back on the same port.
    void PushThroughARestart(CPushReceiver::EProtocol protocol, int32_t type, bool overTcp)
    {
        CPushReceiver receiver;
        ASSERT_EQ(receiver.Start(protocol), 0);
        stMediaWriteWorkerConfig config = CWriterHarness::PushConfig(type, receiver.Url(), true);
        config.RtspOverTcp = overTcp ? 1 : 0;
        ASSERT_EQ(m_harness->Start(config), 0);
        CLiveFeeder feeder(*m_harness);
        ASSERT_TRUE(receiver.WaitForVideo(60, 30000));
        const int port = receiver.Port();
        receiver.Stop();
        ASSERT_EQ(receiver.Start(protocol, port), 0);
        ASSERT_TRUE(receiver.WaitForVideo(TotalVideo(receiver) + 60, 60000));
        const std::vector<CPushReceiver::stSession> sessions = receiver.Sessions();
        ASSERT_GE(sessions.size(), 2u);
        for (const CPushReceiver::stSession &session : sessions)
            if (session.videoPackets > 0)
                ExpectGoodSession(session);
        if (protocol == CPushReceiver::EProtocol::Rtmp) {
            EXPECT_TRUE(sessions.back().dtsMonotonic);
        }
    }

    std::unique_ptr<CWriterHarness> m_harness;
};

} // namespace

TEST_F(PushTest, RtmpPushGoesOnAfterTheServerCameBack)
{
    PushThroughARestart(CPushReceiver::EProtocol::Rtmp, TYX_WRITER_RTMP, false);
    const std::vector<stTYXEvent> events = TakeEvents();
    EXPECT_GE(CountEvents(events, TYX_EVENT_OUTPUT_STARTED), 2);
    EXPECT_GE(CountEvents(events, TYX_EVENT_OUTPUT_STOPPED, "Writing failed."), 1);
}

TEST_F(PushTest, RtspPushOverTcpGoesOnAfterTheServerCameBack)
{
    PushThroughARestart(CPushReceiver::EProtocol::Rtsp, TYX_WRITER_RTSP, true);
    EXPECT_GE(CountEvents(TakeEvents(), TYX_EVENT_OUTPUT_STARTED), 2);
}

TEST_F(PushTest, RtspPushOverTheDefaultTransportArrives)
{
    CPushReceiver receiver;
    ASSERT_EQ(receiver.Start(CPushReceiver::EProtocol::Rtsp), 0);
    ASSERT_EQ(m_harness->Start(CWriterHarness::PushConfig(TYX_WRITER_RTSP, receiver.Url(), true)), 0);
    CLiveFeeder feeder(*m_harness);
    ASSERT_TRUE(receiver.WaitForVideo(60, 30000));
    // Sound comes over a port of its own: on a busy machine its first packets may follow a while
    // after the pictures'.
    ASSERT_TRUE(WaitFor([&] { return receiver.Sessions().front().audioPackets > 0; }, 30000));
    ExpectGoodSession(receiver.Sessions().front());
}

// A new destination at run time starts on a key frame; the old one is let go.
TEST_F(PushTest, ChangeOutputMovesThePushToTheNewServer)
{
    CPushReceiver first;
    CPushReceiver second;
    ASSERT_EQ(first.Start(CPushReceiver::EProtocol::Rtmp), 0);
    ASSERT_EQ(second.Start(CPushReceiver::EProtocol::Rtmp), 0);
    ASSERT_EQ(m_harness->Start(CWriterHarness::PushConfig(TYX_WRITER_RTMP, first.Url(), true)), 0);
    CLiveFeeder feeder(*m_harness);
    ASSERT_TRUE(first.WaitForVideo(40, 30000));
    ASSERT_EQ(m_harness->Worker().ChangeOutput(second.Url()), 0);
    m_harness->Worker().StartDataPushing();
    ASSERT_TRUE(first.WaitForSessionEnd(1, 30000));
    ASSERT_TRUE(second.WaitForVideo(40, 30000));
    EXPECT_EQ(m_harness->Worker().GetDestination(), StringToWString(second.Url()));
    ExpectGoodSession(second.Sessions().front());
}

// A push that stops sends what its muxer still holds: the receiver gets every picture, and the
// sound up to the last one. The muxer holds back what lies after the last decode stamp of the
// pictures, which come reordered.
TEST_F(PushTest, AStoppedPushDeliversItsLastPicturesAndTheirSound)
{
    static CTestEncoder reordered;
    static const bool made = reordered.Encode(stTestEncodeSpec{.bFrames = 2});
    ASSERT_TRUE(made);
    m_harness = std::make_unique<CWriterHarness>(reordered, true);
    m_harness->Worker().SetMaxWaitMs(50);
    CTempDir kept;
    CPushReceiver receiver;
    receiver.KeepSessionsIn(kept.Path());
    ASSERT_EQ(receiver.Start(CPushReceiver::EProtocol::Rtmp), 0);
    m_harness->Feed(kBase, -1000000, reordered.ClipUs());
    ASSERT_EQ(m_harness->Start(CWriterHarness::PushConfig(TYX_WRITER_RTMP, receiver.Url(), true)), 0);
    // Every picture is written; the sound after the last picture waits for one that does not come.
    ASSERT_TRUE(WaitFor([this] { return m_harness->Queued(true) == 0 && m_harness->Queued(false) <= 2; }, 30000));
    ASSERT_TRUE(WaitFor([&] { return !receiver.Sessions().empty(); }, 30000));
    ASSERT_EQ(m_harness->Stop(), 0);
    ASSERT_TRUE(receiver.WaitForSessionEnd(1, 30000));
    receiver.Stop();

    const std::vector<CPushReceiver::stSession> sessions = receiver.Sessions();
    ASSERT_EQ(sessions.size(), 1u);
    const stProbedFile file = ProbeRecording(sessions.front().file);
    ASSERT_TRUE(file.Video() && file.Audio());
    // The push starts at the clip's last key frame (1 s before its end, a key frame a second).
    EXPECT_NEAR(static_cast<double>(file.Video()->endUs - file.Video()->firstPtsUs), 1000000.0, 40000.0)
        << "the pictures up to the last one arrive";
    EXPECT_NEAR(static_cast<double>(file.Audio()->endUs), static_cast<double>(file.Video()->endUs), 40000.0)
        << "the sound arrives up to the last picture";
}

// A file source stored as MPEG-TS hands its AAC as ADTS frames and without a config: a push states
// the config (FLV's sequence header, the SDP's) and sends the frames raw, and its sound plays.
TEST_F(PushTest, SoundOfATransportStreamSourceIsPushed)
{
    CTempDir dir;
    const std::filesystem::path ts = dir.File("source.ts");
    stTestMediaInfo info;
    ASSERT_EQ(WriteTestMedia(ts, {.container = "mpegts", .seconds = 3.0, .sampleRate = 44100, .channels = 1}, &info), 0);
    for (const CPushReceiver::EProtocol protocol : {CPushReceiver::EProtocol::Rtmp, CPushReceiver::EProtocol::Rtsp}) {
        const bool rtmp = protocol == CPushReceiver::EProtocol::Rtmp;
        SCOPED_TRACE(rtmp ? "RTMP" : "RTSP");
        CTempDir kept;
        CPushReceiver receiver;
        receiver.KeepSessionsIn(kept.Path(), "matroska");
        ASSERT_EQ(receiver.Start(protocol), 0);
        std::unique_ptr<CStreamWriter> writer;
        if (rtmp)
            writer = std::make_unique<CRTMPWriter>();
        else
            writer = std::make_unique<CRTSPWriter>(std::string(), true);
        ASSERT_EQ(WriteFileThroughWriter(ts, *writer, receiver.Url()), 0);
        ASSERT_TRUE(receiver.WaitForSessionEnd(1, 30000));
        receiver.Stop();

        const std::vector<CPushReceiver::stSession> sessions = receiver.Sessions();
        ASSERT_EQ(sessions.size(), 1u);
        EXPECT_EQ(sessions.front().codecAudio, AV_CODEC_ID_AAC);
        const stProbedFile file = ProbeRecording(sessions.front().file);
        ASSERT_TRUE(file.Video() && file.Audio());
        const int64_t soundUs = file.Audio()->endUs - file.Audio()->firstPtsUs;
        const int64_t picturesUs = file.Video()->endUs - file.Video()->firstPtsUs;
        if (rtmp) {
            EXPECT_EQ(sessions.front().audioPackets, info.audioPackets);
            EXPECT_NEAR(static_cast<double>(soundUs), static_cast<double>(picturesUs), 50000.0)
                << "the sound lasts as long as the pictures";
        } else {
            // An RTSP receiver ends its session at the teardown and drops what it still holds of
            // either stream.
            EXPECT_GT(sessions.front().audioPackets, 0);
            EXPECT_GE(soundUs, picturesUs - 50000) << "the sound lasts as long as the pictures";
        }
        const stProbedSound sound = ProbeSound(sessions.front().file);
        ASSERT_TRUE(sound.found);
        EXPECT_EQ(sound.sampleRate, 44100);
        EXPECT_EQ(sound.channels, 1);
        EXPECT_EQ(sound.failedPackets, 0);
        EXPECT_GE(sound.samples, static_cast<int64_t>(sessions.front().audioPackets - 2) * info.audioFrameSize);
    }
}
