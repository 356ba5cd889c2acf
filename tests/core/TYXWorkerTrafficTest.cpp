// Sending, receiving and dropping packages over links, with their limits, states and statistics.

#include "WorkerTestSupport.h"

#include "core/TYXWorker.h"
#include "platform/GpuDevice.h"
#include "support/LeakCheck.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <set>

namespace {

constexpr uint32_t kProducer = 0x04010000;
constexpr uint32_t kOut1 = kProducer + 1;
constexpr uint32_t kOut2 = kProducer + 2;
constexpr uint32_t kConsumerA = 0x06010000;
constexpr uint32_t kConsumerB = 0x06020000;
constexpr uint32_t kConsumerC = 0x06030000;

// A producer with consumer links whose queues the test inspects directly; every package left in a
// queue is released when the fixture's links go.
class TYXWorkerTrafficTest : public CLeakCheckedTest
{
protected:
    void TearDown() override
    {
        m_producer.reset();
        m_links.clear();
        m_consumerMap.clear();
        CLeakCheckedTest::TearDown();
    }

    stWorkerLink &AddConsumer(uint32_t stream, uint32_t consumer, int32_t kind = TYX_PKT_KIND_CODED_VIDEO)
    {
        m_consumerMap[stream][consumer] = MakeLink(stream, consumer, kind);
        m_links.push_back(m_consumerMap[stream][consumer]);
        return m_links.back();
    }
    CTestWorker &Producer()
    {
        if (!m_producer) {
            m_producer = std::make_shared<CTestWorker>(kProducer, nullptr, &m_consumerMap);
            m_producer->SetName(L"Prod");
            m_producer->SetClockSources([this] { return m_now; }, nullptr);
        }
        return *m_producer;
    }
    static FramePackageQueue &Queue(stWorkerLink &link) { return *link.queue; }

    int64_t m_now = 1000000000;
    CTYXWorker::ConsumerLinkMap m_consumerMap;
    std::deque<stWorkerLink> m_links;
    std::shared_ptr<CTestWorker> m_producer;
};

TEST_F(TYXWorkerTrafficTest, QueueLimitsByKindAndBlockingState)
{
    struct stCase
    {
        int32_t kind;
        size_t limit;
    };
    for (const stCase c : {stCase{TYX_PKT_KIND_RAW_VIDEO, 30}, stCase{TYX_PKT_KIND_RAW_AUDIO, 30},
                           stCase{TYX_PKT_KIND_CODED_VIDEO, 900}, stCase{TYX_PKT_KIND_CODED_AUDIO, 900},
                           stCase{TYX_PKT_KIND_NONE, 1000}}) {
        m_producer.reset();
        m_links.clear();
        m_consumerMap.clear();
        stWorkerLink &link = AddConsumer(kOut1, kConsumerA, c.kind);
        CLogCapture log;
        bool handed = false;
        for (size_t i = 0; i < c.limit; ++i) {
            FramePackage status;
            status.kind = c.kind;
            ASSERT_EQ(Producer().SendPaket2Consumers(handed, status, false, false, kOut1), 1) << c.kind;
        }
        FramePackage extra = MakeDataPackage(c.kind, 99);
        EXPECT_EQ(Producer().SendPaket2Consumers(handed, extra, true, true, kOut1), 0) << c.kind;
        EXPECT_FALSE(handed);
        FreeFramePackage(extra);
        EXPECT_EQ(Queue(link).size(), c.limit);
        EXPECT_EQ(Producer().ConsumerLink(kOut1, kConsumerA).state.load(), TYX_LINK_BLOCKING);
        EXPECT_EQ(Producer().ConsumerLink(kOut1, kConsumerA).prevState.load(), TYX_LINK_NORMAL);
        FramePackage again;
        again.kind = c.kind;
        Producer().SendPaket2Consumers(handed, again, false, false, kOut1);
        EXPECT_EQ(log.Count(L"Worker[Prod:4010000]: Downstream's(OutputStrm[4010001] To consumer:6010000) queue just blocked.", 3), 1);

        // The consumer takes one; the next send fits and the link recovers once.
        Queue(link).pop_front();
        EXPECT_EQ(Producer().SendPaket2Consumers(handed, again, false, false, kOut1), 1);
        EXPECT_EQ(Producer().ConsumerLink(kOut1, kConsumerA).state.load(), TYX_LINK_NORMAL);
        EXPECT_EQ(Producer().ConsumerLink(kOut1, kConsumerA).prevState.load(), TYX_LINK_BLOCKING);
        EXPECT_EQ(log.Count(L"queue just recovered from blocking.", 3), 1);
    }
}

TEST_F(TYXWorkerTrafficTest, AHungryConsumerLinkRecoversAtTheNextSend)
{
    AddConsumer(kOut1, kConsumerA);
    m_consumerMap[kOut1][kConsumerA].state = TYX_LINK_HUNGRY;
    CLogCapture log;
    FramePackage status;
    bool handed = false;
    EXPECT_EQ(Producer().SendPaket2Consumers(handed, status, false, false, kOut1), 1);
    EXPECT_EQ(Producer().ConsumerLink(kOut1, kConsumerA).state.load(), TYX_LINK_NORMAL);
    EXPECT_EQ(Producer().ConsumerLink(kOut1, kConsumerA).prevState.load(), TYX_LINK_HUNGRY);
    EXPECT_TRUE(log.Contains(L"Workers[Prod:4010000]: Downstream's(OutputStrm[4010001] to consumer:6010000) queue just recovered from Hungry.", 3));
}

TEST_F(TYXWorkerTrafficTest, CopyAndHandOverGiveEachPackageOneOwner)
{
    stWorkerLink &a = AddConsumer(kOut1, kConsumerA);
    stWorkerLink &b = AddConsumer(kOut1, kConsumerB);
    stWorkerLink &c = AddConsumer(kOut1, kConsumerC);

    // Copy with hand-over: two copies and the caller's package itself in the last queue.
    FramePackage package = MakeDataPackage(TYX_PKT_KIND_CODED_VIDEO, 7);
    bool handed = false;
    EXPECT_EQ(Producer().SendPaket2Consumers(handed, package, true, true, kOut1), 3);
    EXPECT_TRUE(handed);
    EXPECT_EQ(Queue(c).back().pData, package.pData);
    EXPECT_NE(Queue(a).back().pData, package.pData);
    EXPECT_NE(Queue(b).back().pData, package.pData);
    EXPECT_NE(Queue(a).back().pData, Queue(b).back().pData);
    EXPECT_EQ(SeqOf(Queue(a).back()), 7);
    EXPECT_EQ(SeqOf(Queue(b).back()), 7);
    EXPECT_EQ(Queue(a).back().queuedTime, m_now);
    EXPECT_EQ(Producer().ConsumerLink(kOut1, kConsumerA).lastActiveTime.load(), m_now);

    // Copy alone: three copies, the caller keeps (and frees) its own.
    FramePackage second = MakeDataPackage(TYX_PKT_KIND_CODED_VIDEO, 8);
    EXPECT_EQ(Producer().SendPaket2Consumers(handed, second, true, false, kOut1), 3);
    EXPECT_FALSE(handed);
    std::set<uint8_t *> pointers{Queue(a).back().pData, Queue(b).back().pData, Queue(c).back().pData, second.pData};
    EXPECT_EQ(pointers.size(), 4u);
    FreeFramePackage(second);

    // No copy asked: a package with data still reaches one queue only as itself.
    FramePackage third = MakeDataPackage(TYX_PKT_KIND_CODED_VIDEO, 9);
    EXPECT_EQ(Producer().SendPaket2Consumers(handed, third, false, false, kOut1), 3);
    EXPECT_TRUE(handed);
    EXPECT_EQ(Queue(c).back().pData, third.pData);
    EXPECT_NE(Queue(a).back().pData, third.pData);
    EXPECT_NE(Queue(b).back().pData, third.pData);
    EXPECT_EQ(SeqOf(Queue(b).back()), 9);

    const StreamStatisticsMap out = Producer().GetOutputStatistics(kOut1);
    ASSERT_EQ(out.count(kOut1), 1u);
    EXPECT_EQ(out.at(kOut1).packetsOut, 3);
    EXPECT_EQ(out.at(kOut1).dataPacketsOut, 3);
}

TEST_F(TYXWorkerTrafficTest, HandOverGoesToTheLastConsumerThatHasRoom)
{
    AddConsumer(kOut1, kConsumerA);
    stWorkerLink &full = AddConsumer(kOut1, kConsumerB, TYX_PKT_KIND_RAW_VIDEO);
    for (int i = 0; i < 30; ++i)
        Queue(full).push_back(FramePackage{});
    FramePackage package = MakeDataPackage(TYX_PKT_KIND_RAW_VIDEO, 1);
    bool handed = false;
    EXPECT_EQ(Producer().SendPaket2Consumers(handed, package, true, true, kOut1), 1);
    EXPECT_TRUE(handed);
    EXPECT_EQ(Queue(m_links[0]).back().pData, package.pData);

    // Nobody has room: the caller keeps its package.
    for (int i = 0; i < 30; ++i)
        Queue(m_links[0]).push_back(FramePackage{});
    FramePackage kept = MakeDataPackage(TYX_PKT_KIND_RAW_VIDEO, 2);
    EXPECT_EQ(Producer().SendPaket2Consumers(handed, kept, false, false, kOut1), 0);
    EXPECT_FALSE(handed);
    FreeFramePackage(kept);
}

TEST_F(TYXWorkerTrafficTest, DevicePicturesAreCopiedOnTheDeviceAndAFailedCopyArrivesEmpty)
{
    stWorkerLink &a = AddConsumer(kOut1, kConsumerA, TYX_PKT_KIND_RAW_VIDEO);
    stWorkerLink &b = AddConsumer(kOut1, kConsumerB, TYX_PKT_KIND_RAW_VIDEO);
    stWorkerLink &c = AddConsumer(kOut1, kConsumerC, TYX_PKT_KIND_RAW_VIDEO);
    const int64_t deviceBlocks = DevAllocationCounts().deviceBlocks;
    FramePackage picture;
    picture.kind = TYX_PKT_KIND_RAW_VIDEO;
    picture.inDevice = 1;
    picture.width = 16;
    picture.height = 8;
    ASSERT_EQ(Producer().CreateBlankVideoFrame(picture, stColorYuv{50, 60, 70}), 192);

    DevInjectFault(EDevFault::Malloc, 1); // the first copy cannot get its buffer
    bool handed = false;
    EXPECT_EQ(Producer().SendPaket2Consumers(handed, picture, true, true, kOut1), 3);
    DevInjectFault(EDevFault::Malloc, 0);
    EXPECT_TRUE(handed);
    EXPECT_EQ(Queue(a).back().pData, nullptr);
    EXPECT_EQ(Queue(a).back().nLength, 0);
    EXPECT_EQ(Queue(b).back().inDevice, 1);
    EXPECT_EQ(Queue(b).back().nLength, 192);
    EXPECT_NE(Queue(b).back().pData, picture.pData);
    EXPECT_EQ(Queue(c).back().pData, picture.pData);
    EXPECT_EQ(DevAllocationCounts().deviceBlocks, deviceBlocks + 2);

    std::vector<uint8_t> bytes(192);
    ASSERT_EQ(DevMemcpy(bytes.data(), Queue(b).back().pData, bytes.size(), EGpuCopyKind::DeviceToHost), GPU_SUCCESS);
    EXPECT_EQ(bytes[0], 50);
    EXPECT_EQ(bytes[128], 60);
    EXPECT_EQ(bytes[191], 70);
    m_links.clear();
    m_consumerMap.clear();
    m_producer.reset();
    EXPECT_EQ(DevAllocationCounts().deviceBlocks, deviceBlocks); // released with the queues
}

TEST_F(TYXWorkerTrafficTest, StreamZeroReachesEveryOutputAndHandsOverOnce)
{
    stWorkerLink &a = AddConsumer(kOut1, kConsumerA);
    stWorkerLink &b = AddConsumer(kOut2, kConsumerB);
    stWorkerLink &c = AddConsumer(kOut2, kConsumerC);
    FramePackage package = MakeDataPackage(TYX_PKT_KIND_CODED_VIDEO, 3);
    bool handed = false;
    EXPECT_EQ(Producer().SendPaket2Consumers(handed, package, true, true, 0), 3);
    EXPECT_TRUE(handed);
    EXPECT_NE(Queue(a).back().pData, package.pData);
    EXPECT_NE(Queue(b).back().pData, package.pData);
    EXPECT_EQ(Queue(c).back().pData, package.pData);
    EXPECT_EQ(Producer().GetOutputStatistics(0).size(), 2u);

    // An output stream without an entry reaches nobody and counts nothing.
    FramePackage stray = MakeDataPackage(TYX_PKT_KIND_CODED_VIDEO, 4);
    EXPECT_EQ(Producer().SendPaket2Consumers(handed, stray, true, true, kProducer + 9), 0);
    EXPECT_FALSE(handed);
    EXPECT_TRUE(Producer().GetOutputStatistics(kProducer + 9).empty());
    FreeFramePackage(stray);

    // Without consumers at all nothing happens.
    CTestWorker lonely(kProducer);
    FramePackage none;
    EXPECT_EQ(lonely.SendPaket2Consumers(handed, none, true, true, 0), 0);
}

TEST_F(TYXWorkerTrafficTest, StatusPackagesCarryTheirCodeAndSendingTime)
{
    stWorkerLink &a = AddConsumer(kOut1, kConsumerA);
    stWorkerLink &b = AddConsumer(kOut2, kConsumerB);
    EXPECT_EQ(Producer().SendStatusPaket2Consumers(TYX_SRC_WAITING_INPUT, 12345), 2);
    for (stWorkerLink *link : {&a, &b}) {
        const FramePackage &status = Queue(*link).back();
        EXPECT_EQ(status.nLength, -96);
        EXPECT_EQ(status.pData, nullptr);
        EXPECT_EQ(status.pts, m_now);
        EXPECT_EQ(status.dts, 12345);
    }
    EXPECT_EQ(Producer().GetOutputStatistics(kOut1).at(kOut1).dataPacketsOut, 0);
}

class TYXWorkerReceiveTest : public CLeakCheckedTest
{
protected:
    void SetUp() override
    {
        CLeakCheckedTest::SetUp();
        m_first = MakeLink(0x02010001, kConsumerA, TYX_PKT_KIND_CODED_VIDEO, m_now);
        m_second = MakeLink(0x02020001, kConsumerA, TYX_PKT_KIND_CODED_VIDEO, m_now);
        m_inputs[0x02020001] = m_second;
        m_inputs[0x02010001] = m_first;
        m_inputs[0x02030001] = stWorkerLink{}; // a link the registry left without queue
        m_consumer = std::make_shared<CTestWorker>(kConsumerA, &m_inputs);
        m_consumer->SetName(L"Cons");
        m_consumer->SetClockSources([this] { return m_now; }, nullptr);
    }
    void TearDown() override
    {
        m_consumer.reset();
        m_inputs.clear();
        m_first = {};
        m_second = {};
        CLeakCheckedTest::TearDown();
    }

    int64_t m_now = 5000000;
    stWorkerLink m_first;
    stWorkerLink m_second;
    CTYXWorker::InputLinkMap m_inputs;
    std::shared_ptr<CTestWorker> m_consumer;
};

TEST_F(TYXWorkerReceiveTest, TakeMovesTheFrontAndCopyLeavesIt)
{
    m_first.queue->push_back(MakeDataPackage(TYX_PKT_KIND_CODED_VIDEO, 1));
    m_first.queue->push_back(MakeDataPackage(TYX_PKT_KIND_CODED_VIDEO, 2));
    uint8_t *frontData = m_first.queue->front().pData;

    FramePackage copy;
    EXPECT_EQ(m_consumer->ReceivePaketFromUpStream(copy, 0, false), 2); // stream 0: the lowest id
    EXPECT_EQ(m_first.queue->size(), 2u);
    EXPECT_NE(copy.pData, frontData);
    EXPECT_EQ(SeqOf(copy), 1);
    FreeFramePackage(copy);

    FramePackage taken;
    EXPECT_EQ(m_consumer->ReceivePaketFromUpStream(taken, 0x02010001, true), 2);
    EXPECT_EQ(taken.pData, frontData);
    EXPECT_EQ(m_first.queue->size(), 1u);
    FreeFramePackage(taken);

    const StreamStatisticsMap in = m_consumer->GetInputStatistics(0x02010001);
    EXPECT_EQ(in.at(0x02010001).packetsIn, 2);
    EXPECT_EQ(in.at(0x02010001).dataPacketsIn, 2);
}

TEST_F(TYXWorkerReceiveTest, ACopiedStatusPackageKeepsItsCode)
{
    FramePackage status;
    status.nLength = TYX_SRC_CLOSED;
    m_first.queue->push_back(status);
    FramePackage copy;
    EXPECT_EQ(m_consumer->ReceivePaketFromUpStream(copy, 0x02010001, false), 1);
    EXPECT_EQ(copy.nLength, TYX_SRC_CLOSED);
    EXPECT_EQ(copy.pData, nullptr);
    EXPECT_EQ(m_consumer->GetInputStatistics(0x02010001).at(0x02010001).dataPacketsIn, 0);
}

TEST_F(TYXWorkerReceiveTest, MissingLinksAndQueues)
{
    CLogCapture log;
    FramePackage package;
    EXPECT_EQ(m_consumer->ReceivePaketFromUpStream(package, 0x09090001, true), -1);
    EXPECT_TRUE(log.Contains(L"There no input queue found for stream(151584769)of worker[WID=100728832]!", 3));
    EXPECT_EQ(m_consumer->ReceivePaketFromUpStream(package, 0x02030001, true), -2);
    EXPECT_TRUE(log.Contains(L"NULL input queue for input stream(33751041)of worker[WID=100728832]!", 3));

    CTestWorker noInputs(kConsumerB);
    EXPECT_EQ(noInputs.ReceivePaketFromUpStream(package, 0, true), -1);
    EXPECT_EQ(noInputs.GetQueuedPktsCount(), -1);
    EXPECT_EQ(noInputs.PopPaketsFromInputQueue(true, true, 0, 0), 0);
}

TEST_F(TYXWorkerReceiveTest, AnInputTurnsHungryASecondAfterItsLastPackage)
{
    CLogCapture log;
    FramePackage package;
    m_now += TYX_HUNGRY_AFTER_US; // exactly one second: not yet
    EXPECT_EQ(m_consumer->ReceivePaketFromUpStream(package, 0x02010001, true), 0);
    EXPECT_EQ(m_consumer->GetInputLink(0x02010001)->state.load(), TYX_LINK_NORMAL);

    m_now += 1;
    EXPECT_EQ(m_consumer->ReceivePaketFromUpStream(package, 0x02010001, true), 0);
    EXPECT_EQ(m_consumer->GetInputLink(0x02010001)->state.load(), TYX_LINK_HUNGRY);
    EXPECT_EQ(m_consumer->GetInputLink(0x02010001)->prevState.load(), TYX_LINK_NORMAL);
    m_now += 5000000;
    EXPECT_EQ(m_consumer->ReceivePaketFromUpStream(package, 0x02010001, true), 0);
    EXPECT_EQ(log.Count(L"Workers[Cons:6010000]: Upstream's(From Stream:2010001) queue is in Hungry!", 3), 1);

    // The next package ends the idle spell; the input counts a new second from it.
    m_first.queue->push_back(MakeDataPackage(TYX_PKT_KIND_CODED_VIDEO, 1));
    EXPECT_EQ(m_consumer->ReceivePaketFromUpStream(package, 0x02010001, true), 1);
    FreeFramePackage(package);
    EXPECT_EQ(m_consumer->GetInputLink(0x02010001)->state.load(), TYX_LINK_NORMAL);
    m_now += 999999;
    EXPECT_EQ(m_consumer->ReceivePaketFromUpStream(package, 0x02010001, true), 0);
    EXPECT_EQ(m_consumer->GetInputLink(0x02010001)->state.load(), TYX_LINK_NORMAL);
}

TEST_F(TYXWorkerReceiveTest, PopDropsCountsAndFrees)
{
    for (int i = 0; i < 5; ++i)
        m_first.queue->push_back(MakeDataPackage(TYX_PKT_KIND_CODED_VIDEO, i));
    for (int i = 0; i < 3; ++i)
        m_second.queue->push_back(MakeDataPackage(TYX_PKT_KIND_CODED_VIDEO, 10 + i));
    EXPECT_EQ(m_consumer->GetQueuedPktsCount(), 5);

    EXPECT_EQ(m_consumer->PopPaketsFromInputQueue(true, true, 2, 0x02010001), 2);
    EXPECT_EQ(SeqOf(m_first.queue->front()), 2);
    EXPECT_EQ(m_consumer->GetInputStatistics(0x02010001).at(0x02010001).packetsIn, 2);

    // Keeping the data: the caller took a copy before, or owns it otherwise.
    FramePackage front = m_second.queue->front();
    EXPECT_EQ(m_consumer->PopPaketsFromInputQueue(false, false, 1, 0x02020001), 1);
    FreeFramePackage(front);
    EXPECT_TRUE(m_consumer->GetInputStatistics(0x02020001).empty());

    CLogCapture log;
    EXPECT_EQ(m_consumer->PopPaketsFromInputQueue(true, true, 0, 0), 5); // every input, as many as queued
    EXPECT_TRUE(m_first.queue->empty());
    EXPECT_TRUE(m_second.queue->empty());
    EXPECT_TRUE(log.Contains(L"NULL input queue for stream(2030001)of worker[Cons:6010000]!", 3));
    EXPECT_EQ(m_consumer->PopPaketsFromInputQueue(true, true, 0, 0x07000001), -1);
    EXPECT_TRUE(log.Contains(L"There no input queue found for stream(7000001)of worker[Cons:6010000]!", 3));
}

TEST(TYXWorkerLinkTest, PackagesLeftInAQueueAreReleasedWithItsLastLink)
{
    const int64_t before = FramePackageHostBlocks();
    {
        stWorkerLink producerEnd = MakeLink(kOut1, kConsumerA, TYX_PKT_KIND_CODED_VIDEO);
        stWorkerLink consumerEnd = producerEnd;
        producerEnd.queue->push_back(MakeDataPackage(TYX_PKT_KIND_CODED_VIDEO, 1));
        producerEnd = {};
        EXPECT_EQ(consumerEnd.queue->size(), 1u);
        EXPECT_EQ(FramePackageHostBlocks(), before + 1);
    }
    EXPECT_EQ(FramePackageHostBlocks(), before);
}

TEST(TYXWorkerLinkTest, CopiesCarryStatesAndShareTheQueue)
{
    stWorkerLink link = MakeLink(kOut1, kConsumerA, TYX_PKT_KIND_RAW_VIDEO, 77);
    link.state = TYX_LINK_BLOCKING;
    link.required = 1;
    const stWorkerLink copy = link;
    EXPECT_EQ(copy.queue, link.queue);
    EXPECT_EQ(copy.queueLock, link.queueLock);
    EXPECT_EQ(copy.state.load(), TYX_LINK_BLOCKING);
    EXPECT_EQ(copy.lastActiveTime.load(), 77);
    EXPECT_EQ(copy.paketKind, TYX_PKT_KIND_RAW_VIDEO);
    EXPECT_EQ(copy.producerId, kProducer);
    EXPECT_EQ(copy.required, 1);
}

} // namespace
