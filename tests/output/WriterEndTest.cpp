#include "WriterTestSupport.h"
#include "host/GlobalVars.h"
#include "support/LeakCheck.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

// Sound comes to a writer straight from its source while the picture takes the longer way through
// the decoder, the mux and the encoder. Whenever an output ends, the sound must not run on past
// the picture: the writer holds the sound back until the picture has reached its time.

namespace fs = std::filesystem;

namespace {

constexpr int64_t kBase = 1700000000000000; // program clock µs of the clip's time 0
constexpr int64_t kFrameUs = 40000;

// The reader the sound comes from, as the writer's audio link knows it: its thread runs until it
// is stopped.
class CSoundSource : public CTYXWorker
{
public:
    CSoundSource() : CTYXWorker(0x0E010000u, nullptr, nullptr, TYX_KIND_MEDIA_READER, false, false) {}
    ~CSoundSource() override { WaitThreadExit(10000); }
    uint32_t WorkingFunc() override
    {
        m_exitEvent->Wait();
        return 0;
    }
    void Run()
    {
        StartWorkingThread(1, 0);
        ResumeWorkingThread();
    }
    // As the program's stop does it: the thread ends, then the worker is released.
    void StopAsTheProgramDoes()
    {
        WaitThreadExit(10000);
        unInitialize();
    }
};

class WriterEndTest : public CLeakCheckedTest
{
protected:
    void SetUp() override
    {
        CLeakCheckedTest::SetUp();
        CTYXGVMS::ResetForTests();
        m_harness = std::make_unique<CWriterHarness>(TestClip(), true);
        m_harness->Worker().SetMaxWaitMs(20);
        m_harness->Worker().SetClockSources([this] { return m_nowUs.load(); }, nullptr);
    }
    void TearDown() override
    {
        m_harness.reset();
        CTYXGVMS::ResetForTests();
        CLeakCheckedTest::TearDown();
    }

    // Queues the clip's pictures up to pictureUs and its sound up to soundUs, in the order of their
    // dts, as they entered the queue at the program clock's present time. The end of the pictures.
    int64_t QueueClip(int64_t pictureUs, int64_t soundUs)
    {
        std::vector<const stCodedPacket *> chosen;
        for (const stCodedPacket &packet : TestClip().Video())
            if (packet.dts < pictureUs)
                chosen.push_back(&packet);
        for (const stCodedPacket &packet : TestClip().Audio())
            if (packet.dts < soundUs)
                chosen.push_back(&packet);
        std::stable_sort(chosen.begin(), chosen.end(),
                         [](const stCodedPacket *a, const stCodedPacket *b) { return a->dts < b->dts; });
        int64_t pictureEnd = 0;
        for (const stCodedPacket *packet : chosen) {
            FramePackage package = CTestEncoder::MakePackage(*packet, kBase);
            package.queuedTime = m_nowUs.load();
            m_harness->Queue(package, packet->video);
            if (packet->video)
                pictureEnd = std::max(pictureEnd, packet->pts + packet->duration);
        }
        return pictureEnd;
    }

    // The sound packets of the clip that start at or after the time.
    static size_t SoundFrom(int64_t fromUs, int64_t toUs)
    {
        return static_cast<size_t>(std::count_if(TestClip().Audio().begin(), TestClip().Audio().end(),
                                                 [&](const stCodedPacket &p) { return p.pts >= fromUs && p.dts < toUs; }));
    }
    static size_t PicturesFrom(int64_t fromUs, int64_t toUs)
    {
        return static_cast<size_t>(std::count_if(TestClip().Video().begin(), TestClip().Video().end(),
                                                 [&](const stCodedPacket &p) { return p.pts >= fromUs && p.dts < toUs; }));
    }
    // The end of the clip's sound up to toUs.
    static int64_t SoundEnd(int64_t toUs)
    {
        int64_t end = 0;
        for (const stCodedPacket &packet : TestClip().Audio())
            if (packet.dts < toUs)
                end = std::max(end, packet.pts + packet.duration);
        return end;
    }
    stProbedFile OnlyRecording()
    {
        const std::vector<fs::path> files = ListRecordings(m_dir.Path());
        EXPECT_EQ(files.size(), 1u);
        return files.empty() ? stProbedFile() : ProbeRecording(files.front());
    }

    CTempDir m_dir;
    std::atomic<int64_t> m_nowUs{kBase + 4000000};
    std::unique_ptr<CWriterHarness> m_harness;
};

} // namespace

// The picture's last second is still on its way when the writer stops: the file ends with the
// picture it has, and its sound ends there too.
TEST_F(WriterEndTest, TheSoundEndsWithThePictureWhenTheWriterStops)
{
    const int64_t pictureEnd = QueueClip(2000000, 3000000);
    const size_t soundAfterPicture = SoundFrom(pictureEnd, 3000000);
    ASSERT_GT(soundAfterPicture, 40u);
    ASSERT_EQ(m_harness->Start(CWriterHarness::RecordConfig(m_dir.Path(), true)), 0);
    ASSERT_TRUE(WaitFor([&] { return m_harness->Queued(true) == 0 && m_harness->Queued(false) <= soundAfterPicture; }));
    EXPECT_EQ(m_harness->Queued(false), soundAfterPicture) << "the sound up to the picture's end is written";
    ASSERT_EQ(m_harness->Stop(), 0);

    const std::vector<fs::path> files = ListRecordings(m_dir.Path());
    ASSERT_EQ(files.size(), 1u);
    const stProbedFile file = ProbeRecording(files.front());
    ASSERT_TRUE(file.Video() && file.Audio());
    EXPECT_NEAR(static_cast<double>(file.Audio()->endUs), static_cast<double>(file.Video()->endUs),
                static_cast<double>(kFrameUs))
        << "picture and sound end together";
}

// A picture that stalls holds the sound up no longer than five seconds, then the sound goes on.
TEST_F(WriterEndTest, SoundWaitsForAStalledPictureOnlyAWhile)
{
    const int64_t pictureEnd = QueueClip(2000000, 3000000);
    const size_t soundAfterPicture = SoundFrom(pictureEnd, 3000000);
    ASSERT_EQ(m_harness->Start(CWriterHarness::RecordConfig(m_dir.Path(), true)), 0);
    ASSERT_TRUE(WaitFor([&] { return m_harness->Queued(true) == 0 && m_harness->Queued(false) <= soundAfterPicture; }));
    EXPECT_EQ(m_harness->Queued(false), soundAfterPicture);
    m_nowUs += 5000000;
    EXPECT_TRUE(WaitFor([&] { return m_harness->Queued(false) == 0; })) << "the sound is written after five seconds";
}

// At a stop the sound's reader stops before the pictures on their longer way have all come: the
// pictures that come after the end of the sound are not written, so both end together.
TEST_F(WriterEndTest, ThePictureEndsWithTheSoundOnceTheSoundsSourceHasStopped)
{
    QueueClip(3000000, 2000000);
    const size_t picturesAfterSound = PicturesFrom(SoundEnd(2000000), 3000000);
    ASSERT_GT(picturesAfterSound, 20u);
    auto source = std::make_shared<CSoundSource>();
    ASSERT_EQ(m_harness->Worker().BindInputLinkProducer(CWriterHarness::kAudioStreamId, source), 0);
    source->Run();
    source->StopAsTheProgramDoes();
    ASSERT_EQ(m_harness->Start(CWriterHarness::RecordConfig(m_dir.Path(), true)), 0);
    ASSERT_TRUE(WaitFor([&] { return m_harness->Queued(false) == 0 && m_harness->Queued(true) <= picturesAfterSound; }));
    EXPECT_EQ(m_harness->Queued(true), picturesAfterSound) << "the pictures up to the sound's end are written";
    ASSERT_EQ(m_harness->Stop(), 0);

    const stProbedFile file = OnlyRecording();
    ASSERT_TRUE(file.Video() && file.Audio());
    EXPECT_NEAR(static_cast<double>(file.Video()->endUs), static_cast<double>(file.Audio()->endUs),
                static_cast<double>(kFrameUs))
        << "picture and sound end together";
}

// While the sound's source runs, a picture ahead of the sound is written at once: its sound may
// still come.
TEST_F(WriterEndTest, APictureAheadOfTheSoundIsNotHeldWhileTheSoundsSourceRuns)
{
    QueueClip(3000000, 2000000);
    auto source = std::make_shared<CSoundSource>();
    ASSERT_EQ(m_harness->Worker().BindInputLinkProducer(CWriterHarness::kAudioStreamId, source), 0);
    source->Run();
    ASSERT_EQ(m_harness->Start(CWriterHarness::RecordConfig(m_dir.Path(), true)), 0);
    EXPECT_TRUE(WaitFor([&] { return m_harness->Queued(false) == 0 && m_harness->Queued(true) == 0; }));
}
