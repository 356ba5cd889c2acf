// The run's discovery: the online notice, the writer notifications of the event thread, the answers
// and the offline notice, over real loopback datagrams.

#include "DiscoveryTestSupport.h"

#include "host/EventThread.h"
#include "host/GlobalVars.h"
#include "host/TYXEvent.h"
#include "service/DiscoveryHost.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <cwchar>

namespace {

stDiscoverySources UnitSources()
{
    stDiscoverySources sources;
    sources.modelText = "4200";
    sources.serialText = "SN-77AB";
    sources.tcpListenPort = 8090;
    sources.hostName = [] { return std::string("unit7"); };
    sources.clock = [] { return static_cast<time_t>(1765000000); };
    sources.readAdapter = [](stAdapterAddressSettings &settings) {
        std::wcscpy(settings.IPAddress, L"10.1.2.3");
        std::wcscpy(settings.SubnetMask, L"255.255.0.0");
        return 0;
    };
    return sources;
}

// The peer's side: notifications and answers arrive at its port, from a discoverer on 127.0.0.1.
stDiscoveryOptions PeerOptions(stFakeClock &clock, uint16_t peerPort)
{
    stDiscoveryOptions options;
    options.receivePort = 0;
    options.sendPort = peerPort;
    options.bindAddress = "127.0.0.1";
    options.readAdapter = [](stAdapterAddressSettings &) { return -2; };
    options.tick = [&clock] { return clock.now.load(); };
    options.sleep = [&clock](uint32_t ms) { clock.now += ms; };
    return options;
}

stTYXEvent WriterStarted(const std::wstring &writer)
{
    stTYXEvent event;
    event.type = TYX_EVENT_OUTPUT_STARTED;
    event.workerId = 0x10010004;
    event.attributes["WorkerName"] = stTYXEventValue::WText(writer);
    return event;
}

class DiscoveryHostTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CTYXGVMS::ResetForTests();
        ClearTYXEventQueue();
        CTYXGVMS::GeneralSettings().RecordWriter = L"Recorder";
    }
    void TearDown() override
    {
        ClearTYXEventQueue();
        CTYXGVMS::ResetForTests();
    }
};

TEST_F(DiscoveryHostTest, TheRunIsAnnouncedCarriesWriterEventsAnswersAndSaysGoodbye)
{
    stFakeClock clock;
    CTestUdpSocket peer;
    CTestUdpSocket asker;
    CDiscoveryHost host("127.0.0.1", PeerOptions(clock, peer.Port()));
    CTYXEventThread events;
    ASSERT_EQ(0, events.Start());
    CLogCapture log;

    EXPECT_GT(host.AnnounceOnline(UnitSources(), events), 0);
    ASSERT_TRUE(host.IsOnline());
    std::string sender;
    const std::string online = peer.Receive(&sender);
    EXPECT_EQ("127.0.0.1", sender);
    EXPECT_NE(std::string::npos, online.find("]Notification;")) << online;
    for (const char *field : {";Event=JustOnline;", ";PSN=SN-77AB;", ";HostName=unit7;", ";VRCPort=8090;",
                              ";prdModel=4200;", ";IPAddr=10.1.2.3;"})
        EXPECT_NE(std::string::npos, online.find(field)) << field << " in " << online;
    EXPECT_TRUE(log.Contains(L"[SDBC]KOV online notificaton sent.", 6));
    EXPECT_EQ(0, host.AnnounceOnline(UnitSources(), events)) << "one discoverer per run";

    // The event thread sends through the discoverer, with the unit's serial.
    ReportTYXEvent(WriterStarted(L"Recorder"));
    const std::string writer = peer.Receive();
    EXPECT_NE(std::string::npos, writer.find("RecordStarted")) << writer;
    EXPECT_NE(std::string::npos, writer.find(";PSN=SN-77AB;")) << writer;

    // Requests of other units are answered with the identity.
    ASSERT_TRUE(asker.SendTo(host.ReceivePort(), Datagram(1, "Who-are-KOV?")));
    const std::string answer = peer.Receive();
    EXPECT_NE(std::string::npos, answer.find("]I-am-KOV;")) << answer;
    EXPECT_NE(std::string::npos, answer.find(";PSN=SN-77AB;")) << answer;

    EXPECT_EQ(0, events.StopEventProcThread());
    EXPECT_GT(host.AnnounceOffline(events), 0);
    const std::string offline = peer.Receive();
    EXPECT_NE(std::string::npos, offline.find("]Notification;Event=TobeOffline;PSN=SN-77AB;Reason=maintain;"))
        << offline;
    EXPECT_TRUE(log.Contains(L"[SDBC]KOV offline notificaton sent.", 6));
    EXPECT_FALSE(host.IsOnline());
    EXPECT_EQ(0u, host.ReceivePort());
    EXPECT_EQ(0, host.AnnounceOffline(events)) << "said once";
}

TEST_F(DiscoveryHostTest, NoticesThatCannotBeSentAreNotLoggedAsSent)
{
    stFakeClock clock;
    CTestUdpSocket peer;
    // Neither an adapter nor a fallback: the notices have no destination.
    CDiscoveryHost host("", PeerOptions(clock, peer.Port()));
    CTYXEventThread events;
    CLogCapture log;
    EXPECT_LT(host.AnnounceOnline(UnitSources(), events), 0);
    EXPECT_TRUE(host.IsOnline()) << "it still answers requests sent to it";
    EXPECT_FALSE(log.Contains(L"[SDBC]KOV online notificaton sent."));
    EXPECT_TRUE(log.Contains(L"[SDBC]KOV online notification could not be sent", 3));
    EXPECT_LT(host.AnnounceOffline(events), 0);
    EXPECT_FALSE(log.Contains(L"[SDBC]KOV offline notificaton sent."));
    EXPECT_FALSE(host.IsOnline());
}

} // namespace
