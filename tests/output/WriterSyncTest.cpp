#include "WriterTestSupport.h"
#include "support/LeakCheck.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "config/IniFile.h"
#include "core/TYXUtils.h"
#include "output/MWriterControl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

// Synchronisation and time stamp rebasing of the media writer, on a stream writer that records
// what it is handed.

namespace {

struct stWritten
{
    int16_t index;
    int64_t pts;
    int64_t dts;
    int64_t duration;
    bool key;
    bool video;
    int open;      // the writer's open it was written into, from 1
};

class CFakeWriter : public CStreamWriter
{
public:
    explicit CFakeWriter(std::vector<stWritten> &written) : m_written(written) {}
    int32_t Write_Frame(int16_t index, const FramePackage &package, AVRational) override
    {
        if (refusals > 0) {
            --refusals;
            return TYX_WRITER_PACKAGE_REFUSED;
        }
        if (failures > 0) {
            --failures;
            return -5;
        }
        const stOutputStream *stream = FindStream(index);
        m_written.push_back({index, package.pts, package.dts, package.duration, (package.flags & 1) != 0,
                             stream && stream->mediaType == 0, opens.load()});
        return 0;
    }
    int32_t Open(const std::string *destination, std::vector<stWriterStreamParams> *, int32_t) override
    {
        if (destination)
            SetDestination(*destination);
        ++opens;
        m_open = true;
        return openResult;
    }
    void Close() override
    {
        m_opened = false;
        m_open = false;
        m_streams.clear();
    }
    int32_t addNewStream(stWriterStreamParams &params, int32_t) override
    {
        const auto index = static_cast<int16_t>(m_streams.size());
        stOutputStream stream;
        stream.index = index;
        stream.mediaType = params.mediaType;
        m_streams[static_cast<uint8_t>(index)] = std::move(stream);
        params.index = index;
        return index;
    }
    int32_t PrepareForWriting(const stWriterMetadata *) override
    {
        m_opened = m_open;
        return 0;
    }
    int32_t GetWriterType() const override { return TYX_WRITER_RTMP; }

    int failures = 0;
    int refusals = 0;
    int openResult = 0;
    std::atomic<int> opens{0};

private:
    std::vector<stWritten> &m_written;
    bool m_open = false;
};

FramePackage Package(int64_t dts, int64_t duration, bool video, bool key)
{
    stCodedPacket packet;
    packet.data.assign(16, 0x42);
    packet.pts = dts;
    packet.dts = dts;
    packet.duration = duration;
    packet.video = video;
    packet.key = key;
    return CTestEncoder::MakePackage(packet, 0);
}

class WriterSyncTest : public CLeakCheckedTest
{
protected:
    void SetUp() override
    {
        CLeakCheckedTest::SetUp();
        m_harness = std::make_unique<CWriterHarness>(TestClip(), true);
        stMediaWriteWorkerConfig config = CWriterHarness::PushConfig(TYX_WRITER_RTMP, "rtmp://127.0.0.1:1/x", true);
        Worker().CopyInConfiguration(&config);
        auto fake = std::make_unique<CFakeWriter>(m_written);
        m_fake = fake.get();
        Worker().SetStreamWriter(std::move(fake));
        Worker().SetClockSources(nullptr, [this] { return m_tick.load(); });
        Worker().SetMaxWaitMs(0);
    }
    void TearDown() override
    {
        m_harness.reset();
        CLeakCheckedTest::TearDown();
    }
    CTYXMediaWriteWorker &Worker() { return m_harness->Worker(); }
    WrittenStreamState State(int16_t index)
    {
        WrittenStreamState state;
        state.outputIndex = index;
        return state;
    }
    int32_t Write(FramePackage package, WrittenStreamState &state, int32_t num, int32_t den, int64_t start = 0,
                  int32_t retries = 0)
    {
        const int32_t result =
            Worker().WritePaketToMedia(package, start, state, num, den, state.firstWriteTime == TYX_NOPTS_VALUE, retries);
        FreeFramePackage(package);
        return result;
    }

    std::unique_ptr<CWriterHarness> m_harness;
    std::vector<stWritten> m_written;
    CFakeWriter *m_fake = nullptr;
    std::atomic<uint32_t> m_tick{1000};
};

} // namespace

TEST_F(WriterSyncTest, EveryStreamOfAnOutputCountsFromOneOrigin)
{
    ASSERT_EQ(Worker().OpenOutput(), 2);
    WrittenStreamState video = State(0);
    WrittenStreamState audio = State(1);
    const int64_t base = 1700000000000000;
    // A key frame shown 80 ms after it is decoded, as with B-frames.
    FramePackage key = Package(base, 40000, true, true);
    key.pts = base + 80000;
    ASSERT_EQ(Write(key, video, 1, 90000), 0);
    ASSERT_EQ(Write(Package(base + 40000, 40000, true, false), video, 1, 90000), 0);
    ASSERT_EQ(Write(Package(base + 5000, 1500, false, false), audio, 1, 1000), 0);
    ASSERT_EQ(Write(Package(base + 6500, 1000, false, false), audio, 1, 1000), 0);
    ASSERT_EQ(Write(Package(base + 7500, 1000, false, false), audio, 1, 1000), 0);
    // Before the origin: nothing of it can be placed in the output.
    EXPECT_EQ(Write(Package(base - 1000, 1000, false, false), audio, 1, 1000), TYX_MW_WRITE_DISCARDED);
    ASSERT_EQ(m_written.size(), 5u);
    // The first package's dts is the origin; its pts keeps the reordering distance.
    EXPECT_EQ(m_written[0].pts, 7200);
    EXPECT_EQ(m_written[0].dts, 0);
    EXPECT_EQ(m_written[0].duration, 3600);
    EXPECT_EQ(m_written[1].pts, 3600);
    EXPECT_EQ(m_written[1].dts, 3600);
    // The sound 5 ms after the picture's dts, in ms, halves rounded away from zero: 1500 µs ->
    // 2 ms, 6500 µs -> 7 ms, 7500 µs -> 8 ms.
    EXPECT_EQ(m_written[2].pts, 5);
    EXPECT_EQ(m_written[2].dts, 5);
    EXPECT_EQ(m_written[2].duration, 2);
    EXPECT_EQ(m_written[3].dts, 7);
    EXPECT_EQ(m_written[4].dts, 8);

    // A new output has an origin of its own.
    ASSERT_EQ(Worker().OpenOutput(), 2);
    WrittenStreamState again = State(1);
    ASSERT_EQ(Write(Package(base + 900000, 1000, false, false), again, 1, 1000), 0);
    EXPECT_EQ(m_written.back().dts, 0);
}

// Out-of-order and bad packages are dropped one by one; the output stays open for the rest.
TEST_F(WriterSyncTest, BadPackagesAreDiscardedWithoutClosingTheOutput)
{
    ASSERT_EQ(Worker().OpenOutput(), 2);
    WrittenStreamState video = State(0);
    EXPECT_EQ(Write(Package(500, 40000, true, true), video, 1, 90000, 1000), TYX_MW_WRITE_DISCARDED);
    EXPECT_EQ(Write(Package(2000, 0, true, true), video, 1, 90000, 1000), TYX_MW_WRITE_BAD_DURATION);
    FramePackage empty;
    empty.dts = empty.pts = 2000;
    empty.duration = 40000;
    EXPECT_EQ(Write(empty, video, 1, 90000, 1000), TYX_MW_WRITE_NO_DATA);
    FramePackage stampless = Package(0, 40000, true, true);
    stampless.dts = TYX_NOPTS_VALUE;
    EXPECT_EQ(Write(stampless, video, 1, 90000, 1000), TYX_MW_WRITE_DISCARDED);

    ASSERT_EQ(Write(Package(100000, 40000, true, true), video, 1, 90000, 1000), 0);
    // An equal or earlier dts is refused, which the MP4 muxer would otherwise answer with an
    // error that closes the file.
    EXPECT_EQ(Write(Package(100000, 40000, true, false), video, 1, 90000, 1000), TYX_MW_WRITE_DISCARDED);
    EXPECT_EQ(Write(Package(60000, 40000, true, false), video, 1, 90000, 1000), TYX_MW_WRITE_DISCARDED);
    EXPECT_EQ(Write(Package(140000, 40000, true, false), video, 1, 90000, 1000), 0);
    // A package the writer cannot take as it is goes alone, and is not tried again.
    m_fake->refusals = 1;
    EXPECT_EQ(Write(Package(180000, 40000, true, false), video, 1, 90000, 1000, 2), TYX_WRITER_PACKAGE_REFUSED);
    EXPECT_TRUE(CTYXMediaWriteWorker::IsPackageDiscarded(TYX_WRITER_PACKAGE_REFUSED));
    EXPECT_TRUE(Worker().IsOutputOpened());
    EXPECT_EQ(m_written.size(), 2u);
}

TEST_F(WriterSyncTest, AFailedWriteIsRetriedWhenAsked)
{
    ASSERT_EQ(Worker().OpenOutput(), 2);
    WrittenStreamState audio = State(1);
    m_fake->failures = 2;
    EXPECT_EQ(Write(Package(1000, 21333, false, false), audio, 1, 48000, 0, 2), 0);
    m_fake->failures = 3;
    EXPECT_EQ(Write(Package(30000, 21333, false, false), audio, 1, 48000, 0, 2), -5);
    EXPECT_EQ(m_written.size(), 1u);
}

TEST_F(WriterSyncTest, InputsAlignOnTheLatestCommonKeyFrame)
{
    // Video 0..4 s with a key frame every second; audio from 0.5 s to 3.5 s.
    const int64_t base = 5000000;
    for (int i = 0; i < 100; ++i)
        m_harness->Queue(Package(base + i * 40000, 40000, true, i % 25 == 0), true);
    for (int i = 0; i < 150; ++i)
        m_harness->Queue(Package(base + 500000 + i * 20000, 20000, false, false), false);
    int64_t start = 0;
    std::vector<uint32_t> aligned;
    ASSERT_EQ(Worker().SynchronizeStreamsByVKeyFrameSimple(start, 0, aligned), 2);
    // EOLPOS is the audio's end (3.48 s): the key frame at 3 s is the latest before it.
    EXPECT_EQ(start, base + 3000000);
    EXPECT_EQ(m_harness->Queued(true), 25u);
    EXPECT_EQ(m_harness->Queued(false), 25u);
    const auto link = Worker().GetInputLink(CWriterHarness::kAudioStreamId);
    ASSERT_TRUE(link);
    EXPECT_EQ(link->streamStartTime, base + 3000000);
}

TEST_F(WriterSyncTest, InputsThatCannotMeetAreRefused)
{
    // Disjoint: the audio starts after the video ends.
    for (int i = 0; i < 25; ++i)
        m_harness->Queue(Package(i * 40000, 40000, true, i == 0), true);
    for (int i = 0; i < 10; ++i)
        m_harness->Queue(Package(2000000 + i * 20000, 20000, false, false), false);
    int64_t start = 0;
    std::vector<uint32_t> aligned;
    EXPECT_EQ(Worker().SynchronizeStreamsByVKeyFrameSimple(start, 0, aligned), TYX_MW_SYNC_IMPOSSIBLE);
    Worker().FlushInputQueues();

    // The only key frame lies before the audio begins.
    for (int i = 0; i < 50; ++i)
        m_harness->Queue(Package(i * 40000, 40000, true, i == 0), true);
    for (int i = 0; i < 20; ++i)
        m_harness->Queue(Package(500000 + i * 20000, 20000, false, false), false);
    EXPECT_EQ(Worker().SynchronizeStreamsByVKeyFrameSimple(start, 0, aligned), TYX_MW_SYNC_IMPOSSIBLE);
    Worker().FlushInputQueues();
}

// An input that has delivered nothing after ten seconds is left out: the others start without it.
// With none delivering the collection ends without a start.
TEST_F(WriterSyncTest, AnInputThatStaysEmptyForTenSecondsIsLeftOut)
{
    // Every look at the clock moves it on by a second.
    Worker().SetClockSources(nullptr, [this] { return m_tick.fetch_add(1000); });
    int64_t start = 0;
    std::vector<uint32_t> aligned;
    EXPECT_EQ(Worker().SynchronizeStreamsByVKeyFrameSimple(start, 0, aligned), TYX_MW_SYNC_TIMEOUT);

    CLogCapture log;
    for (int i = 0; i < 25; ++i)
        m_harness->Queue(Package(i * 40000, 40000, true, i == 0), true);
    const uint32_t before = m_tick.load();
    ASSERT_EQ(Worker().SynchronizeStreamsByVKeyFrameSimple(start, 0, aligned), 1);
    EXPECT_GE(m_tick.load() - before, 10000u) << "the silent input is waited for ten seconds";
    EXPECT_EQ(aligned, std::vector<uint32_t>{CWriterHarness::kVideoStreamId});
    EXPECT_EQ(start, 0);
    EXPECT_EQ(log.Count(L"Input stream[e010001] delivered nothing within 10000 ms", 3), 1);
    Worker().FlushInputQueues();
}

// Packages without time stamps or data at the ends of a queue take no part in the alignment.
TEST_F(WriterSyncTest, StatusAndStamplessPackagesAtTheEndsAreDropped)
{
    FramePackage status;
    status.nLength = TYX_SRC_CONNECTING;
    status.dts = 0;
    m_harness->Queue(status, true);
    for (int i = 0; i < 30; ++i)
        m_harness->Queue(Package(1000000 + i * 40000, 40000, true, i % 25 == 0), true);
    FramePackage stampless = Package(0, 40000, true, false);
    stampless.dts = TYX_NOPTS_VALUE;
    m_harness->Queue(stampless, true);
    for (int i = 0; i < 60; ++i)
        m_harness->Queue(Package(1000000 + i * 20000, 20000, false, false), false);
    int64_t start = 0;
    std::vector<uint32_t> aligned;
    ASSERT_EQ(Worker().SynchronizeStreamsByVKeyFrameSimple(start, 0, aligned), 2);
    EXPECT_EQ(start, 2000000);
    Worker().FlushInputQueues();
}

// The wait for the inputs counts from the first package that any of them delivers, not from when
// the writer began to look: a picture that comes 4 s after its sound is not left out because the
// writer had looked at empty inputs for 8 s before.
TEST_F(WriterSyncTest, TheWaitForTheInputsCountsFromTheFirstPackageDelivered)
{
    CLogCapture log;
    const auto seen = [&log](const wchar_t *text, int times) {
        return WaitFor([&] { return log.Count(text) >= times; });
    };
    const wchar_t *noPicture = L"There no pakets For input stream[6010001], waiting...";
    std::promise<int32_t> promise;
    std::future<int32_t> result = promise.get_future();
    int64_t start = 0;
    std::vector<uint32_t> aligned;
    std::thread syncing([&] { promise.set_value(Worker().SynchronizeStreamsByVKeyFrameSimple(start, 0, aligned)); });
    // However the test ends, the collection comes to its end.
    struct stJoin
    {
        std::thread &thread;
        std::atomic<uint32_t> &tick;
        ~stJoin()
        {
            tick += 1000000;
            thread.join();
        }
    } join{syncing, m_tick};

    ASSERT_TRUE(seen(noPicture, 2));
    m_tick += 8000;
    for (int i = 0; i < 50; ++i)
        m_harness->Queue(Package(i * 20000, 20000, false, false), false);
    ASSERT_TRUE(seen(L"valid pakets in stream[e010001]", 1));
    // 12 s after the writer began to look, 4 s after the sound came: still waiting for the picture.
    m_tick += 4000;
    ASSERT_TRUE(seen(noPicture, log.Count(noPicture) + 1));
    for (int i = 0; i < 25; ++i)
        m_harness->Queue(Package(i * 40000, 40000, true, i == 0), true);
    ASSERT_EQ(result.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(result.get(), 2) << "both inputs aligned, none left out";
    EXPECT_EQ(log.Count(L"delivered nothing within"), 0);
    Worker().FlushInputQueues();
}

// A push that started without its picture takes it in by reopening once it comes: the reopened
// output starts on the picture's own first key frame and holds both streams.
TEST_F(WriterSyncTest, APushReopensToTakeInALatePictureAtItsFirstKeyFrame)
{
    constexpr int64_t kBase = 1700000000000000;
    CLogCapture log;
    auto fake = std::make_unique<CFakeWriter>(m_written);
    CFakeWriter *pusher = fake.get();
    Worker().SetMaxWaitMs(20);
    ASSERT_EQ(m_harness->Start(CWriterHarness::PushConfig(TYX_WRITER_RTMP, "rtmp://127.0.0.1:1/x", true), true,
                               std::move(fake)),
              0);
    // The sound at once; the picture not within ten seconds of it.
    m_harness->Feed(kBase, 0, 1000000, true, false);
    ASSERT_TRUE(WaitFor([&] { return log.Count(L"There no pakets For input stream[6010001], waiting...") >= 3; }));
    m_tick += 10000;
    ASSERT_TRUE(WaitFor([&] { return pusher->opens.load() == 1 && Worker().IsOutputOpened(); }));
    ASSERT_TRUE(m_harness->WaitDrained(20000));
    // Then picture and sound.
    m_harness->Feed(kBase, 1000000, 4000000);
    ASSERT_TRUE(WaitFor([&] { return pusher->opens.load() == 2; }));
    ASSERT_TRUE(m_harness->WaitDrained(20000));
    ASSERT_EQ(m_harness->Stop(), 0);

    int pictures = 0;
    int sounds = 0;
    const stWritten *firstPicture = nullptr;
    for (const stWritten &written : m_written) {
        if (written.open == 1) {
            EXPECT_FALSE(written.video) << "the first output holds the sound alone";
            continue;
        }
        ASSERT_EQ(written.open, 2) << "reopened once";
        if (written.video && !firstPicture)
            firstPicture = &written;
        (written.video ? pictures : sounds)++;
    }
    ASSERT_TRUE(firstPicture);
    EXPECT_TRUE(firstPicture->key);
    EXPECT_EQ(firstPicture->dts, 0) << "the reopened output counts from the picture's key frame";
    EXPECT_EQ(pictures, m_harness->FedVideo()) << "every picture fed, from the first";
    EXPECT_GT(sounds, 0);
    EXPECT_EQ(log.Count(L"Input stream[6010001] delivers now: taken into the reopened output.", 3), 1);
    std::printf("late picture pushed: %d of %d pictures, the first at its own first key frame\n", pictures,
                m_harness->FedVideo());
}

TEST_F(WriterSyncTest, AudioAloneStartsWhereEveryInputHasData)
{
    stWorkerInputLink link;
    link.CreateQueue();
    link.paketKind = TYX_PKT_KIND_CODED_AUDIO;
    stWorkerInputLink second;
    second.CreateQueue();
    second.paketKind = TYX_PKT_KIND_CODED_AUDIO;
    CTYXWorker::InputLinkMap links{{0x0E010001u, link}, {0x0E020001u, second}};
    CTYXMediaWriteWorker worker(0x10020004u, &links);
    worker.SetMaxWaitMs(0);
    for (int i = 0; i < 20; ++i) {
        link.queue->push_back(Package(i * 20000, 20000, false, false));
        second.queue->push_back(Package(100000 + i * 20000, 20000, false, false));
    }
    int64_t start = 0;
    std::vector<uint32_t> aligned;
    EXPECT_EQ(worker.SynchronizeStreamsByVKeyFrameSimple(start, 0, aligned), 2);
    EXPECT_EQ(start, 100000);
    EXPECT_EQ(link.queue->size(), 15u);
    worker.FlushInputQueues();
}

TEST_F(WriterSyncTest, ChangeOutputIsRefusedWithoutUrlAndForRecordFiles)
{
    EXPECT_EQ(Worker().ChangeOutput(""), -1);
    EXPECT_EQ(Worker().ChangeOutput("rtmp://127.0.0.1:2/live/new"), 0);
    EXPECT_EQ(Worker().GetDestination(), L"rtmp://127.0.0.1:2/live/new");
    EXPECT_TRUE(Worker().IsOutputOpened());

    CTempDir dir;
    CWriterHarness recorder(TestClip(), false);
    stMediaWriteWorkerConfig config = CWriterHarness::RecordConfig(dir.Path(), false);
    recorder.Worker().CopyInConfiguration(&config);
    EXPECT_EQ(recorder.Worker().ChangeOutput("/tmp/elsewhere.mp4"), -1);
}

TEST_F(WriterSyncTest, EventsCarryTheirKeys)
{
    CTYXGVMS::GeneralSettings().LiveBCWriter = L"PushWriter";
    ClearTYXEventQueue();
    EXPECT_EQ(Worker().NotifyWriterEvent(5, 0, ""), -1);
    EXPECT_GT(Worker().NotifyWriterEvent(TYX_EVENT_OUTPUT_STOPPED, 0, "On demand."), 0);
    const std::vector<stTYXEvent> events = TakeEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].attributes.at("WorkerName").text, "LIVE_BROADCAST") << "a public writer is named by its tag";
    EXPECT_EQ(events[0].attributes.at("OutputName").text, "rtmp://127.0.0.1:1/x");
    EXPECT_EQ(events[0].attributes.at("Reason").text, "On demand.");
    CTYXGVMS::ResetForTests();
}

// The new URL of a remote command survives a restart: written to the writer's own section.
TEST_F(WriterSyncTest, ALiveBroadcastUrlIsWrittenBackToTheWritersOwnSection)
{
    CTempDir dir;
    const std::wstring ini = StringToWString(dir.File("TyxSettings.ini").string());
    CTYXGVMS::GeneralSettings().LiveBCWriter = L"PushWriter";
    auto record = std::make_shared<stMediaWriteWorkerInstanceInfo>();
    record->WorkerId = static_cast<int32_t>(CWriterHarness::kWriterId);
    record->Name = L"PushWriter";
    record->Worker = m_harness->SharedWorker();
    CTYXGVMS::MWriterInstances()[CWriterHarness::kWriterId] = record;
    CTYXGVMS::MWriterConfigs()[L"PushWriter"] =
        CWriterHarness::PushConfig(TYX_WRITER_RTMP, "rtmp://127.0.0.1:1/x", true);

    EXPECT_EQ(SetLiveBCUrl("", ini), -16);
    // Another protocol would let a command write files: refused, nothing kept, and the caller is told.
    EXPECT_EQ(SetLiveBCUrl("file:///tmp/overwritten.flv", ini), LIVEBC_URL_REFUSED);
    EXPECT_FALSE(std::filesystem::exists(dir.File("TyxSettings.ini")));
    EXPECT_EQ(Worker().GetDestination(), L"rtmp://127.0.0.1:1/x");

    EXPECT_EQ(SetLiveBCUrl("rtmp://127.0.0.1:2/live/new", ini), 0);
    CIniFile file(ini);
    ASSERT_EQ(file.Load(), 0);
    EXPECT_EQ(file.GetValue(L"MWriter_#2", L"outputURL").value_or(L""), L"rtmp://127.0.0.1:2/live/new");
    EXPECT_EQ(CTYXGVMS::MWriterConfigs()[L"PushWriter"].outputURL, L"rtmp://127.0.0.1:2/live/new");
    EXPECT_EQ(Worker().GetDestination(), L"rtmp://127.0.0.1:2/live/new");

    CTYXGVMS::GeneralSettings().LiveBCWriter = L"Nobody";
    EXPECT_EQ(SetLiveBCUrl("rtmp://127.0.0.1:3/live/x", ini), -8);
    CTYXGVMS::ResetForTests();
}
