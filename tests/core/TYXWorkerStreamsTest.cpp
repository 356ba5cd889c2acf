// What a worker knows of its streams: configuration, items and ids, stream parameters, link maps,
// statistics and the upstream delay.

#include "WorkerTestSupport.h"

#include "core/TYXWorker.h"
#include "core/TYXWorkerConfig.h"
#include "support/LeakCheck.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

namespace {

constexpr uint32_t kSplitId = 0x04030000;

std::shared_ptr<CTestWorker> MakeConfiguredSplitter(bool perInput = false, bool perOutput = false)
{
    stVideoMidProcWorkerConfig config;
    config.Name = L"VmpVSplitter";
    config.DisplayName = L"Splitter";
    config.WorkerId = static_cast<int32_t>(kSplitId);
    config.PushAtBegin = 1;
    config.MPType = TYX_MP_SPLIT;
    config.SingleInput.VideoSource = 0x04010001;
    config.SingleInput.Outputs[1].StreamId = static_cast<int32_t>(kSplitId + 1);
    config.SingleInput.Outputs[1].Alias = L"Left";
    config.SingleInput.Outputs[2].StreamId = static_cast<int32_t>(kSplitId + 2);
    config.SingleInput.Outputs[2].Alias = L"Right";
    config.BuildIOItems();
    auto worker = std::make_shared<CTestWorker>(kSplitId, nullptr, nullptr, perInput, perOutput);
    EXPECT_EQ(worker->CopyInConfiguration(&config), 0);
    return worker;
}

TEST(TYXWorkerStreamsTest, CopyInConfigurationTakesNamesFlagsAndItems)
{
    CLogCapture log;
    auto worker = MakeConfiguredSplitter();
    EXPECT_EQ(worker->GetName(), L"VmpVSplitter");
    EXPECT_EQ(worker->GetDisplayName(), L"Splitter");
    EXPECT_EQ(worker->GetPushAtBegin(), 1);
    EXPECT_TRUE(log.Contains(L"Copy in configurations for Worker[VmpVSplitter:67305472].", 6));
    EXPECT_EQ(worker->CopyInConfiguration(nullptr), -1);

    std::vector<uint32_t> ids{99};
    EXPECT_EQ(worker->GetInputStreamIds(ids), 1);
    EXPECT_EQ(ids, (std::vector<uint32_t>{0x04010001}));
    EXPECT_EQ(worker->GetOutputStreamIds(ids), 2);
    EXPECT_EQ(ids, (std::vector<uint32_t>{kSplitId + 1, kSplitId + 2}));

    EXPECT_EQ(worker->GetOutputStreamIdByName(L"rIGHT"), kSplitId + 2);
    EXPECT_EQ(worker->GetOutputStreamIdByName(L"Middle"), 0u);
    EXPECT_EQ(worker->GetOutputStreamIdByName(L""), kSplitId);
    EXPECT_EQ(worker->GetOutputStreamIdByNo(2), kSplitId + 2);
    EXPECT_EQ(worker->GetOutputStreamIdByNo(0), kSplitId);
    EXPECT_EQ(worker->GetOutputStreamIdByNo(3), 0u);
    EXPECT_EQ(worker->GetOutputStreamIdByNo(2 + 65536), kSplitId + 2); // a 16-bit number

    CTestWorker bare(kSplitId);
    EXPECT_EQ(bare.GetOutputStreamIdByNo(1), kSplitId);
    EXPECT_EQ(bare.GetOutputStreamIdByName(L"Left"), kSplitId);
}

TEST(TYXWorkerStreamsTest, InputIdsFallBackToStreamNumbers)
{
    stMediaWriteWorkerConfig config;
    config.VideoStreams = {{0x06010001, L"v"}};
    config.BuildIOItems();
    config.InputItems.push_back({});
    config.InputItems.back().Id = 0;
    config.InputItems.back().No = 3;
    config.InputItems.push_back({});
    config.InputItems.back().Id = -5;
    config.InputItems.back().No = -1;
    CTestWorker worker(0x10010004);
    ASSERT_EQ(worker.CopyInConfiguration(&config), 0);
    std::vector<uint32_t> ids;
    EXPECT_EQ(worker.GetInputStreamIds(ids), 2);
    EXPECT_EQ(ids, (std::vector<uint32_t>{0x06010001, 3}));
}

TEST(TYXWorkerStreamsTest, SingleParameterRecords)
{
    auto worker = MakeConfiguredSplitter();
    CLogCapture log;
    stStreamParams params;
    params.width = 1280;
    params.height = 720;
    EXPECT_EQ(worker->SetInputParameters(params, 0), 0); // the id plays no part
    EXPECT_TRUE(log.Contains(L"Seting input parameters for TYXSplitWorker...", 6));
    EXPECT_EQ(worker->InputParams(0).width, 1280);
    params.width = 640;
    EXPECT_EQ(worker->SetOutputParameters(params, 7), 0);
    EXPECT_EQ(worker->GetOutputParameters().width, 640);
    EXPECT_FALSE(worker->GetOutputParametersMap().has_value());
}

TEST(TYXWorkerStreamsTest, PerStreamParameterRecords)
{
    auto worker = MakeConfiguredSplitter(true, true);
    stStreamParams params;
    params.codecId = 27;
    EXPECT_EQ(worker->SetInputParameters(params, 0), -1);
    EXPECT_EQ(worker->SetInputParameters(params, static_cast<uint32_t>(-7)), -1);
    EXPECT_EQ(worker->SetInputParameters(params, 0x04010001), 0);
    params.codecId = 173;
    EXPECT_EQ(worker->SetInputParameters(params, 0x04010002), 0);
    EXPECT_EQ(worker->InputParams(0x04010001).codecId, 27);
    EXPECT_EQ(worker->InputParams(0x04010002).codecId, 173);

    // -1 sets the single record and every stream's.
    params.codecId = 86018;
    EXPECT_EQ(worker->SetInputParameters(params, static_cast<uint32_t>(-1)), 0);
    EXPECT_EQ(worker->InputParams(0x04010001).codecId, 86018);
    EXPECT_EQ(worker->InputParams(0x04010002).codecId, 86018);

    params.width = 960;
    EXPECT_EQ(worker->SetOutputParameters(params, kSplitId + 2), 0);
    const auto outputs = worker->GetOutputParametersMap();
    ASSERT_TRUE(outputs.has_value());
    ASSERT_EQ(outputs->size(), 1u);
    EXPECT_EQ(outputs->at(kSplitId + 2).width, 960);
    EXPECT_EQ(worker->GetOutputParameters().width, 0); // the single record is untouched
}

TEST(TYXWorkerStreamsTest, ConsumerLinksAreSetOnlyForKnownOutputs)
{
    const stWorkerLink link = MakeLink(kSplitId + 1, 0x06010000, TYX_PKT_KIND_RAW_VIDEO);
    CTYXWorker::ConsumerLinkMap outputs{{kSplitId + 1, {}}};
    CTestWorker worker(kSplitId, nullptr, &outputs);
    EXPECT_EQ(worker.SetConsumerLink(kSplitId + 1, 0x06010000, nullptr), -1);
    EXPECT_EQ(worker.SetConsumerLink(kSplitId + 2, 0x06010000, &link), -2);
    EXPECT_EQ(worker.FindConsumerLink(0x06010000), 0);
    EXPECT_EQ(worker.SetConsumerLink(kSplitId + 1, 0x06010000, &link), 0);
    EXPECT_EQ(worker.SetConsumerLink(kSplitId + 1, 0x06010000, &link), 0); // overwrite
    EXPECT_EQ(worker.FindConsumerLink(0x06010000), 1);

    bool handed = false;
    FramePackage status;
    EXPECT_EQ(worker.SendPaket2Consumers(handed, status, false, false, kSplitId + 1), 1);
    EXPECT_EQ(link.queue->size(), 1u);

    CTYXWorker::ConsumerLinkMap replacement{{kSplitId + 2, {{0x06020000, MakeLink(kSplitId + 2, 0x06020000, 1)}}}};
    worker.ResetOutputLinks(&replacement);
    EXPECT_EQ(worker.FindConsumerLink(0x06010000), 0);
    EXPECT_EQ(worker.FindConsumerLink(0x06020000), 1);
    worker.ResetOutputLinks(nullptr);
    EXPECT_EQ(worker.SendPaket2Consumers(handed, status, false, false, 0), 0);
}

// Links that come and go while the graph runs; whatever a removed queue still holds is released
// with it.
using TYXWorkerLinkChangeTest = CLeakCheckedTest;

// A source added while the graph runs is linked to an output stream that had no consumer when the
// producer was made; another consumer leaves without disturbing the rest.
TEST_F(TYXWorkerLinkChangeTest, ConsumersJoinAndLeaveOneOutputStreamWhileOthersStay)
{
    auto worker = MakeConfiguredSplitter(); // outputs kSplitId + 1 and + 2, no consumer links yet
    const stWorkerLink encoder = MakeLink(kSplitId + 2, 0x06010000, TYX_PKT_KIND_RAW_VIDEO);
    const stWorkerLink writer = MakeLink(kSplitId + 2, 0x10010004, TYX_PKT_KIND_RAW_VIDEO);
    const stWorkerLink other = MakeLink(kSplitId + 1, 0x06010000, TYX_PKT_KIND_RAW_VIDEO);
    EXPECT_EQ(worker->SetConsumerLink(kSplitId + 2, 0x06010000, &encoder), 0);
    EXPECT_EQ(worker->SetConsumerLink(kSplitId + 2, 0x10010004, &writer), 0);
    EXPECT_EQ(worker->SetConsumerLink(kSplitId + 1, 0x06010000, &other), 0);
    EXPECT_EQ(worker->SetConsumerLink(kSplitId + 3, 0x06010000, &encoder), -2); // not its stream

    bool handed = false;
    FramePackage status;
    status.nLength = TYX_SRC_STANDBY;
    EXPECT_EQ(worker->SendPaket2Consumers(handed, status, false, false, kSplitId + 2), 2);

    EXPECT_EQ(worker->RemoveConsumerLink(kSplitId + 2, 0x06010000), 1);
    EXPECT_EQ(worker->RemoveConsumerLink(kSplitId + 2, 0x06010000), 0);
    EXPECT_EQ(worker->SendPaket2Consumers(handed, status, false, false, kSplitId + 2), 1);
    EXPECT_EQ(encoder.queue->size(), 1u); // the removed queue gets nothing more
    EXPECT_EQ(writer.queue->size(), 2u);
    EXPECT_EQ(worker->FindConsumerLink(0x06010000), 1); // its link on the other stream stays

    EXPECT_EQ(worker->RemoveConsumerLink(0, 0x06010000), 1);
    EXPECT_EQ(worker->FindConsumerLink(0x06010000), 0);

    // A worker without output items has its single output, id + 1.
    CTestWorker single(0x02010000);
    const stWorkerLink decoded = MakeLink(0x02010001, 0x04010000, TYX_PKT_KIND_RAW_VIDEO);
    EXPECT_EQ(single.SetConsumerLink(0x02010001, 0x04010000, &decoded), 0);
    EXPECT_EQ(single.SetConsumerLink(0x02010002, 0x04010000, &decoded), -2);
}

TEST_F(TYXWorkerLinkChangeTest, InputLinksAreAddedAndRemovedWhileTheWorkerRuns)
{
    auto consumer = std::make_shared<CTestWorker>(0x04010000);
    std::atomic<int64_t> received{0};
    consumer->body = [&](CTestWorker &self) -> uint32_t {
        while (!self.ExitRequested(1)) {
            FramePackage package;
            for (uint32_t stream : {0x02010001u, 0x02020001u}) {
                if (self.ReceivePaketFromUpStream(package, stream, true) > 0) {
                    FreeFramePackage(package);
                    ++received;
                }
            }
        }
        return 0;
    };
    ASSERT_GT(consumer->StartWorkingThread(1, 0), 0);
    ASSERT_EQ(consumer->ResumeWorkingThread(), 0);

    CLogCapture log; // the receives of links not yet there log their absence
    for (int round = 0; round < 20; ++round) {
        stWorkerLink link = MakeLink(0x02020001, 0x04010000, TYX_PKT_KIND_RAW_VIDEO, 0);
        ASSERT_EQ(consumer->AddInputLink(0x02020001, link), 0);
        EXPECT_EQ(consumer->AddInputLink(0x02020001, link), -2);
        EXPECT_NE(consumer->GetInputLink(0x02020001)->lastActiveTime.load(), 0); // counts from now
        {
            CCsLock lock(*link.queueLock);
            link.queue->push_back(MakeDataPackage(TYX_PKT_KIND_RAW_VIDEO, round));
        }
        stWorkerInputLink removed;
        ASSERT_EQ(consumer->RemoveInputLink(0x02020001, &removed), 0);
        EXPECT_EQ(removed.queue, link.queue);
        EXPECT_EQ(consumer->RemoveInputLink(0x02020001), -1);
    }
    EXPECT_EQ(consumer->AddInputLink(0, MakeLink(0, 0x04010000, 1)), -1);
    EXPECT_EQ(consumer->AddInputLink(0x02030001, stWorkerLink{}), -1);
    EXPECT_EQ(consumer->WaitThreadExit(5000), 0);
    EXPECT_EQ(consumer->GetInputLinkCount(), 0);
}

TEST(TYXWorkerStreamsTest, InputLinkLookupsAndLocking)
{
    CTYXWorker::InputLinkMap inputs{{0x02010001, MakeLink(0x02010001, kSplitId, TYX_PKT_KIND_RAW_VIDEO)},
                                    {0x02020001, stWorkerLink{}}};
    CTestWorker worker(kSplitId, &inputs);
    EXPECT_EQ(worker.GetInputLinkCount(), 2);
    EXPECT_FALSE(worker.GetInputLink(0x02030001).has_value());
    const auto link = worker.GetInputLink(0x02010001);
    ASSERT_TRUE(link.has_value());
    EXPECT_EQ(link->queue, inputs.at(0x02010001).queue);
    EXPECT_EQ(link->paketKind, TYX_PKT_KIND_RAW_VIDEO);

    auto producer = std::make_shared<CTestWorker>(0x02010000);
    EXPECT_EQ(worker.BindInputLinkProducer(0x02010001, producer), 0);
    EXPECT_EQ(worker.BindInputLinkProducer(0x02030001, producer), -1);
    EXPECT_EQ(worker.GetInputLink(0x02010001)->producer.lock(), producer);
    EXPECT_EQ(worker.GetInputLink(0x02010001)->producerId, 0x02010000u);

    // A shared hold lets other readers in; an exclusive one keeps them out until released.
    worker.LockInputLinks(false);
    EXPECT_EQ(worker.GetInputLinkCount(), 2);
    worker.UnlockInputLinks(false);
    worker.LockInputLinks(true);
    worker.UnlockInputLinks(true);
    EXPECT_EQ(worker.GetQueuedPktsCount(), 0);

    CTYXWorker::InputLinkMap broken{{0x02020001, stWorkerLink{}}};
    CTestWorker noQueue(kSplitId, &broken);
    CLogCapture log;
    EXPECT_EQ(noQueue.GetQueuedPktsCount(), -2);
    EXPECT_TRUE(log.Contains(L"NULL input queue for stream(0)of worker[WID=67305472]!", 3));
}

TEST(TYXWorkerStreamsTest, StatisticsAndStreamStates)
{
    CTestWorker worker(kSplitId);
    FramePackage status;
    status.nLength = -96;
    FramePackage data;
    data.nLength = 10;
    worker.CountPaket(kSplitId + 1, data, true, true);
    worker.CountPaket(kSplitId + 1, status, true, false);
    worker.CountPaket(kSplitId + 2, status, false, true);

    StreamStatisticsMap in = worker.GetInputStatistics(kSplitId + 1);
    EXPECT_EQ(in.at(kSplitId + 1).packetsIn, 2);
    EXPECT_EQ(in.at(kSplitId + 1).dataPacketsIn, 1);
    StreamStatisticsMap out = worker.GetOutputStatistics(0);
    EXPECT_EQ(out.size(), 2u);
    EXPECT_EQ(out.at(kSplitId + 1).dataPacketsOut, 1);
    EXPECT_EQ(out.at(kSplitId + 2).dataPacketsOut, 0);
    EXPECT_TRUE(worker.GetInputStatistics(kSplitId + 9).empty());

    worker.SetStateOfAllStreams(worker.InputStatisticsMap(), TYX_STATUS_OPEN_FAILED);
    EXPECT_EQ(worker.GetInputStatistics(kSplitId + 1).at(kSplitId + 1).state, TYX_STATUS_OPEN_FAILED);
    EXPECT_EQ(worker.GetOutputStatistics(kSplitId + 1).at(kSplitId + 1).state, TYX_STATUS_RUNNING);
    worker.SetStateOfAllStreams(TYX_STATUS_CLOSED);
    for (const auto &entry : worker.GetOutputStatistics(0))
        EXPECT_EQ(entry.second.state, TYX_STATUS_CLOSED);
    EXPECT_EQ(worker.GetInputStatistics(0).at(kSplitId + 1).state, TYX_STATUS_CLOSED);
}

TEST(TYXWorkerStreamsTest, UpstreamDelaySumsTheFrameTimesOfTheChain)
{
    constexpr uint32_t reader = 0x01010000, mux = 0x04010000;
    auto source = std::make_shared<CTestWorker>(reader);
    source->SetOutputFps(reader + 1, 50.0f);
    CTYXWorker::InputLinkMap inputs{{reader + 1, MakeLink(reader + 1, mux, TYX_PKT_KIND_RAW_VIDEO)}};
    auto stage = std::make_shared<CTestWorker>(mux, &inputs);
    stage->SetRoute(mux + 1, static_cast<int32_t>(reader + 1));
    stage->SetOutputFps(mux + 1, 25.0f);

    EXPECT_EQ(stage->GetUpstreamDelay(mux + 1), 40); // producer not bound yet
    ASSERT_EQ(stage->BindInputLinkProducer(reader + 1, source), 0);
    EXPECT_EQ(stage->GetUpstreamDelay(mux + 1), 20 + 40);
    EXPECT_EQ(stage->GetUpstreamDelay(mux), -1);
    EXPECT_EQ(stage->GetUpstreamDelay(mux - 5), -1);
    EXPECT_EQ(stage->GetUpstreamDelay(mux + 2), 0); // no route, no frame rate

    // A producer that is gone counts as none.
    source.reset();
    EXPECT_EQ(stage->GetUpstreamDelay(mux + 1), 40);
}

TEST(TYXWorkerStreamsTest, UpstreamDelayOfACycleEndsWithAnError)
{
    constexpr uint32_t a = 0x04010000, b = 0x04020000;
    CTYXWorker::InputLinkMap aInputs{{b + 1, MakeLink(b + 1, a, TYX_PKT_KIND_RAW_VIDEO)}};
    CTYXWorker::InputLinkMap bInputs{{a + 1, MakeLink(a + 1, b, TYX_PKT_KIND_RAW_VIDEO)}};
    auto first = std::make_shared<CTestWorker>(a, &aInputs);
    auto second = std::make_shared<CTestWorker>(b, &bInputs);
    first->SetRoute(a + 1, static_cast<int32_t>(b + 1));
    second->SetRoute(b + 1, static_cast<int32_t>(a + 1));
    first->BindInputLinkProducer(b + 1, second);
    second->BindInputLinkProducer(a + 1, first);
    CLogCapture log;
    EXPECT_EQ(first->GetUpstreamDelay(a + 1), -1);
    EXPECT_TRUE(log.Contains(L"the links form a cycle.", 3));
}

} // namespace
