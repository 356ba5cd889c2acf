#include "RcmTestClient.h"

#include "../output/WriterTestSupport.h"
#include "config/ConfigXmlDocument.h"
#include "core/debuglog.h"
#include "host/GlobalVars.h"
#include "rcm/RCInDemandGraphOps.h"
#include "rcm/RCProcFuncs.h"
#include "rcm/RcmCommandCheck.h"
#include "rcm/RcmTables.h"
#include "rcm/TYXCtrl_Web.h"
#include "rcm/TYXStatusInfo.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "support/Wait.h"
#include "vproc/OsdWriter.h"
#include "vproc/OverlayCommands.h"
#include "vproc/RVProcWorker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr int64_t kBase = 1700000000000000;

// The in-demand side as a recorder: what was asked and with which values.
class CFakeOps : public CRCInDemandOps
{
public:
    void RequestServiceExit(int32_t action, uint32_t delay) override { exits.emplace_back(action, delay); }
    int32_t SetAdapterAddress(const stRcAddressRequest &request) override
    {
        addresses.push_back(request);
        return adapterResult;
    }
    int32_t SignalMoxExit() override
    {
        ++moxSignals;
        return moxEvent ? 0 : TYX_RC_NO_OBJECT;
    }
    int32_t StartModuleProcess() override
    {
        ++moxStarts;
        return 4321;
    }
    int32_t StopFfmpegAudio() override
    {
        ++audioStops;
        return 0;
    }
    int32_t ChangeMuxLayoutOnDemand(int32_t layout, const std::wstring &sources, const std::wstring &) override
    {
        layouts.emplace_back(layout, sources);
        return 4;
    }
    std::wstring SettingsFile() override { return settings; }
    int64_t HostBootTime() override { return 1700000000; }

    std::vector<std::pair<int32_t, uint32_t>> exits;
    std::vector<stRcAddressRequest> addresses;
    std::vector<std::pair<int32_t, std::wstring>> layouts;
    int32_t adapterResult = 0;
    bool moxEvent = true;
    int moxSignals = 0, moxStarts = 0, audioStops = 0;
    std::wstring settings;
};

class RcmExecutorTest : public ::testing::Test
{
protected:
    void SetUp() override { CTYXGVMS::ResetForTests(); }
    void TearDown() override { CTYXGVMS::ResetForTests(); }

    int32_t Run(const std::string &name, std::initializer_list<std::pair<const wchar_t *, const wchar_t *>> params = {},
                std::vector<uint8_t> *reply = nullptr)
    {
        RcmParamMap map;
        for (const auto &[key, value] : params)
            map.emplace(key, value);
        stRCCommand command;
        const int32_t checked = CheckRcmCommand(name, map, command);
        EXPECT_EQ(checked, 0) << name;
        std::vector<uint8_t> ignored;
        return m_executor.OnRCCmd(RcmCommandCodeTable().at(name), command, reply ? *reply : ignored);
    }

    // The executor behind a real HTTP server on 127.0.0.1 with one operator "op", who waits for
    // the results; null when it could not listen.
    std::unique_ptr<CRCMWebWin> ServeOverHttp(uint16_t &port)
    {
        auto executor = std::make_shared<CRCCommandExecutor>(m_ops, false);
        auto server = std::make_unique<CRCMWebWin>(
            [executor](uint16_t code, const stRCCommand &command, std::vector<uint8_t> &reply) {
                return executor->OnRCCmd(code, command, reply);
            });
        RcmUserMap users;
        users[L"op"] = stRcmUser{L"op", L"pw", 1, 31, L""};
        server->SetUsers(users);
        server->SetSendAckBeforeCmdFinish(false);
        port = FreeTcpPort();
        if (server->ListenRequests(true, false, port, 0) != 0)
            return nullptr;
        return server;
    }

    // The harness's writer entered in the registries under the name the commands give.
    static void PublishWriter(CWriterHarness &harness, const wchar_t *name)
    {
        auto record = std::make_shared<stMediaWriteWorkerInstanceInfo>();
        record->WorkerId = static_cast<int32_t>(CWriterHarness::kWriterId);
        record->Name = name;
        record->Worker = harness.SharedWorker();
        ASSERT_EQ(CTYXGVMS::PublishWorkerInstance(record), 0);
    }

    std::shared_ptr<CFakeOps> m_ops = std::make_shared<CFakeOps>();
    CRCCommandExecutor m_executor{m_ops, false};
};

TEST_F(RcmExecutorTest, StartGateOpensWithStartWork)
{
    CRCCommandExecutor gated(m_ops, true);
    std::vector<uint8_t> reply;
    EXPECT_EQ(gated.OnRCCmd(RCM_CMD_GET_TYX_STATUS, {}, reply), TYX_RC_WAITING_START);
    EXPECT_EQ(gated.OnRCCmd(406, {}, reply), TYX_RC_WAITING_START);
    EXPECT_TRUE(m_ops->exits.empty());
    EXPECT_FALSE(gated.WaitForStart(0));
    EXPECT_EQ(gated.OnRCCmd(264, {}, reply), 0);
    EXPECT_TRUE(gated.WaitForStart(0));
    EXPECT_EQ(gated.OnRCCmd(RCM_CMD_GET_TYX_STATUS, {}, reply), 0);
    EXPECT_EQ(reply.size(), sizeof(stTYXStatusInfo));
}

TEST_F(RcmExecutorTest, UnsupportedAndEmptyCommands)
{
    std::vector<uint8_t> reply;
    for (uint16_t code : {0x103, 0x10d, 0x126})
        EXPECT_EQ(m_executor.OnRCCmd(code, {}, reply), TYX_RC_NOT_SUPPORTED) << code;
    for (uint16_t code : {0x106, 0x107, 0x109, 0x131, 0x180, 0x177})
        EXPECT_EQ(m_executor.OnRCCmd(code, {}, reply), 0) << code;
    EXPECT_TRUE(reply.empty());
    // Until the graph side is wired, its commands fail with the unsupported code.
    CLogCapture log;
    EXPECT_EQ(Run("AddInputVideo", {{L"VSAlias", L"cam"}, {L"InputURL", L"rtsp://h/x"}}), TYX_RC_NOT_SUPPORTED);
    EXPECT_TRUE(log.Contains(L"Failed (Err=-32768) while Adding new video source(Alias=cam) into TYX!", 3));
    EXPECT_EQ(Run("OSDSetText", {{L"OsdId", L"3"}, {L"OsdText", L"x"}}), TYX_RC_NOT_SUPPORTED);
}

TEST_F(RcmExecutorTest, ExitRequestsCarryTheirActions)
{
    EXPECT_EQ(Run("ServiceExit", {{L"RestartAfterSecs", L"0"}}), 0);
    EXPECT_EQ(Run("ServiceExit", {{L"RestartAfterSecs", L"30"}}), 0);
    EXPECT_EQ(Run("KOVRestart"), 0);
    EXPECT_EQ(Run("KOVShutdown"), 0);
    EXPECT_EQ(Run("GotoDebugMode"), 0);
    const std::vector<std::pair<int32_t, uint32_t>> expected = {{0, 0}, {3, 30}, {2, 0}, {1, 0}, {0, 0}};
    EXPECT_EQ(m_ops->exits, expected);

    // The default operation goes through the program-wide exit request.
    auto event = std::make_shared<CEvent>(true);
    CTYXGVMS::SetExitRequestEvent(event);
    CRCInDemandOps plain;
    plain.RequestServiceExit(3, 12);
    EXPECT_TRUE(event->IsSet());
    EXPECT_EQ(CTYXGVMS::ExitAction().load(), 3);
    EXPECT_EQ(CTYXGVMS::ExitDelay().load(), 12);
}

TEST_F(RcmExecutorTest, CompanionBranches)
{
    CTYXGVMS::MoxConfig().MOXInLocal = true;
    EXPECT_EQ(Run("MOXExit"), 0);
    m_ops->moxEvent = false;
    EXPECT_EQ(Run("MOXExit"), TYX_RC_NO_OBJECT);
    EXPECT_EQ(Run("MOXStart"), 4321);
    CTYXGVMS::MoxConfig().MOXInLocal = false;
    CTYXGVMS::MoxConfig().UseFpgAudio = true;
    EXPECT_EQ(Run("MOXExit"), 0);
    EXPECT_EQ(m_ops->audioStops, 1);
    CTYXGVMS::MoxConfig().UseFpgAudio = false;
    EXPECT_EQ(Run("MOXStart"), TYX_RC_NO_COMPANION);
}

TEST_F(RcmExecutorTest, ServerAddressRecordAndReboot)
{
    stRCCommand command;
    std::vector<uint8_t> reply;
    command.Number1 = 6 << 16;
    EXPECT_EQ(m_executor.OnRCCmd(371, command, reply), TYX_RC_BAD_FAMILY);
    EXPECT_TRUE(m_ops->addresses.empty());

    EXPECT_EQ(Run("SetServerAddr", {{L"IPAddr", L"192.168.100.100x"}, {L"NetMask", L"255.255.255.0"}}), 0);
    ASSERT_EQ(m_ops->addresses.size(), 1u);
    EXPECT_TRUE(m_ops->addresses[0].Address.empty()); // 16 characters do not fit
    EXPECT_EQ(m_ops->addresses[0].Mask, L"255.255.255.0");
    ASSERT_EQ(m_ops->exits.size(), 1u);
    EXPECT_EQ(m_ops->exits[0], std::make_pair(2, 0u));

    // A failed change is reported and does not reboot the host.
    m_ops->adapterResult = -1;
    EXPECT_EQ(Run("SetServerAddr", {{L"IPAddr", L"10.0.0.2"}}), -1);
    EXPECT_EQ(m_ops->exits.size(), 1u);
}

TEST_F(RcmExecutorTest, MuxLayoutAndLookups)
{
    stRCCommand command;
    std::vector<uint8_t> reply;
    command.Number1 = 22;
    command.Texts[0] = "a;b";
    EXPECT_EQ(m_executor.OnRCCmd(275, command, reply), TYX_RC_NOT_SUPPORTED);
    command.Number1 = 4;
    command.Texts[0] = ";;";
    EXPECT_EQ(m_executor.OnRCCmd(275, command, reply), TYX_RC_NO_SOURCES);
    EXPECT_EQ(Run("ChangeMuxLayout", {{L"NewLayout", L"4Divide-Equ"}, {L"VSList", L"a;b;"}}), 4);
    ASSERT_EQ(m_ops->layouts.size(), 1u);
    EXPECT_EQ(m_ops->layouts[0], std::make_pair(4, std::wstring(L"a;b;")));
    // No mux at all.
    EXPECT_EQ(Run("ChangeRegionInput", {{L"RegionNo", L"1"}, {L"VSAlias", L"cam"}}), TYX_RC_NO_SUCH_ALIAS);
    EXPECT_EQ(Run("ChangeMuxFocus", {{L"VSAlias", L"cam"}}), TYX_RC_NO_SUCH_ALIAS);
    // Overlay numbers.
    EXPECT_EQ(Run("OSDControl", {{L"OsdId", L"3073"}, {L"Action", L"Start"}}), TYX_RC_NO_OWNER);
    EXPECT_EQ(Run("OSDControl", {{L"OsdId", L"5"}, {L"Action", L"Start"}}), TYX_RC_NO_SUCH_ID);
    stTYXOSDConfig osd;
    osd.OwnerWorkerId = 0x06010000;
    CTYXGVMS::OSDConfigs()[1] = osd;
    EXPECT_EQ(Run("OSDControl", {{L"OsdId", L"2049"}, {L"Action", L"Stop"}}), TYX_RC_NO_OWNER);
    EXPECT_EQ(Run("OSDControl", {{L"OsdId", L"2050"}, {L"Action", L"Stop"}}), TYX_RC_NO_SUCH_ID);
    // Writers.
    EXPECT_EQ(Run("MediaWriterControl", {{L"WorkerAlias", L"nobody"}, {L"Action", L"Start"}}), TYX_RC_NO_SUCH_ALIAS);
    command = stRCCommand{};
    command.Number1 = 0x10990004;
    EXPECT_EQ(m_executor.OnRCCmd(257, command, reply), TYX_RC_NO_SUCH_ID);
    command.Number1 = 0;
    EXPECT_EQ(m_executor.OnRCCmd(257, command, reply), TYX_RC_NO_SUCH_ALIAS);
    EXPECT_EQ(Run("SetLiveBCURL", {{L"LiveBCURL", L"rtmp://h/live"}}), TYX_RC_NO_SUCH_ID);
}

// A settings file that cannot be read fails the write-back, never the config thread: every later
// config command is still answered.
TEST_F(RcmExecutorTest, AnUnreadableSettingsFileLeavesTheConfigThreadServing)
{
    CTempDir dir;
    ASSERT_TRUE(fs::create_directory(dir.File("TyxServiceMain.ini")));
    m_ops->settings = dir.File("TyxServiceMain.ini").wstring();
    CTYXGVMS::RcmTcpListenPort() = 1225;
    uint16_t port = 0;
    const std::unique_ptr<CRCMWebWin> server = ServeOverHttp(port);
    ASSERT_NE(server, nullptr);
    CRcmTestClient client(port);
    const std::string id = client.LogIn("op");
    const std::string keys = "&WaitResult=Yes&SESSIONID=" + id;
    for (int sn = 2; sn < 4; ++sn) {
        const stRawResponse reply = client.Request("PUT", "/TYXRCMAPI/CONFIG/SetServerRCPort?CMDSN=" +
                                                              std::to_string(sn) + keys,
                                                   "tyxPort=" + std::to_string(2000 + sn) + "&moxPort=0");
        EXPECT_EQ(reply.status, 200) << sn;
        EXPECT_EQ(reply.body, "CommandSN=" + std::to_string(sn));
    }
    EXPECT_EQ(client.Request("PUT", "/TYXRCMAPI/CONFIG/SetTRVKInfo?CMDSN=4" + keys).status, 200);
    EXPECT_TRUE(fs::is_directory(dir.File("TyxServiceMain.ini")));
}

TEST_F(RcmExecutorTest, ControlPortChangesRestartTheProgram)
{
    CTempDir dir;
    m_ops->settings = dir.File("TYXSettings.ini").wstring();
    CTYXGVMS::RcmTcpListenPort() = 1225;
    EXPECT_EQ(Run("SetServerRCPort", {{L"tyxPort", L"1225"}, {L"moxPort", L"0"}}), 0);
    EXPECT_TRUE(m_ops->exits.empty());

    EXPECT_EQ(Run("SetServerRCPort", {{L"tyxPort", L"2000"}, {L"moxPort", L"0"}}), 0);
    EXPECT_EQ(CTYXGVMS::RcmTcpListenPort().load(), 2000);
    std::ifstream ini(dir.File("TYXSettings.ini"));
    const std::string text((std::istreambuf_iterator<char>(ini)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("CtrlPort=2000"), std::string::npos);
    ASSERT_EQ(m_ops->exits.size(), 1u);
    EXPECT_EQ(m_ops->exits[0], std::make_pair(3, 60u));

    // The companion's own port goes into its configuration and restarts it.
    CTYXGVMS::MoxConfig().MOXInLocal = true;
    CTYXGVMS::MoxConfig().MOXPath = dir.Path().wstring();
    CTYXGVMS::MoxConfig().MOXConfigFile = L"MoxConfig.xml";
    std::ofstream(dir.File("MoxConfig.xml")) << "<?xml version=\"1.0\"?>\n<config><MOXGeneral><CtrlPort>1300</CtrlPort>"
                                                "</MOXGeneral></config>\n";
    EXPECT_EQ(Run("SetServerRCPort", {{L"tyxPort", L"0"}, {L"moxPort", L"1400"}}), 0);
    CConfigXmlDocument document;
    ASSERT_EQ(document.Load(dir.File("MoxConfig.xml").wstring()), 0);
    stConfigValue value;
    ASSERT_EQ(document.GetNodeValue(L"/config/MOXGeneral", L"CtrlPort", CFG_VALUE_INT32, value), 0);
    EXPECT_EQ(value.integer, 1400);
    EXPECT_EQ(m_ops->moxSignals, 1);
    EXPECT_EQ(m_ops->moxStarts, 1);
    EXPECT_EQ(m_ops->exits.size(), 2u);

    // A companion file without the element is left alone and the companion keeps running.
    std::ofstream(dir.File("MoxConfig.xml")) << "<?xml version=\"1.0\"?>\n<config><Other/></config>\n";
    EXPECT_EQ(Run("SetServerRCPort", {{L"tyxPort", L"0"}, {L"moxPort", L"1500"}}), 0);
    EXPECT_EQ(m_ops->moxSignals, 1);
    EXPECT_EQ(m_ops->exits.size(), 2u);

    // The default settings file lies beside the program.
    CTYXGVMS::ProgramFolder() = dir.Path().wstring();
    CRCInDemandOps plain;
    EXPECT_EQ(plain.SettingsFile(), dir.File("TyxServiceMain.ini").wstring());
}

class CPictureWorker : public CRVProcWorker
{
public:
    explicit CPictureWorker(uint32_t id) : CRVProcWorker(id, nullptr, nullptr, TYX_KIND_VIDEO_DECODER, false, false) {}
    uint32_t WorkingFunc() override { return 0; }
};

// Texts and graphics on a video worker of the registries, shown, hidden and removed by commands,
// through the operations given.
void RunOverlayCommands(const std::shared_ptr<CRCInDemandOps> &operations)
{
    CRCCommandExecutor executor(operations, false);
    auto worker = std::make_shared<CPictureWorker>(0x02010000);
    auto record = std::make_shared<stVideoDecodeWorkerInstanceInfo>();
    record->WorkerId = 0x02010000;
    record->Name = L"Cam1";
    record->Worker = worker;
    ASSERT_EQ(CTYXGVMS::PublishWorkerInstance(record), 0);
    const auto run = [&](const std::string &name, std::initializer_list<std::pair<const wchar_t *, const wchar_t *>> params) {
        RcmParamMap map;
        for (const auto &[key, value] : params)
            map.emplace(key, value);
        stRCCommand command;
        EXPECT_EQ(CheckRcmCommand(name, map, command), 0) << name;
        std::vector<uint8_t> reply;
        return executor.OnRCCmd(RcmCommandCodeTable().at(name), command, reply);
    };

    const int32_t number = run("AddNewInputOSD", {{L"osdType", L"StaticText"}, {L"posBase", L"LeftTopCorner"},
                                                  {L"txtColor", L"Yellow"}, {L"txtHeight", L"24"},
                                                  {L"VideoAlias", L"Cam1"}, {L"OsdText", L"Gate 3"}});
    ASSERT_GE(number, 1);
    const auto writer = worker->GetOsdWriter(TYX_OVERLAY_OUTPUT, 0);
    ASSERT_NE(writer, nullptr);
    stOsdItem item;
    ASSERT_TRUE(writer->GetOsdItem(static_cast<uint16_t>(number), item));
    EXPECT_TRUE(item.visible);
    const std::wstring id = std::to_wstring(number);
    EXPECT_EQ(run("OSDControl", {{L"OsdId", id.c_str()}, {L"Action", L"Stop"}}), 0);
    ASSERT_TRUE(writer->GetOsdItem(static_cast<uint16_t>(number), item));
    EXPECT_FALSE(item.visible);
    EXPECT_EQ(run("OSDControl", {{L"OsdId", id.c_str()}, {L"Action", L"Start"}}), 0);
    ASSERT_TRUE(writer->GetOsdItem(static_cast<uint16_t>(number), item));
    EXPECT_TRUE(item.visible);
    EXPECT_EQ(run("RemoveOsd", {{L"OsdId", id.c_str()}}), 0);
    EXPECT_FALSE(writer->GetOsdItem(static_cast<uint16_t>(number), item));
    EXPECT_EQ(run("RemoveOsd", {{L"OsdId", id.c_str()}}), TYX_RC_NO_SUCH_ID);

    // An OSD that is registered but that its running owner does not draw fails in every command.
    const int32_t undrawn = run("AddNewInputOSD", {{L"osdType", L"StaticText"}, {L"posBase", L"Center"},
                                                   {L"txtHeight", L"24"}, {L"VideoAlias", L"Cam1"}, {L"OsdText", L"x"}});
    ASSERT_GE(undrawn, 1);
    ASSERT_EQ(writer->RemoveOsd(static_cast<uint16_t>(undrawn)), 0);
    const std::wstring undrawnId = std::to_wstring(undrawn);
    EXPECT_EQ(run("OSDControl", {{L"OsdId", undrawnId.c_str()}, {L"Action", L"Stop"}}), TYX_RC_NO_SUCH_ID);
    EXPECT_LT(run("OSDSetText", {{L"OsdId", undrawnId.c_str()}, {L"OsdText", L"y"}}), 0);
    EXPECT_EQ(run("RemoveOsd", {{L"OsdId", undrawnId.c_str()}}), TYX_RC_NO_SUCH_ID);
    EXPECT_EQ(run("AddNewInputOSD",
                  {{L"osdType", L"Time"}, {L"posBase", L"Center"}, {L"txtHeight", L"32"}, {L"VideoAlias", L"Nobody"}}),
              TYX_RC_NO_OWNER);

    std::string definition = "b:gmtTp=8,Rds=7,;a:gmtTp=1,StrtX=3,;";
    definition += "zz:" + std::string(64 - definition.size() - 3, 'p');
    const std::wstring wide(definition.begin(), definition.end());
    const int32_t group = run("AddOSGGeometry", {{L"VideoAlias", L"Cam1"}, {L"OSGStrmPos", L"VideoOutput"},
                                                 {L"GeometryNum", L"2"}, {L"OSGData", wide.c_str()}});
    ASSERT_GE(group, 1);
    EXPECT_EQ(GetOsgItemIds(static_cast<uint16_t>(group)).size(), 2u);
    EXPECT_EQ(run("AddOSGGeometry", {{L"VideoAlias", L"Cam1"}, {L"OSGStrmPos", L"VideoOutput"}, {L"OSGData", L"short"}}),
              -1);
    const std::wstring groupId = std::to_wstring(group);
    EXPECT_GE(run("RemoveOSGGeometry", {{L"nOsgGroupId", groupId.c_str()}}), 0);
    EXPECT_TRUE(GetOsgItemIds(static_cast<uint16_t>(group)).empty());
    // A reference names the video as well as its alias does; a name nobody has is a failure.
    EXPECT_GE(run("AddOSGGeometry", {{L"VideoAlias", L"VideoDecoders.Cam1"}, {L"OSGStrmPos", L"VideoOutput"},
                                     {L"GeometryNum", L"2"}, {L"OSGData", wide.c_str()}}),
              1);
    EXPECT_LT(run("AddOSGGeometry", {{L"VideoAlias", L"Nobody"}, {L"OSGStrmPos", L"VideoOutput"},
                                     {L"GeometryNum", L"2"}, {L"OSGData", wide.c_str()}}),
              0);
    ClearOsgRegistry();
}

TEST_F(RcmExecutorTest, OverlaysOnARegisteredVideoWorker)
{
    RunOverlayCommands(std::make_shared<CRCInDemandOps>());
}

// The program runs the commands through its own operations: they take the same aliases.
TEST_F(RcmExecutorTest, TheProgramsOperationsTakeTheSameOverlayCommands)
{
    RunOverlayCommands(std::make_shared<CRCInDemandGraphOps>(stInDemandGraph{}));
}

const CTestEncoder &Clip()
{
    static CTestEncoder encoder;
    static const bool made = encoder.Encode(stTestEncodeSpec{});
    EXPECT_TRUE(made);
    return encoder;
}

// A real recording writer in the registries, started and stopped by remote commands over HTTP.
TEST_F(RcmExecutorTest, RecordingStartedAndStoppedOverHttp)
{
    CTempDir dir;
    CTYXGVMS::GeneralSettings().RecordWriter = L"RecWriter";
    CWriterHarness harness(Clip(), true);
    harness.Worker().SetMaxWaitMs(20);
    const stMediaWriteWorkerConfig config = CWriterHarness::RecordConfig(dir.Path(), true);
    CTYXGVMS::MWriterConfigs()[config.Name] = config;
    ASSERT_EQ(harness.Start(config, false), 0);
    ASSERT_NO_FATAL_FAILURE(PublishWriter(harness, L"RecWriter"));

    uint16_t port = 0;
    const std::unique_ptr<CRCMWebWin> server = ServeOverHttp(port);
    ASSERT_NE(server, nullptr);
    CRcmTestClient client(port);
    const std::string id = client.LogIn("op");
    const std::string keys = "&WaitResult=Yes&SESSIONID=" + id;

    EXPECT_EQ(client.Request("POST", "/TYXRCMAPI/CONTROL/SetCaseInfo?CMDSN=2" + keys,
                             "caseNo=C-7&CycleName=3&caseName=Hearing")
                  .status,
              200);
    EXPECT_EQ(harness.Worker().GetCaseNumber(), L"C-7");
    EXPECT_EQ(harness.Worker().GetCaseName(), L"Hearing");
    EXPECT_EQ(harness.Worker().GetCycleNumber(), L"3");
    // A case text that cannot be part of a file name changes nothing, and the client is told so.
    const stRawResponse refused = client.Request("POST", "/TYXRCMAPI/CONTROL/SetCaseInfo?CMDSN=2" + keys,
                                                 "caseNo=..%2F..%2Fx&CycleName=3&caseName=Hearing");
    EXPECT_EQ(refused.status, 406);
    EXPECT_EQ(refused.body, "Invalid Parameter ValueCommandSN=2");
    EXPECT_EQ(harness.Worker().GetCaseNumber(), L"C-7");

    EXPECT_EQ(client.Request("POST", "/TYXRCMAPI/CONTROL/MediaWriterControl?CMDSN=3" + keys,
                             "WorkerAlias=ALLRECORDING&Action=Start")
                  .status,
              200);
    harness.Feed(kBase, 0, 3000000);
    ASSERT_TRUE(WaitUntil([&] { return harness.Worker().IsOutputOpened(); }, 20000));
    ASSERT_TRUE(harness.WaitDrained(20000));
    stRawResponse status = client.Request("GET", "/TYXRCMAPI/QUERY/GetTYXStatus?CMDSN=4" + keys);
    EXPECT_NE(status.body.find("Recording: On;"), std::string::npos) << status.body;
    EXPECT_NE(status.body.find("Case No: C-7; CaseName: Hearing;"), std::string::npos) << status.body;
    const stRawResponse workers = client.Request("GET", "/TYXRCMAPI/QUERY/GetWorkersStatus?CMDSN=5" + keys);
    EXPECT_NE(workers.body.find("MediaWriter=RecWriter; Id=0x10010004;"), std::string::npos) << workers.body;

    std::vector<uint8_t> reply;
    stRCCommand stop;
    stop.Texts[0] = "ALLRECORDING";
    stop.Number2 = 0;
    EXPECT_EQ(m_executor.OnRCCmd(257, stop, reply), 0);
    EXPECT_EQ(std::string(reply.begin(), reply.end()), std::string("RecordFileList.txt", 19));
    ASSERT_TRUE(WaitUntil([&] { return harness.Worker().GetWorkingStep() == TYX_MW_STEP_IDLE; }, 20000));
    // A second stop right after the first is refused, over HTTP too.
    const stRawResponse again = client.Request("POST", "/TYXRCMAPI/CONTROL/MediaWriterControl?CMDSN=6" + keys,
                                               "WorkerAlias=RecWriter&Action=Stop");
    EXPECT_EQ(again.status, 500);

    const std::vector<fs::path> files = ListRecordings(dir.Path());
    ASSERT_EQ(files.size(), 1u);
    const stProbedFile probe = ProbeRecording(files[0]);
    ASSERT_TRUE(probe.opened);
    ASSERT_TRUE(probe.Video());
    EXPECT_TRUE(probe.Video()->firstKey);
    EXPECT_GT(probe.Video()->packets, 0);
    server->Close();
    EXPECT_EQ(harness.Stop(), 0);
}

// A line break in a remote text shows as an escape in the log: no remote command makes a line that
// no code wrote. The live-broadcast writer refuses such a URL, and the client hears that nothing
// changed.
TEST_F(RcmExecutorTest, RemoteTextsCannotForgeLogLines)
{
    CTempDir dir;
    const fs::path logFile = dir.File("TYXDebug_2026-12-08.log");
    ASSERT_EQ(StartDebugLog(5, logFile.wstring()), 0);
    CTYXGVMS::GeneralSettings().LiveBCWriter = L"PushWriter";
    CWriterHarness harness(Clip(), false);
    ASSERT_EQ(harness.Start(CWriterHarness::PushConfig(TYX_WRITER_RTMP, "rtmp://127.0.0.1:1/x", false), false), 0);
    ASSERT_NO_FATAL_FAILURE(PublishWriter(harness, L"PushWriter"));

    uint16_t port = 0;
    const std::unique_ptr<CRCMWebWin> server = ServeOverHttp(port);
    ASSERT_NE(server, nullptr);
    CRcmTestClient client(port);
    const std::string id = client.LogIn("op");
    const std::string keys = "?CMDSN=5&WaitResult=Yes&SESSIONID=" + id;
    const std::string forged = UrlEncoded("\r\n[TRLSEC]\r\nTRLKEY=1");

    const stRawResponse url = client.Request("PUT", "/TYXRCMAPI/CONFIG/SetLiveBCURL" + keys,
                                             "LiveBCURL=" + UrlEncoded("rtmp://127.0.0.1:9/x") + forged);
    EXPECT_EQ(url.status, 406);
    EXPECT_EQ(url.body, "Invalid Parameter ValueCommandSN=5");
    EXPECT_EQ(harness.Worker().GetDestination(), L"rtmp://127.0.0.1:1/x");
    EXPECT_EQ(client.Request("POST", "/TYXRCMAPI/CONTROL/MediaWriterControl" + keys,
                             "WorkerAlias=cam" + forged + "&Action=Start")
                  .status,
              500);
    EXPECT_EQ(client.Request("POST", "/TYXRCMAPI/CONTROL/AddInputVideo" + keys,
                             "VSAlias=cam" + forged + "&InputURL=rtsp%3A%2F%2F127.0.0.1%3A9%2Fx")
                  .status,
              500);
    server->Close();
    EXPECT_EQ(harness.Stop(), 0);
    StopDebugLog();

    std::ifstream in(logFile, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    for (std::string line; std::getline(text, line);) {
        EXPECT_NE(line.rfind("[TRLSEC]", 0), 0u) << "a line that no code wrote: " << line;
        EXPECT_NE(line.rfind("TRLKEY=1", 0), 0u) << "a line that no code wrote: " << line;
    }
    const std::string escaped = "\\r\\n[TRLSEC]\\r\\nTRLKEY=1";
    for (const std::string &shown : {"Dest media(URL=rtmp://127.0.0.1:9/x" + escaped + ") refused: not a RTMP address!",
                                     "Media-writer controling refused for unknown alias(cam" + escaped + ") received.",
                                     "[In demand]Add new video source(Alias=cam" + escaped + ") into TYX..."})
        EXPECT_NE(text.str().find(shown), std::string::npos) << shown;
}

} // namespace
