#include "DiscoveryTestSupport.h"
#include "NamespaceChild.h"

#include "rcm/DiscoveryMessage.h"
#include "rcm/DiscoveryPacing.h"
#include "rcm/QorServerDiscover.h"
#include "rcm/ServerInfo.h"

#include "host/EventThread.h"
#include "host/GlobalVars.h"
#include "host/TYXEvent.h"

#include <gtest/gtest.h>

#include <cwchar>

namespace {

stDiscoveryMessage Parse(const std::string &text)
{
    stDiscoveryMessage message;
    ParseDiscoveryDatagram(reinterpret_cast<const uint8_t *>(text.data()), text.size(), message);
    return message;
}

TEST(DiscoveryMessageTest, SizeMarkerAndSequenceDecideAcceptance)
{
    const std::string who = Datagram(1, "Who-are-KOV?");
    ASSERT_EQ(34u, who.size());
    EXPECT_EQ(DISCOVERY_WHO_ARE, Parse(who).type);
    EXPECT_EQ(1u, Parse(who).sequence);
    const auto *bytes = reinterpret_cast<const uint8_t *>(who.data());
    EXPECT_FALSE(IsDiscoveryDatagram(bytes, 23));
    EXPECT_TRUE(IsDiscoveryDatagram(bytes, 24));
    const std::string big = Datagram(2, "Whose-is?PSN=A;") + std::string(600, 'x');
    EXPECT_TRUE(IsDiscoveryDatagram(reinterpret_cast<const uint8_t *>(big.data()), 512));
    EXPECT_FALSE(IsDiscoveryDatagram(reinterpret_cast<const uint8_t *>(big.data()), 513));

    EXPECT_EQ(DISCOVERY_WHO_ARE, Parse("**q*v*t*v*q*[00000007]who-ARE-kov?").type);
    EXPECT_EQ(0, Parse("**Q*V*T*V*X*[00000007]Who-are-KOV?").type);
    EXPECT_EQ(0, Parse(Datagram(0, "Who-are-KOV?")).type);
    EXPECT_EQ(0, Parse("**Q*V*T*V*Q*[abcdefgh]Who-are-KOV?").type);
    EXPECT_EQ(0, Parse(Datagram(3, "Hello-there?")).type);
    EXPECT_EQ(0, Parse(Datagram(3, "whose-is?PSN=A1;")).type); // only the request word ignores case
    EXPECT_EQ(12345678u, Parse(Datagram(12345678, "Who-are-KOV?")).sequence);
}

TEST(DiscoveryMessageTest, FieldsEndAtTheFirstMalformedOne)
{
    stDiscoveryMessage m = Parse(Datagram(5, "Whose-is?PSN=AB12;IPAddr=10.0.0.1;PSN=XX;"));
    ASSERT_EQ(DISCOVERY_WHOSE_IS, m.type);
    EXPECT_EQ("AB12", m.fields["PSN"]); // the first of two equal keys
    EXPECT_EQ("10.0.0.1", m.fields["IPAddr"]);

    EXPECT_EQ(0, Parse(Datagram(5, "Whose-is?P=AB12;")).type); // a one-character key ends the fields
    EXPECT_EQ(0, Parse(Datagram(5, "Whose-is?PSN=;")).type);
    EXPECT_EQ(0, Parse(Datagram(5, "Notification;")).type);
    EXPECT_EQ(1u, Parse(Datagram(5, "Whose-is?PSN=A;P=B;IPAddr=C;")).fields.size());
    EXPECT_EQ(1u, Parse(Datagram(5, "Whose-is?junk;PSN=A;")).fields.size()); // ";" before "=" skips
    EXPECT_EQ(0u, ParseDiscoveryFields("Key=" + std::string(128, 'v') + ";").size());
    EXPECT_EQ(1u, ParseDiscoveryFields("Key=" + std::string(127, 'v') + ";").size());
    EXPECT_EQ(0u, ParseDiscoveryFields("abcdefghijklmnop=1;").size());
}

TEST(DiscoveryMessageTest, ComposedTextSortsFieldsAndWritesEmptyValuesAsZero)
{
    EXPECT_EQ("**Q*V*T*V*Q*[01507329]Notification;Event=JustOnline;PSN=0;Reason=maintain;",
              ComposeDiscoveryText(DISCOVERY_NOTIFICATION, 1507329,
                                   {{"Reason", "maintain"}, {"PSN", ""}, {"Event", "JustOnline"}}));
    EXPECT_EQ("", ComposeDiscoveryText(3, 1, {}));
}

TEST(DiscoveryMessageTest, ServerInformationRoundTrips)
{
    stServerInfo info;
    CopyServerInfoText(info.PSN, "SN-0042");
    CopyServerInfoText(info.LiveBCUrl, std::string(200, 'u')); // cut to its field
    info.VRCPtc = RC_PROTOCOL_HTTP;
    info.ARCPtc = 9;
    info.VRCPort = 8080;
    info.prdModel = 4000000000u;
    info.UpdateTime = 1765000000;
    DiscoveryFields fields;
    ASSERT_EQ(20, CQorServerDiscover::BuildServerInfo(fields, info));
    ASSERT_EQ(20u, fields.size());
    EXPECT_EQ("HTTP", fields["VRCPtc"]);
    EXPECT_EQ("None", fields["ARCPtc"]);
    EXPECT_EQ(127u, fields["LiveBCUrl"].size());

    stServerInfo back;
    EXPECT_EQ(20, ParseServerInfo(fields, back));
    EXPECT_STREQ("SN-0042", back.PSN);
    EXPECT_EQ(RC_PROTOCOL_HTTP, back.VRCPtc);
    EXPECT_EQ(static_cast<uint16_t>(-2), back.ARCPtc);
    EXPECT_EQ(8080, back.VRCPort);
    EXPECT_EQ(4000000000u, back.prdModel);
    EXPECT_EQ(1765000000, back.UpdateTime);

    stServerInfo hostile;
    EXPECT_EQ(2, ParseServerInfo({{"VRCPort", "99999"}, {"prdModel", "12x"}, {"Other", "1"}}, hostile));
    EXPECT_EQ(0, hostile.VRCPort);
    EXPECT_EQ(0u, hostile.prdModel);
}

TEST(DiscoveryMessageTest, OnlineAndOfflineNotificationsReadBackAsTheirEvents)
{
    stServerInfo info;
    CopyServerInfoText(info.PSN, "SN9");
    const std::string online = ComposeDiscoveryText(DISCOVERY_NOTIFICATION, 9, OnlineNotificationFields(info));
    const stDiscoveryMessage read = Parse(online);
    ASSERT_EQ(DISCOVERY_NOTIFICATION, read.type);
    EXPECT_EQ("JustOnline", read.fields.at("Event"));
    EXPECT_EQ(21u, read.fields.size());
    EXPECT_EQ("**Q*V*T*V*Q*[00000010]Notification;Event=TobeOffline;PSN=SN9;Reason=maintain;",
              ComposeDiscoveryText(DISCOVERY_NOTIFICATION, 10, OfflineNotificationFields("SN9")));
}

TEST(DiscoveryPacingTest, IntervalsPerSenderAndType)
{
    CDiscoveryPacing pacing;
    EXPECT_TRUE(pacing.AcceptDatagram("a", 1000));
    EXPECT_FALSE(pacing.AcceptDatagram("a", 1024));
    EXPECT_TRUE(pacing.AcceptDatagram("b", 1024));
    EXPECT_TRUE(pacing.AcceptDatagram("a", 1025));
    EXPECT_TRUE(pacing.AcceptType("a", DISCOVERY_WHO_ARE, 1025));
    EXPECT_FALSE(pacing.AcceptType("a", DISCOVERY_WHO_ARE, 2024));
    EXPECT_TRUE(pacing.AcceptType("a", DISCOVERY_WHO_ARE, 2025));
    EXPECT_TRUE(pacing.AcceptType("a", DISCOVERY_WHOSE_IS, 2025));
    EXPECT_FALSE(pacing.AcceptType("a", DISCOVERY_WHOSE_IS, 2124));
    EXPECT_TRUE(pacing.AcceptType("a", DISCOVERY_NOTIFICATION, 2124));
    EXPECT_FALSE(pacing.AcceptType("a", DISCOVERY_NOTIFICATION, 2323));
    EXPECT_TRUE(pacing.AcceptType("a", DISCOVERY_I_AM, 2323));
    EXPECT_TRUE(pacing.AcceptType("a", DISCOVERY_I_AM, 2323));
    EXPECT_FALSE(pacing.AcceptType("a", 0, 5000));
}

TEST(DiscoveryPacingTest, TheSenderTableStaysBounded)
{
    CDiscoveryPacing pacing(4, 60000);
    for (int i = 0; i < 100; ++i)
        EXPECT_TRUE(pacing.AcceptDatagram("10.0.0." + std::to_string(i), 1000 + static_cast<uint64_t>(i)));
    EXPECT_EQ(4u, pacing.Size());
    // The newest senders stayed, so their pacing still holds.
    EXPECT_FALSE(pacing.AcceptDatagram("10.0.0.99", 1100));
}

class DiscoveryLoopbackTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        discoverer = std::make_unique<CQorServerDiscover>("127.0.0.1", LoopbackOptions(clock, log, listener.Port()));
        ASSERT_NE(0, discoverer->ReceivePort());
    }
    // Sends a datagram and waits until the discoverer has looked at it, so the clock moves in between.
    void Request(const std::string &text)
    {
        ASSERT_TRUE(peer.SendTo(discoverer->ReceivePort(), text));
        ASSERT_TRUE(log.WaitSeen(++sent));
    }
    // A request that always passes, after which every earlier datagram has been handled.
    void Sync(uint32_t sequence)
    {
        clock.Advance(1001);
        Request(Datagram(sequence, "Who-are-KOV?"));
        const size_t expected = ++handed;
        ASSERT_EQ(expected, log.WaitFor(expected).size());
    }

    stFakeClock clock;
    CRequestLog log;
    CTestUdpSocket listener;
    CTestUdpSocket peer;
    std::unique_ptr<CQorServerDiscover> discoverer;
    size_t handed = 0;
    size_t sent = 0;
};

TEST_F(DiscoveryLoopbackTest, RequestsReachTheCallbackOncePerInterval)
{
    EXPECT_EQ("127.0.0.1", discoverer->DefaultDestination()); // no adapter: the fallback
    EXPECT_EQ(0u, discoverer->SequenceCounter());
    Request(Datagram(1, "Who-are-KOV?"));
    clock.Advance(30);
    Request(Datagram(2, "Who-are-KOV?")); // within 1000 ms of the first
    clock.Advance(30);
    Request(Datagram(3, "Whose-is?PSN=abc;"));
    const auto messages = log.WaitFor(2);
    ASSERT_EQ(2u, messages.size());
    EXPECT_EQ(DISCOVERY_WHO_ARE, messages[0].type);
    EXPECT_EQ("127.0.0.1", messages[0].sender);
    EXPECT_EQ(1u, messages[0].sequence);
    EXPECT_EQ(DISCOVERY_WHOSE_IS, messages[1].type);
    EXPECT_EQ("abc", messages[1].fields.at("PSN"));
    handed = 2;
    Sync(4);
}

TEST_F(DiscoveryLoopbackTest, BadAndFloodingDatagramsAreDroppedAndTheRestStillServed)
{
    Request(Datagram(1, "Who-are-KOV?").substr(0, 23));
    Request(Datagram(1, "Whose-is?PSN=A;") + std::string(600, 'x'));
    Request(std::string(40, 'z'));
    Request(Datagram(0, "Who-are-KOV?"));
    Request(Datagram(1, "Whose-is?P=A;"));
    // Longer than the receive buffer: dropped before it is looked at.
    ASSERT_TRUE(peer.SendTo(discoverer->ReceivePort(), std::string(2500, '*')));
    Sync(9);
    clock.Advance(1001);
    // Without the clock moving, a flood from one sender yields its first datagram only.
    for (uint32_t i = 1; i <= 500; ++i)
        Request(Datagram(i, "Whose-is?PSN=flood;"));
    handed += 1;
    Sync(10);
    const auto messages = log.WaitFor(handed);
    EXPECT_EQ(3u, messages.size());
    EXPECT_EQ(DISCOVERY_WHOSE_IS, messages[1].type);
}

TEST_F(DiscoveryLoopbackTest, KnownUnitsFollowAnswersAndNotifications)
{
    Request(Datagram(1, "I-am-KOV;PSN=Unit1;IPAddr=10.0.0.5;VRCPtc=HTTP;"));
    clock.Advance(30);
    Request(Datagram(2, "Notification;Event=JustOnline;PSN=Unit2;HostName=two;"));
    handed = 1; // the online notification reaches the callback
    Sync(3);
    auto units = discoverer->KnownUnits();
    ASSERT_EQ(2u, units.size());
    EXPECT_STREQ("10.0.0.5", units[0].IPAddr);
    EXPECT_EQ(RC_PROTOCOL_HTTP, units[0].VRCPtc);

    clock.Advance(300);
    Request(Datagram(4, "I-am-KOV;PSN=UNIT1;IPAddr=10.0.0.6;")); // the same unit in another letter case
    clock.Advance(300);
    Request(Datagram(5, "Notification;Event=TobeOffline;Reason=maintain;")); // no PSN: dropped
    Sync(6);
    units = discoverer->KnownUnits();
    ASSERT_EQ(2u, units.size());
    EXPECT_STREQ("10.0.0.6", units[0].IPAddr);

    clock.Advance(300);
    Request(Datagram(7, "Notification;Event=TobeOffline;PSN=unit2;Reason=maintain;"));
    clock.Advance(300);
    Request(Datagram(8, "Notification;Event=SomethingElse;PSN=Unit1;"));
    handed += 1;
    Sync(9);
    units = discoverer->KnownUnits();
    ASSERT_EQ(1u, units.size());
    EXPECT_STREQ("UNIT1", units[0].PSN);
    const auto messages = log.WaitFor(handed);
    EXPECT_EQ("TobeOffline", messages[messages.size() - 2].fields.at("Event"));
}

TEST_F(DiscoveryLoopbackTest, SendsArePacedNumberedAndBounded)
{
    EXPECT_EQ(-1, discoverer->SendDiscoveryMessage(DISCOVERY_I_AM, {}, 0, nullptr));
    EXPECT_EQ(0, discoverer->SendDiscoveryMessage(3, {}, 1, nullptr));

    const int32_t first = discoverer->SendDiscoveryMessage(DISCOVERY_NOTIFICATION, {{"Event", "JustOnline"}}, 1, nullptr);
    EXPECT_EQ("**Q*V*T*V*Q*[00000001]Notification;Event=JustOnline;", listener.Receive());
    EXPECT_EQ(52, first);
    const std::string asker = "127.0.0.1";
    discoverer->SendDiscoveryMessage(DISCOVERY_I_AM, {{"PSN", "X"}}, 0, &asker);
    EXPECT_EQ("**Q*V*T*V*Q*[00000001]I-am-KOV;PSN=X;", listener.Receive()); // answers do not count up
    discoverer->SendDiscoveryMessage(DISCOVERY_NOTIFICATION, {{"Event", "RecordStarted"}}, 1, nullptr);
    EXPECT_EQ("**Q*V*T*V*Q*[00000002]Notification;Event=RecordStarted;", listener.Receive());
    // The answer waited out 50 ms after the first send, the second notification 400 ms after the first.
    const auto sleeps = clock.Sleeps();
    ASSERT_EQ(2u, sleeps.size());
    EXPECT_EQ(50u, sleeps[0]);
    EXPECT_EQ(350u, sleeps[1]);

    // The full information with long URLs loses whole optional fields, never a cut value.
    stServerInfo info;
    CopyServerInfoText(info.PSN, "SN1");
    CopyServerInfoText(info.LiveBCUrl, "rtmp://10.0.0.1/live/" + std::string(100, 'l'));
    CopyServerInfoText(info.PreviewURL, "rtsp://10.0.0.1/" + std::string(110, 'p'));
    CopyServerInfoText(info.FtpRecordPath, std::string(31, 'f'));
    DiscoveryFields fields;
    CQorServerDiscover::BuildServerInfo(fields, info);
    ASSERT_GT(discoverer->SendDiscoveryMessage(DISCOVERY_I_AM, fields, 0, &asker), 0);
    const std::string fitted = listener.Receive();
    EXPECT_LE(fitted.size(), DISCOVERY_MAX_DATAGRAM);
    EXPECT_EQ(std::string::npos, fitted.find("PreviewURL="));
    EXPECT_NE(std::string::npos, fitted.find("PSN=SN1;"));
    const stDiscoveryMessage read = Parse(fitted);
    ASSERT_EQ(DISCOVERY_I_AM, read.type);
    EXPECT_EQ(std::string(info.LiveBCUrl), read.fields.at("LiveBCUrl"));

    DiscoveryFields huge;
    for (int i = 0; i < 20; ++i)
        huge["Key" + std::to_string(i)] = std::string(127, 'v');
    EXPECT_EQ(-2, discoverer->SendDiscoveryMessage(DISCOVERY_I_AM, huge, 0, &asker));
    const std::string bad = "not-an-address";
    EXPECT_EQ(-1, discoverer->SendDiscoveryMessage(DISCOVERY_I_AM, {{"PSN", "X"}}, 0, &bad));

    discoverer->Stop();
    EXPECT_EQ(-1, discoverer->SendDiscoveryMessage(DISCOVERY_NOTIFICATION, {{"Event", "TobeOffline"}}, 1, nullptr));
}

// A writer's start and stop, sent by the event thread through a real discoverer, reach a peer's
// discoverer as the writer event they are.
TEST_F(DiscoveryLoopbackTest, WriterEventsOfTheEventThreadReachAPeerAsTheirEvent)
{
    ClearTYXEventQueue();
    CTYXGVMS::ResetForTests();
    CTYXGVMS::GeneralSettings().RecordWriter = L"Rec1";
    CTYXGVMS::GeneralSettings().LiveBCWriter = L"Live1";
    stFakeClock senderClock;
    CRequestLog senderLog;
    auto sender = std::make_shared<CQorServerDiscover>(
        "127.0.0.1", LoopbackOptions(senderClock, senderLog, discoverer->ReceivePort()));
    CTYXEventThread thread;
    thread.SetUnitSerial("SN-7");
    thread.SetNotifier(sender);
    ASSERT_EQ(0, thread.Start());

    stTYXEvent stopped;
    stopped.type = TYX_EVENT_OUTPUT_STOPPED;
    stopped.attributes["WorkerName"] = stTYXEventValue::WText(L"Rec1");
    stopped.attributes["Reason"] = stTYXEventValue::Text("On demand.");
    ASSERT_GT(ReportTYXEvent(stopped), 0);
    const auto messages = log.WaitFor(1);
    EXPECT_EQ(0, thread.StopEventProcThread());
    ASSERT_EQ(1u, messages.size()) << "the peer dropped the notification";
    EXPECT_EQ(DISCOVERY_NOTIFICATION, messages[0].type);
    EXPECT_EQ("RecordStopped", messages[0].fields.at("Event"));
    EXPECT_EQ("RecordStopped", messages[0].fields.at("EventName"));
    EXPECT_EQ("ALLRECORDING", messages[0].fields.at("WorkerName"));
    EXPECT_EQ("SN-7", messages[0].fields.at("PSN"));
    sender->Stop();
    CTYXGVMS::ResetForTests();
}

TEST(DiscoveryNetworkTest, FirstNotificationGoesToTheDirectedBroadcastWithTheHostNumber)
{
    const stNamespaceResult result = RunInNamespaces([](CChildChecks &check) {
        stAdapterScope scope;
        scope.acceptVirtual = true;
        stAdapterAddressSettings address;
        address.AddressFamily = ADAPTER_FAMILY_IPV4;
        std::wcscpy(address.IPAddress, L"10.200.0.23");
        std::wcscpy(address.SubnetMask, L"255.255.255.0");
        if (CreateVethPair("tyxa", "tyxb") != 0 || SetAdapterAddress(address, scope) != 0) {
            check.Expect(false, "network set-up");
            return;
        }
        CTestUdpSocket listener("0.0.0.0", DISCOVERY_ANSWER_PORT);
        stDiscoveryOptions options;
        options.readAdapter = [scope](stAdapterAddressSettings &settings) {
            return GetNetworkAdapters(settings, scope);
        };
        CQorServerDiscover discoverer("127.0.0.1", options);
        check.Expect(discoverer.DefaultDestination() == "10.200.0.255", "directed broadcast");
        check.Expect(discoverer.ReceivePort() == DISCOVERY_REQUEST_PORT, "request port");
        check.Expect(discoverer.SendDiscoveryMessage(DISCOVERY_NOTIFICATION, {{"Event", "JustOnline"}}, 1,
                                                     nullptr) > 0,
                     "sent");
        const std::string text = listener.Receive();
        check.Expect(text == "**Q*V*T*V*Q*[01507329]Notification;Event=JustOnline;", "first notification: " + text);
    });
    if (result.skipped)
        GTEST_SKIP() << result.reason;
    EXPECT_EQ("", result.failures);
}

} // namespace
