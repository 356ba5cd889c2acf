#include "WriterTestSupport.h"
#include "core/TYXUtils.h"
#include "host/GlobalVars.h"
#include "support/LeakCheck.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <cwchar>
#include <fstream>
#include <functional>
#include <sys/mount.h>
#include <thread>
#include <unistd.h>

// The media writer recording into real MP4 files: start and stop, segments, the list file, the
// events, and what happens when the input, the folder or the disk fails.

namespace fs = std::filesystem;

namespace {

constexpr int64_t kBase = 1700000000000000; // program clock µs of the first package

// A tmpfs of its own: a disk that can be filled, or one that cannot be written.
class CSmallFileSystem
{
public:
    CSmallFileSystem(const fs::path &where, const char *options) : m_path(where)
    {
        fs::create_directories(where);
        m_mounted = geteuid() == 0 && mount("tmpfs", where.c_str(), "tmpfs", 0, options) == 0;
    }
    ~CSmallFileSystem()
    {
        if (m_mounted)
            umount2(m_path.c_str(), MNT_DETACH);
    }
    bool Mounted() const { return m_mounted; }

private:
    fs::path m_path;
    bool m_mounted = false;
};

// Whether an event of the type follows the first output stop for the reason.
bool IsReportedAfterStop(const std::vector<stTYXEvent> &events, int32_t type, const std::string &reason)
{
    const auto stop = std::find_if(events.begin(), events.end(), [&](const stTYXEvent &event) {
        return CountEvents({event}, TYX_EVENT_OUTPUT_STOPPED, reason) == 1;
    });
    return stop != events.end() &&
           std::any_of(stop + 1, events.end(), [type](const stTYXEvent &event) { return event.type == type; });
}

class MediaWriteWorkerTest : public CLeakCheckedTest
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
    CWriterHarness &Make(bool audio = true, bool video = true)
    {
        m_harness = std::make_unique<CWriterHarness>(TestClip(), audio, video);
        Worker().SetMaxWaitMs(20);
        Worker().SetWallClock([this] { return m_now.load(); });
        Worker().SetClockSources([this] { return GetCurrentTimeUs() + m_programShiftUs.load(); }, nullptr);
        return *m_harness;
    }
    // Time passes: the host's time and the program clock both go on.
    void Pass(int64_t seconds)
    {
        m_now += seconds;
        m_programShiftUs += seconds * 1000000;
    }
    CTYXMediaWriteWorker &Worker() { return m_harness->Worker(); }
    stMediaWriteWorkerConfig Config(bool audio = true, bool video = true)
    {
        return CWriterHarness::RecordConfig(m_dir.Path(), audio, video);
    }
    bool WaitOpened() { return WaitFor([this] { return Worker().IsOutputOpened(); }); }
    // Feeds the clip from..to (µs of the clip) and waits until the worker has taken it all.
    void FeedAndDrain(int64_t fromUs, int64_t toUs, int64_t shiftUs = 0)
    {
        m_harness->Feed(kBase + shiftUs, fromUs, toUs);
        ASSERT_TRUE(m_harness->WaitDrained(20000));
    }
    // Feeds on until the cut has begun the second file, writes the rest into it and stops.
    void FeedThroughTheCut(int64_t fromUs, int64_t toUs)
    {
        m_harness->Feed(kBase, fromUs, toUs);
        ASSERT_TRUE(WaitFor([this] { return ListRecordings(m_dir.Path()).size() == 2; }));
        ASSERT_TRUE(m_harness->WaitDrained(20000));
        StopPushing();
    }
    void StopPushing()
    {
        ASSERT_EQ(Worker().StopDataPushing(), 0);
        ASSERT_TRUE(WaitFor([this] { return Worker().GetWorkingStep() == TYX_MW_STEP_IDLE; }));
    }
    struct stRecorded
    {
        int video = 0;
        int audio = 0;
        int64_t durationUs = 0;
    };
    // Packets of every recording together, checking each one plays from a key frame on.
    stRecorded SumRecordings()
    {
        stRecorded sum;
        for (const fs::path &file : ListRecordings(m_dir.Path())) {
            SCOPED_TRACE(file.string());
            const stProbedFile probe = ProbeRecording(file);
            EXPECT_TRUE(probe.opened) << "every finished file has its index";
            EXPECT_TRUE(probe.Video() != nullptr);
            if (!probe.Video())
                continue;
            EXPECT_TRUE(probe.Video()->firstKey);
            EXPECT_TRUE(probe.Video()->dtsMonotonic);
            sum.video += probe.Video()->packets;
            sum.durationUs += probe.Video()->endUs - probe.Video()->firstPtsUs;
            if (probe.Audio()) {
                EXPECT_TRUE(probe.Audio()->dtsMonotonic);
                sum.audio += probe.Audio()->packets;
            }
        }
        return sum;
    }

    CTempDir m_dir;
    std::atomic<int64_t> m_now{1700000000}; // the host's time, seconds since 1970
    std::atomic<int64_t> m_programShiftUs{0};
    std::unique_ptr<CWriterHarness> m_harness;
};

// The host's local time of a second since 1970 as the record names and the list write it.
std::wstring LocalText(int64_t seconds, const wchar_t *format)
{
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm local{};
    localtime_r(&time, &local);
    wchar_t text[64] = {};
    std::wcsftime(text, 64, format, &local);
    return text;
}

} // namespace

TEST_F(MediaWriteWorkerTest, ARecordingIsFinishedListedAndReportedOnStop)
{
    Make();
    ASSERT_EQ(m_harness->Start(Config()), 0);
    m_harness->Feed(kBase, 0, 1000000);
    ASSERT_TRUE(WaitOpened());
    FeedAndDrain(1000000, 4000000);
    StopPushing();

    const std::vector<fs::path> files = ListRecordings(m_dir.Path());
    ASSERT_EQ(files.size(), 1u);
    const stProbedFile probe = ProbeRecording(files[0]);
    ASSERT_TRUE(probe.opened);
    EXPECT_EQ(probe.streams, 2);
    ASSERT_TRUE(probe.Video() && probe.Audio());
    EXPECT_TRUE(probe.Video()->firstKey);
    EXPECT_EQ(probe.Video()->packets, m_harness->FedVideo());
    EXPECT_EQ(probe.Audio()->packets, m_harness->FedAudio());
    EXPECT_NEAR(static_cast<double>(probe.durationUs), 4e6, 1e5);
    EXPECT_EQ(probe.title, "VideoRecord");
    EXPECT_EQ(probe.comment, "Undefined-Case-Name:Cycle-No");

    const std::vector<std::wstring> lines = ReadRecordList(m_dir.File("RecordFileList.txt"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind(L"Filename=" + StringToWString(files[0].filename().string()) + L";Begintime=", 0), 0u);
    const std::vector<stTYXEvent> events = TakeEvents();
    EXPECT_EQ(CountEvents(events, TYX_EVENT_OUTPUT_STARTED), 1);
    EXPECT_EQ(CountEvents(events, TYX_EVENT_OUTPUT_STOPPED, "On demand."), 1);
    EXPECT_EQ(CountEvents(events, TYX_EVENT_RECORD_FILE_FINISHED), 1);
    EXPECT_EQ(m_harness->Stop(), 0);
}

// Every segment starts on a key frame, and together they hold every package once: no gap, no
// overlap between the old file and the new one.
TEST_F(MediaWriteWorkerTest, SegmentsAreCutOnAKeyFrameAndJoinWithoutGapOrOverlap)
{
    Make();
    ASSERT_EQ(m_harness->Start(Config()), 0);
    m_harness->Feed(kBase, 0, 1000000);
    ASSERT_TRUE(WaitOpened());
    FeedAndDrain(1000000, 1500000);
    Pass(178); // the segment length is 3 minutes; the cut comes 2 s early
    ASSERT_NO_FATAL_FAILURE(FeedThroughTheCut(1500000, 4000000));

    ASSERT_EQ(ListRecordings(m_dir.Path()).size(), 2u);
    const stRecorded total = SumRecordings();
    EXPECT_EQ(total.video, m_harness->FedVideo());
    EXPECT_EQ(total.audio, m_harness->FedAudio());
    EXPECT_NEAR(static_cast<double>(total.durationUs), 4e6, 1e5);
    EXPECT_EQ(ReadRecordList(m_dir.File("RecordFileList.txt")).size(), 2u);
    EXPECT_EQ(CountEvents(TakeEvents(), TYX_EVENT_RECORD_FILE_FINISHED), 2);
}

// The host's time steps (NTP after a boot with a wrong clock, an operator setting it): the cut
// stays timed on the program clock, so a step ahead cuts no file short and a step back lets none
// grow on, while the names and the list follow the host's time as it reads when they are made.
TEST_F(MediaWriteWorkerTest, AStepOfTheHostsTimeMovesTheNamesButNotTheCut)
{
    const int64_t begin = m_now.load();
    Make();
    ASSERT_EQ(m_harness->Start(Config()), 0);
    m_harness->Feed(kBase, 0, 1000000);
    ASSERT_TRUE(WaitOpened());
    FeedAndDrain(1000000, 1500000);
    Pass(120);
    m_now += 60; // 180 s on the host's clock since the file began, 120 s of program time
    FeedAndDrain(1500000, 2500000);
    m_now -= 120; // back: 60 s on the host's clock, still 120 s of program time
    FeedAndDrain(2500000, 2800000);
    Pass(58); // 178 s of program time: the cut is due, 2 s early
    ASSERT_NO_FATAL_FAILURE(FeedThroughTheCut(2800000, 4000000));

    const std::vector<fs::path> files = ListRecordings(m_dir.Path());
    ASSERT_EQ(files.size(), 2u);
    // The first file runs until the cut on the program clock, on the first key frame after 2.8 s.
    const stProbedFile first = ProbeRecording(files[0]);
    ASSERT_TRUE(first.Video());
    EXPECT_NEAR(static_cast<double>(first.Video()->endUs - first.Video()->firstPtsUs), 3e6, 1e5);
    const stRecorded total = SumRecordings();
    EXPECT_EQ(total.video, m_harness->FedVideo());
    EXPECT_EQ(total.audio, m_harness->FedAudio());
    // Named by the host's time: the first at the start, the second after both steps.
    const int64_t cut = begin + 120 + 60 - 120 + 58;
    EXPECT_NE(files[0].filename().wstring().find(LocalText(begin, L"%Y-%m-%d_%H-%M.")), std::wstring::npos)
        << files[0];
    EXPECT_NE(files[1].filename().wstring().find(LocalText(cut, L"%Y-%m-%d_%H-%M.")), std::wstring::npos)
        << files[1];
    const std::vector<std::wstring> lines = ReadRecordList(m_dir.File("RecordFileList.txt"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(L";Begintime=" + LocalText(begin, L"%Y-%m-%d %H:%M:%S") + L";Endtime=" +
                            LocalText(cut, L"%Y-%m-%d %H:%M:%S")),
              std::wstring::npos)
        << lines[0];
    EXPECT_NE(lines[1].find(L";Begintime=" + LocalText(cut, L"%Y-%m-%d %H:%M:%S")), std::wstring::npos) << lines[1];
}

TEST_F(MediaWriteWorkerTest, WithoutVideoTheCutComesAtOnce)
{
    Make(true, false);
    ASSERT_EQ(m_harness->Start(Config(true, false)), 0);
    m_harness->Feed(kBase, 0, 1000000);
    ASSERT_TRUE(WaitFor([this] { return Worker().IsOutputOpened(); }));
    ASSERT_TRUE(m_harness->WaitDrained(20000));
    Pass(178);
    ASSERT_TRUE(WaitFor([this] { return ListRecordings(m_dir.Path()).size() == 2; }));
    FeedAndDrain(1000000, 2000000);
    StopPushing();
    int total = 0;
    for (const fs::path &file : ListRecordings(m_dir.Path())) {
        const stProbedFile probe = ProbeRecording(file);
        ASSERT_TRUE(probe.opened);
        ASSERT_TRUE(probe.Audio());
        total += probe.Audio()->packets;
    }
    EXPECT_EQ(total, m_harness->FedAudio());
}

// A configured input that does not come does not hold the recording up: ten seconds after the
// other one delivered, the file is recorded without it. Once it delivers, the file is cut at the
// picture's next key frame (a late picture: its own first one), and the new file holds both.
class LateInputTest : public MediaWriteWorkerTest
{
protected:
    // Records the clip's first second with one stream only, past the writer's wait for the other.
    void RecordTheFirstSecondWithout(bool video)
    {
        Make();
        // The worker's thread reads the tick count until the harness stops it, after this frame.
        static std::atomic<uint32_t> tick;
        tick = 1000;
        Worker().SetClockSources([this] { return GetCurrentTimeUs() + m_programShiftUs.load(); },
                                 [] { return tick.load(); });
        ASSERT_EQ(m_harness->Start(Config()), 0);
        m_harness->Feed(kBase, 0, 1000000, video, !video);
        // The writer looks for the missing stream again and again while its clock stands.
        const std::wstring missing = video ? L"There no pakets For input stream[6010001], waiting..."
                                           : L"There no pakets For input stream[e010001], waiting...";
        ASSERT_TRUE(WaitFor([&] { return m_log.Count(missing) >= 3; }));
        EXPECT_FALSE(Worker().IsOutputOpened());
        tick += 10000;
        ASSERT_TRUE(WaitOpened());
        ASSERT_TRUE(m_harness->WaitDrained(20000));
        const std::wstring leftOut = video ? L"Input stream[6010001] delivered nothing within 10000 ms"
                                           : L"Input stream[e010001] delivered nothing within 10000 ms";
        EXPECT_EQ(m_log.Count(leftOut, 3), 1);
    }
    // The rest of the clip with both streams, until the file is cut to take the missing one in.
    void FeedBothUntilTheCut()
    {
        m_harness->Feed(kBase, 1000000, 4000000);
        ASSERT_TRUE(WaitFor([this] { return ListRecordings(m_dir.Path()).size() == 2; }));
        ASSERT_TRUE(m_harness->WaitDrained(20000));
        StopPushing();
    }

    CLogCapture m_log;
};

TEST_F(LateInputTest, ASoundThatComesLateJoinsAtThePicturesNextKeyFrame)
{
    ASSERT_NO_FATAL_FAILURE(RecordTheFirstSecondWithout(false));
    ASSERT_NO_FATAL_FAILURE(FeedBothUntilTheCut());

    const std::vector<fs::path> files = ListRecordings(m_dir.Path());
    ASSERT_EQ(files.size(), 2u);
    const stProbedFile first = ProbeRecording(files[0]);
    ASSERT_TRUE(first.opened);
    EXPECT_EQ(first.streams, 1) << "the picture alone";
    const stProbedFile second = ProbeRecording(files[1]);
    ASSERT_TRUE(second.opened);
    EXPECT_EQ(second.streams, 2);
    ASSERT_TRUE(second.Video() && second.Audio());
    EXPECT_TRUE(second.Video()->firstKey);
    // The sound came with the picture of 1 s; the cut is at that key frame or the next one.
    EXPECT_GE(second.Video()->packets, 50);
    EXPECT_GT(second.Audio()->packets, 0);
    EXPECT_NEAR(static_cast<double>(second.Audio()->firstPtsUs), static_cast<double>(second.Video()->firstPtsUs), 40000.0)
        << "the sound starts with the picture of the new file";
    EXPECT_EQ(SumRecordings().video, m_harness->FedVideo());
    EXPECT_EQ(m_log.Count(L"Input stream[e010001] delivers now: taken into the new record file.", 3), 1);
}

TEST_F(LateInputTest, ALatePictureJoinsAtItsOwnFirstKeyFrame)
{
    ASSERT_NO_FATAL_FAILURE(RecordTheFirstSecondWithout(true));
    const int soundBefore = m_harness->FedAudio();
    ASSERT_NO_FATAL_FAILURE(FeedBothUntilTheCut());

    const std::vector<fs::path> files = ListRecordings(m_dir.Path());
    ASSERT_EQ(files.size(), 2u);
    const stProbedFile first = ProbeRecording(files[0]);
    ASSERT_TRUE(first.opened);
    EXPECT_EQ(first.streams, 1) << "the sound alone";
    const stProbedFile second = ProbeRecording(files[1]);
    ASSERT_TRUE(second.opened);
    ASSERT_EQ(second.streams, 2);
    ASSERT_TRUE(second.Video() && second.Audio());
    EXPECT_TRUE(second.Video()->firstKey);
    // Its first picture, a key frame, is the first picture of the new file: every picture fed.
    EXPECT_EQ(second.Video()->packets, m_harness->FedVideo());
    // The sound goes on from the old file into the new one, nothing lost, nothing twice.
    ASSERT_TRUE(first.Audio());
    EXPECT_GE(first.Audio()->packets, soundBefore);
    EXPECT_EQ(first.Audio()->packets + second.Audio()->packets, m_harness->FedAudio());
    EXPECT_EQ(m_log.Count(L"Input stream[6010001] delivers now: taken into the new record file.", 3), 1);
    std::printf("late picture: %d of %d pictures recorded, the first at its own first key frame\n",
                second.Video()->packets, m_harness->FedVideo());
}

// A stop while nothing is open still reports the file event; the list gets no line for it.
TEST_F(MediaWriteWorkerTest, AStopBeforeAnyFileReportsTheFileEventOnly)
{
    Make();
    // Every look at the tick count moves it a second on, so the empty inputs time out at once. The
    // worker's thread reads it until the harness stops it, after the test's own frame is gone.
    static std::atomic<uint32_t> tick;
    tick = 1000000;
    Worker().SetClockSources(nullptr, [] { return tick.fetch_add(1000); });
    ASSERT_EQ(m_harness->Start(Config()), 0);
    ASSERT_TRUE(WaitFor([this] { return Worker().GetWorkingStep() == TYX_MW_STEP_SYNCHRONIZING; }));
    StopPushing();
    EXPECT_EQ(CountEvents(TakeEvents(), TYX_EVENT_RECORD_FILE_FINISHED), 1);
    EXPECT_FALSE(fs::exists(m_dir.File("RecordFileList.txt")));
}

// A lost source closes the file (finished and listed) and the writer starts again on a key frame.
TEST_F(MediaWriteWorkerTest, ALostSourceFinishesTheFileAndRecordingResumesOnAKeyFrame)
{
    Make();
    ASSERT_EQ(m_harness->Start(Config()), 0);
    m_harness->Feed(kBase, 0, 1000000);
    ASSERT_TRUE(WaitOpened());
    FeedAndDrain(1000000, 1500000);
    FramePackage lost;
    lost.nLength = TYX_SRC_READ_FAILED;
    lost.dts = kBase + 1500000;
    m_harness->Queue(lost, true);
    ASSERT_TRUE(WaitFor([this] { return !Worker().IsOutputOpened(); }));
    EXPECT_EQ(Worker().GetInputLostCode(), 24);
    m_now += 60;
    // The source is back mid-GOP: the frames before its next key frame are not recorded.
    m_harness->Feed(kBase, 1500000, 4000000);
    ASSERT_TRUE(WaitFor([this] { return ListRecordings(m_dir.Path()).size() == 2 && Worker().IsOutputOpened(); }));
    ASSERT_TRUE(m_harness->WaitDrained(20000));
    StopPushing();
    EXPECT_LT(SumRecordings().video, m_harness->FedVideo());
    const std::vector<stTYXEvent> events = TakeEvents();
    EXPECT_EQ(CountEvents(events, TYX_EVENT_OUTPUT_STOPPED, "Input disconnected."), 1);
    EXPECT_EQ(ReadRecordList(m_dir.File("RecordFileList.txt")).size(), 2u);
}

TEST_F(MediaWriteWorkerTest, PackagesWithoutKeyFrameAreNotRecordedUntilOneComes)
{
    Make();
    ASSERT_EQ(m_harness->Start(Config()), 0);
    for (size_t i = 1; i < 25; ++i)
        m_harness->Queue(CTestEncoder::MakePackage(TestClip().Video()[i], kBase), true);
    for (const stCodedPacket &packet : TestClip().Audio())
        if (packet.dts < 1000000)
            m_harness->Queue(CTestEncoder::MakePackage(packet, kBase), false);
    // The writer has looked and found nothing to start on: it waits a second before the next try.
    ASSERT_TRUE(WaitFor([this] { return Worker().LastRequestedWaitMs() == 1000; }));
    EXPECT_FALSE(Worker().IsOutputOpened());
    EXPECT_TRUE(ListRecordings(m_dir.Path()).empty());
    m_harness->Feed(kBase, 1000000, 3000000);
    ASSERT_TRUE(WaitOpened());
    ASSERT_TRUE(m_harness->WaitDrained(20000));
    StopPushing();
    EXPECT_GT(SumRecordings().video, 0);
}

// Time stamps that jump back are dropped package by package; the file stays valid.
TEST_F(MediaWriteWorkerTest, TimeStampsThatJumpBackAreDropped)
{
    Make();
    ASSERT_EQ(m_harness->Start(Config()), 0);
    m_harness->Feed(kBase, 0, 1000000);
    ASSERT_TRUE(WaitOpened());
    FeedAndDrain(1000000, 2000000);
    const int before = m_harness->FedVideo();
    FeedAndDrain(1000000, 2000000, -500000); // half a second back
    const int jumped = m_harness->FedVideo() - before;
    FeedAndDrain(2000000, 4000000);
    StopPushing();
    const std::vector<fs::path> files = ListRecordings(m_dir.Path());
    ASSERT_EQ(files.size(), 1u);
    const stProbedFile probe = ProbeRecording(files[0]);
    ASSERT_TRUE(probe.opened && probe.Video());
    EXPECT_TRUE(probe.Video()->dtsMonotonic);
    EXPECT_LT(probe.Video()->packets, m_harness->FedVideo());
    EXPECT_GE(probe.Video()->packets, m_harness->FedVideo() - jumped);
}

// Case texts come from commands and may not leave the folder; the operator's own root is taken as
// it is, "." and ".." included.
TEST_F(MediaWriteWorkerTest, CaseTextsThatLeaveTheFolderAreRefusedTheConfiguredRootIsTakenAsItIs)
{
    Make();
    stMediaWriteWorkerConfig config = Config();
    config.RecordSettings->RootFolder = StringToWString((m_dir.Path() / "a" / ".." / "." / "b").string());
    ASSERT_EQ(m_harness->Start(config), 0);
    Worker().SetCaseTexts(L"C-9", L"Harbour", L"Night");
    Worker().SetCaseTexts(L"../../etc", L"x", L"y");
    Worker().SetCaseTexts(L"C-10", L"a/b", L"y");
    EXPECT_EQ(Worker().GetCaseNumber(), L"C-9");
    EXPECT_EQ(Worker().GetCaseName(), L"Harbour");
    m_harness->Feed(kBase, 0, 1000000);
    ASSERT_TRUE(WaitOpened());
    EXPECT_EQ(ListRecordings(m_dir.File("b")).size(), 1u);
}

TEST_F(MediaWriteWorkerTest, AFolderThatCannotBeWrittenIsRefusedAtInitialisation)
{
    const fs::path root = m_dir.File("readonly");
    CSmallFileSystem readOnly(root, "size=1m");
    if (readOnly.Mounted()) {
        ASSERT_EQ(mount("tmpfs", root.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=1m"), 0);
    } else if (geteuid() != 0) {
        fs::permissions(root, fs::perms::owner_read | fs::perms::owner_exec);
    } else {
        GTEST_SKIP() << "running as root without the right to mount: no folder can be made unwritable";
    }
    Make();
    EXPECT_EQ(m_harness->Start(CWriterHarness::RecordConfig(root, true)), -1);
    std::error_code error;
    fs::permissions(root, fs::perms::owner_all, error);
}

// A folder that cannot be used at a cut is reported once; the old file goes on, and the cut
// happens once the folder is back.
TEST_F(MediaWriteWorkerTest, AFolderLostAtACutIsReportedAndTheCutWaitsForIt)
{
    const fs::path parent = m_dir.File("disk");
    const fs::path root = parent / "records";
    Make();
    ASSERT_EQ(m_harness->Start(CWriterHarness::RecordConfig(root, true)), 0);
    m_harness->Feed(kBase, 0, 1000000);
    ASSERT_TRUE(WaitOpened());
    ASSERT_TRUE(m_harness->WaitDrained(20000));
    // The folder goes, and a file stands where it would be made again.
    const fs::path moved = m_dir.File("moved");
    fs::rename(parent, moved);
    std::ofstream(parent) << "not a folder";
    Pass(178);
    ASSERT_TRUE(WaitFor([] {
        for (const stTYXEvent &event : TakeEvents())
            if (event.type == TYX_EVENT_RECORD_PATH_FAILED)
                return true;
        return false;
    }));
    FeedAndDrain(1000000, 2000000);
    EXPECT_TRUE(Worker().IsOutputOpened()) << "the writer goes on";
    fs::remove(parent);
    fs::rename(moved, parent);
    FeedAndDrain(2000000, 4000000);
    ASSERT_TRUE(WaitFor([&] { return ListRecordings(root).size() == 2; }));
    StopPushing();
    EXPECT_EQ(CountEvents(TakeEvents(), TYX_EVENT_RECORD_PATH_FAILED), 0) << "reported once per cut";
    for (const fs::path &file : ListRecordings(root))
        EXPECT_TRUE(ProbeRecording(file).opened);
}

// On a disk that fills up the file is finished while its index still fits; the writer waits for
// space and records again once there is some.
TEST_F(MediaWriteWorkerTest, AFullDiskFinishesTheFileAndRecordingResumesWhenSpaceComesBack)
{
    const fs::path root = m_dir.File("small");
    CSmallFileSystem disk(root, "size=10m");
    if (!disk.Mounted())
        GTEST_SKIP() << "no tmpfs can be mounted here (needs root)";
    {
        std::ofstream filler(root / "filler.bin", std::ios::binary);
        const std::string block(1024 * 1024, '\0');
        for (int i = 0; i < 4; ++i)
            filler << block;
    }
    Make();
    ASSERT_EQ(m_harness->Start(CWriterHarness::RecordConfig(root / "rec", true)), 0);
    int64_t loop = 0;
    m_harness->Feed(kBase, 0, TestClip().ClipUs());
    ASSERT_TRUE(WaitOpened());
    // Loop the clip until the writer gives up on the disk.
    while (Worker().IsOutputOpened() && loop < 400) {
        ++loop;
        m_harness->Feed(kBase + loop * TestClip().ClipUs(), 0, TestClip().ClipUs());
        m_harness->WaitDrained(20000);
    }
    ASSERT_FALSE(Worker().IsOutputOpened());
    // With packages coming, as from a live source, the writer aligns again and finds no room for a
    // new file. What queues while it waits to retry is dropped, so a single clip may never be
    // aligned on: the clip goes on until a refused open is reported.
    std::vector<stTYXEvent> events = TakeEvents();
    for (int more = 0; more < 50 && !IsReportedAfterStop(events, TYX_EVENT_DISK_SPACE_LOW, "Writing failed."); ++more) {
        ++loop;
        m_harness->Feed(kBase + loop * TestClip().ClipUs(), 0, TestClip().ClipUs());
        m_harness->WaitDrained(20000);
        const std::vector<stTYXEvent> taken = TakeEvents();
        events.insert(events.end(), taken.begin(), taken.end());
    }
    ASSERT_TRUE(IsReportedAfterStop(events, TYX_EVENT_DISK_SPACE_LOW, "Writing failed."))
        << "the file's end and a refused open are reported";
    EXPECT_EQ(CountEvents(events, TYX_EVENT_OUTPUT_STOPPED, "Writing failed."), 1);

    fs::remove(root / "filler.bin");
    for (int more = 0; more < 50 && !Worker().IsOutputOpened(); ++more) {
        ++loop;
        m_harness->Feed(kBase + loop * TestClip().ClipUs(), 0, TestClip().ClipUs());
        m_harness->WaitDrained(20000);
    }
    ASSERT_TRUE(WaitOpened());
    StopPushing();
    const std::vector<fs::path> files = ListRecordings(root / "rec");
    ASSERT_GE(files.size(), 2u);
    for (const fs::path &file : files) {
        const stProbedFile probe = ProbeRecording(file);
        EXPECT_TRUE(probe.opened) << file;
        EXPECT_TRUE(probe.Video() && probe.Video()->firstKey) << file;
    }
    EXPECT_EQ(ReadRecordList(root / "rec" / "RecordFileList.txt").size(), files.size());
}
