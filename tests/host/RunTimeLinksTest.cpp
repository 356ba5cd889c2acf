// A producer-consumer pair added to and removed from a running consumer, again and again, the way
// the in-demand commands add and remove a source: nothing may be left behind, neither device
// pictures in forgotten queues nor registry entries.

#include "host/GlobalVars.h"
#include "host/WorkerInstanceInfo.h"

#include "core/TYXWorker.h"
#include "core/VideoFrameInfo.h"
#include "support/LeakCheck.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <memory>
#include <thread>

namespace {

constexpr uint32_t kMuxId = 0x04010000;
constexpr uint32_t kSourceId = 0x01110000;
constexpr uint32_t kSourceStream = kSourceId + 1;
constexpr int kRounds = 100;

// Sends a small device picture again and again; each picture goes to its consumer or is freed.
class CPictureSource : public CTYXWorker
{
public:
    explicit CPictureSource(uint32_t id) : CTYXWorker(id, nullptr, nullptr, TYX_KIND_MEDIA_READER, false, false) {}

    uint32_t WorkingFunc() override
    {
        while (m_exitEvent->Wait(0) != TYX_WAIT_OBJECT_0) {
            FramePackage picture;
            picture.kind = TYX_PKT_KIND_RAW_VIDEO;
            picture.mediaType = TYX_MEDIA_VIDEO;
            picture.width = 16;
            picture.height = 8;
            picture.inDevice = 1;
            if (CreateBlankVideoFrame(picture, stColorYuv{}) <= 0)
                return 1;
            bool handedOver = false;
            if (SendPaket2Consumers(handedOver, picture, false, false, 0) > 0 && handedOver) {
                if (queued.fetch_add(1) == 2)
                    flowing.count_down();
            } else {
                FreeFramePackage(picture);
                m_exitEvent->Wait(1);
            }
        }
        return 0;
    }

    std::atomic<int> queued{0};
    std::latch flowing{1}; // three pictures reached the consumer
};

// Takes whatever arrives on any input and frees it, as a mux's clean-up would.
class CDrainingConsumer : public CTYXWorker
{
public:
    CDrainingConsumer() : CTYXWorker(kMuxId, nullptr, nullptr, TYX_KIND_VIDEO_MIDPROC, true, false) {}

    uint32_t WorkingFunc() override
    {
        while (m_exitEvent->Wait(1) != TYX_WAIT_OBJECT_0)
            PopPaketsFromInputQueue(true, true, 0, 0);
        return 0;
    }
};

// How many pictures of the source the consumer has taken so far.
int64_t TakenFromSource(const CTYXWorker &consumer)
{
    const StreamStatisticsMap statistics = consumer.GetInputStatistics(kSourceStream);
    const auto found = statistics.find(kSourceStream);
    return found == statistics.end() ? 0 : found->second.packetsIn;
}

// Waits until the consumer took a picture more than before; false when it did not within 10 s.
bool ConsumerTakesMore(const CTYXWorker &consumer, int64_t before)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (TakenFromSource(consumer) <= before) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

class RunTimeLinksTest : public CLeakCheckedTest
{
protected:
    void SetUp() override
    {
        CLeakCheckedTest::SetUp();
        CTYXGVMS::ResetForTests();
    }
    void TearDown() override
    {
        CTYXGVMS::ResetForTests();
        CLeakCheckedTest::TearDown();
    }

    // Links a new source to the running consumer and starts it, as adding a source does.
    std::shared_ptr<CPictureSource> AddSource(const std::shared_ptr<CTYXWorker> &consumer)
    {
        auto source = std::make_shared<CPictureSource>(kSourceId);
        stWorkerLink link;
        link.CreateQueue();
        link.paketKind = TYX_PKT_KIND_RAW_VIDEO;
        link.consumerId = kMuxId;
        link.consumer = consumer;
        EXPECT_EQ(CTYXGVMS::AddConsumerLink(kSourceStream, static_cast<int32_t>(kMuxId), link), 1);
        EXPECT_EQ(consumer->AddInputLink(kSourceStream, link), 0);
        EXPECT_EQ(source->SetConsumerLink(kSourceStream, kMuxId, &link), 0); // a stream without consumers
        auto record = std::make_shared<stMediaReadWorkerInstanceInfo>();
        record->WorkerId = static_cast<int32_t>(kSourceId);
        record->Name = L"OnDemand";
        record->Worker = source;
        EXPECT_EQ(CTYXGVMS::PublishWorkerInstance(record), 0);
        EXPECT_EQ(CTYXGVMS::BindProducerWorker(static_cast<int32_t>(kSourceStream), source), 1);
        EXPECT_GT(source->StartWorkingThread(1, 0), 0);
        EXPECT_EQ(source->ResumeWorkingThread(), 0);
        return source;
    }

    // Takes the source out again, as removing a source does.
    void RemoveSource(const std::shared_ptr<CTYXWorker> &consumer)
    {
        stWorkerInputLink removed;
        EXPECT_EQ(consumer->RemoveInputLink(kSourceStream, &removed), 0);
        EXPECT_EQ(CTYXGVMS::RemoveConsumerLinks(kSourceStream, kMuxId), 0);
        EXPECT_EQ(CTYXGVMS::DestroyMReaderById(kSourceId), 0);
    }
};

TEST_F(RunTimeLinksTest, APairAddedAndRemovedAHundredTimesLeavesNothingBehind)
{
    CLogCapture log; // the stops log their outcome
    auto consumer = std::make_shared<CDrainingConsumer>();
    ASSERT_GT(consumer->StartWorkingThread(1, 0), 0);
    ASSERT_EQ(consumer->ResumeWorkingThread(), 0);
    const int64_t deviceBlocks = DevAllocationCounts().deviceBlocks;

    for (int round = 0; round < kRounds; ++round) {
        std::shared_ptr<CPictureSource> source = AddSource(consumer);
        source->flowing.wait();
        // Removed while the consumer is taking from its queue, not before it ever looked.
        ASSERT_TRUE(ConsumerTakesMore(*consumer, TakenFromSource(*consumer))) << "round " << round;
        std::weak_ptr<CPictureSource> gone = source;
        source.reset();
        RemoveSource(consumer);
        ASSERT_TRUE(gone.expired()) << "round " << round << ": the removed source is still held";
        ASSERT_EQ(DevAllocationCounts().deviceBlocks, deviceBlocks) << "round " << round;
    }

    EXPECT_EQ(consumer->GetInputLinkCount(), 0);
    EXPECT_GE(TakenFromSource(*consumer), kRounds);
    EXPECT_TRUE(CTYXGVMS::MReaderInstances().empty());
    EXPECT_TRUE(CTYXGVMS::LinkRegistry().empty());
    std::vector<uint32_t> linked;
    EXPECT_EQ(CTYXGVMS::GetProducersOfConsumer(kMuxId, linked), 0);
    EXPECT_EQ(consumer->WaitThreadExit(5000), 0);
}

} // namespace
