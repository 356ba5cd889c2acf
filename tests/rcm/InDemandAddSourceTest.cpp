#include "rcm/InDemandChanges.h"

#include "host/GlobalVars.h"
#include "input/NrtMRdrWorker.h"
#include "RcmTestClient.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

constexpr uint32_t kFirstReaderId = 257u << 16;

// A worker whose thread runs until it is asked to stop.
class CIdleWorker : public CTYXWorker
{
public:
    CIdleWorker(uint32_t id, const InputLinkMap *inputs, int32_t kind)
        : CTYXWorker(id, inputs, nullptr, kind, false, false)
    {
    }
    uint32_t WorkingFunc() override
    {
        m_exitEvent->Wait();
        return 0;
    }
};

// Makes workers the way the graph does: input links from the configuration, registered.
struct stFakeGraph
{
    std::atomic<int> created{0};
    bool failDecoders = false;

    stInDemandGraph Graph()
    {
        stInDemandGraph graph;
        graph.create = [this](int32_t kind, stTYXWorkerConfig *config, stTYXWorkerInstanceInfo *record) {
            if (failDecoders && kind == TYX_KIND_VIDEO_DECODER)
                return -1;
            CTYXWorker::InputLinkMap inputs;
            for (const stTYXWorkerItemInfo &item : config->GetInputItems()) {
                if (kind == TYX_KIND_MEDIA_READER)
                    break;
                stWorkerInputLink link;
                link.CreateQueue();
                link.consumerId = static_cast<uint32_t>(config->WorkerId);
                inputs[static_cast<uint32_t>(item.Id)] = link;
                CTYXGVMS::AddConsumerLink(static_cast<uint32_t>(item.Id), config->WorkerId, link);
            }
            record->CopyFromConfig(config);
            record->Worker = std::make_shared<CIdleWorker>(static_cast<uint32_t>(config->WorkerId), &inputs, kind);
            ++created;
            return 0;
        };
        return graph;
    }
};

stMediaSourceReadWorkerConfig Source(const std::wstring &alias, int32_t type = TYX_MS_RTSP,
                                     const std::wstring &videoName = {})
{
    stMediaSourceReadWorkerConfig config;
    config.Name = alias;
    config.MSTYPE = type;
    config.MSFullPath = L"rtsp://127.0.0.1:8554/" + alias;
    config.Streams[1].MediaType = 0;
    config.Streams[1].StrmAlias = videoName;
    config.Streams[2].MediaType = 1;
    return config;
}

bool RegistriesEmpty()
{
    std::vector<uint32_t> linked;
    return CTYXGVMS::CopyMReaderMap().empty() && CTYXGVMS::CopyDecoderMap().empty() &&
           CTYXGVMS::MSReaderConfigs().empty() && CTYXGVMS::VideoDecoderConfigs().empty() &&
           CTYXGVMS::GetProducersOfConsumer(kFirstReaderId, linked) == 0;
}

class InDemandAddSourceTest : public ::testing::Test
{
protected:
    void SetUp() override { CTYXGVMS::ResetForTests(); }
    void TearDown() override { CTYXGVMS::ResetForTests(); }
    stFakeGraph fake;
    std::list<stMediaStreamLink> streams;
};

TEST_F(InDemandAddSourceTest, ASourceGetsADecoderPerVideoStreamAndGoesAwayWithoutATrace)
{
    ASSERT_EQ(static_cast<int32_t>(kFirstReaderId),
              AddMediaSource2TYX(Source(L"Cam9"), IND_DECODER_NOT_GIVEN, streams, fake.Graph()));
    ASSERT_EQ(2u, streams.size());
    EXPECT_EQ(kFirstReaderId + 1, streams.front().streamId);
    EXPECT_EQ(0x02010000u, streams.front().decoderId);
    EXPECT_EQ(0u, streams.back().decoderId); // audio
    const stVideoDecodeWorkerConfig &decoder = CTYXGVMS::VideoDecoderConfigs().at(L"Cam9");
    EXPECT_EQ(L"MediaSources.Cam9.VideoOutput", decoder.VideoSourceName);
    EXPECT_EQ(static_cast<int32_t>(kFirstReaderId + 1), decoder.VideoSource);
    std::vector<uint32_t> linked;
    CTYXGVMS::GetProducersOfConsumer(kFirstReaderId, linked);
    EXPECT_EQ(std::vector<uint32_t>{0x02010000u}, linked);
    std::wstring alias;
    auto reader = CTYXGVMS::GetMReaderById(kFirstReaderId, alias);
    ASSERT_TRUE(reader);
    EXPECT_EQ(1, reader->FindConsumerLink(0x02010000u));
    bool childrenStopped = false;
    EXPECT_FALSE(reader->IsStopped(childrenStopped)); // started and resumed

    uint32_t id = kFirstReaderId;
    alias.clear();
    EXPECT_EQ(0, RemoveMediaSource(id, alias));
    EXPECT_TRUE(RegistriesEmpty());
    EXPECT_TRUE(reader->IsStopped(childrenStopped));
}

TEST_F(InDemandAddSourceTest, TwentyAddsAndRemovesLeaveTheRegistriesAsTheyWere)
{
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(static_cast<int32_t>(kFirstReaderId),
                  AddMediaSource2TYX(Source(L"Cam9"), IND_DECODER_DEFAULT, streams, fake.Graph()));
        uint32_t id = 0;
        std::wstring alias = L"Cam9";
        ASSERT_EQ(0, RemoveMediaSource(id, alias));
        ASSERT_TRUE(RegistriesEmpty()) << "round " << round;
    }
    EXPECT_EQ(40, fake.created.load());
}

TEST_F(InDemandAddSourceTest, RefusedSourcesCreateNothing)
{
    EXPECT_EQ(IND_SOURCE_NOT_FOUND, AddMediaSource2TYX(Source(L""), IND_DECODER_DEFAULT, streams, fake.Graph()));
    EXPECT_EQ(IND_SOURCE_TYPE_REFUSED,
              AddMediaSource2TYX(Source(L"File1", TYX_MS_FILE), IND_DECODER_DEFAULT, streams, fake.Graph()));
    stMediaSourceReadWorkerConfig empty = Source(L"Empty");
    empty.Streams.clear();
    EXPECT_EQ(IND_SOURCE_WITHOUT_STREAMS, AddMediaSource2TYX(empty, IND_DECODER_DEFAULT, streams, fake.Graph()));
    EXPECT_EQ(0, fake.created.load());
    EXPECT_TRUE(RegistriesEmpty());

    ASSERT_GT(AddMediaSource2TYX(Source(L"Cam9"), IND_DECODER_DEFAULT, streams, fake.Graph()), 0);
    EXPECT_EQ(IND_ALIAS_IN_USE, AddMediaSource2TYX(Source(L"cam9"), IND_DECODER_DEFAULT, streams, fake.Graph()));
    EXPECT_EQ(2, fake.created.load());
}

// A camera that cannot be reached: its real network reader finds no stream, and the source is not
// added (no id, nothing registered).
TEST_F(InDemandAddSourceTest, ASourceThatCannotBeOpenedIsRefusedWithoutANewId)
{
    stInDemandGraph graph = fake.Graph();
    const auto idle = graph.create;
    graph.create = [idle](int32_t kind, stTYXWorkerConfig *config, stTYXWorkerInstanceInfo *record) {
        if (kind != TYX_KIND_MEDIA_READER)
            return idle(kind, config, record);
        auto reader = std::make_shared<CNRTMediaReadWorker>(static_cast<uint32_t>(config->WorkerId), nullptr);
        const int32_t result = reader->CopyInConfiguration(config);
        record->CopyFromConfig(config);
        record->Worker = reader;
        return result;
    };
    const uint16_t port = FreeTcpPort(); // nothing listens there
    stMediaSourceReadWorkerConfig source = Source(L"Cam5");
    source.MSFullPath = L"rtsp://127.0.0.1:" + std::to_wstring(port) + L"/none";
    EXPECT_EQ(IND_SOURCE_WITHOUT_STREAMS, AddMediaSource2TYX(source, IND_DECODER_DEFAULT, streams, graph));
    EXPECT_TRUE(streams.empty());
    EXPECT_TRUE(RegistriesEmpty());
    std::shared_ptr<CTYXWorker> worker;
    EXPECT_LE(CTYXGVMS::GetMReaderByAlias(L"Cam5", worker), 0);
}

TEST_F(InDemandAddSourceTest, AFailedDecoderTakesTheWholeSourceBack)
{
    fake.failDecoders = true;
    EXPECT_EQ(-1, AddMediaSource2TYX(Source(L"Cam9"), IND_DECODER_DEFAULT, streams, fake.Graph()));
    EXPECT_TRUE(streams.empty());
    EXPECT_TRUE(RegistriesEmpty());
}

TEST_F(InDemandAddSourceTest, IdsStayUniqueAfterRemovalsAndNamedStreamsNameTheirDecoders)
{
    ASSERT_EQ(static_cast<int32_t>(257u << 16), AddMediaSource2TYX(Source(L"A"), IND_DECODER_DEFAULT, streams, fake.Graph()));
    ASSERT_EQ(static_cast<int32_t>(258u << 16), AddMediaSource2TYX(Source(L"B"), IND_DECODER_DEFAULT, streams, fake.Graph()));
    uint32_t id = 257u << 16;
    std::wstring alias;
    ASSERT_EQ(0, RemoveMediaSource(id, alias));
    // Counting the readers would give 258 again, which B still has.
    EXPECT_EQ(static_cast<int32_t>(259u << 16),
              AddMediaSource2TYX(Source(L"C", TYX_MS_RTMP, L"main"), IND_DECODER_DEFAULT, streams, fake.Graph()));
    // The first free decoder number goes to C: 1 (A's was freed).
    EXPECT_EQ(0x02010000u, streams.front().decoderId);
    const stVideoDecodeWorkerConfig &decoder = CTYXGVMS::VideoDecoderConfigs().at(L"C.main");
    EXPECT_EQ(L"MediaSources.C.VideoOutput.main", decoder.VideoSourceName);

    EXPECT_GT(AddMediaSource2TYX(Source(L"D"), 7, streams, fake.Graph()), 0); // an unsupported decoder choice
    EXPECT_EQ(0u, streams.front().decoderId);
    EXPECT_GT(AddMediaSource2TYX(Source(L"Usb", TYX_MS_VCAP), IND_DECODER_DEFAULT, streams, fake.Graph()), 0);
    EXPECT_EQ(0u, streams.front().decoderId); // capture video is raw already
}

} // namespace
