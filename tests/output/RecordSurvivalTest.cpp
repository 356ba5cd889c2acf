#include "WriterTestSupport.h"
#include "core/FfmpegHandles.h"
#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "host/GlobalVars.h"
#include "output/Mp4Duration.h"
#include "output/RecordFiles.h"
#include "platform/FileHold.h"
#include "platform/ProcessHandle.h"
#include "support/ChildTestSupport.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <fstream>
#include <regex>

// What of a recording survives: a file whose writer was killed in the middle of a segment plays up
// to its last fragment and is entered in the list at the next start, as is a finished file that
// never got its line; a file closed in order plays with its duration and seeks.

namespace fs = std::filesystem;

namespace {

constexpr int64_t kBase = 1700000000000000;
constexpr double kFrameSeconds = 1.0 / 25;

// What the decoders make of a recording: seconds of pictures and of sound.
struct stDecoded
{
    bool opened = false;
    double videoSeconds = 0;
    double audioSeconds = 0;
};

stDecoded DecodeRecording(const fs::path &path)
{
    stDecoded decoded;
    AVFormatContext *raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0)
        return decoded;
    AvInputPtr input(raw);
    if (avformat_find_stream_info(input.get(), nullptr) < 0)
        return decoded;
    decoded.opened = true;
    std::vector<AvCodecPtr> decoders(input->nb_streams);
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVCodecParameters *par = input->streams[i]->codecpar;
        const AVCodec *codec = avcodec_find_decoder(par->codec_id);
        if (!codec)
            continue;
        decoders[i].reset(avcodec_alloc_context3(codec));
        if (avcodec_parameters_to_context(decoders[i].get(), par) < 0 || avcodec_open2(decoders[i].get(), codec, nullptr) < 0)
            decoders[i].reset();
    }
    AvPacketPtr packet(av_packet_alloc());
    AvFramePtr frame(av_frame_alloc());
    auto drain = [&](unsigned index) {
        AVCodecContext *decoder = decoders[index].get();
        while (avcodec_receive_frame(decoder, frame.get()) == 0) {
            if (decoder->codec_type == AVMEDIA_TYPE_VIDEO)
                decoded.videoSeconds += kFrameSeconds;
            else
                decoded.audioSeconds += static_cast<double>(frame->nb_samples) / frame->sample_rate;
            av_frame_unref(frame.get());
        }
    };
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        const auto index = static_cast<unsigned>(packet->stream_index);
        if (decoders[index] && avcodec_send_packet(decoders[index].get(), packet.get()) == 0)
            drain(index);
        av_packet_unref(packet.get());
    }
    for (unsigned i = 0; i < decoders.size(); ++i) {
        if (decoders[i] && avcodec_send_packet(decoders[i].get(), nullptr) == 0)
            drain(i);
    }
    return decoded;
}

// Where a seek to the time lands: the time (s) of the first video packet read after it, -1 when
// the seek fails, and whether that packet is a key frame.
std::pair<double, bool> SeekVideo(const fs::path &path, double seconds)
{
    AVFormatContext *raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0)
        return {-1, false};
    AvInputPtr input(raw);
    if (avformat_find_stream_info(input.get(), nullptr) < 0)
        return {-1, false};
    const int video = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (video < 0)
        return {-1, false};
    const AVRational timeBase = input->streams[video]->time_base;
    const int64_t target = av_rescale_q(static_cast<int64_t>(seconds * 1e6), AVRational{1, 1000000}, timeBase);
    if (av_seek_frame(input.get(), video, target, AVSEEK_FLAG_BACKWARD) < 0)
        return {-1, false};
    AvPacketPtr packet(av_packet_alloc());
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        if (packet->stream_index == video)
            return {static_cast<double>(packet->pts) * av_q2d(timeBase), (packet->flags & AV_PKT_FLAG_KEY) != 0};
        av_packet_unref(packet.get());
    }
    return {-1, false};
}

class RecordSurvivalTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CTYXGVMS::ResetForTests();
        CTYXGVMS::GeneralSettings().RecordWriter = L"RecWriter";
        ClearTYXEventQueue();
        fs::create_directories(m_root);
    }
    void TearDown() override
    {
        CTYXGVMS::ResetForTests();
        ClearTYXEventQueue();
    }
    // A writer on the record root, fed the clip up to toUs; its file stays open.
    std::unique_ptr<CWriterHarness> Record(int64_t toUs)
    {
        auto harness = std::make_unique<CWriterHarness>(TestClip(), true);
        harness->Worker().SetMaxWaitMs(20);
        EXPECT_EQ(harness->Start(CWriterHarness::RecordConfig(m_root, true)), 0);
        harness->Feed(kBase, 0, 1000000);
        EXPECT_TRUE(WaitFor([&harness] { return harness->Worker().IsOutputOpened(); }));
        harness->Feed(kBase, 1000000, toUs);
        EXPECT_TRUE(harness->WaitDrained(20000));
        return harness;
    }
    static void StopPushing(CWriterHarness &harness)
    {
        ASSERT_EQ(harness.Worker().StopDataPushing(), 0);
        ASSERT_TRUE(WaitFor([&harness] { return harness.Worker().GetWorkingStep() == TYX_MW_STEP_IDLE; }));
    }
    std::vector<std::wstring> ListLines() const { return ReadRecordList(m_root / "RecordFileList.txt"); }

    CTempDir m_dir;
    fs::path m_root = m_dir.Path() / "records";
};

// The begin time that the file's name gives, as the list writes it.
std::wstring BeginTimeOfName(const fs::path &file)
{
    std::smatch match;
    const std::string name = file.filename().string();
    if (!std::regex_search(name, match, std::regex("(\\d{4}-\\d{2}-\\d{2})_(\\d{2})-(\\d{2})")))
        return L"?";
    return StringToWString(match[1].str() + " " + match[2].str() + ":" + match[3].str() + ":00");
}

} // namespace

TEST_F(RecordSurvivalTest, AKilledWritersFilePlaysUpToItsLastSecondAndTheNextStartListsIt)
{
    CReadyFifo ready(m_dir.File("ready"));
    CChildEnvironment environment({{"TYX_RECORD_ROOT", m_root.string()}, {"TYX_CHILD_READY", ready.Path().string()}});
    stChildSpawnOptions options;
    options.outputFile = m_dir.File("child.out").string();
    CProcessHandle child;
    ASSERT_EQ(child.Spawn({TYX_RECORD_CHILD_PATH}, options), 0);
    ASSERT_TRUE(ready.WaitReady(120000)) << ReadTextFile(m_dir.File("child.out"));
    // Killed in the middle of its 3-minute segment, the whole clip handed to its writer.
    ASSERT_EQ(child.Signal(SIGKILL), 0);
    ASSERT_EQ(child.WaitExit(20000), 0);
    ASSERT_TRUE(WIFSIGNALED(child.WaitStatus()));

    const std::vector<fs::path> files = ListRecordings(m_root);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_FALSE(fs::exists(m_root / "RecordFileList.txt"));
    const stDecoded decoded = DecodeRecording(files[0]);
    ASSERT_TRUE(decoded.opened) << "the file of a killed writer has no index";
    const double clipSeconds = static_cast<double>(TestClip().ClipUs()) / 1e6;
    // All but the fragment that was being made: at most a second.
    EXPECT_GE(decoded.videoSeconds, clipSeconds - 1.0 - kFrameSeconds / 2);
    EXPECT_GE(decoded.audioSeconds, clipSeconds - 1.1);
    std::printf("killed writer's file: %.2f s of %.2f s of pictures and %.2f s of sound decode\n", decoded.videoSeconds,
                clipSeconds, decoded.audioSeconds);

    // The next start enters it in the list, in the list's own form.
    const std::unique_ptr<CWriterHarness> restarted = std::make_unique<CWriterHarness>(TestClip(), true);
    ASSERT_EQ(restarted->Start(CWriterHarness::RecordConfig(m_root, true), false), 0);
    const std::vector<std::wstring> lines = ListLines();
    ASSERT_EQ(lines.size(), 1u);
    const std::wstring head = L"Filename=" + StringToWString(files[0].filename().string()) + L";Begintime=" +
                              BeginTimeOfName(files[0]) + L";Endtime=";
    EXPECT_EQ(lines[0].substr(0, head.size()), head);
    EXPECT_TRUE(std::regex_match(WStringToString(lines[0].substr(head.size())),
                                 std::regex("\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}")))
        << WStringToString(lines[0]);
    EXPECT_EQ(restarted->Stop(), 0);
    // Entered once, however often the writers start.
    EXPECT_EQ(ListUnlistedRecordFiles(StringToWString(m_root.string())), 0);
    EXPECT_EQ(ListLines().size(), 1u);
}

// A file that a running writer still writes is not one left by a dead one, though the list lacks
// it as well: only its copy, which nothing holds, is entered.
TEST_F(RecordSurvivalTest, OnlyAFileThatNoWriterHoldsIsEnteredInTheList)
{
    const std::unique_ptr<CWriterHarness> running = Record(2500000);
    const std::vector<fs::path> files = ListRecordings(m_root);
    ASSERT_EQ(files.size(), 1u);
    const fs::path copy = m_root / (files[0].stem().string() + "_1.mp4");
    fs::copy_file(files[0], copy);

    EXPECT_EQ(ListUnlistedRecordFiles(StringToWString(m_root.string())), 1);
    std::vector<std::wstring> lines = ListLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind(L"Filename=" + StringToWString(copy.filename().string()) + L";Begintime=" +
                                 BeginTimeOfName(files[0]) + L";Endtime=",
                             0),
              0u);

    StopPushing(*running);
    lines = ListLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].rfind(L"Filename=" + StringToWString(files[0].filename().string()) + L";", 0), 0u);
    // Closed in order, it has its line: entered once.
    EXPECT_EQ(ListUnlistedRecordFiles(StringToWString(m_root.string())), 0);
}

// A run killed after its file's trailer and before its list line leaves a finished file that no
// list names, as a writer with the list off does: the next start of a writer with the list enters
// it. An empty file (one a writer has only just made) and a file of another kind are left alone.
TEST_F(RecordSurvivalTest, AFinishedFileThatNoListNamesIsEnteredByTheNextStart)
{
    {
        CWriterHarness unlisted(TestClip(), true);
        unlisted.Worker().SetMaxWaitMs(20);
        stMediaWriteWorkerConfig config = CWriterHarness::RecordConfig(m_root, true);
        config.RecordSettings->SaveRecordFileList = 0;
        ASSERT_EQ(unlisted.Start(config), 0);
        unlisted.Feed(kBase, 0, 1000000);
        ASSERT_TRUE(WaitFor([&unlisted] { return unlisted.Worker().IsOutputOpened(); }));
        unlisted.Feed(kBase, 1000000, TestClip().ClipUs());
        ASSERT_TRUE(unlisted.WaitDrained(20000));
        StopPushing(unlisted);
    }
    const std::vector<fs::path> files = ListRecordings(m_root);
    ASSERT_EQ(files.size(), 1u);
    ASSERT_TRUE(ProbeRecording(files[0]).opened) << "finished in order";
    EXPECT_FALSE(fs::exists(m_root / "RecordFileList.txt"));
    std::ofstream(m_root / "2020-01-01_00-00.mp4").flush();
    std::ofstream(m_root / "notes.txt") << "not a recording";

    const std::unique_ptr<CWriterHarness> restarted = std::make_unique<CWriterHarness>(TestClip(), true);
    ASSERT_EQ(restarted->Start(CWriterHarness::RecordConfig(m_root, true), false), 0);
    const std::vector<std::wstring> lines = ListLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind(L"Filename=" + StringToWString(files[0].filename().string()) + L";Begintime=" +
                                 BeginTimeOfName(files[0]) + L";Endtime=",
                             0),
              0u)
        << WStringToString(lines[0]);
    EXPECT_EQ(restarted->Stop(), 0);
}

// A writer holds its file from its creation until the file's line is in the list: a start of
// another writer in between finds it held, never finished and unlisted, and lists it no second time.
TEST_F(RecordSurvivalTest, AWriterHoldsItsFileUntilItsLineIsInTheList)
{
    std::atomic<int> lines{0};
    std::atomic<int> heldAtLine{0};
    SetDebugLogObserver([&](int32_t, const std::wstring &text) {
        if (text.find(L"Just-finished record file name saved.") == std::wstring::npos)
            return;
        ++lines;
        for (const fs::path &file : ListRecordings(m_root))
            heldAtLine += CFileHold::IsHeld(file.string()) ? 1 : 0;
    });
    const std::unique_ptr<CWriterHarness> harness = Record(2500000);
    StopPushing(*harness);
    SetDebugLogObserver(nullptr);
    EXPECT_EQ(lines.load(), 1);
    EXPECT_EQ(heldAtLine.load(), 1) << "held while its line was written";
    const std::vector<fs::path> files = ListRecordings(m_root);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_FALSE(CFileHold::IsHeld(files[0].string())) << "let go once listed";
    EXPECT_EQ(ListLines().size(), 1u);
}

TEST_F(RecordSurvivalTest, AFileClosedInOrderHasItsDurationAndSeeksToItsKeyFrames)
{
    const std::unique_ptr<CWriterHarness> harness = Record(TestClip().ClipUs());
    StopPushing(*harness);
    const std::vector<fs::path> files = ListRecordings(m_root);
    ASSERT_EQ(files.size(), 1u);

    const stProbedFile probe = ProbeRecording(files[0]);
    ASSERT_TRUE(probe.opened);
    EXPECT_NEAR(static_cast<double>(probe.durationUs) / 1e6, 4.0, 0.1);
    // Players that take the length from the header alone find it there too.
    EXPECT_NEAR(static_cast<double>(ReadMp4MovieDuration(files[0].string())) / 1e6, 4.0, 0.1);
    const stDecoded decoded = DecodeRecording(files[0]);
    EXPECT_NEAR(decoded.videoSeconds, 4.0, kFrameSeconds / 2);
    // The clip has a key frame every second.
    for (const double target : {1.5, 2.5, 3.5}) {
        SCOPED_TRACE(target);
        const auto [landed, key] = SeekVideo(files[0], target);
        EXPECT_NEAR(landed, std::floor(target), kFrameSeconds / 2);
        EXPECT_TRUE(key);
    }
    std::printf("file closed in order: duration %.3f s, seeks to 1.5, 2.5 and 3.5 s land on the key frames before them\n",
                static_cast<double>(probe.durationUs) / 1e6);
}
