#include "host/GlobalVars.h"
#include "host/WorkerInstanceInfo.h"

#include "core/TYXWorker.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <sched.h>

#include <atomic>
#include <functional>
#include <latch>
#include <mutex>
#include <thread>

namespace {

// A worker that records what the registries hand it.
class CRecordingWorker : public CTYXWorker, public CTYXCaseInfoTarget
{
public:
    CRecordingWorker(uint32_t id, int32_t kind, const InputLinkMap *inputs = nullptr, bool perInput = false,
                     bool perOutput = false)
        : CTYXWorker(id, inputs, nullptr, kind, perInput, perOutput)
    {
    }

    uint32_t WorkingFunc() override { return body ? body() : 0; }

    int32_t SetInputParameters(const stStreamParams &params, uint32_t streamId) override
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_received.emplace_back(streamId, params.width);
        }
        if (onInputParams)
            onInputParams(params);
        return 0;
    }

    void unInitialize() override
    {
        ++uninitialized;
        CTYXWorker::unInitialize();
    }

    void SetCaseTexts(const std::wstring &text1, const std::wstring &text2, const std::wstring &text3) override
    {
        caseTexts = {text1, text2, text3};
    }

    // (stream argument, picture width) of every SetInputParameters call.
    std::vector<std::pair<uint32_t, uint16_t>> Received() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_received;
    }

    std::function<uint32_t()> body;
    std::function<void(const stStreamParams &)> onInputParams;
    std::atomic<int> uninitialized{0};
    std::vector<std::wstring> caseTexts;

private:
    mutable std::mutex m_mutex;
    std::vector<std::pair<uint32_t, uint16_t>> m_received;
};

stStreamParams ParamsOfWidth(uint16_t width)
{
    stStreamParams params;
    params.width = width;
    return params;
}

class WorkerRegistriesTest : public ::testing::Test
{
protected:
    void SetUp() override { CTYXGVMS::ResetForTests(); }
    void TearDown() override { CTYXGVMS::ResetForTests(); }

    // Registers a reader record (with a worker when asked) under its id.
    std::shared_ptr<stMediaReadWorkerInstanceInfo> AddReader(uint32_t id, const std::wstring &name, int32_t type = 1,
                                                             bool withWorker = true)
    {
        auto record = std::make_shared<stMediaReadWorkerInstanceInfo>();
        record->WorkerId = static_cast<int32_t>(id);
        record->Name = name;
        record->MSTYPE = type;
        if (withWorker)
            record->Worker = std::make_shared<CRecordingWorker>(id, TYX_KIND_MEDIA_READER);
        CTYXGVMS::MReaderInstances()[id] = record;
        return record;
    }

    template <typename Record>
    std::shared_ptr<Record> AddRecord(WorkerInstanceRegistry<Record> &registry, uint32_t id, const std::wstring &name,
                                      int32_t kind, bool withWorker = true)
    {
        auto record = std::make_shared<Record>();
        record->WorkerId = static_cast<int32_t>(id);
        record->Name = name;
        if (withWorker)
            record->Worker = std::make_shared<CRecordingWorker>(id, kind);
        registry[id] = record;
        return record;
    }

    static CRecordingWorker &Recording(const std::shared_ptr<CTYXWorker> &worker)
    {
        return dynamic_cast<CRecordingWorker &>(*worker);
    }

    CLogCapture m_log;
};

// ---- instance records ----

TEST_F(WorkerRegistriesTest, RecordsCopyTheirConfiguration)
{
    stMediaReadWorkerInstanceInfo reader;
    reader.CopyFromConfig(nullptr); // nothing to copy: the record stays as it was
    EXPECT_EQ(reader.WorkerId, -1);
    EXPECT_EQ(reader.Enabled, 0);

    stMediaSourceReadWorkerConfig source;
    source.Name = L"Cam2";
    source.MSTYPE = 9;
    source.PushAtBegin = 1; // the reader's own flag; the record takes the base one
    reader.Value4 = 7;
    reader.CopyFromConfig(&source);
    EXPECT_EQ(reader.Name, L"Cam2");
    EXPECT_EQ(reader.Enabled, 1);
    EXPECT_EQ(reader.PushAtBegin, 0);
    EXPECT_EQ(reader.MSTYPE, 9);
    EXPECT_EQ(reader.Value4, 1000);
    // The record owns its copy: a loader changing its registry afterwards never reaches it.
    ASSERT_NE(reader.Config, nullptr);
    source.Name = L"Changed";
    EXPECT_EQ(reader.Config->Name, L"Cam2");
    EXPECT_NE(dynamic_cast<const stMediaSourceReadWorkerConfig *>(reader.Config.get()), nullptr);

    stVideoDecodeWorkerConfig decoderConfig;
    decoderConfig.VideoSource = 0x01020001;
    stVideoDecodeWorkerInstanceInfo decoder;
    decoder.Running = 1;
    decoder.CopyFromConfig(&decoderConfig);
    EXPECT_EQ(decoder.Running, 0);
    EXPECT_EQ(decoder.VideoSource, 0x01020001);

    stMediaWriteWorkerConfig writerConfig;
    writerConfig.PushAtBegin = 1;
    stMediaWriteWorkerInstanceInfo writer;
    writer.CopyFromConfig(&writerConfig);
    EXPECT_EQ(writer.PushAtBegin, 1);
}

TEST_F(WorkerRegistriesTest, EncoderTakesTheNegotiatedRateOnlyForMinusOne)
{
    stVideoEncodeWorkerConfig config;
    config.OutputFramerate = -1.0f;
    const std::pair<float, float> cases[] = {{0.0f, 30.0f}, {25.0f, 25.0f}, {150.0f, 30.0f}, {10.0f, 10.0f},
                                             {120.0f, 120.0f}};
    for (const auto &[negotiated, expected] : cases) {
        CTYXGVMS::NegotiatedInputFrameRate() = negotiated;
        stVideoEncodeWorkerInstanceInfo encoder;
        encoder.CopyFromConfig(&config);
        EXPECT_EQ(encoder.EncodeSettings.OutputFramerate, expected) << negotiated;
    }
    config.OutputFramerate = -2.0f;
    stVideoEncodeWorkerInstanceInfo encoder;
    encoder.CopyFromConfig(&config);
    EXPECT_EQ(encoder.EncodeSettings.OutputFramerate, -2.0f);
}

// ---- instance registries ----

TEST_F(WorkerRegistriesTest, LookupsByIdAndAlias)
{
    AddReader(0x01010000, L"CAM1");
    AddReader(0x01020000, L"Cam2", 1, false);
    AddRecord(CTYXGVMS::DecoderInstances(), 0x02010000, L"Dec1", TYX_KIND_VIDEO_DECODER);
    AddRecord(CTYXGVMS::MWriterInstances(), 0x10010004, L"Rec1", TYX_KIND_MEDIA_WRITER);

    EXPECT_EQ(CTYXGVMS::GetWorkerInstanceById(0x01010001)->Name, L"CAM1");
    EXPECT_EQ(CTYXGVMS::GetWorkerInstanceById(0x02010000)->Name, L"Dec1");
    // A writer's id ends in 0x04: clearing the stream bits must still find it.
    ASSERT_NE(CTYXGVMS::GetWorkerInstanceById(0x10010004), nullptr);
    EXPECT_EQ(CTYXGVMS::GetWorkerInstanceById(0x10010004)->Name, L"Rec1");
    EXPECT_EQ(CTYXGVMS::GetWorkerInstanceById(0x10010000), CTYXGVMS::GetWorkerInstanceById(0x10010004));
    stMediaWriteWorkerConfig writerConfig;
    writerConfig.WorkerId = 0x10010004;
    CTYXGVMS::MWriterConfigs()[L"Rec1"] = writerConfig;
    EXPECT_NE(CTYXGVMS::GetWorkerConfigById(0x10010004), nullptr);
    EXPECT_EQ(CTYXGVMS::GetWorkerInstanceById(0x09000000), nullptr);

    std::shared_ptr<CTYXWorker> worker;
    stMediaReadWorkerInstanceInfo copy;
    EXPECT_EQ(CTYXGVMS::FindMReaderByAlias(L"cam1", worker, &copy), 0x01010000);
    EXPECT_NE(worker, nullptr);
    EXPECT_EQ(copy.Name, L"CAM1");
    EXPECT_EQ(CTYXGVMS::GetMReaderByAlias(L"cam2", worker), 0x01020000);
    EXPECT_EQ(worker, nullptr); // registered, but without a worker
    EXPECT_EQ(CTYXGVMS::FindDecoderByAlias(L"nothing", worker), -1);
    EXPECT_EQ(CTYXGVMS::GetMWriterByAlias(L"REC1", worker), static_cast<int32_t>(0x10010004));

    std::wstring alias = L"stale";
    EXPECT_NE(CTYXGVMS::GetDecoderById(0x02010000, alias), nullptr);
    EXPECT_EQ(alias, L"Dec1");
    EXPECT_EQ(CTYXGVMS::FindEncoderById(0x06010000, alias), nullptr);
    EXPECT_TRUE(alias.empty());
    EXPECT_NE(CTYXGVMS::GetMWriterById(0x10010004, alias), nullptr);

    // A snapshot shares the records and no longer follows the registry.
    auto snapshot = CTYXGVMS::CopyMReaderMap();
    AddReader(0x01030000, L"Cam3");
    EXPECT_EQ(snapshot.size(), 2u);
    EXPECT_EQ(snapshot.at(0x01010000), CTYXGVMS::MReaderInstances().at(0x01010000));
}

TEST_F(WorkerRegistriesTest, DestroyStopsAndForgetsTheWorker)
{
    auto record = AddReader(0x01010000, L"Cam1");
    auto worker = record->Worker;
    CTYXGVMS::AddConsumerLink(0x01010001, 0x02010000, stWorkerLink());
    CTYXGVMS::AddConsumerLink(0x01030001, 0x02010000, stWorkerLink());
    EXPECT_EQ(CTYXGVMS::DestroyMReaderById(0x01020000), 0); // unknown: nothing changes
    EXPECT_EQ(CTYXGVMS::MReaderInstances().size(), 1u);
    const auto snapshot = CTYXGVMS::CopyMReaderMap();
    EXPECT_EQ(CTYXGVMS::DestroyMReaderById(0x01010000), 0);
    EXPECT_EQ(Recording(worker).uninitialized, 1);
    std::shared_ptr<CTYXWorker> found;
    EXPECT_EQ(CTYXGVMS::FindMReaderByAlias(L"Cam1", found), -1);
    // A snapshot taken before keeps the record whole; the registry no longer has it or its links.
    EXPECT_EQ(snapshot.at(0x01010000)->Worker, worker);
    EXPECT_FALSE(CTYXGVMS::GetConsumerLinks(0x01010001));
    EXPECT_TRUE(CTYXGVMS::GetConsumerLinks(0x01030001));

    AddRecord(CTYXGVMS::DecoderInstances(), 0x02010000, L"Dec1", TYX_KIND_VIDEO_DECODER);
    EXPECT_EQ(CTYXGVMS::DestroyDecoderById(0x02010000), 0);
    EXPECT_TRUE(CTYXGVMS::DecoderInstances().empty());
    EXPECT_TRUE(CTYXGVMS::GetConsumerLinks(0x01030001)->empty()); // its input link went too
}

// A worker whose thread will not stop keeps everything it uses: it is not uninitialised, neither
// by a first stop that abandoned it nor by the stop of the destroy.
TEST_F(WorkerRegistriesTest, DestroyLeavesAStillRunningWorkerItsResources)
{
    auto release = std::make_shared<std::latch>(1);
    auto started = std::make_shared<std::latch>(1);
    auto worker = std::make_shared<CRecordingWorker>(0x01010000, TYX_KIND_MEDIA_READER);
    worker->body = [started, release] {
        started->count_down();
        release->wait();
        return 0u;
    };
    auto record = std::make_shared<stMediaReadWorkerInstanceInfo>();
    record->WorkerId = 0x01010000;
    record->Name = L"Stuck";
    record->Worker = worker;
    ASSERT_EQ(CTYXGVMS::PublishWorkerInstance(record), 0);
    ASSERT_GT(worker->StartWorkingThread(1, 0), 0);
    ASSERT_EQ(worker->ResumeWorkingThread(), 0);
    started->wait();
    EXPECT_EQ(worker->WaitThreadExit(0), static_cast<int32_t>(TYX_STILL_ACTIVE)); // as a removal does first

    EXPECT_EQ(CTYXGVMS::DestroyMReaderById(0x01010000), 0);
    EXPECT_EQ(worker->uninitialized, 0);
    EXPECT_TRUE(m_log.Contains(L"still runs after its stop; it keeps its resources.", 3));
    EXPECT_TRUE(CTYXGVMS::MReaderInstances().empty());
    release->count_down();
    EXPECT_EQ(worker->WaitThreadExit(5000), 0);
}

TEST_F(WorkerRegistriesTest, ChangesPublishNewRecordsAndSnapshotsKeepTheirs)
{
    auto reader = std::make_shared<stMediaReadWorkerInstanceInfo>();
    reader->WorkerId = 0x01010000;
    reader->Name = L"Cam1";
    reader->MSTYPE = TYX_MS_RTSP;
    reader->Worker = std::make_shared<CRecordingWorker>(0x01010000, TYX_KIND_MEDIA_READER);
    EXPECT_EQ(CTYXGVMS::PublishWorkerInstance(reader), 0);
    const auto before = CTYXGVMS::CopyMReaderMap();

    EXPECT_EQ(CTYXGVMS::UpdateWorkerInstance(0x01010000, [](stTYXWorkerInstanceInfo &record) {
                  record.Running = 1;
                  record.Worker.reset();
              }),
              0);
    const auto after = CTYXGVMS::GetWorkerInstanceById(0x01010000);
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(after->Running, 1);
    EXPECT_EQ(after->Worker, nullptr);
    EXPECT_EQ(dynamic_cast<const stMediaReadWorkerInstanceInfo &>(*after).MSTYPE, TYX_MS_RTSP); // its class kept
    EXPECT_EQ(before.at(0x01010000)->Running, 0);
    EXPECT_NE(before.at(0x01010000)->Worker, nullptr);

    EXPECT_EQ(CTYXGVMS::UpdateWorkerInstance(0x01020000, [](stTYXWorkerInstanceInfo &) {}), -1);
    auto decoder = std::make_shared<stVideoDecodeWorkerInstanceInfo>();
    decoder->WorkerId = 0x01020000; // a reader's id for a decoder record
    EXPECT_EQ(CTYXGVMS::PublishWorkerInstance(decoder), -1);
    decoder->WorkerId = 0x02010001; // a stream id
    EXPECT_EQ(CTYXGVMS::PublishWorkerInstance(decoder), -1);
    decoder->WorkerId = 0x02010000;
    EXPECT_EQ(CTYXGVMS::PublishWorkerInstance(decoder), 0);
    auto writer = std::make_shared<stMediaWriteWorkerInstanceInfo>();
    writer->WorkerId = 0x10010004;
    EXPECT_EQ(CTYXGVMS::PublishWorkerInstance(writer), 0);
    EXPECT_EQ(CTYXGVMS::PublishWorkerInstance(nullptr), -1);
}

// A status screen and a remote command read records through snapshots while the executor
// replaces and removes them.
TEST_F(WorkerRegistriesTest, SnapshotReadersNeverRaceChanges)
{
    constexpr int kRounds = 300;
    std::latch start(2);
    std::thread changer([&] {
        start.arrive_and_wait();
        for (int i = 0; i < kRounds; ++i) {
            auto record = std::make_shared<stMediaReadWorkerInstanceInfo>();
            record->WorkerId = 0x01010000;
            record->Name = L"Cam" + std::to_wstring(i);
            record->Worker = std::make_shared<CRecordingWorker>(0x01010000, TYX_KIND_MEDIA_READER);
            CTYXGVMS::PublishWorkerInstance(record);
            CTYXGVMS::UpdateWorkerInstance(0x01010000, [](stTYXWorkerInstanceInfo &changed) { changed.Running = 1; });
            CTYXGVMS::DestroyMReaderById(0x01010000);
        }
    });
    start.arrive_and_wait();
    size_t seen = 0;
    for (int i = 0; i < kRounds; ++i) {
        for (const auto &[id, record] : CTYXGVMS::CopyMReaderMap()) {
            seen += record->Name.size() + (record->Worker ? 1 : 0) + record->Running;
            (void)id;
        }
    }
    changer.join();
    EXPECT_TRUE(CTYXGVMS::MReaderInstances().empty());
    (void)seen;
}

TEST_F(WorkerRegistriesTest, ConfigurationLookupTakesTheRegistryLock)
{
    stMediaSourceReadWorkerConfig config;
    config.WorkerId = 0x01010000;
    CTYXGVMS::MSReaderConfigs()[L"Cam1"] = config;
    CTYXGVMS::ConfigRegistryLock().LockWrite();
    std::atomic<bool> done{false};
    std::thread lookup([&] {
        EXPECT_NE(CTYXGVMS::GetWorkerConfigById(0x01010001), nullptr);
        done = true;
    });
    for (int i = 0; i < 1000; ++i)
        sched_yield();
    EXPECT_FALSE(done.load()); // a change in progress holds the walk back
    CTYXGVMS::ConfigRegistryLock().UnlockWrite();
    lookup.join();
    EXPECT_TRUE(done.load());
}

TEST_F(WorkerRegistriesTest, CollectReadersWithTheirFeeds)
{
    AddReader(0x01010000, L"Cam1");
    AddReader(0x01020000, L"Capture", TYX_MS_VCAP);
    AddReader(0x01030000, L"Lonely");
    CTYXGVMS::AddConsumerLink(0x01010002, 0x04010000, stWorkerLink()); // a mid-processor first
    CTYXGVMS::AddConsumerLink(0x01010002, 0x02020000, stWorkerLink());
    CTYXGVMS::AddConsumerLink(0x01010001, 0x10010004, stWorkerLink());

    std::vector<stMediaReadWorkerInstanceInfo> records;
    std::vector<uint32_t> feeds;
    EXPECT_EQ(CTYXGVMS::CollectMReadersByAliases({L"Cam1", L"Capture", L"cam3"}, records, feeds), 2);
    EXPECT_EQ(feeds, (std::vector<uint32_t>{0x02020000, 0x01020000}));

    EXPECT_EQ(CTYXGVMS::CollectMReadersByAliases({L"cam1"}, records, feeds), 0); // case counts here
    EXPECT_EQ(CTYXGVMS::CollectMReadersByAliases({L"Cam1", L"Lonely"}, records, feeds), -100);
    EXPECT_EQ(records.size(), 2u);
    EXPECT_EQ(feeds.size(), 1u);
}

TEST_F(WorkerRegistriesTest, CaseInfoGoesToTheFirstMatchingWriterOrToAll)
{
    auto first = AddRecord(CTYXGVMS::MWriterInstances(), 0x10010004, L"Rec", TYX_KIND_MEDIA_WRITER, false);
    auto second = AddRecord(CTYXGVMS::MWriterInstances(), 0x10020004, L"rec", TYX_KIND_MEDIA_WRITER);
    auto third = AddRecord(CTYXGVMS::MWriterInstances(), 0x10030004, L"Other", TYX_KIND_MEDIA_WRITER);
    EXPECT_EQ(CTYXGVMS::SetCaseInfo(L"REC", L"a", L"b", L"c"), 0); // the first match has no worker
    EXPECT_TRUE(Recording(second->Worker).caseTexts.empty());
    EXPECT_EQ(CTYXGVMS::SetCaseInfo(L"other", L"a", L"b", L"c"), 1);
    EXPECT_EQ(Recording(third->Worker).caseTexts, (std::vector<std::wstring>{L"a", L"b", L"c"}));
    EXPECT_EQ(CTYXGVMS::SetCaseInfo(L"", L"x", L"y", L"z"), 2);
    EXPECT_EQ(Recording(second->Worker).caseTexts[0], L"x");
    (void)first;
}

TEST_F(WorkerRegistriesTest, PublicLocksFollowTheOwnerRule)
{
    EXPECT_TRUE(CTYXGVMS::LockMReaderMap());
    std::thread other([] { CTYXGVMS::UnlockMReaderMap(); }); // not the owner: ignored
    other.join();
    EXPECT_NE(CTYXGVMS::InstanceRegistryLock(TYX_KIND_MEDIA_READER)->Owner(), 0);
    CTYXGVMS::UnlockMReaderMap();
    EXPECT_EQ(CTYXGVMS::InstanceRegistryLock(TYX_KIND_MEDIA_READER)->Owner(), 0);
}

// ---- link registry ----

TEST_F(WorkerRegistriesTest, AddAndRemoveLinks)
{
    stWorkerLink first;
    first.paketKind = 2;
    stWorkerLink second;
    second.paketKind = 8;
    EXPECT_EQ(CTYXGVMS::AddConsumerLink(0, 0x02010000, first), -1);
    EXPECT_EQ(CTYXGVMS::AddConsumerLink(0x01010001, 0, first), -1);
    EXPECT_EQ(CTYXGVMS::AddConsumerLink(0x01010001, 0x02010000, first), 1);
    EXPECT_EQ(CTYXGVMS::AddConsumerLink(0x01010001, 0x02010000, second), 1);
    EXPECT_EQ(CTYXGVMS::AddConsumerLink(0x01010001, 0x10010004, second), 2);
    EXPECT_EQ(CTYXGVMS::AddConsumerLink(0x01010002, 0x10010004, second), 1);
    const auto links = CTYXGVMS::GetConsumerLinks(0x01010001);
    ASSERT_TRUE(links);
    EXPECT_EQ(links->at(0x02010000).paketKind, 2);
    EXPECT_EQ(links->at(0x02010000).producerId, 0x01010000u);

    std::vector<uint32_t> consumers;
    CTYXGVMS::GetConsumersOfStream(0x01010001, consumers);
    EXPECT_EQ(consumers, (std::vector<uint32_t>{0x02010000, 0x10010004}));
    CTYXGVMS::GetConsumersOfStream(0, consumers);
    EXPECT_TRUE(consumers.empty());

    EXPECT_EQ(CTYXGVMS::RemoveConsumerLinks(0, 0), -1);
    EXPECT_EQ(CTYXGVMS::RemoveConsumerLinks(0x01010001, 0x02010000), 1);
    EXPECT_EQ(CTYXGVMS::RemoveConsumerLinks(0x01019999, 0x02010000), 0);
    EXPECT_EQ(CTYXGVMS::RemoveConsumerLinks(0, 0x10010004), 0);
    EXPECT_TRUE(CTYXGVMS::GetConsumerLinks(0x01010002)->empty());
    CTYXGVMS::AddConsumerLink(0x01010001, 0x02010000, first);
    EXPECT_EQ(CTYXGVMS::RemoveConsumerLinks(0x01010001, 0), 0);
    const auto emptied = CTYXGVMS::GetConsumerLinks(0x01010001);
    ASSERT_TRUE(emptied); // the entry stays
    EXPECT_TRUE(emptied->empty());
    EXPECT_FALSE(CTYXGVMS::GetConsumerLinks(0x01030001));
    EXPECT_FALSE(CTYXGVMS::GetConsumerLinks(-5));
}

TEST_F(WorkerRegistriesTest, LinkedWorkersOfAProducerOrConsumer)
{
    CTYXGVMS::AddConsumerLink(0x01010001, 0x02020000, stWorkerLink());
    CTYXGVMS::AddConsumerLink(0x01010002, 0x02010000, stWorkerLink());
    CTYXGVMS::AddConsumerLink(0x01010002, 0x10010004, stWorkerLink());
    CTYXGVMS::AddConsumerLink(0x02020001, 0x04010000, stWorkerLink());
    CTYXGVMS::AddConsumerLink(0x01020001, 0x04010000, stWorkerLink());
    std::vector<uint32_t> linked{7};
    EXPECT_EQ(CTYXGVMS::GetProducersOfConsumer(0x01010000, linked), 3); // a reader: its consumers
    EXPECT_EQ(linked, (std::vector<uint32_t>{0x02010000, 0x02020000, 0x10010004}));
    EXPECT_EQ(CTYXGVMS::GetProducersOfConsumer(0x02020000, linked), 2); // a decoder: both ends
    EXPECT_EQ(linked, (std::vector<uint32_t>{0x01010000, 0x04010000}));
    EXPECT_EQ(CTYXGVMS::GetProducersOfConsumer(0x04010000, linked), 2); // a mux: its producers
    EXPECT_EQ(linked, (std::vector<uint32_t>{0x01020000, 0x02020000}));
    EXPECT_EQ(CTYXGVMS::GetProducersOfConsumer(0x06010000, linked), 0);
    EXPECT_TRUE(linked.empty());
    EXPECT_EQ(CTYXGVMS::GetProducersOfConsumer(0, linked), -1);
}

TEST_F(WorkerRegistriesTest, BindingJoinsProducerAndConsumer)
{
    const uint32_t stream = 0x01010001;
    stWorkerLink link;
    link.CreateQueue();
    CTYXWorker::InputLinkMap inputs{{stream, link}};
    auto consumer = std::make_shared<CRecordingWorker>(0x02010000, TYX_KIND_VIDEO_DECODER, &inputs);
    EXPECT_EQ(CTYXGVMS::AddConsumerLink(stream, 0x02010000, link), 1);
    EXPECT_EQ(CTYXGVMS::BindConsumerWorker(0, consumer), -1);
    EXPECT_EQ(CTYXGVMS::BindConsumerWorker(0x02010000, consumer), 1);

    stTYXWorkerItemInfo output;
    output.Id = static_cast<int32_t>(stream);
    stMediaSourceReadWorkerConfig config;
    config.OutputItems = {output};
    CTYXWorker::ConsumerLinkMap consumerLinks;
    EXPECT_EQ(CTYXGVMS::FillConsumerLinkMap(config, consumerLinks), 1);
    auto producer = std::make_shared<CRecordingWorker>(0x01010000, TYX_KIND_MEDIA_READER);
    EXPECT_EQ(CTYXGVMS::BindProducerWorker(-1, producer), -1);
    EXPECT_EQ(CTYXGVMS::BindProducerWorker(static_cast<int32_t>(stream), producer), 1);
    EXPECT_EQ(consumer->GetInputLink(stream)->producer.lock(), producer);
    EXPECT_EQ(CTYXGVMS::GetConsumerLinks(static_cast<int32_t>(stream))->at(0x02010000).producer.lock(), producer);
    // The registry never keeps a worker alive.
    consumer.reset();
    EXPECT_EQ(CTYXGVMS::GetConsumerLinks(static_cast<int32_t>(stream))->at(0x02010000).consumer.lock(), nullptr);
}

TEST_F(WorkerRegistriesTest, OutputParametersReachEveryConsumer)
{
    auto perInput = std::make_shared<CRecordingWorker>(0x04010000, TYX_KIND_VIDEO_MIDPROC, nullptr, true);
    auto single = std::make_shared<CRecordingWorker>(0x06010000, TYX_KIND_VIDEO_ENCODER);
    CTYXGVMS::AddConsumerLink(0x02010001, 0x04010000, stWorkerLink());
    CTYXGVMS::AddConsumerLink(0x02010001, 0x06010000, stWorkerLink());
    CTYXGVMS::AddConsumerLink(0x02010001, 0x06020000, stWorkerLink()); // never bound
    CTYXGVMS::BindConsumerWorker(0x04010000, perInput);
    CTYXGVMS::BindConsumerWorker(0x06010000, single);

    const stStreamParams params = ParamsOfWidth(1280);
    CTYXGVMS::OnWorkerOutputParamsChanged(nullptr, 0x02010001, &params);
    EXPECT_EQ(perInput->Received(), (std::vector<std::pair<uint32_t, uint16_t>>{{0x02010001, 1280}}));
    EXPECT_EQ(single->Received(), (std::vector<std::pair<uint32_t, uint16_t>>{{0xFFFFFFFFu, 1280}}));

    // One output: the stream worker id + 1.
    auto decoder = std::make_shared<CRecordingWorker>(0x02010000, TYX_KIND_VIDEO_DECODER);
    decoder->SetOutputParameters(ParamsOfWidth(640), 0x02010001);
    stVideoDecodeWorkerInstanceInfo record;
    record.WorkerId = 0x02010000;
    record.Name = L"Dec1";
    EXPECT_EQ(CTYXGVMS::CopyWorkerOPamsToConsumers(&record), -1); // no worker yet
    record.Worker = decoder;
    EXPECT_EQ(CTYXGVMS::CopyWorkerOPamsToConsumers(&record), 2);
    EXPECT_EQ(single->Received().back().second, 640);
    EXPECT_TRUE(m_log.Contains(L"Copy parameters from Worker(Dec1) to its consumers...", 6));
    EXPECT_EQ(CTYXGVMS::CopyWorkerOPamsToConsumers(nullptr), -1);

    // Several outputs: each stream's own record.
    auto reader = std::make_shared<CRecordingWorker>(0x01010000, TYX_KIND_MEDIA_READER, nullptr, true, true);
    reader->SetOutputParameters(ParamsOfWidth(320), 0x01010001);
    reader->SetOutputParameters(ParamsOfWidth(0), 0x01010002);
    CTYXGVMS::AddConsumerLink(0x01010001, 0x06010000, stWorkerLink());
    CTYXGVMS::BindConsumerWorker(0x06010000, single);
    stMediaReadWorkerInstanceInfo readerRecord;
    readerRecord.WorkerId = 0x01010000;
    readerRecord.Worker = reader;
    EXPECT_EQ(CTYXGVMS::CopyWorkerOPamsToConsumers(&readerRecord), 1);
    EXPECT_EQ(single->Received().back().second, 320);
}

// A consumer that publishes its own outputs while it takes new input parameters reaches the
// registry again from inside the hand-over; that must not deadlock.
TEST_F(WorkerRegistriesTest, ConsumerMayRepublishWhileTakingParameters)
{
    auto mux = std::make_shared<CRecordingWorker>(0x04010000, TYX_KIND_VIDEO_MIDPROC);
    auto encoder = std::make_shared<CRecordingWorker>(0x06010000, TYX_KIND_VIDEO_ENCODER);
    mux->onInputParams = [](const stStreamParams &params) {
        CTYXGVMS::OnWorkerOutputParamsChanged(nullptr, 0x04010001, &params);
    };
    CTYXGVMS::AddConsumerLink(0x02010001, 0x04010000, stWorkerLink());
    CTYXGVMS::AddConsumerLink(0x04010001, 0x06010000, stWorkerLink());
    CTYXGVMS::BindConsumerWorker(0x04010000, mux);
    CTYXGVMS::BindConsumerWorker(0x06010000, encoder);
    const stStreamParams params = ParamsOfWidth(1920);
    CTYXGVMS::OnWorkerOutputParamsChanged(nullptr, 0x02010001, &params);
    EXPECT_EQ(encoder->Received().size(), 1u);
}

TEST_F(WorkerRegistriesTest, LookupsRaceWithChangesSafely)
{
    constexpr int kRounds = 300;
    std::latch start(3);
    std::thread adder([&] {
        start.arrive_and_wait();
        for (int i = 0; i < kRounds; ++i) {
            auto record = std::make_shared<stMediaReadWorkerInstanceInfo>();
            record->WorkerId = 0x01010000 + (i % 8) * 0x10000;
            record->Name = L"Cam" + std::to_wstring(i % 8);
            record->Worker = std::make_shared<CRecordingWorker>(static_cast<uint32_t>(record->WorkerId), 1);
            CTYXGVMS::LockMReaderMap();
            CTYXGVMS::MReaderInstances()[static_cast<uint32_t>(record->WorkerId)] = record;
            CTYXGVMS::UnlockMReaderMap();
            CTYXGVMS::AddConsumerLink(static_cast<uint32_t>(record->WorkerId) + 1, 0x02010000 + i, stWorkerLink());
        }
    });
    std::thread destroyer([&] {
        start.arrive_and_wait();
        for (int i = 0; i < kRounds; ++i) {
            CTYXGVMS::DestroyMReaderById(0x01010000 + (i % 8) * 0x10000);
            CTYXGVMS::RemoveConsumerLinks(0, 0x02010000 + i);
        }
    });
    start.arrive_and_wait();
    for (int i = 0; i < kRounds; ++i) {
        std::shared_ptr<CTYXWorker> worker;
        CTYXGVMS::FindMReaderByAlias(L"cam" + std::to_wstring(i % 8), worker);
        CTYXGVMS::CopyMReaderMap();
        std::vector<uint32_t> consumers;
        CTYXGVMS::GetConsumersOfStream(0x01010001 + (i % 8) * 0x10000, consumers);
    }
    adder.join();
    destroyer.join();
    SUCCEED();
}

} // namespace
