#include "DiscoveryTestSupport.h"

#include "host/DiscoveryNotifier.h"
#include "host/EventThread.h"
#include "host/TYXEvent.h"
#include "host/GlobalVars.h"
#include "service/DiscoveryIdentity.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <fstream>

namespace {

// Records what the answer would send.
class CRecordingNotifier : public CDiscoveryNotifier
{
public:
    int32_t SendDiscoveryMessage(int32_t type, const std::map<std::string, std::string> &values, int32_t flag,
                                 const std::string *destination) override
    {
        sent.push_back({type, values, flag, destination ? *destination : std::string()});
        return 1;
    }
    struct stSent
    {
        int32_t type;
        std::map<std::string, std::string> values;
        int32_t flag;
        std::string destination;
    };
    std::vector<stSent> sent;
};

stDiscoverySources TestSources()
{
    stDiscoverySources sources;
    sources.modelText = "4200";
    sources.serialText = "SN-77AB";
    sources.tcpListenPort = 8090;
    sources.hostName = [] { return std::string("a-very-long-host-name"); };
    sources.clock = [] { return static_cast<time_t>(1765000000); };
    sources.readAdapter = [](stAdapterAddressSettings &settings) {
        std::wcscpy(settings.IPAddress, L"10.1.2.3");
        std::wcscpy(settings.SubnetMask, L"255.255.0.0");
        std::wcscpy(settings.MACAddress, L"02:00:00:AA:BB:CC");
        std::wcscpy(settings.DHCPServer, L"10.1.0.1");
        return 0;
    };
    return sources;
}

void AddWriter(const std::wstring &name, const std::wstring &url)
{
    stMediaWriteWorkerConfig writer;
    writer.Name = name;
    writer.outputURL = url;
    CTYXGVMS::MWriterConfigs()[name] = writer;
}

class DiscoveryIdentityTest : public ::testing::Test
{
protected:
    void SetUp() override { CTYXGVMS::ResetForTests(); }
    void TearDown() override { CTYXGVMS::ResetForTests(); }
};

TEST_F(DiscoveryIdentityTest, IdentityComesFromTheHostSettingsAndWriters)
{
    stTYXGeneralSettings &settings = CTYXGVMS::GeneralSettings();
    settings.LiveBCWriter = L"Live";
    settings.PreviewWriter = L"Preview";
    settings.FtpRecordPath = std::wstring(40, L'r');
    settings.FtpUser = L"ftp";
    settings.FtpPwd = L"secret";
    AddWriter(L"Live", L"rtmp://127.0.0.1/live/main");
    AddWriter(L"Preview", L"rtsp://localhost:8554/preview");

    CTempDir folder;
    std::ofstream(folder.Path() / "mox.xml") << "<config><MOXGeneral><CtrlPort>7001</CtrlPort></MOXGeneral></config>";
    stMoxConfig &mox = CTYXGVMS::MoxConfig();
    mox.MOXInLocal = true;
    mox.MOXPath = folder.Path().wstring();
    mox.MOXConfigFile = L"mox.xml";

    stDiscoveryIdentity identity;
    FillDiscoveryIdentity(identity, TestSources());
    EXPECT_STREQ("a-very-long-hos", identity.hostName);
    EXPECT_STREQ("10.1.2.3", identity.ipAddress);
    EXPECT_STREQ("255.255.0.0", identity.subnetMask);
    EXPECT_STREQ("02:00:00:AA:BB:CC", identity.macAddress);
    EXPECT_EQ(4200u, identity.modelNumber);
    EXPECT_EQ(8090, identity.tcpControlPort);
    EXPECT_EQ(7001, identity.moxControlPort);
    EXPECT_EQ(1765000000, identity.updateTime);
    EXPECT_STREQ("SN-77AB", identity.serial);
    EXPECT_STREQ("rtmp://10.1.2.3/live/main", identity.liveBroadcastUrl);
    EXPECT_STREQ("rtsp://10.1.2.3:8554/preview", identity.previewUrl);
    EXPECT_EQ(31u, std::strlen(identity.ftpRecordPath));
    EXPECT_STREQ("secret", identity.ftpPassword);
    EXPECT_EQ('.', identity.programVersion[std::strlen(identity.programVersion) - 1]);

    const stServerInfo info = ToServerInfo(identity);
    EXPECT_STREQ("10.1.255.255", info.bcAddr);
    EXPECT_EQ(RC_PROTOCOL_TCP, info.VRCPtc);
    EXPECT_EQ(RC_PROTOCOL_UDP, info.ARCPtc);
    EXPECT_EQ(7001, info.ARCPort);
}

TEST_F(DiscoveryIdentityTest, LocalHostPartsOfTheUrlsAreReplaced)
{
    EXPECT_EQ("rtmp://10.0.0.9/live", ReplaceLocalHost("rtmp://127.0.0.1/live", "10.0.0.9", true));
    EXPECT_EQ("rtmp://x/?h=10.0.0.9", ReplaceLocalHost("rtmp://x/?h=127.0.0.1", "10.0.0.9", true));
    EXPECT_EQ("rtmp://10.0.0.9/a", ReplaceLocalHost("rtmp://localhost/a", "10.0.0.9", true));
    EXPECT_EQ("rtmp://x/?h=localhost", ReplaceLocalHost("rtmp://x/?h=localhost", "10.0.0.9", true));
    EXPECT_EQ("rtsp://x/?h=127.0.0.1", ReplaceLocalHost("rtsp://x/?h=127.0.0.1", "10.0.0.9", false));
    EXPECT_EQ("rtsp://10.0.0.9:8554/x", ReplaceLocalHost("rtsp://localhost:8554/x", "10.0.0.9", false));
    EXPECT_EQ("rtsp:///x", ReplaceLocalHost("rtsp://127.0.0.1/x", "", false));
    EXPECT_EQ(127u, ReplaceLocalHost(std::string(300, 'u'), "", true).size());
}

TEST_F(DiscoveryIdentityTest, RequestsAreAnsweredOnlyWhenTheyNameThisUnit)
{
    CRecordingNotifier notifier;
    stDiscoveryAnswerContext context{&notifier, TestSources()};
    stDiscoveryMessage message;
    message.sender = "10.1.9.9";

    message.type = 3;
    EXPECT_EQ(1, OnSDBCMsgRcvd(&context, message));
    message.type = DISCOVERY_WHOSE_IS;
    EXPECT_EQ(2, OnSDBCMsgRcvd(&context, message));
    message.fields = {{"PSN", "sn-77ab"}};
    EXPECT_EQ(0, OnSDBCMsgRcvd(&context, message));
    message.fields = {{"PSN", "other"}, {"IPAddr", "10.1.2.3"}};
    EXPECT_EQ(2, OnSDBCMsgRcvd(&context, message)); // the serial number decides when given
    message.fields = {{"IPAddr", "10.1.2.3"}};
    EXPECT_EQ(0, OnSDBCMsgRcvd(&context, message));
    message.fields = {{"IPAddr", "10.1.2.4"}};
    EXPECT_EQ(2, OnSDBCMsgRcvd(&context, message));
    message.type = DISCOVERY_WHO_ARE;
    message.fields.clear();
    EXPECT_EQ(0, OnSDBCMsgRcvd(&context, message));
    stDiscoveryAnswerContext none{nullptr, TestSources()};
    EXPECT_EQ(4, OnSDBCMsgRcvd(&none, message));

    ASSERT_EQ(3u, notifier.sent.size());
    const auto &answer = notifier.sent.back();
    EXPECT_EQ(DISCOVERY_I_AM, answer.type);
    EXPECT_EQ(0, answer.flag);
    EXPECT_EQ("10.1.9.9", answer.destination);
    EXPECT_EQ(20u, answer.values.size());
    EXPECT_EQ("SN-77AB", answer.values.at("PSN"));
    EXPECT_EQ("4200", answer.values.at("prdModel"));
}

TEST_F(DiscoveryIdentityTest, AWhoAreRequestOnTheLoopbackIsAnsweredToTheAskersAnswerPort)
{
    stFakeClock clock;
    CRequestLog log;
    CTestUdpSocket listener;
    CTestUdpSocket asker;
    std::mutex contextMutex;
    stDiscoveryAnswerContext context{nullptr, TestSources()};
    stDiscoveryOptions options = LoopbackOptions(clock, log, listener.Port());
    options.onRequest = [&](void *, const stDiscoveryMessage &message) {
        std::lock_guard lock(contextMutex);
        return OnSDBCMsgRcvd(&context, message);
    };
    CQorServerDiscover discoverer("127.0.0.1", options);
    {
        std::lock_guard lock(contextMutex);
        context.discoverer = &discoverer;
    }
    ASSERT_TRUE(asker.SendTo(discoverer.ReceivePort(), Datagram(1, "Who-are-KOV?")));
    std::string sender;
    const std::string answer = listener.Receive(&sender);
    EXPECT_EQ("127.0.0.1", sender);
    EXPECT_EQ(0u, answer.find("**Q*V*T*V*Q*[00000000]I-am-KOV;ARCPort=0;ARCPtc=UDP;")) << answer;
    EXPECT_NE(std::string::npos, answer.find(";PSN=SN-77AB;"));
    EXPECT_NE(std::string::npos, answer.find(";bcAddr=10.1.255.255;"));
    discoverer.Stop();
}

TEST_F(DiscoveryIdentityTest, TheEventThreadsWriterNotificationsGoOutAsDatagrams)
{
    CTYXGVMS::GeneralSettings().RecordWriter = L"Recorder";
    ClearTYXEventQueue();
    stFakeClock clock;
    CRequestLog log;
    CTestUdpSocket listener;
    auto discoverer = std::make_shared<CQorServerDiscover>("127.0.0.1", LoopbackOptions(clock, log, listener.Port()));
    CTYXEventThread events;
    events.SetUnitSerial("SN-77AB");
    events.SetNotifier(discoverer);
    ASSERT_EQ(0, events.Start());
    stTYXEvent started;
    started.type = TYX_EVENT_OUTPUT_STARTED;
    started.workerId = 0x10010004;
    started.attributes["WorkerName"] = stTYXEventValue::WText(L"Recorder");
    ReportTYXEvent(started);
    const std::string text = listener.Receive();
    EXPECT_EQ(0u, text.find("**Q*V*T*V*Q*[00000001]Notification;")) << text;
    EXPECT_NE(std::string::npos, text.find(";PSN=SN-77AB;"));
    EXPECT_NE(std::string::npos, text.find("RecordStarted"));
    EXPECT_EQ(0, events.StopEventProcThread());
    discoverer->Stop();
    ClearTYXEventQueue();
}

} // namespace
