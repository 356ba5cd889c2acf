#include "service/TYXMain.h"
#include "service/TYXMainExit.h"

#include "core/FramePackage.h"
#include "core/ReadWriteLock.h"
#include "core/TYXWorkerLink.h"
#include "core/VideoFrameInfo.h"
#include "host/GlobalVars.h"
#include "platform/Event.h"
#include "platform/GpuDevice.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

constexpr int kGenerousWaitMs = 120000;

class MainRunEndTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CTYXGVMS::ResetForTests();
        CTYXGVMS::SetExitRequestEvent(std::make_shared<CEvent>(false));
    }
    void TearDown() override { CTYXGVMS::ResetForTests(); }
};

// A picture queued between two workers when the run ends is released by the run's end, while the
// device layer it goes back to lives, not among the static objects at the process's exit.
TEST_F(MainRunEndTest, PicturesStillQueuedBetweenWorkersGoBackWhenTheRunEnds)
{
    CTempDir folder;
    stServiceRun run;
    run.screenOutput = false;
    run.serviceMode = true; // no monitors to look for
    run.programFolder = folder.Path().wstring() + L"/";
    run.logFolder = folder.Path().wstring();
    const std::shared_ptr<CEvent> running = run.workersRunning;
    int32_t result = -1;
    std::thread mainRun([&] { result = TYXMain(run); });
    ASSERT_EQ(running->Wait(kGenerousWaitMs), TYX_WAIT_OBJECT_0);

    const int64_t blocksBefore = DevAllocationCounts().deviceBlocks;
    {
        // A link as the graph makes it, holding a picture its consumer has not taken yet.
        stWorkerLink link;
        link.CreateQueue();
        FramePackage picture;
        picture.inDevice = 1;
        picture.width = 64;
        picture.height = 32;
        ASSERT_GT(CreateBlankVideoFramePackage(picture, stColorYuv{}), 0);
        link.queue->push_back(picture);
        ASSERT_EQ(CTYXGVMS::AddConsumerLink(0x02010001, 0x04010000, link), 1);
    }
    EXPECT_EQ(DevAllocationCounts().deviceBlocks, blocksBefore + 1);

    RequestServiceExit(TYX_EXIT_NONE, 0);
    mainRun.join();
    EXPECT_EQ(result, 0);
    {
        CReadLockGuard guard(CTYXGVMS::LinkRegistryLock());
        EXPECT_TRUE(CTYXGVMS::LinkRegistry().empty());
    }
    EXPECT_EQ(DevAllocationCounts().deviceBlocks, blocksBefore) << "the queued picture went back";
}

} // namespace
