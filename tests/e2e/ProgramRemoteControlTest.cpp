#include "input/RtspTestServer.h"
#include "output/FramePipeClient.h"
#include "ProgramRunSupport.h"
#include "RcmTestClient.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace fs = std::filesystem;

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr uint16_t kTcpControlPort = 2000;

// Each run takes an id of its own, so runs of the suites side by side do not meet on one lock.
int32_t TestTyxId(int32_t offset)
{
    return 100000 + (getpid() % 800000) + 40 + offset;
}

// The sample's chain without the recording: two clips decoded and muxed as a picture-in-picture
// that a frame pipe hands out, with a yellow caption at the bottom of the mux's picture.
std::string CaptionedMuxConfig(const fs::path &bars, const fs::path &ramp)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Config><General><GlobalFramerate>25</GlobalFramerate>"
           "</General>" +
           TwoClipSources(bars, ramp) +
           "<VideoDecoders><VDCDCount>2</VDCDCount>"
           "<Dec1 id=\"1\"><DecoderType>FFMPG</DecoderType><VideoSource>MediaSources.Cam1.VideoOutput</VideoSource></Dec1>"
           "<Dec2 id=\"2\"><DecoderType>FFMPG</DecoderType><VideoSource>MediaSources.Cam2.VideoOutput</VideoSource></Dec2>"
           "</VideoDecoders><VideoMidProcessors><MProcCount>1</MProcCount><Mux1 id=\"1\"><MPType>VMux</MPType>"
           "<RVSInCount>2</RVSInCount><IRVS id=\"1\">VideoDecoders.Dec1.VideoOutput</IRVS>"
           "<IRVS id=\"2\">VideoDecoders.Dec2.VideoOutput</IRVS><MuxLayout>PIP-1-On-1</MuxLayout>"
           "<RgnVs id=\"1\">1</RgnVs><RgnVs id=\"2\">2</RgnVs><ChildWindow id=\"1\"><onLayer>1</onLayer>"
           "<posBase>RBCorner</posBase><xShift>-32</xShift><yShift>-32</yShift><Width>384</Width><Height>216</Height>"
           "</ChildWindow><OutputWidth>1280</OutputWidth><OutputHeight>720</OutputHeight>"
           "<OutputFramerate>25</OutputFramerate><RVTP>True</RVTP></Mux1></VideoMidProcessors>"
           "<OSDs><OSDCount>1</OSDCount><OSD id=\"1\"><DrawOn>VideoMidProcessors.Mux1.VideoOutput</DrawOn>"
           "<OsdType>StaticText</OsdType><Content>TyxServiceMain sample</Content><PosBase>BottomMiddle</PosBase>"
           "<YShift>-24</YShift><TextColor>Yellow</TextColor><TextHeight>28</TextHeight></OSD></OSDs></Config>\n";
}

// Remote control over HTTP for "admin" (password "pw"), results after execution, and the plain
// control channel's port.
std::string RemoteControlConfig(uint16_t httpPort)
{
    return "<?xml version=\"1.0\"?><config><RcmGeneral><TcpCtrl>True</TcpCtrl><TcpListenPort>" +
           std::to_string(kTcpControlPort) + "</TcpListenPort><HttpCtrl>True</HttpCtrl><HttpListenPort>" +
           std::to_string(httpPort) +
           "</HttpListenPort><HttpsCtrl>False</HttpsCtrl><SendAckBeforeCmdFinish>False</SendAckBeforeCmdFinish>"
           "</RcmGeneral><RcmUsers><user id=\"1\"><username>admin</username><password>pw</password>"
           "<Privilege>31</Privilege></user></RcmUsers></config>\n";
}

// Chroma samples of the caption's band that are yellow. The band lies over the cyan, green and
// magenta bars of the main window, left of the child window: only the caption is yellow there.
int YellowSamples(const std::vector<uint8_t> &picture)
{
    const uint8_t *u = picture.data() + kWidth * kHeight;
    const uint8_t *v = u + kWidth * kHeight / 4;
    int yellow = 0;
    for (int y = 300; y < 360; ++y) {
        for (int x = 190; x < 430; ++x) {
            const int at = y * (kWidth / 2) + x;
            yellow += std::abs(u[at] - 16) < 48 && std::abs(v[at] - 146) < 48 ? 1 : 0;
        }
    }
    return yellow;
}

// Whether the mux has taken pictures of the source of the alias: its decoder's output stream had
// valid packages in a group.
bool MuxTookPicturesOf(const CProgramFolder &folder, const std::string &alias)
{
    const std::string log = folder.LogText();
    const std::string decoder = "V-Decoder[" + alias + ":";
    const size_t at = log.find(decoder);
    const size_t end = at == std::string::npos ? at : log.find(']', at);
    if (end == std::string::npos)
        return false;
    const unsigned long id = std::strtoul(log.substr(at + decoder.size(), end - at - decoder.size()).c_str(), nullptr, 16);
    char taken[64];
    std::snprintf(taken, sizeof(taken), "valid pakets in stream[%lx]", id + 1);
    return id != 0 && log.find(taken) != std::string::npos;
}

// The answer of the discovery port to a request from 127.0.0.1, empty when none came.
std::string AskWhoIsThere()
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {};
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(1937); // answers go to the asker's address at the answer port
    inet_pton(AF_INET, "127.0.0.1", &local.sin_addr);
    std::string answer;
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof(local)) == 0) {
        sockaddr_in program = local;
        program.sin_port = htons(1938);
        const std::string request = "**Q*V*T*V*Q*[00000001]Who-are-KOV?";
        for (int attempt = 0; attempt < 5 && answer.find("I-am-KOV") == std::string::npos; ++attempt) {
            sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr *>(&program), sizeof(program));
            pollfd wait{fd, POLLIN, 0};
            if (poll(&wait, 1, 5000) == 1) {
                char buffer[2048];
                const ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
                answer = got > 0 ? std::string(buffer, static_cast<size_t>(got)) : std::string();
            }
        }
    }
    close(fd);
    return answer;
}

class ProgramRemoteControlTest : public CProgramRunTest
{
protected:
    ProgramRemoteControlTest() : CProgramRunTest(30000) {}

    void StartCaptionedMux(int32_t idOffset)
    {
        const fs::path bars = m_folder.Path() / "bars.mp4";
        const fs::path ramp = m_folder.Path() / "ramp.mp4";
        ASSERT_EQ(std::system((std::string(TYX_CLIP_MAKER_PATH) + " " + bars.string() + " 1 20").c_str()), 0);
        ASSERT_EQ(std::system((std::string(TYX_CLIP_MAKER_PATH) + " " + ramp.string() + " 2 20").c_str()), 0);
        m_port = FreeTcpPort();
        m_folder.WriteSystemSettings(TestTyxId(idOffset));
        m_folder.Write("StreamCfg.xml", CaptionedMuxConfig(bars, ramp));
        m_folder.Write("RcmConfig.xml", RemoteControlConfig(m_port));
        m_run = m_folder.Start({"-silent"}, "run");
        ASSERT_TRUE(m_run.IsStarted());
        ASSERT_TRUE(m_folder.WaitForLog("TYX is working and waiting command...", 60000)) << m_folder.Output("run");
        ASSERT_TRUE(m_pipe.Connect((m_folder.Path() / "run" / "RVTP_Mux1").string())) << m_folder.LogText();
    }

    // Reads the mux's pictures until one satisfies the condition (at most 600 pictures or 120 s):
    // the yellow count of that picture, or -1.
    int WaitForCaption(const std::function<bool(int)> &condition)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        for (int read = 0; read < 600 && std::chrono::steady_clock::now() < deadline; ++read) {
            stFrameMessage frame;
            if (!m_pipe.ReadMessage(frame, 20000))
                return -1;
            if (frame.width != kWidth || frame.height != kHeight ||
                frame.data.size() < static_cast<size_t>(kWidth * kHeight * 3 / 2))
                continue;
            m_lastPicture = frame.data;
            const int yellow = YellowSamples(frame.data);
            if (condition(yellow))
                return yellow;
        }
        return -1;
    }

    stRawResponse Control(CRcmTestClient &client, const std::string &command, int sn, const std::string &body)
    {
        return client.Request("POST", "/TYXRCMAPI/CONTROL/" + command + "?CMDSN=" + std::to_string(sn) +
                                          "&WaitResult=Yes&SESSIONID=" + m_session,
                              body);
    }

    CFramePipeClient m_pipe;
    uint16_t m_port = 0;
    std::string m_session;
    std::vector<uint8_t> m_lastPicture;
};

// The caption of the running sample is retexted, hidden and shown again by one number, and each
// command's answer says what happened to the picture.
TEST_F(ProgramRemoteControlTest, CaptionCommandsChangeThePictureTheyReportOn)
{
    StartCaptionedMux(1);
    if (HasFatalFailure())
        return;
    CRcmTestClient client(m_port);
    ASSERT_TRUE(client.IsConnected());
    m_session = client.LogIn("admin");
    ASSERT_FALSE(m_session.empty()) << m_folder.Output("run");

    const int shown = WaitForCaption([](int yellow) { return yellow > 150; });
    ASSERT_GT(shown, 150) << "the configured caption is drawn";
    SavePng(m_lastPicture, kWidth, kHeight, fs::current_path() / "artifacts" / "e2e_caption_shown.png");

    // A text longer than the writer draws is refused, and the caption stays as it was.
    stRawResponse reply = Control(client, "OSDSetText", 10, "OsdId=1&OsdText=" + std::string(100, 'x'));
    EXPECT_EQ(reply.status, 500) << reply.body;
    EXPECT_EQ(reply.body, "The Command was excuted but failed!CommandSN=10");

    reply = Control(client, "OSDSetText", 11, "OsdId=1&OsdText=ok");
    EXPECT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(reply.body, "Command excuted successfully!CommandSN=11");
    const int retexted = WaitForCaption([shown](int yellow) { return yellow > 5 && yellow < shown / 3; });
    EXPECT_GT(retexted, 5) << "the short text replaced the caption";
    SavePng(m_lastPicture, kWidth, kHeight, fs::current_path() / "artifacts" / "e2e_caption_retexted.png");

    reply = Control(client, "OSDControl", 12, "OsdId=1&Action=Stop");
    EXPECT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(reply.body, "Command excuted successfully!CommandSN=12");
    EXPECT_GE(WaitForCaption([](int yellow) { return yellow <= 2; }), 0) << "the caption is hidden";
    SavePng(m_lastPicture, kWidth, kHeight, fs::current_path() / "artifacts" / "e2e_caption_hidden.png");

    reply = Control(client, "OSDControl", 13, "OsdId=1&Action=Start");
    EXPECT_EQ(reply.status, 200) << reply.body;
    EXPECT_GT(WaitForCaption([](int yellow) { return yellow > 5; }), 5) << "the caption is back";

    // The encoder range names no OSD of the mux.
    reply = Control(client, "OSDControl", 14, "OsdId=2049&Action=Stop");
    EXPECT_EQ(reply.status, 500) << reply.body;
}

// The program's own operations and server: geometry by a plain alias, required text heights,
// escaped quotes, oversized bodies, the protocol's reason phrases and the control port.
TEST_F(ProgramRemoteControlTest, CommandsAndRepliesOfTheRunningProgram)
{
    StartCaptionedMux(2);
    if (HasFatalFailure())
        return;
    CRcmTestClient client(m_port);
    m_session = client.LogIn("admin");
    ASSERT_FALSE(m_session.empty()) << m_folder.Output("run");

    stRawResponse reply = Control(client, "AddOSGGeometry", 20,
                                  "GeometryNum=1&OSGStrmPos=VideoOutput&VideoAlias=Mux1&OSGData=" +
                                      UrlEncoded("box:gmtTp=1,lnClr=8,wght=4,StrtX=40,StrtY=40,EndX=200,EndY=120,;"));
    EXPECT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(reply.body, "Command excuted successfully!CommandSN=20");
    reply = Control(client, "AddOSGGeometry", 21,
                    "GeometryNum=1&OSGStrmPos=VideoOutput&VideoAlias=NoSuchVideo&OSGData=" +
                        UrlEncoded("box:gmtTp=1,lnClr=8,wght=4,StrtX=40,StrtY=40,EndX=200,EndY=120,;"));
    EXPECT_EQ(reply.status, 500) << reply.body;

    reply = Control(client, "AddNewInputOSD", 22, "osdType=Time&posBase=Center&VideoAlias=Dec1");
    EXPECT_EQ(reply.status, 400);
    EXPECT_EQ(reply.body, "Required Parameter MissedCommandSN=22");

    // Quotes sent as escapes enclose a value, or are refused when they do not pair.
    reply = client.Request("GET", "/TYXRCMAPI/QUERY/GetTYXStatus?CMDSN=23&SESSIONID=%22" + m_session + "%22");
    EXPECT_EQ(reply.status, 200) << reply.body;
    reply = client.Request("GET", "/TYXRCMAPI/QUERY/GetTYXStatus?CMDSN=24&XY=%22abc&SESSIONID=" + m_session);
    EXPECT_EQ(reply.status, 406);
    EXPECT_EQ(reply.body, "Invalid Key Value");

    reply = client.Request("GET", "/TYXRCMAPI/QUERY/GetTYXStatus?CMDSN=25&SESSIONID=nobody");
    EXPECT_EQ(reply.status, 421);
    EXPECT_EQ(reply.reason, "Please log in first");

    CRcmTestClient big(m_port);
    ASSERT_TRUE(big.SendRaw("POST /TYXRCMAPI/CONTROL/OSDSetText?CMDSN=26&SESSIONID=" + m_session +
                            " HTTP/1.1\r\nHost: x\r\nContent-Length: 3000000\r\n\r\n" + std::string(65536, 'x')));
    const stRawResponse tooLong = big.ReadResponse();
    EXPECT_EQ(tooLong.status, 400);
    EXPECT_EQ(tooLong.body, "Invalid Parameters LengthCommandSN=26");
    EXPECT_EQ(client.Request("GET", "/TYXRCMAPI/GENERAL/HelloTYX").status, 200) << "the server goes on";

    // The port of the plain control channel is the program's from its start.
    if (m_folder.LogText().find("Discovery cannot listen on UDP port") != std::string::npos) {
        std::cout << "Another program holds the discovery port: the announced control port is not checked.\n";
        return;
    }
    const std::string answer = AskWhoIsThere();
    ASSERT_NE(answer.find("I-am-KOV"), std::string::npos) << answer;
    EXPECT_NE(answer.find(";VRCPort=" + std::to_string(kTcpControlPort) + ";"), std::string::npos) << answer;
}

// Cameras brought into the running mux by remote commands, and the run ended while they send:
// SIGTERM ends it in order, with exit code 0 (under the sanitizers: nothing at the exit touches what
// was already gone).
TEST_F(ProgramRemoteControlTest, CamerasAddedOnDemandEndWithTheRun)
{
    if (!CRtspTestServer::Available())
        GTEST_SKIP() << "GStreamer's RTSP server is not installed";
    stTestMediaSpec spec;
    spec.seconds = 60.0;
    spec.width = 640;
    spec.height = 360;
    spec.audio = false;
    ASSERT_EQ(WriteTestMedia(m_folder.Path() / "camera.mp4", spec), 0);
    CRtspTestServer camera;
    ASSERT_EQ(camera.Start(m_folder.Path() / "camera.mp4", false), 0);
    StartCaptionedMux(3);
    if (HasFatalFailure())
        return;
    CRcmTestClient client(m_port);
    m_session = client.LogIn("admin");
    ASSERT_FALSE(m_session.empty()) << m_folder.Output("run");

    const std::string source = "&StreamId=1&Authenticate=0&Username=u&Password=p&supportNTP=0&EstmtDly=150"
                               "&fSIFRequired=0&CacheTime=0&InputURL=" + UrlEncoded(camera.Url());
    stRawResponse reply = Control(client, "AddInputVideo", 30, "VSAlias=Cam8" + source);
    ASSERT_EQ(reply.status, 200) << reply.body;
    reply = Control(client, "AddInputVideo", 31, "VSAlias=Cam9" + source);
    ASSERT_EQ(reply.status, 200) << reply.body;
    reply = Control(client, "AddVSToMux", 32, "RegionNo=2&VSAlias=Cam9");
    ASSERT_EQ(reply.status, 200) << reply.body;
    reply = Control(client, "AddVSToMux", 33, "RegionNo=1&VSAlias=Cam8");
    ASSERT_EQ(reply.status, 200) << reply.body;
    ASSERT_TRUE(WaitUntil([&] { return MuxTookPicturesOf(m_folder, "Cam8") && MuxTookPicturesOf(m_folder, "Cam9"); },
                          120000, 500))
        << m_folder.Output("run");

    ASSERT_EQ(m_run.Signal(SIGTERM), 0);
    ASSERT_EQ(m_run.WaitExit(120000), 0);
    EXPECT_EQ(ExitCodeOf(m_run), 0) << m_folder.Output("run");
    EXPECT_NE(m_folder.LogText().find("terminated normally"), std::string::npos);
}

} // namespace
