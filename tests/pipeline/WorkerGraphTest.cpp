#include "GraphTestSupport.h"

#include "pipeline/FrameRateNegotiation.h"
#include "pipeline/WorkerClasses.h"
#include "pipeline/WorkerGraph.h"
#include "pipeline/WorkerKinds.h"

#include "config/GTYXConfigXml.h"
#include "host/GlobalVars.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

namespace {

using Names = std::vector<std::string>;

// A graph over a real configuration file, made of recording workers, on a clock the test moves.
class WorkerGraphTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CTYXGVMS::ResetForTests();
        Load(GraphConfigText());
    }
    void TearDown() override
    {
        for (int32_t kind : {TYX_KIND_MEDIA_READER, TYX_KIND_VIDEO_DECODER, TYX_KIND_VIDEO_MIDPROC,
                             TYX_KIND_VIDEO_ENCODER, TYX_KIND_MEDIA_WRITER})
            m_graph.StopWorkerGroup(kind);
        CTYXGVMS::ResetForTests();
    }

    void Load(const std::string &text)
    {
        const std::filesystem::path path = m_dir.File("StreamCfg.xml");
        std::ofstream(path) << text;
        CTYXGVMS::ProgramFolder() = m_dir.Path().wstring() + L"/";
        ASSERT_GT(LoadWorkersConfigXml(path.wstring().c_str()), 0);
        LoadOSDConfigXml(path.wstring());
    }

    static std::shared_ptr<stTYXWorkerInstanceInfo> Record(uint32_t id)
    {
        for (int32_t kind : {TYX_KIND_MEDIA_READER, TYX_KIND_VIDEO_DECODER, TYX_KIND_VIDEO_MIDPROC,
                             TYX_KIND_VIDEO_ENCODER, TYX_KIND_MEDIA_WRITER})
            for (const auto &record : InstanceRecordsOfKind(kind))
                if (static_cast<uint32_t>(record->WorkerId) == id)
                    return record;
        return nullptr;
    }
    static std::shared_ptr<CGraphTestWorker> Worker(uint32_t id)
    {
        const auto record = Record(id);
        return record ? std::dynamic_pointer_cast<CGraphTestWorker>(record->Worker) : nullptr;
    }

    void Start()
    {
        ASSERT_EQ(m_graph.CreateAllWorkers(), 7);
        m_graph.InitAllWorkers(0);
        for (int32_t kind : {TYX_KIND_MEDIA_WRITER, TYX_KIND_VIDEO_ENCODER, TYX_KIND_VIDEO_MIDPROC,
                             TYX_KIND_VIDEO_DECODER, TYX_KIND_MEDIA_READER})
            m_graph.StartWorkerGroup(kind);
    }

    CTempDir m_dir;
    CLogCapture m_log;
    std::shared_ptr<CCallLog> m_calls = std::make_shared<CCallLog>();
    std::atomic<uint32_t> m_now{1000};
    // What happens while the graph pauses (a worker's progress, in the tests that need one).
    std::function<void()> m_onPause;
    CWorkerGraph m_graph{TestFactoryTable(m_calls), {[this] { return m_now.load(); }, [this](uint32_t ms) {
                                                         m_now += ms;
                                                         if (m_onPause)
                                                             m_onPause();
                                                     }}};
};

constexpr uint32_t kCam1 = TYX_ID_BASE_MEDIA_READER + TYX_ID_NUMBER_STEP;
constexpr uint32_t kDec1 = TYX_ID_BASE_VIDEO_DECODER + TYX_ID_NUMBER_STEP;
constexpr uint32_t kMux1 = TYX_ID_BASE_VIDEO_MIDPROC + TYX_ID_NUMBER_STEP;
constexpr uint32_t kEnc1 = TYX_ID_BASE_VIDEO_ENCODER + TYX_ID_NUMBER_STEP;
constexpr uint32_t kRec1 = TYX_ID_BASE_MEDIA_WRITER + TYX_ID_NUMBER_STEP;

TEST_F(WorkerGraphTest, ConsumersAreCreatedFirstAndProducersInitialisedFirst)
{
    Start();
    EXPECT_EQ(m_calls->Of("create"), (Names{"Rec1", "Enc1", "Mux1", "Dec2", "Dec1", "Cam2", "Cam1"}));
    EXPECT_EQ(m_calls->Of("init"), (Names{"Cam1", "Cam2", "Dec1", "Dec2", "Mux1", "Enc1", "Rec1"}));
    // Readers and writers work on the host, the others in device memory; writers get no device.
    EXPECT_EQ(Worker(kCam1)->initFlag, 0);
    EXPECT_EQ(Worker(kDec1)->initFlag, 1);
    EXPECT_EQ(Worker(kRec1)->initValue, -1);
    EXPECT_EQ(Worker(kEnc1)->initValue, 0);
    const auto record = Record(kRec1);
    EXPECT_EQ(record->Running, 1);
    EXPECT_GT(record->ThreadId, 0u);
}

TEST_F(WorkerGraphTest, LinksJoinEveryProducerToItsConsumers)
{
    Start();
    // The mux takes both decoders, and the decoders' links know their producer once it is initialised.
    const auto inputs = Worker(kMux1)->InputLinks();
    ASSERT_EQ(inputs.size(), 2u);
    for (const auto &[stream, link] : inputs) {
        EXPECT_EQ(link.producerId, stream & ~TYX_STREAM_BITS);
        EXPECT_EQ(link.consumerId, kMux1);
        EXPECT_NE(link.producer.lock(), nullptr);
        EXPECT_TRUE(link.HasQueue());
    }
    std::vector<uint32_t> consumers;
    CTYXGVMS::GetConsumersOfStream(static_cast<int32_t>(inputs.begin()->first), consumers);
    EXPECT_EQ(consumers, (std::vector<uint32_t>{kMux1}));
}

// A writer lists the streams it records among its outputs as well; it is not their producer, and
// the links of those streams keep the worker that makes them.
TEST_F(WorkerGraphTest, AWriterIsNoProducerOfTheStreamsItRecords)
{
    Start();
    const auto inputs = Worker(kRec1)->InputLinks();
    ASSERT_EQ(inputs.size(), 1u);
    const stWorkerInputLink &link = inputs.begin()->second;
    EXPECT_EQ(link.producerId, kEnc1);
    EXPECT_EQ(link.producer.lock().get(), Record(kEnc1)->Worker.get());
    const std::optional<CTYXWorker::ConsumerMap> registered = CTYXGVMS::GetConsumerLinks(static_cast<int32_t>(inputs.begin()->first));
    ASSERT_TRUE(registered.has_value());
    EXPECT_EQ(registered->at(kRec1).producer.lock().get(), Record(kEnc1)->Worker.get());
}

TEST_F(WorkerGraphTest, ClockTextOfTheMuxSwitchesItsTimeOverlayOn)
{
    Start();
    EXPECT_TRUE(Worker(kMux1)->TimeOsdOn());
    EXPECT_FALSE(Worker(kDec1)->TimeOsdOn());
    EXPECT_NE(Worker(kMux1)->GetOsdWriter(OVERLAY_TARGET_OUTPUT, 0), nullptr);
}

TEST_F(WorkerGraphTest, AffinityResumeAndStopFollowTheirOrders)
{
    Start();
    for (int32_t kind : {TYX_KIND_MEDIA_READER, TYX_KIND_VIDEO_DECODER, TYX_KIND_VIDEO_MIDPROC,
                         TYX_KIND_VIDEO_ENCODER, TYX_KIND_MEDIA_WRITER})
        m_graph.SetWorkerGroupAffinity(kind, 0xF0);
    EXPECT_EQ(m_calls->Of("affinity"), (Names{"Cam1", "Cam2", "Dec1", "Dec2", "Mux1", "Enc1", "Rec1"}));
    EXPECT_EQ(Worker(kMux1)->priority, 15);
    EXPECT_EQ(Worker(kDec1)->priority, 0);
    EXPECT_EQ(Worker(kEnc1)->mask, 0xF0u);

    const uint32_t before = m_now;
    EXPECT_EQ(m_graph.ResumeWorkerGroup(TYX_KIND_MEDIA_WRITER), 1);
    EXPECT_EQ(m_now - before, 50u) << "the recording pushes from the start after a 50 ms pause";

    for (int32_t kind : {TYX_KIND_MEDIA_READER, TYX_KIND_VIDEO_DECODER, TYX_KIND_VIDEO_MIDPROC,
                         TYX_KIND_VIDEO_ENCODER, TYX_KIND_MEDIA_WRITER})
        EXPECT_GE(m_graph.StopWorkerGroup(kind), 1);
    EXPECT_EQ(m_calls->Of("uninit"), (Names{"Cam1", "Cam2", "Dec1", "Dec2", "Mux1", "Enc1", "Rec1"}));
    const auto record = Record(kMux1);
    ASSERT_NE(record, nullptr) << "stopped workers keep their records";
    EXPECT_EQ(record->Worker, nullptr);
    EXPECT_EQ(record->Running, 0);
}

TEST_F(WorkerGraphTest, AWorkerThatDoesNotEndIsAbandonedAfterThreeSecondsWithItsResources)
{
    Start();
    const auto hanging = Worker(kEnc1);
    auto release = std::make_shared<std::latch>(1);
    hanging->hangUntil = release;
    hanging->ResumeWorkingThread();
    while (m_calls->Of("run").empty())
        std::this_thread::yield();

    const uint32_t before = m_now;
    EXPECT_EQ(m_graph.StopWorkerGroup(TYX_KIND_VIDEO_ENCODER), 0);
    EXPECT_GE(m_now - before, 3000u);
    EXPECT_LT(m_now - before, 3100u);
    EXPECT_EQ(hanging->uninitialised, 0) << "a running thread keeps what it uses";
    EXPECT_TRUE(m_log.Contains(L"still runs after its stop"));
    release->count_down();
    bool children = false;
    while (!hanging->IsStopped(children))
        std::this_thread::yield();
}

// Pictures queued for the mux when the decoders stop: the stop lets the mux work them off (here one
// each time the graph pauses) before it asks the mux to exit, so that they reach the outputs.
class WorkerGraphDrainTest : public WorkerGraphTest
{
protected:
    void SetUp() override
    {
        WorkerGraphTest::SetUp();
        Start();
        for (int32_t kind : {TYX_KIND_MEDIA_WRITER, TYX_KIND_VIDEO_ENCODER, TYX_KIND_VIDEO_MIDPROC,
                             TYX_KIND_VIDEO_DECODER, TYX_KIND_MEDIA_READER})
            m_graph.ResumeWorkerGroup(kind);
        for (int32_t kind : {TYX_KIND_MEDIA_READER, TYX_KIND_VIDEO_DECODER})
            m_graph.StopWorkerGroup(kind);
        m_mux = Worker(kMux1);
        m_queue = m_mux->InputLinks().begin()->second;
    }

    void QueueForTheMux(int packages)
    {
        CCsLock lock(*m_queue.queueLock);
        for (int i = 0; i < packages; ++i)
            m_queue.queue->push_back(FramePackage());
    }
    // The mux's progress: one package taken while its thread has not been asked to exit.
    void TakeOneWhileRunning()
    {
        if (m_mux->ExitRequested())
            return;
        CCsLock lock(*m_queue.queueLock);
        if (!m_queue.queue->empty())
            m_queue.queue->pop_front();
    }

    std::shared_ptr<CGraphTestWorker> m_mux;
    stWorkerInputLink m_queue;
};

TEST_F(WorkerGraphDrainTest, AStoppingKindFirstWorksOffWhatItsStoppedProducersLeft)
{
    QueueForTheMux(5);
    m_onPause = [this] { TakeOneWhileRunning(); };
    EXPECT_EQ(m_graph.StopWorkerGroup(TYX_KIND_VIDEO_MIDPROC), 1);
    EXPECT_EQ(m_mux->queuedAtExit.load(), 0) << "the mux was asked to exit with pictures still queued for it";
}

TEST_F(WorkerGraphDrainTest, AQueueThatNoLongerShrinksHoldsTheStopOnlyBriefly)
{
    QueueForTheMux(5);
    const uint32_t before = m_now;
    EXPECT_EQ(m_graph.DrainWorkerGroup(TYX_KIND_VIDEO_MIDPROC), 5u);
    EXPECT_EQ(m_now - before, 200u);
}

TEST_F(WorkerGraphDrainTest, TheDrainEndsWithItsBudget)
{
    QueueForTheMux(1000);
    m_onPause = [this] { TakeOneWhileRunning(); };
    const uint32_t before = m_now;
    EXPECT_EQ(m_graph.DrainWorkerGroup(TYX_KIND_VIDEO_MIDPROC), 900u);
    EXPECT_EQ(m_now - before, 2000u);
}

TEST_F(WorkerGraphDrainTest, KindsWithNothingQueuedStopAtOnce)
{
    const uint32_t before = m_now;
    EXPECT_EQ(m_graph.DrainWorkerGroup(TYX_KIND_VIDEO_MIDPROC), 0u);
    EXPECT_EQ(m_graph.DrainWorkerGroup(TYX_KIND_MEDIA_WRITER), 0u);
    EXPECT_EQ(m_now, before);
}

TEST_F(WorkerGraphTest, NegotiatedRateReachesDecodersAndNotFileReaders)
{
    Start();
    EXPECT_FLOAT_EQ(GetNegotiatedInputFrameRate(30.0f), 30.0f);
    EXPECT_EQ(m_graph.ApplyInputFrameRate(30.0f), 2);
    EXPECT_FLOAT_EQ(Worker(kDec1)->inputFrameRate, 30.0f);
    EXPECT_FLOAT_EQ(Worker(kCam1)->inputFrameRate, 0.0f);
}

// Workers whose class is missing are refused and left out; the others are made.
class WorkerGraphRefusalTest : public WorkerGraphTest
{
};

TEST_F(WorkerGraphRefusalTest, ATypeWithoutClassIsLoggedAndItsLinksAreNotLeftBehind)
{
    CWorkerFactoryTable table = TestFactoryTable(m_calls);
    table.Register({TYX_KIND_VIDEO_MIDPROC, TYX_MP_MUX, L"CVideoMuxWorker", {}, {}});
    CWorkerGraph graph(std::move(table));
    EXPECT_EQ(graph.CreateAllWorkers(), 6);
    EXPECT_TRUE(m_log.Contains(L"CVideoMuxWorker is not available", 3));
    EXPECT_TRUE(m_log.Contains(L"VMP worker[67174400:Mux1] creating failed with error[-2] returned!!", 3));
    std::vector<uint32_t> consumers;
    CTYXGVMS::GetConsumersOfStream(static_cast<int32_t>(kDec1 + 1), consumers);
    EXPECT_TRUE(consumers.empty());
    for (int32_t kind : {TYX_KIND_MEDIA_READER, TYX_KIND_VIDEO_DECODER, TYX_KIND_VIDEO_ENCODER, TYX_KIND_MEDIA_WRITER})
        graph.StopWorkerGroup(kind);
}

TEST_F(WorkerGraphRefusalTest, CreationResultsOfTheKindsWithoutClasses)
{
    CWorkerGraph graph(TestFactoryTable(m_calls));
    stMediaSourceReadWorkerConfig reader;
    reader.WorkerId = static_cast<int32_t>(kCam1);
    reader.MSTYPE = 4;
    stMediaReadWorkerInstanceInfo readerRecord;
    EXPECT_EQ(graph.CreateSingleWorker(TYX_KIND_MEDIA_READER, &reader, &readerRecord), -8);
    stVideoEncodeWorkerConfig encoder;
    encoder.EncoderType = 2;
    stVideoEncodeWorkerInstanceInfo encoderRecord;
    EXPECT_EQ(graph.CreateSingleWorker(TYX_KIND_VIDEO_ENCODER, &encoder, &encoderRecord), -1);
    EXPECT_EQ(graph.CreateSingleWorker(TYX_KIND_VIDEO_ENCODER, nullptr, &encoderRecord), -1);
    stVideoMidProcWorkerConfig vmp;
    vmp.MPType = 9;
    stVideoMidProcessWorkerInstanceInfo vmpRecord;
    EXPECT_EQ(graph.CreateSingleWorker(TYX_KIND_VIDEO_MIDPROC, &vmp, &vmpRecord), -2);
    EXPECT_EQ(graph.CreateSingleWorker(TYX_KIND_AUDIO_DECODER, &vmp, &vmpRecord), -2);
}

TEST_F(WorkerGraphRefusalTest, MoreThan256OfAKindCreatesNoneOfThemButTheOthers)
{
    auto &readers = CTYXGVMS::MSReaderConfigs();
    const stMediaSourceReadWorkerConfig model = readers.begin()->second;
    for (int i = 3; i <= 257; ++i) {
        stMediaSourceReadWorkerConfig copy = model;
        copy.Name = L"Cam" + std::to_wstring(i);
        copy.WorkerId = static_cast<int32_t>(TYX_ID_BASE_MEDIA_READER + i * TYX_ID_NUMBER_STEP);
        readers[copy.Name] = copy;
    }
    EXPECT_EQ(m_graph.CreateWorkerGroup(TYX_KIND_MEDIA_READER), -1);
    EXPECT_TRUE(CTYXGVMS::CopyMReaderMap().empty());
    EXPECT_EQ(m_graph.CreateWorkerGroup(TYX_KIND_MEDIA_WRITER), 1);
}

TEST_F(WorkerGraphRefusalTest, TwoConfigurationsWithOneIdMakeOneWorker)
{
    auto &decoders = CTYXGVMS::VideoDecoderConfigs();
    stVideoDecodeWorkerConfig twin = decoders.at(L"Dec1");
    twin.Name = L"Dec1b";
    decoders[twin.Name] = twin;
    EXPECT_EQ(m_graph.CreateWorkerGroup(TYX_KIND_VIDEO_DECODER), 2);
}

TEST_F(WorkerGraphRefusalTest, AnInputFromAnUnconfiguredProducerHasNoProducer)
{
    CTYXGVMS::MSReaderConfigs().erase(L"Cam1");
    ASSERT_EQ(m_graph.CreateWorkerGroup(TYX_KIND_VIDEO_DECODER), 2);
    const auto links = Record(kDec1)->InputLinks;
    ASSERT_EQ(links->size(), 1u);
    EXPECT_EQ(links->begin()->second.producerId, 0u);
    EXPECT_EQ(links->begin()->second.paketKind, 0);
}

TEST_F(WorkerGraphRefusalTest, TheProgramTableNamesAndBuildsEveryClass)
{
    const CWorkerFactoryTable table = BuildWorkerFactoryTable();
    const stWorkerFactoryEntry *file = table.Find(TYX_KIND_MEDIA_READER, TYX_MS_FILE);
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(static_cast<bool>(file->create));
    ASSERT_NE(table.Find(TYX_KIND_MEDIA_WRITER, 0), nullptr);
    EXPECT_TRUE(static_cast<bool>(table.Find(TYX_KIND_MEDIA_WRITER, 0)->create));
    for (auto [kind, type] : {std::pair{TYX_KIND_VIDEO_DECODER, 0}, {TYX_KIND_VIDEO_DECODER, 1},
                              {TYX_KIND_VIDEO_MIDPROC, TYX_MP_MUX}, {TYX_KIND_VIDEO_MIDPROC, TYX_MP_MATRIX},
                              {TYX_KIND_VIDEO_MIDPROC, TYX_MP_SPLIT}, {TYX_KIND_VIDEO_MIDPROC, TYX_MP_UNIFY},
                              {TYX_KIND_VIDEO_ENCODER, 0}, {TYX_KIND_VIDEO_ENCODER, 1},
                              {TYX_KIND_MEDIA_READER, TYX_MS_RTSP}, {TYX_KIND_MEDIA_READER, TYX_MS_RTMP},
                              {TYX_KIND_MEDIA_READER, TYX_MS_VCAP}, {TYX_KIND_MEDIA_READER, TYX_MS_ACAP}}) {
        const stWorkerFactoryEntry *entry = table.Find(kind, type);
        ASSERT_NE(entry, nullptr) << kind << " " << type;
        // A class listed without a create function would be left out of every run.
        EXPECT_TRUE(static_cast<bool>(entry->create)) << kind << " " << type;
    }
    EXPECT_EQ(table.Find(TYX_KIND_MEDIA_READER, 4), nullptr);
    EXPECT_TRUE(static_cast<bool>(table.Find(TYX_KIND_MEDIA_READER, TYX_MS_VCAP)->create));
    EXPECT_TRUE(static_cast<bool>(table.Find(TYX_KIND_MEDIA_READER, TYX_MS_VCAP)->setInputFrameRate));
    const stWorkerFactoryEntry *encoder = table.Find(TYX_KIND_VIDEO_ENCODER, 0);
    ASSERT_NE(encoder, nullptr);
    EXPECT_TRUE(static_cast<bool>(encoder->create));
}

TEST(FrameRateNegotiationTest, TheLargestKnownRateBelowTheDefaultWinsExceptALone25)
{
    auto negotiate = [](std::vector<float> rates) {
        return NegotiateFrameRate(static_cast<uint16_t>(rates.size()), rates.data(), 30.0f);
    };
    EXPECT_FLOAT_EQ(negotiate({25, 24}), 25.0f);
    EXPECT_FLOAT_EQ(negotiate({25}), 30.0f);
    EXPECT_FLOAT_EQ(negotiate({24}), 24.0f);
    EXPECT_FLOAT_EQ(negotiate({20, 15}), 20.0f);
    EXPECT_FLOAT_EQ(negotiate({60, 25}), 30.0f);
    EXPECT_FLOAT_EQ(negotiate({0}), 30.0f);
    EXPECT_FLOAT_EQ(negotiate({}), 30.0f);
}

TEST(FrameRateNegotiationTest, NoReaderConfiguredGivesZero)
{
    CTYXGVMS::ResetForTests();
    EXPECT_FLOAT_EQ(GetNegotiatedInputFrameRate(30.0f), 0.0f);
}

} // namespace
