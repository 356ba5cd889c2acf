#include "host/GlobalVars.h"
#include "host/RegistryLock.h"

#include "platform/Event.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>

namespace {

class GlobalVarsTest : public ::testing::Test
{
protected:
    void SetUp() override { CTYXGVMS::ResetForTests(); }
    void TearDown() override { CTYXGVMS::ResetForTests(); }
    CLogCapture m_log;
};

TEST_F(GlobalVarsTest, KindsByIdRange)
{
    const std::pair<uint32_t, int32_t> cases[] = {
        {0x00000000, 0}, {0x01000000, 0}, {0x01000001, 1}, {0x01FFFFFF, 1}, {0x02000000, 4}, {0x03FFFFFF, 4},
        {0x04000000, 6}, {0x06000000, 8}, {0x08000000, 0}, {0x09000000, 0}, {0x0A000000, 3}, {0x0C000000, 5},
        {0x0FFFFFFF, 7}, {0x10000000, 9}, {0xDFFFFFFF, 9}, {0xE0000000, 0}, {0xFFFFFFFF, 0},
    };
    for (const auto &[id, kind] : cases)
        EXPECT_EQ(CTYXGVMS::GetWorkerKindById(id), kind) << std::hex << id;
}

TEST_F(GlobalVarsTest, MonitorRegistry)
{
    CTYXGVMS::LockMonitorMap();
    CTYXGVMS::MonitorAliases()[1] = L"Cam1";
    CTYXGVMS::MonitorAliases()[2] = L"CAM1";
    CTYXGVMS::MonitorAliases()[3] = L"Cam2";
    CTYXGVMS::UnlockMonitorMap();

    EXPECT_TRUE(CTYXGVMS::IsMonitorOccupied(1));
    EXPECT_TRUE(m_log.Contains(L"The required Monotor:1 is used by Cam1 already!", 3));
    EXPECT_TRUE(CTYXGVMS::IsMonitorOccupied(65536 + 3)); // taken as 16-bit
    EXPECT_FALSE(CTYXGVMS::IsMonitorOccupied(4));

    EXPECT_EQ(CTYXGVMS::ReleaseMonitor(L""), -2);
    EXPECT_EQ(CTYXGVMS::ReleaseMonitor(L"cam1"), -4); // releases the alias in any letter case
    EXPECT_EQ(CTYXGVMS::MonitorAliases(), (std::map<int16_t, std::wstring>{{3, L"Cam2"}}));

    CTYXGVMS::SetMonitorPresenting(2, 1);
    CTYXGVMS::SetMonitorPresenting(2, 0);
    CTYXGVMS::SetMonitorPresenting(5, 257);
    EXPECT_EQ(CTYXGVMS::MonitorPresenting().at(2), 0);
    EXPECT_EQ(CTYXGVMS::MonitorPresenting().at(5), 1);
}

TEST_F(GlobalVarsTest, ExitRequestWithAndWithoutWaiting)
{
    auto exitEvent = std::make_shared<CEvent>(false, false);
    CTYXGVMS::SetExitRequestEvent(exitEvent);
    CTYXGVMS::ExitAction() = 3;
    CTYXGVMS::ExitDelay() = 10;

    EXPECT_EQ(CTYXGVMS::NotifyAndWaitTyxExit(1, false), 1);
    EXPECT_TRUE(exitEvent->IsSet());
    EXPECT_EQ(CTYXGVMS::ExitAction().load(), 0);
    EXPECT_EQ(CTYXGVMS::ExitDelay().load(), 0);
    EXPECT_TRUE(m_log.Contains(L"TYX Exit notify event sent.", 5));
    EXPECT_EQ(CTYXGVMS::TerminatedSignal(), nullptr);

    exitEvent->Reset();
    EXPECT_EQ(CTYXGVMS::NotifyAndWaitTyxExit(1, true), 1);
    EXPECT_TRUE(exitEvent->IsSet());
    EXPECT_TRUE(m_log.Contains(L"[NotifyAndWaitTyxExit] Timedout(after 0 seconds) in waiting for TYX-Service-Terminated-Signal!", 5));
    EXPECT_EQ(CTYXGVMS::TerminatedSignal(), nullptr); // forgotten for the next request
}

// The main run sets the terminated signal while a requester waits: the requester sees it, and the
// main run's own reference keeps setting it safe after the requester forgot it.
TEST_F(GlobalVarsTest, TerminatedSignalSeenAndSafeToSetLate)
{
    auto exitEvent = std::make_shared<CEvent>(true, false);
    CTYXGVMS::SetExitRequestEvent(exitEvent);
    std::atomic<bool> requesterDone{false};
    std::thread mainRun([&] {
        exitEvent->Wait();
        std::shared_ptr<CEvent> last;
        // The requester tests the signal without waiting, so keep setting whichever signal is current
        // until one lands between its creation and the test.
        while (!requesterDone.load()) {
            if (auto terminated = CTYXGVMS::TerminatedSignal()) {
                terminated->Set();
                last = terminated;
            }
            std::this_thread::yield();
        }
        if (last)
            last->Set(); // after the requester is done with it
    });
    bool received = false;
    for (int i = 0; i < 200000 && !received; ++i) {
        m_log.Clear();
        EXPECT_EQ(CTYXGVMS::NotifyAndWaitTyxExit(0, true), 1);
        received = m_log.Contains(L"Received TYX Service-Terminated-Signal.");
    }
    requesterDone = true;
    mainRun.join();
    EXPECT_TRUE(received);
    EXPECT_EQ(CTYXGVMS::TerminatedSignal(), nullptr);
}

TEST_F(GlobalVarsTest, ConsoleOriginPrintsOnlyWithScreenOutput)
{
    testing::internal::CaptureStdout();
    CTYXGVMS::NotifyAndWaitTyxExit(0, false);
    CTYXWorker::SetProcessScreenOutput(true);
    CTYXGVMS::NotifyAndWaitTyxExit(1, false);
    CTYXGVMS::NotifyAndWaitTyxExit(0, false);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "\r\nReceived application close signal from console.\r\n");
}

TEST(RegistryLockTest, OnlyTheOwnerReleases)
{
    CRegistryLock lock;
    lock.Enter();
    lock.Enter(); // re-entrant
    std::latch tried(1);
    std::atomic<bool> acquired{false};
    std::thread other([&] {
        lock.Leave(); // not the owner: nothing happens
        tried.count_down();
        lock.Enter();
        acquired = true;
        lock.Leave();
    });
    tried.wait();
    EXPECT_NE(lock.Owner(), 0);
    lock.Leave();
    EXPECT_NE(lock.Owner(), 0); // still held once
    lock.Leave();
    other.join();
    EXPECT_TRUE(acquired);
    EXPECT_EQ(lock.Owner(), 0);
}

} // namespace
