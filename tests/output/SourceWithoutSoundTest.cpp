#include "PushReceiver.h"
#include "WriterTestSupport.h"
#include "core/TYXUtils.h"
#include "host/GlobalVars.h"
#include "input/MFRdrWorker.h"
#include "input/ReadWorkerRun.h"
#include "input/ReadWorkerTestSupport.h"
#include "support/LeakCheck.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <memory>

// File sources whose sound a writer cannot take: a file without the sound track its source is
// configured with, feeding a recording and an RTMP push to a real receiver on 127.0.0.1, as a
// sample configuration does; and a camera's file whose sound the record container cannot hold.

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kSource = 0x01010000u;
constexpr uint32_t kVideoOut = kSource + 1;
constexpr uint32_t kAudioOut = kSource + 2;
constexpr uint32_t kRecorder = 0x10010004u;
constexpr uint32_t kPusher = 0x10020004u;
constexpr int kGenerousMs = 60000;

stMediaWriteWorkerConfig WriterConfig(const wchar_t *name, uint32_t id, int32_t type)
{
    stMediaWriteWorkerConfig config;
    config.Name = name;
    config.No = static_cast<int32_t>((id >> 16) & 0xFF);
    config.WorkerId = static_cast<int32_t>(id);
    config.MWType = type;
    config.VideoStreams[static_cast<int32_t>(kVideoOut)] = L"Cam1Video";
    config.AudioStreams[static_cast<int32_t>(kAudioOut)] = L"Cam1Audio";
    return config;
}

// A writer on its two links from the source, as the graph links them.
struct stWriterEnd
{
    CTYXWorker::InputLinkMap links;
    std::shared_ptr<CTYXMediaWriteWorker> worker;
    stMediaWriteWorkerConfig config;

    stWriterEnd(uint32_t id, CTYXWorker::ConsumerLinkMap &sourceLinks)
    {
        for (const auto &[streamId, kind] : {std::pair{kVideoOut, TYX_PKT_KIND_CODED_VIDEO}, std::pair{kAudioOut, TYX_PKT_KIND_CODED_AUDIO}}) {
            stWorkerInputLink link;
            link.CreateQueue();
            link.paketKind = kind;
            link.producerId = kSource;
            link.consumerId = id;
            links.emplace(streamId, link);
            sourceLinks[streamId][id] = link;
        }
        worker = std::make_shared<CTYXMediaWriteWorker>(id, &links);
        worker->SetMaxWaitMs(50);
    }
    int32_t Start(const stMediaWriteWorkerConfig &written)
    {
        config = written;
        config.BuildIOItems();
        worker->CopyInConfiguration(&config);
        const int32_t initialized = worker->Initialize(0, -1);
        if (initialized < 0)
            return initialized;
        worker->StartDataPushing();
        worker->StartWorkingThread(1, 0, 0);
        worker->ResumeWorkingThread();
        return 0;
    }
    ~stWriterEnd() { Stop(); }
    void Stop()
    {
        if (stopped)
            return;
        stopped = true;
        worker->WaitThreadExit(10000);
        worker->unInitialize();
    }
    bool stopped = false;
};

// Stops the source however the test ends.
struct stSourceRun
{
    std::shared_ptr<CMediaFileReadWorker> worker;
    bool running = false;
    ~stSourceRun() { Stop(); }
    void Stop()
    {
        if (running)
            StopReadWorker(*worker);
        running = false;
    }
};

class SourceWithoutSoundTest : public CLeakCheckedTest
{
protected:
    void SetUp() override
    {
        CLeakCheckedTest::SetUp();
        CTYXGVMS::ResetForTests();
        CTYXGVMS::GeneralSettings().RecordWriter = L"Rec1";
        CTYXGVMS::GeneralSettings().LiveBCWriter = L"Live1";
        ClearTYXEventQueue();
    }
    void TearDown() override
    {
        CTYXGVMS::ResetForTests();
        ClearTYXEventQueue();
        CLeakCheckedTest::TearDown();
    }
};

} // namespace

TEST_F(SourceWithoutSoundTest, ThePictureIsRecordedAndPushedWithoutTheSoundTheFileLacks)
{
    CTestMediaSet media;
    const fs::path clip = media.Add("pictures.mp4", {.seconds = 4.0, .audio = false});
    CTempDir records;
    CPushReceiver receiver;
    ASSERT_EQ(receiver.Start(CPushReceiver::EProtocol::Rtmp), 0);
    CLogCapture log;

    CTYXWorker::ConsumerLinkMap sourceLinks;
    stWriterEnd recorder(kRecorder, sourceLinks);
    stWriterEnd pusher(kPusher, sourceLinks);
    stSourceRun run{std::make_shared<CMediaFileReadWorker>(kSource, &sourceLinks)};
    CMediaFileReadWorker *source = run.worker.get();
    source->SetOutputParamsCallback([&](CTYXWorker *, uint32_t streamId, const stStreamParams *params) {
        if (!params)
            return;
        recorder.worker->SetInputParameters(*params, streamId);
        pusher.worker->SetInputParameters(*params, streamId);
    });

    stMediaWriteWorkerConfig record = WriterConfig(L"Rec1", kRecorder, TYX_WRITER_FILE);
    record.RecordSettings = CWriterHarness::RecordConfig(records.Path(), false).RecordSettings;
    ASSERT_EQ(recorder.Start(record), 0);
    stMediaWriteWorkerConfig push = WriterConfig(L"Live1", kPusher, TYX_WRITER_RTMP);
    push.outputURL = StringToWString(receiver.Url());
    ASSERT_EQ(pusher.Start(push), 0);

    stMediaSourceReadWorkerConfig config = MakeSourceConfig(kSource, TYX_MS_FILE, clip.wstring(), true);
    config.Name = L"Cam1";
    config.Repeat = 1;
    config.ShowTime = 600.0f;
    ASSERT_EQ(StartReadWorker(*source, config), 0);
    run.running = true;

    // Both start with the picture once the wait for the sound is over, and go on with it.
    ASSERT_TRUE(receiver.WaitForVideo(50, kGenerousMs));
    ASSERT_TRUE(WaitFor([&] { return recorder.worker->IsOutputOpened(); }, kGenerousMs));
    const int pushed = receiver.Sessions().front().videoPackets;
    ASSERT_TRUE(receiver.WaitForVideo(pushed + 25, kGenerousMs));
    EXPECT_EQ(log.Count(L"MediaWriteWorker[Rec1:10010004] Input stream[1010002] delivered nothing within 10000 ms", 3), 1);
    EXPECT_EQ(log.Count(L"MediaWriteWorker[Live1:10020004] Input stream[1010002] delivered nothing within 10000 ms", 3), 1);
    EXPECT_EQ(log.Count(L"with invalid length["), 0) << "no status package reaches the writers on the missing stream";

    run.Stop();
    recorder.Stop();
    pusher.Stop();
    ASSERT_TRUE(receiver.WaitForSessionEnd(1, kGenerousMs));
    receiver.Stop();

    const CPushReceiver::stSession session = receiver.Sessions().front();
    EXPECT_EQ(session.streams, 1);
    EXPECT_TRUE(session.firstVideoKey);
    EXPECT_EQ(session.audioPackets, 0);
    const std::vector<fs::path> files = ListRecordings(records.Path());
    ASSERT_EQ(files.size(), 1u);
    const stProbedFile recorded = ProbeRecording(files.front());
    ASSERT_TRUE(recorded.opened);
    EXPECT_EQ(recorded.streams, 1);
    ASSERT_TRUE(recorded.Video());
    EXPECT_TRUE(recorded.Video()->firstKey);
    EXPECT_GE(recorded.Video()->packets, 25);
}

// A cheap camera's AVI, MJPEG pictures with PCM sound, recorded as MP4: the container cannot hold
// the sound, so the file holds the picture, one line names the sound, its codec and the container,
// and no empty file is left on the way.
TEST_F(SourceWithoutSoundTest, ASoundTheContainerCannotHoldIsLeftOutOfTheRecording)
{
    CTestMediaSet media;
    const fs::path clip = media.Add("camera.avi", {.container = "avi", .seconds = 4.0, .videoCodec = "mjpeg",
                                                   .audioCodec = "pcm_s16le", .sampleRate = 44100});
    // A later FFmpeg may hold PCM in MP4; then the sound is recorded as well.
    const bool mp4HoldsPcm =
        avformat_query_codec(av_guess_format("mp4", nullptr, nullptr), AV_CODEC_ID_PCM_S16LE, FF_COMPLIANCE_NORMAL) == 1;
    CTempDir records;
    CLogCapture log;

    CTYXWorker::ConsumerLinkMap sourceLinks;
    stWriterEnd recorder(kRecorder, sourceLinks);
    stSourceRun run{std::make_shared<CMediaFileReadWorker>(kSource, &sourceLinks)};
    CMediaFileReadWorker *source = run.worker.get();
    source->SetOutputParamsCallback([&](CTYXWorker *, uint32_t streamId, const stStreamParams *params) {
        if (params)
            recorder.worker->SetInputParameters(*params, streamId);
    });
    stMediaWriteWorkerConfig record = WriterConfig(L"Rec1", kRecorder, TYX_WRITER_FILE);
    record.RecordSettings = CWriterHarness::RecordConfig(records.Path(), false).RecordSettings;
    ASSERT_EQ(recorder.Start(record), 0);
    stMediaSourceReadWorkerConfig config = MakeSourceConfig(kSource, TYX_MS_FILE, clip.wstring(), true);
    config.Name = L"Cam1";
    config.Repeat = 1;
    config.ShowTime = 600.0f;
    ASSERT_EQ(StartReadWorker(*source, config), 0);
    run.running = true;

    // Two seconds of pictures in the file.
    ASSERT_TRUE(WaitFor([&] { return log.Count(L"Paket wrote(into avStrm[0])") >= 50; }, kGenerousMs));
    run.Stop();
    recorder.Stop();

    const std::vector<fs::path> files = ListRecordings(records.Path());
    ASSERT_EQ(files.size(), 1u) << "no empty file beside the recording";
    const stProbedFile recorded = ProbeRecording(files.front());
    ASSERT_TRUE(recorded.opened);
    ASSERT_TRUE(recorded.Video());
    EXPECT_EQ(recorded.Video()->codecId, AV_CODEC_ID_MJPEG);
    EXPECT_TRUE(recorded.Video()->firstKey);
    EXPECT_GE(recorded.Video()->packets, 50);
    const int named =
        log.Count(L"MediaWriteWorker[Rec1:10010004] Input stream[1010002] (codec pcm_s16le) cannot be held by the mp4 container", 3);
    if (mp4HoldsPcm) {
        EXPECT_EQ(recorded.streams, 2);
        EXPECT_EQ(named, 0);
    } else {
        EXPECT_EQ(recorded.streams, 1) << "the picture alone";
        EXPECT_EQ(named, 1) << "named once, however often the file is opened";
    }
    EXPECT_EQ(log.Count(L"Record file initailizing failed"), 0);
    std::printf("MJPEG+PCM AVI recorded as MP4: %zu file(s), %d stream(s), %d pictures\n", files.size(),
                recorded.streams, recorded.Video()->packets);
}
