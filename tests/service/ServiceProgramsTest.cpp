#include "service/CompanionProgram.h"
#include "service/FfmpegAudioPush.h"

#include "config/GeneralSettings.h"
#include "core/TYXUtils.h"
#include "support/ChildTestSupport.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <ctime>
#include <sys/wait.h>

namespace fs = std::filesystem;

namespace {

// Folder names an operator could type that a shell would read as commands.
const char *const HOSTILE_FOLDER = "tools dir \"x\" $(touch pwned);y";

class ServiceProgramsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        folder = dir.Path() / HOSTILE_FOLDER;
        fs::create_directories(folder);
        times.firstMs = 5000;
        times.termMs = 5000;
        times.killMs = 5000;
    }

    stMoxConfig Companion(const std::wstring &program) const
    {
        stMoxConfig config;
        config.MOXInLocal = true;
        config.MOXPath = StringToWString(folder.string());
        config.MOXMainPE = program;
        return config;
    }

    std::time_t LocalTime(int year, int month, int day, int hour, int minute)
    {
        std::tm local{};
        local.tm_year = year - 1900;
        local.tm_mon = month - 1;
        local.tm_mday = day;
        local.tm_hour = hour;
        local.tm_min = minute;
        local.tm_isdst = -1;
        return std::mktime(&local);
    }

    CTempDir dir;
    fs::path folder;
    CReadyFifo ready{dir.File("ready")};
    CChildEnvironment environment{{{"TYX_CHILD_RECORD", dir.File("record").string()},
                                   {"TYX_CHILD_SIGNALS", dir.File("signals").string()},
                                   {"TYX_CHILD_READY", ready.Path().string()}}};
    stChildStopTimes times;
    CLogCapture log;
};

TEST_F(ServiceProgramsTest, TheCompanionStartsInItsFolderAndStopsOnSigterm)
{
    CopyTestChild(folder / "Mox Main");
    const stMoxConfig config = Companion(L"Mox Main");
    CCompanionProgram companion;
    companion.SetStopTimes(times);
    const int32_t pid = companion.Start(config, dir.File("mox.out").string());
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(ready.WaitReady());
    const stChildRecord record = ReadChildRecord(dir.File("record"));
    EXPECT_EQ(record.workingFolder, folder.string());
    EXPECT_EQ(record.argv, std::vector<std::string>{(folder / "Mox Main").string()});
    EXPECT_FALSE(fs::exists(folder / "pwned"));
    EXPECT_EQ(companion.Pid(), pid);

    // Starting again replaces the running one.
    const int32_t second = companion.Start(config, "");
    ASSERT_GT(second, 0);
    ASSERT_TRUE(ready.WaitReady());
    EXPECT_TRUE(ProcessIsGone(pid));
    EXPECT_EQ(companion.Stop(), 1);
    EXPECT_TRUE(ProcessIsGone(second));
    EXPECT_EQ(ReadTextFile(dir.File("signals")), "TERM\nTERM\n");
    EXPECT_EQ(companion.Stop(), 0);
}

TEST_F(ServiceProgramsTest, TheCompanionRefusesWhatItCannotStart)
{
    CCompanionProgram companion;
    EXPECT_EQ(companion.Start(stMoxConfig(), ""), -50);
    stMoxConfig config = Companion(L"missing");
    EXPECT_EQ(companion.Start(config, ""), -54);
    config.MOXMainPE = L"../../bin/sh"; // a name, not a path out of its folder
    EXPECT_EQ(companion.Start(config, ""), -54);
    std::ofstream(folder / "data.txt") << "x";
    config.MOXMainPE = L"data.txt";
    EXPECT_EQ(companion.Start(config, ""), -52);
    EXPECT_EQ(companion.Pid(), 0);
}

TEST_F(ServiceProgramsTest, TheCompanionThatEndsByItselfIsCollected)
{
    CopyTestChild(folder / "mox");
    CChildEnvironment quick("TYX_CHILD_EXIT", "4");
    const stMoxConfig config = Companion(L"mox");
    CCompanionProgram companion;
    const int32_t pid = companion.Start(config, "");
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(ready.WaitReady());
    CProcessHandle observer; // waits for its end without reaping it
    if (observer.Attach(pid) == 0)
        observer.WaitExit(10000);
    companion.Reap();
    EXPECT_TRUE(ProcessIsGone(pid));
    EXPECT_TRUE(log.Contains(L"ended by itself (exit 4)", 3));
}

TEST_F(ServiceProgramsTest, TheAudioPushGetsEverySettingAsOneArgument)
{
    CopyTestChild(folder / "ffmpeg");
    stMoxConfig config;
    config.UseFpgAudio = true;
    config.FpgMainPath = StringToWString(folder.string());
    config.AudioAdapter = L"hw:1,0 \"mic\" $(id)";
    config.SampleRate = 44100;
    config.DestURL = L"rtsp://10.0.0.2:554/live?a=1&b=2;reboot";
    config.ARecordPath = StringToWString((dir.Path() / "records dir").string());
    config.ARecordPrefix = L"";
    CFfmpegAudioPush push;
    push.SetStopTimes(times);
    const int32_t pid = push.Start(config, LocalTime(2024, 5, 7, 9, 3), "");
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(ready.WaitReady());
    const std::string program = (folder / "ffmpeg").string();
    const std::vector<std::string> expected = {program, "-nostats", "-loglevel", "warning", "-f", "alsa", "-i",
                                               "hw:1,0 \"mic\" $(id)", "-acodec", "aac", "-ar", "44100",
                                               "-rtsp_transport", "tcp", "-f", "rtsp",
                                               "rtsp://10.0.0.2:554/live?a=1&b=2;reboot", "-y",
                                               (dir.Path() / "records dir/2024-05-07_09_03.aac").string()};
    const stChildRecord record = ReadChildRecord(dir.File("record"));
    EXPECT_EQ(record.argv, expected);
    EXPECT_EQ(record.workingFolder, folder.string());
    EXPECT_TRUE(push.IsStarted());
    EXPECT_EQ(push.ProgramPath(), program);
    EXPECT_TRUE(log.Contains(L"[Main]FFmpeg audio push command excuted.", 5));

    // Stopped with SIGINT, so that ffmpeg writes its trailers.
    EXPECT_EQ(push.Stop(config), 1);
    EXPECT_TRUE(ProcessIsGone(pid));
    EXPECT_EQ(ReadTextFile(dir.File("signals")), "INT\n");
    EXPECT_FALSE(push.IsStarted());
    EXPECT_EQ(push.Stop(config), 0);
    EXPECT_TRUE(log.Contains(L"[StopFfmpegAudio]FFMPEG audio pushing not found running.", 5));
}

TEST_F(ServiceProgramsTest, StoppingFindsAPushOfAnEarlierRunAndOutlastsIgnoredSigint)
{
    CopyTestChild(folder / "ffmpeg");
    CChildEnvironment stubborn("TYX_CHILD_IGNORE", "INT");
    stMoxConfig config;
    config.UseFpgAudio = true;
    config.FpgMainPath = StringToWString(folder.string());
    config.AudioAdapter = L"default";
    config.SampleRate = 48000;
    config.DestURL = L"rtsp://127.0.0.1:8554/a";
    config.ARecordPath = StringToWString(dir.Path().string());
    config.ARecordPrefix = L"Room 1";
    CFfmpegAudioPush earlierRun;
    const int32_t pid = earlierRun.Start(config, LocalTime(2024, 12, 31, 23, 59), "");
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(ready.WaitReady());
    EXPECT_EQ(ReadChildRecord(dir.File("record")).argv.back(),
              (dir.Path() / "Room 1_2024-12-31_23_59.aac").string());

    // Another ffmpeg of the same program that is not an audio push is left alone.
    CReadyFifo otherReady(dir.File("other"));
    CChildEnvironment otherFifo("TYX_CHILD_READY", otherReady.Path().string());
    CProcessHandle other;
    ASSERT_EQ(other.Spawn({(folder / "ffmpeg").string(), "-i", "file.mp4", "out.mkv"}, {}), 0);
    ASSERT_TRUE(otherReady.WaitReady());

    CFfmpegAudioPush thisRun;
    thisRun.SetStopTimes({200, 5000, 5000});
    EXPECT_EQ(thisRun.Stop(config), 1);
    EXPECT_TRUE(ProcessIsGone(pid) || !earlierRun.Pid());
    EXPECT_EQ(ReadTextFile(dir.File("signals")), "TERM\n");
    EXPECT_TRUE(other.IsRunning());
    EXPECT_TRUE(log.Contains(L"[StopFfmpegAudio]Total 1 FFMPEG audio pushing insts found and notified.", 5));
}

TEST_F(ServiceProgramsTest, TheAudioPushRefusesWhatItCannotStart)
{
    CFfmpegAudioPush push;
    stMoxConfig config;
    EXPECT_EQ(push.Start(config, std::time(nullptr), ""), -73);
    EXPECT_EQ(push.Stop(config), -73);
    config.UseFpgAudio = true;
    config.FpgMainPath = StringToWString((dir.Path() / "no ffmpeg here").string());
    EXPECT_EQ(push.Start(config, std::time(nullptr), ""), -73);
    EXPECT_EQ(push.Stop(config), -73);
    CopyTestChild(folder / "ffmpeg");
    config.FpgMainPath = StringToWString(folder.string());
    config.ARecordPrefix = L"../../etc/cron.d/x";
    EXPECT_EQ(push.Start(config, std::time(nullptr), ""), -73);
    EXPECT_EQ(push.Pid(), 0);
}

} // namespace
