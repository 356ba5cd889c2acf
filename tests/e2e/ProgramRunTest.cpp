#include "ProgramRunSupport.h"
#include "RcmTestClient.h"

#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// What a test waits for (a log line of work done) may take long on a loaded machine; the bound only
// ends a run that hangs, within the test's time-out.
constexpr int32_t kGenerousWaitMs = 180000;

// Each run takes an id of its own, so runs of the suite side by side do not meet on one lock.
int32_t TestTyxId(int32_t offset)
{
    return 100000 + (getpid() % 800000) + offset;
}

class ProgramRunTest : public CTwoClipProgramTest
{
};

TEST_F(ProgramRunTest, RecordsUntilStoppedRefusesASecondInstanceAndEndsInOrder)
{
    const int32_t id = TestTyxId(1);
    m_folder.WriteSystemSettings(id);
    m_folder.Write("StreamCfg.xml", TwoClipRecordingConfig(m_clip1, m_clip2, 10));
    CNotifySocket notify(m_folder.Path() / "notify");

    CProcessHandle run = m_folder.Start({"-silent"}, "run");
    ASSERT_TRUE(run.IsStarted());
    ASSERT_TRUE(m_folder.WaitForLog("TYX is working and waiting command...", kGenerousWaitMs)) << m_folder.Output("run");
    EXPECT_TRUE(notify.Received("READY=1"));

    EXPECT_EQ(m_folder.Run({"-console"}, "second", kGenerousWaitMs), 1);
    EXPECT_NE(m_folder.Output("second").find("Another Lumo instance is running on local machine already!"),
              std::string::npos);
    EXPECT_TRUE(run.IsRunning());

    // The run records what it read: three cycles of the 4 s clips, however long a loaded machine
    // takes to read them.
    ASSERT_TRUE(m_folder.WaitForLog("The [3]cycle finished", kGenerousWaitMs)) << m_folder.Output("run");
    EXPECT_EQ(m_folder.Run({"-stop"}, "stop", kGenerousWaitMs), 0);
    ASSERT_EQ(run.WaitExit(kGenerousWaitMs), 0) << "-stop ends the run";
    EXPECT_EQ(ExitCodeOf(run), 0) << m_folder.Output("run");
    EXPECT_TRUE(notify.Received("STOPPING=1"));

    const std::string log = m_folder.LogText();
    for (const char *line : {"+++--------Lumo is starting...--------+++", "[1] Media writing worker created successfully",
                             "Received application close signal in system shuting down.", "Stop TYX workers...",
                             "TYX exited...", " Lumo terminated normally."})
        EXPECT_NE(log.find(line), std::string::npos) << line;

    const std::vector<fs::path> recordings = m_folder.Recordings();
    ASSERT_FALSE(recordings.empty());
    double total = 0.0;
    for (const fs::path &file : recordings) {
        const stRecordingFacts facts = ProbeRecording(file);
        ASSERT_TRUE(facts.opened) << file;
        EXPECT_EQ(facts.width, 640);
        EXPECT_EQ(facts.height, 360);
        EXPECT_NEAR(facts.frameRate, 25.0, 0.5);
        EXPECT_TRUE(facts.firstIsKey) << file << " of " << recordings.size() << ": " << facts.videoPackets
                                      << " packets, " << facts.durationSeconds << " s";
        EXPECT_TRUE(facts.firstDecodes) << file;
        total += facts.durationSeconds;
        if (file == recordings.front())
            SavePng(facts.picture, facts.width, facts.height, fs::current_path() / "artifacts" / "e2e_recording.png");
    }
    EXPECT_GT(total, 8.0) << "the recordings hold what was read while the run recorded";
    std::ifstream list(recordings.front().parent_path() / "RecordFileList.txt");
    EXPECT_TRUE(list.good()) << "the list of the recordings is kept";
}

TEST_F(ProgramRunTest, RemoteCommandsReachTheRunningGraphAndTheRunAnnouncesItselfAndEndsInOrder)
{
    const uint16_t port = FreeTcpPort();
    m_folder.WriteSystemSettings(TestTyxId(6));
    m_folder.Write("StreamCfg.xml", TwoClipRecordingConfig(m_clip1, m_clip2, 10));
    m_folder.WriteRemoteControl(port);
    CProcessHandle run = m_folder.Start({"-silent"}, "run");
    ASSERT_TRUE(run.IsStarted());
    ASSERT_TRUE(m_folder.WaitForLog("TYX is working and waiting command...", kGenerousWaitMs)) << m_folder.Output("run");

    CRcmTestClient client(port);
    ASSERT_TRUE(client.IsConnected());
    const std::string session = client.LogIn("admin");
    ASSERT_FALSE(session.empty()) << m_folder.Output("run");

    // The executor reads the running graph: both sources and the recording writer.
    stRawResponse reply = client.Request("GET", "/TYXRCMAPI/QUERY/GetWorkersStatus?CMDSN=2&SESSIONID=" + session);
    EXPECT_EQ(200, reply.status) << reply.body;
    for (const char *line : {"WorkerNumber=3;", "MediaReader=Cam1;", "MediaReader=Cam2;", "MediaWriter=Rec1;"})
        EXPECT_NE(std::string::npos, reply.body.find(line)) << line << " in " << reply.body;
    reply = client.Request("GET", "/TYXRCMAPI/QUERY/GetTYXStatus?CMDSN=3&SESSIONID=" + session);
    EXPECT_EQ(200, reply.status) << reply.body;
    EXPECT_EQ(0u, reply.body.rfind("Recording: ", 0)) << reply.body;

    // A remote exit request ends the run as a signal would.
    reply = client.Request("POST", "/TYXRCMAPI/CONTROL/ServiceExit?CMDSN=4&SESSIONID=" + session, "RestartAfterSecs=0");
    EXPECT_EQ(200, reply.status) << reply.body;
    ASSERT_EQ(run.WaitExit(kGenerousWaitMs), 0) << "the remote exit ends the run";
    EXPECT_EQ(ExitCodeOf(run), 0);

    const std::string log = m_folder.LogText();
    EXPECT_NE(std::string::npos, log.find("[In demand]Received Service exit command"));
    // Sent or not (the host may have no adapter to send on), each notice is tried at its step.
    const size_t working = log.find("TYX is working and waiting command...");
    const size_t online = log.find("[SDBC]KOV online notific");
    const size_t offline = log.find("[SDBC]KOV offline notific");
    const size_t rcmStop = log.find("Stop RCM module...");
    const size_t rcmClosed = log.find("[RCM]RCM Server module closed.");
    const size_t workersStop = log.find("Stop TYX workers...");
    ASSERT_NE(std::string::npos, online);
    ASSERT_NE(std::string::npos, offline);
    ASSERT_NE(std::string::npos, rcmClosed);
    ASSERT_NE(std::string::npos, workersStop);
    EXPECT_LT(working, online);
    EXPECT_LT(online, offline);
    EXPECT_LT(offline, rcmStop) << "the goodbye goes out before the remote control closes";
    EXPECT_LT(rcmStop, rcmClosed);
    EXPECT_LT(rcmClosed, workersStop) << "no remote command meets a stopping graph";
}

// The sample's chain: two clips decoded, muxed as a picture-in-picture with a clock, encoded to
// H.264 and recorded. Without the rates, no rate is configured anywhere in the chain.
std::string MuxConfig(const fs::path &clip1, const fs::path &clip2, bool withRates = true)
{
    std::string text = std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Config>") +
                       (withRates ? "<General><GlobalFramerate>25</GlobalFramerate></General>" : "") +
                       TwoClipSources(clip1, clip2) + "<VideoDecoders><VDCDCount>2</VDCDCount>"
                       "<Dec1 id=\"1\"><DecoderType>FFMPG</DecoderType><VideoSource>MediaSources.Cam1.VideoOutput</VideoSource></Dec1>"
                       "<Dec2 id=\"2\"><DecoderType>FFMPG</DecoderType><VideoSource>MediaSources.Cam2.VideoOutput</VideoSource></Dec2>"
                       "</VideoDecoders><VideoMidProcessors><MProcCount>1</MProcCount><Mux1 id=\"1\"><MPType>VMux</MPType>"
                       "<RVSInCount>2</RVSInCount><IRVS id=\"1\">VideoDecoders.Dec1.VideoOutput</IRVS>"
                       "<IRVS id=\"2\">VideoDecoders.Dec2.VideoOutput</IRVS><MuxLayout>PIP-1-On-1</MuxLayout>"
                       "<RgnVs id=\"1\">1</RgnVs><RgnVs id=\"2\">2</RgnVs><ChildWindow id=\"1\"><onLayer>1</onLayer>"
                       "<posBase>RBCorner</posBase><xShift>-32</xShift><yShift>-32</yShift><Width>384</Width><Height>216</Height>"
                       "</ChildWindow><OutputWidth>1280</OutputWidth><OutputHeight>720</OutputHeight>" +
                       std::string(withRates ? "<OutputFramerate>25</OutputFramerate>" : "") +
                       "</Mux1></VideoMidProcessors>"
                       "<VideoEncoders><VECDCount>1</VECDCount><Enc1 id=\"1\"><EncoderType>FFMPG</EncoderType><VCodec>H264</VCodec>"
                       "<Preset>veryfast</Preset><VideoSource>VideoMidProcessors.Mux1.VideoOutput</VideoSource><Width>1280</Width>"
                       "<Height>720</Height><BitRate>2000</BitRate><GopLengh>25</GopLengh></Enc1></VideoEncoders>"
                       "<MediaWriters><MWCount>1</MWCount><Rec1 id=\"1\"><MWType>FILE</MWType><Container>MP4</Container>"
                       "<RootFolder>records</RootFolder><VideoStreams>VideoEncoders.Enc1.VideoOutput</VideoStreams>"
                       "<SegmentLength>10</SegmentLength><SaveRecordFileList>True</SaveRecordFileList>"
                       "<PushAtBegin>True</PushAtBegin></Rec1></MediaWriters>"
                       "<OSDs><OSDCount>1</OSDCount><OSD id=\"1\"><DrawOn>VideoMidProcessors.Mux1.VideoOutput</DrawOn>"
                       "<OsdType>Datetime</OsdType><PosBase>LTCorner</PosBase><XShift>16</XShift><YShift>16</YShift>"
                       "<TextColor>White</TextColor><TextHeight>32</TextHeight></OSD></OSDs></Config>\n";
    return text;
}

// The mux logs every 300th group it made: 300 groups are 12 s of pictures at 25 fps, 10 s at 30.
constexpr const char *kThreeHundredGroups = "The 300 th group[";

// The sanitizers slow the host backend's kernels well below real time.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kLeastPacketsOfTwelveSeconds = 25;
constexpr double kLeastShareOfPictures = 0.2;
constexpr double kLeastRecordedSeconds = 6.0;
#else
constexpr int kLeastPacketsOfTwelveSeconds = 150;
constexpr double kLeastShareOfPictures = 0.7;
constexpr double kLeastRecordedSeconds = 8.0;
#endif

// A recording keeps the time it ran: a machine that cannot make every picture in time leaves
// some out, and the rate over the recording falls below the declared one.
void ExpectRateOfALiveRecording(double measured, double declared)
{
    EXPECT_LE(measured, declared + 1.0);
    EXPECT_GE(measured, declared * kLeastShareOfPictures);
}

// The share of chroma samples of a region (in chroma coordinates) that are not grey.
double ColouredShare(const std::vector<uint8_t> &picture, int width, int height, int left, int top, int w, int h)
{
    const uint8_t *u = picture.data() + width * height;
    int coloured = 0;
    for (int y = top; y < top + h; ++y)
        for (int x = left; x < left + w; ++x)
            coloured += std::abs(static_cast<int>(u[y * (width / 2) + x]) - 128) > 12 ? 1 : 0;
    return static_cast<double>(coloured) / (w * h);
}

// Makes the sample's two clips and starts the program on the sample chain (with or without the
// configured rates) until it works.
void StartMuxRun(CProgramFolder &folder, int32_t idOffset, bool withRates, CProcessHandle &run)
{
    const fs::path bars = folder.Path() / "bars.mp4";
    const fs::path ramp = folder.Path() / "ramp.mp4";
    ASSERT_EQ(std::system((std::string(TYX_CLIP_MAKER_PATH) + " " + bars.string() + " 1 20").c_str()), 0);
    ASSERT_EQ(std::system((std::string(TYX_CLIP_MAKER_PATH) + " " + ramp.string() + " 2 20").c_str()), 0);
    folder.WriteSystemSettings(TestTyxId(idOffset));
    folder.Write("StreamCfg.xml", MuxConfig(bars, ramp, withRates));
    run = folder.Start({"-silent"}, "run");
    ASSERT_TRUE(folder.WaitForLog("TYX is working and waiting command...", kGenerousWaitMs)) << folder.Output("run");
    EXPECT_EQ(folder.LogText().find("not available in this build"), std::string::npos);
}

TEST_F(ProgramRunTest, RecordsTheMuxedPictureOfBothClips)
{
#if defined(__SANITIZE_THREAD__)
    // Under ThreadSanitizer beside the other suites the encoder makes well under a picture a second:
    // what these cases count is throughput, which the release and ASan builds check.
    GTEST_SKIP() << "the recording's pace is not measured under ThreadSanitizer";
#endif
    CProcessHandle run;
    StartMuxRun(m_folder, 5, true, run);
    if (HasFatalFailure())
        return;
    ASSERT_TRUE(m_folder.WaitForLog(kThreeHundredGroups, kGenerousWaitMs)) << m_folder.Output("run");
    ASSERT_EQ(run.Signal(SIGTERM), 0);
    ASSERT_EQ(run.WaitExit(kGenerousWaitMs), 0);
    EXPECT_EQ(ExitCodeOf(run), 0) << m_folder.Output("run");

    const std::vector<fs::path> recordings = m_folder.Recordings();
    ASSERT_FALSE(recordings.empty());
    // Five seconds in, both clips have long been on: the mux shows its waiting picture only until
    // its inputs arrive.
    const stRecordingFacts facts = ProbeRecording(recordings.front(), 125);
    ASSERT_TRUE(facts.opened);
    EXPECT_EQ(facts.width, 1280);
    EXPECT_EQ(facts.height, 720);
    ExpectRateOfALiveRecording(facts.frameRate, 25.0);
    EXPECT_TRUE(facts.firstIsKey);
    ASSERT_TRUE(facts.firstDecodes);
    EXPECT_GT(facts.videoPackets, kLeastPacketsOfTwelveSeconds) << "about 12 s at 25 fps";
    // A coded picture the writer had to throw away leaves the pictures after it without references.
    EXPECT_EQ(m_folder.LogText().find("the previous wrote one"), std::string::npos);
    SavePng(facts.picture, facts.width, facts.height, fs::current_path() / "artifacts" / "e2e_mux.png");
    // The main window shows the colour bars, the child window at the bottom right the grey ramp.
    EXPECT_GT(ColouredShare(facts.picture, 1280, 720, 40, 60, 360, 160), 0.5);
    EXPECT_LT(ColouredShare(facts.picture, 1280, 720, 460, 280, 140, 62), 0.1);
}

// With no rate configured anywhere, the mux keeps its own pace: the recording holds a picture for
// every frame interval of the time it recorded, at the rate it declares.
TEST_F(ProgramRunTest, RecordsTheMuxAtItsOwnRateWithoutAConfiguredRate)
{
#if defined(__SANITIZE_THREAD__)
    // Under ThreadSanitizer beside the other suites the encoder makes well under a picture a second:
    // what these cases count is throughput, which the release and ASan builds check.
    GTEST_SKIP() << "the recording's pace is not measured under ThreadSanitizer";
#endif
    CProcessHandle run;
    StartMuxRun(m_folder, 6, false, run);
    if (HasFatalFailure())
        return;
    // What the mux made is what is recorded, however fast the machine makes it.
    ASSERT_TRUE(m_folder.WaitForLog(kThreeHundredGroups, kGenerousWaitMs)) << m_folder.Output("run");
    ASSERT_EQ(run.Signal(SIGTERM), 0);
    ASSERT_EQ(run.WaitExit(kGenerousWaitMs), 0);

    const std::vector<fs::path> recordings = m_folder.Recordings();
    ASSERT_FALSE(recordings.empty());
    int packets = 0;
    double seconds = 0.0;
    for (const fs::path &file : recordings) {
        const stRecordingFacts facts = ProbeRecording(file);
        ASSERT_TRUE(facts.opened) << file;
        // Nothing negotiated at start-up: the mux runs at 30, and the encoder takes its input's rate.
        ExpectRateOfALiveRecording(facts.frameRate, 30.0);
        packets += facts.videoPackets;
        seconds += facts.durationSeconds;
    }
    // 300 groups are 10 s of the clock; the pictures still in the encoder and the writer at the stop
    // are left out.
    EXPECT_GT(seconds, kLeastRecordedSeconds) << "the recording covers the time recorded";
    // A loaded machine may drop a few groups; merged pictures would leave one a second.
    EXPECT_GT(packets, seconds * 30.0 * kLeastShareOfPictures)
        << "a picture per frame interval: " << packets << " pictures in " << seconds << " s";
}

TEST_F(ProgramRunTest, AStopDuringStartUpIsAnOrderlyStop)
{
    m_folder.WriteSystemSettings(TestTyxId(2));
    m_folder.Write("StreamCfg.xml", TwoClipRecordingConfig(m_clip1, m_clip2, 10));
    CProcessHandle run = m_folder.Start({"-silent"}, "run");
    ASSERT_TRUE(m_folder.WaitForLog("[Main]", 1) || m_folder.WaitForLog("created successfully", kGenerousWaitMs));
    ASSERT_EQ(run.Signal(SIGTERM), 0);
    ASSERT_EQ(run.WaitExit(kGenerousWaitMs), 0);
    EXPECT_EQ(ExitCodeOf(run), 0) << m_folder.Output("run");
    EXPECT_NE(m_folder.LogText().find("TYX exited..."), std::string::npos);
}

TEST_F(ProgramRunTest, StopWithoutARunAndTheUsageText)
{
    m_folder.WriteSystemSettings(TestTyxId(4));
    EXPECT_EQ(m_folder.Run({"-stop"}, "stop", kGenerousWaitMs), 0);
    EXPECT_EQ(m_folder.Run({}, "usage", kGenerousWaitMs), 255);
    EXPECT_NE(m_folder.Output("usage").find("Usage of Lumo:"), std::string::npos);
    EXPECT_EQ(m_folder.Run({"-avcapdvc"}, "capture", kGenerousWaitMs), 0);
    // More words after the mode take the supervised branch, which needs systemd's socket.
    unsetenv("NOTIFY_SOCKET");
    EXPECT_EQ(m_folder.Run({"-console", "extra"}, "service", kGenerousWaitMs), 1);
    EXPECT_NE(m_folder.LogText().find("ServiceCtrlHandler registering falied with last erro="), std::string::npos);
}

} // namespace
