// Remote commands that reach the in-demand operations, end to end: HTTP request, server, checks,
// executor, the operations on the registries and workers.

#include "RcmTestClient.h"

#include "host/GlobalVars.h"
#include "rcm/RCInDemandGraphOps.h"
#include "rcm/RCProcFuncs.h"
#include "rcm/TYXCtrl_Web.h"
#include "vproc/OSGdrawer.h"
#include "vproc/OverlayCommands.h"
#include "vproc/RVProcWorker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>

namespace {

class CIdleVideoWorker : public CRVProcWorker
{
public:
    CIdleVideoWorker(uint32_t id, const InputLinkMap *inputs, int32_t kind)
        : CRVProcWorker(id, inputs, nullptr, kind, false, false)
    {
    }
    uint32_t WorkingFunc() override
    {
        m_exitEvent->Wait();
        return 0;
    }
};

stInDemandGraph IdleGraph()
{
    stInDemandGraph graph;
    graph.create = [](int32_t kind, stTYXWorkerConfig *config, stTYXWorkerInstanceInfo *record) {
        CTYXWorker::InputLinkMap inputs;
        if (kind != TYX_KIND_MEDIA_READER) {
            for (const stTYXWorkerItemInfo &item : config->GetInputItems()) {
                stWorkerInputLink link;
                link.CreateQueue();
                link.consumerId = static_cast<uint32_t>(config->WorkerId);
                inputs[static_cast<uint32_t>(item.Id)] = link;
                CTYXGVMS::AddConsumerLink(static_cast<uint32_t>(item.Id), config->WorkerId, link);
            }
        }
        record->CopyFromConfig(config);
        record->Worker = std::make_shared<CIdleVideoWorker>(static_cast<uint32_t>(config->WorkerId), &inputs, kind);
        return 0;
    };
    return graph;
}

class InDemandHttpTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CTYXGVMS::ResetForTests();
        ClearOsgRegistry();
        m_server = std::make_unique<CRCMWebWin>(
            [this](uint16_t code, const stRCCommand &command, std::vector<uint8_t> &reply) {
                const int32_t result = m_executor.OnRCCmd(code, command, reply);
                {
                    std::lock_guard lock(m_mutex);
                    m_results.push_back(result);
                }
                m_done.notify_all();
                return result;
            });
        RcmUserMap users;
        users[L"admin"] = stRcmUser{L"admin", L"pw", 1, 31, L""};
        m_server->SetUsers(users);
        m_server->SetSendAckBeforeCmdFinish(false);
        m_server->SetSessionExpiryMs(600000);
        m_port = FreeTcpPort();
        ASSERT_EQ(m_server->ListenRequests(true, false, m_port, 0), 0);
        m_client = std::make_unique<CRcmTestClient>(m_port);
        m_session = m_client->LogIn("admin");
        ASSERT_FALSE(m_session.empty());
    }
    void TearDown() override
    {
        m_client.reset();
        m_server->Close();
        m_server.reset();
        ClearOsgRegistry();
        CTYXGVMS::ResetForTests();
    }
    // The command's result once the executor has run it (commands are accepted first, run after).
    int32_t Control(const std::string &command, const std::string &body)
    {
        size_t before = 0;
        {
            std::lock_guard lock(m_mutex);
            before = m_results.size();
        }
        const stRawResponse reply = m_client->Request("POST", "/TYXRCMAPI/CONTROL/" + command + "?CMDSN=" + std::to_string(++m_sn) +
                                             "&WaitResult=yes&SESSIONID=" + m_session,
                                 body);
        std::unique_lock lock(m_mutex);
        if (!m_done.wait_for(lock, std::chrono::seconds(10), [&] { return m_results.size() > before; }))
            return ADD_FAILURE() << reply.body, INT32_MIN;
        return m_results.back();
    }

    CRCCommandExecutor m_executor{std::make_shared<CRCInDemandGraphOps>(IdleGraph(), ""), false};
    std::unique_ptr<CRCMWebWin> m_server;
    std::unique_ptr<CRcmTestClient> m_client;
    std::string m_session;
    uint16_t m_port = 0;
    int m_sn = 1;
    std::mutex m_mutex;
    std::condition_variable m_done;
    std::vector<int32_t> m_results;
};

TEST_F(InDemandHttpTest, SourcesAreAddedAndRemovedByRemoteCommand)
{
    const std::string add = "VSAlias=Cam7&InputURL=" + UrlEncoded("rtsp://127.0.0.1:8554/cam7") +
                            "&StreamId=1&Authenticate=0&Username=u&Password=p&supportNTP=1&EstmtDly=150"
                            "&fSIFRequired=0&CacheTime=0";
    EXPECT_EQ(static_cast<int32_t>(257u << 16), Control("AddInputVideo", add));
    std::shared_ptr<CTYXWorker> worker;
    EXPECT_GT(CTYXGVMS::FindMReaderByAlias(L"Cam7", worker), 0);
    EXPECT_GT(CTYXGVMS::FindDecoderByAlias(L"Cam7", worker), 0);

    EXPECT_EQ(IND_ALIAS_IN_USE, Control("AddInputVideo", add)); // the alias is taken now
    EXPECT_EQ(0, Control("DelInputVideo", "VSAlias=Cam7"));
    EXPECT_TRUE(CTYXGVMS::CopyMReaderMap().empty());
    EXPECT_TRUE(CTYXGVMS::CopyDecoderMap().empty());
}

TEST_F(InDemandHttpTest, GraphicsDefinitionsReachTheWorkersDrawer)
{
    auto decoder = std::make_shared<CIdleVideoWorker>(0x02010000, nullptr, TYX_KIND_VIDEO_DECODER);
    auto record = std::make_shared<stVideoDecodeWorkerInstanceInfo>();
    record->WorkerId = 0x02010000;
    record->Name = L"Cam8";
    record->Worker = decoder;
    ASSERT_EQ(0, CTYXGVMS::PublishWorkerInstance(record));

    const std::string definition = "box:gmtTp=36,StrtX=10,StrtY=10,Wdth=100,Hght=50,lnClr=4,;"
                                   "dot:gmtTp=8,CntrX=60,CntrY=35,Rds=5,;";
    EXPECT_EQ(1, Control("AddOSGGeometry", "GeometryNum=2&OSGStrmPos=VideoOutput&VideoAlias=" + UrlEncoded("VideoDecoders.Cam8") +
                                               "&OSGData=" + UrlEncoded(definition)));
    auto drawer = decoder->GetOsgDrawer(OSG_TARGET_OUTPUT, 0);
    ASSERT_TRUE(drawer);
    EXPECT_EQ(2, drawer->GetGeometryCount());
    EXPECT_EQ(1, GetRegisteredOsgCount());

    EXPECT_EQ(-255, Control("AddOSGGeometry", "GeometryNum=1&OSGStrmPos=VideoOutput&VideoAlias=" + UrlEncoded("VideoDecoders.Cam8") +
                                                  "&OSGData=" + UrlEncoded("a:gmtTp=53,;" + std::string(60, 'x'))));
    EXPECT_EQ(2, drawer->GetGeometryCount());
}

} // namespace
