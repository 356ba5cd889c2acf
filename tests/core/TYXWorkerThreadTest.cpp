// The worker's threads: start suspended, resume, the stop budget, abandoned and failing threads,
// child threads, push control, and packages flowing through a graph of running workers.

#include "WorkerTestSupport.h"

#include "core/TYXWorker.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <sched.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <iterator>
#include <latch>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kWorkerId = 0x04050000;

uint32_t WaitForExit(CTestWorker &worker, uint32_t code)
{
    while (!worker.ExitRequested(1000)) {
    }
    return code;
}

TEST(TYXWorkerThreadTest, StartsSuspendedResumesAndStopsCooperatively)
{
    auto worker = std::make_shared<CTestWorker>(kWorkerId);
    auto running = std::make_shared<std::latch>(1);
    worker->body = [running](CTestWorker &self) {
        running->count_down();
        return WaitForExit(self, 7);
    };
    EXPECT_EQ(worker->GetThreadState(), TYX_THREAD_NONE);
    const int32_t tid = worker->StartWorkingThread(1, 0);
    ASSERT_GT(tid, 0);
    EXPECT_EQ(static_cast<uint32_t>(tid), worker->GetThreadId());
    EXPECT_EQ(worker->GetThreadState(), TYX_THREAD_CREATED);
    EXPECT_EQ(worker->StartWorkingThread(1, 0), -EEXIST);

    EXPECT_EQ(worker->ResumeWorkingThread(), 0);
    running->wait();
    EXPECT_EQ(worker->GetThreadState(), TYX_THREAD_RUNNING);
    bool childrenStopped = false;
    EXPECT_FALSE(worker->IsStopped(childrenStopped));
    EXPECT_TRUE(childrenStopped);

    EXPECT_EQ(worker->WaitThreadExit(1000), 7);
    EXPECT_EQ(worker->GetThreadState(), TYX_THREAD_ENDED);
    EXPECT_EQ(worker->StopBudget(), 1000);
    EXPECT_TRUE(worker->IsStopped(childrenStopped));
}

TEST(TYXWorkerThreadTest, AWorkerOwnedByTheCallerRunsToo)
{
    CTestWorker worker(kWorkerId);
    worker.body = [](CTestWorker &self) { return WaitForExit(self, 3); };
    ASSERT_GT(worker.StartWorkingThread(1, 0), 0);
    EXPECT_EQ(worker.ResumeWorkingThread(), 0);
    EXPECT_EQ(worker.WaitThreadExit(0), 3);
}

// A thread that was never resumed has nothing to finish: the stop lets it go through its start
// gate at once instead of waiting out the budget and abandoning a thread that waits for ever.
TEST(TYXWorkerThreadTest, StoppingANeverResumedThreadReleasesItAtOnce)
{
    auto ran = std::make_shared<std::atomic<bool>>(false);
    auto worker = std::make_shared<CTestWorker>(kWorkerId);
    worker->body = [ran](CTestWorker &) {
        *ran = true;
        return 9u;
    };
    ASSERT_GT(worker->StartWorkingThread(1, 0), 0);
    EXPECT_EQ(worker->WaitThreadExit(60), 0);
    EXPECT_EQ(worker->GetThreadState(), TYX_THREAD_ENDED);
    bool childrenStopped = false;
    EXPECT_TRUE(worker->IsStopped(childrenStopped));
    EXPECT_FALSE(ran->load());
    EXPECT_EQ(worker->ResumeWorkingThread(), -ESRCH); // nothing left to resume
}

TEST(TYXWorkerThreadTest, ANeverResumedThreadNeverRunsItsBody)
{
    auto ran = std::make_shared<std::atomic<bool>>(false);
    {
        auto worker = std::make_shared<CTestWorker>(kWorkerId);
        worker->body = [ran](CTestWorker &) {
            *ran = true;
            return 0u;
        };
        ASSERT_GT(worker->StartWorkingThread(1, 0), 0);
    }
    EXPECT_FALSE(ran->load());

    CTestWorker notStarted(kWorkerId);
    EXPECT_EQ(notStarted.ResumeWorkingThread(), -ESRCH);
}

// A thread that ignores the exit event outlives its budget: it is abandoned, the registry lets go
// of its worker, and the thread goes on using the worker safely until it ends.
TEST(TYXWorkerThreadTest, AThreadIgnoringExitIsAbandonedAndKeepsItsWorkerAlive)
{
    auto started = std::make_shared<std::latch>(1);
    auto release = std::make_shared<std::latch>(1);
    auto destroyed = std::make_shared<std::latch>(1);
    auto consumerEnd = std::make_shared<stWorkerLink>(MakeLink(kWorkerId + 1, 0x10010004, TYX_PKT_KIND_NONE));
    {
        CTYXWorker::ConsumerLinkMap consumers;
        consumers[kWorkerId + 1][0x10010004] = *consumerEnd;
        std::map<uint32_t, std::shared_ptr<CTYXWorker>> registry;
        auto worker = std::make_shared<CTestWorker>(kWorkerId, nullptr, &consumers);
        worker->onDestroy = [destroyed] { destroyed->count_down(); };
        worker->body = [started, release](CTestWorker &self) {
            started->count_down();
            release->wait(); // deaf to the exit event
            self.SendStatusPaket2Consumers(TYX_SRC_CLOSED, 0);
            return 4u;
        };
        registry[kWorkerId] = worker;
        ASSERT_GT(worker->StartWorkingThread(1, 0), 0);
        ASSERT_EQ(worker->ResumeWorkingThread(), 0);
        started->wait();

        CLogCapture log;
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_EQ(worker->WaitThreadExit(0), static_cast<int32_t>(TYX_STILL_ACTIVE));
        EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(50));
        EXPECT_EQ(worker->StopBudget(), 50);
        EXPECT_TRUE(log.Contains(L"was forcedly closed by TerminateThread()!", 3));
        // Abandoned is not ended: the worker still knows the thread and says so every time.
        EXPECT_EQ(worker->GetThreadState(), TYX_THREAD_STOPPING);
        bool childrenStopped = false;
        EXPECT_FALSE(worker->IsStopped(childrenStopped));
        EXPECT_EQ(worker->WaitThreadExit(0), static_cast<int32_t>(TYX_STILL_ACTIVE));
        EXPECT_EQ(worker->StartWorkingThread(1, 0), -EEXIST);
        worker.reset();
        registry.clear();
    }
    EXPECT_FALSE(destroyed->try_wait());

    release->count_down();
    destroyed->wait(); // the worker goes when its thread is done with it
    ASSERT_EQ(consumerEnd->queue->size(), 1u);
    EXPECT_EQ(consumerEnd->queue->front().nLength, TYX_SRC_CLOSED);
}

TEST(TYXWorkerThreadTest, AnAbandonedThreadThatEndsIsCollectedByTheNextStop)
{
    auto release = std::make_shared<std::latch>(1);
    auto started = std::make_shared<std::latch>(1);
    auto worker = std::make_shared<CTestWorker>(kWorkerId);
    worker->body = [started, release](CTestWorker &) {
        started->count_down();
        release->wait();
        return 4u;
    };
    ASSERT_GT(worker->StartWorkingThread(1, 0), 0);
    ASSERT_EQ(worker->ResumeWorkingThread(), 0);
    started->wait();
    ASSERT_EQ(worker->WaitThreadExit(0), static_cast<int32_t>(TYX_STILL_ACTIVE));

    release->count_down();
    EXPECT_EQ(worker->WaitThreadExit(5000), 4); // the body's own code, once it has returned
    EXPECT_EQ(worker->GetThreadState(), TYX_THREAD_ENDED);
    bool childrenStopped = false;
    EXPECT_TRUE(worker->IsStopped(childrenStopped));
}

// The stop pass polls IsStopped while another thread stops the worker: the thread object is read
// and released under one lock, never waited on while it is being freed.
TEST(TYXWorkerThreadTest, IsStoppedRacesWaitThreadExitSafely)
{
    for (int round = 0; round < 50; ++round) {
        auto worker = std::make_shared<CTestWorker>(kWorkerId);
        worker->body = [](CTestWorker &self) { return WaitForExit(self, 1); };
        ASSERT_GT(worker->StartWorkingThread(1, 0), 0);
        ASSERT_EQ(worker->ResumeWorkingThread(), 0);
        std::latch go(2);
        std::atomic<bool> stopped{false};
        std::thread poller([&] {
            go.arrive_and_wait();
            bool children = false;
            while (!stopped.load())
                worker->IsStopped(children);
        });
        go.arrive_and_wait();
        EXPECT_EQ(worker->WaitThreadExit(5000), 1);
        stopped = true;
        poller.join();
    }
}

TEST(TYXWorkerThreadTest, AThrowingBodyFailsTheThreadWithItsMessage)
{
    auto worker = std::make_shared<CTestWorker>(kWorkerId);
    worker->body = [](CTestWorker &) -> uint32_t { throw std::runtime_error("decoder gone"); };
    const int32_t tid = worker->StartWorkingThread(1, 0);
    ASSERT_GT(tid, 0);

    CLogCapture log;
    CTYXWorker::SetProcessScreenOutput(true);
    testing::internal::CaptureStdout();
    ASSERT_EQ(worker->ResumeWorkingThread(), 0);
    const int32_t code = worker->WaitThreadExit(5000);
    const std::string out = testing::internal::GetCapturedStdout();
    CTYXWorker::SetProcessScreenOutput(false);

    EXPECT_EQ(code, static_cast<int32_t>(TYX_THREAD_EXCEPTION_EXIT));
    EXPECT_EQ(worker->GetThreadState(), TYX_THREAD_FAILED);
    const std::string message = "\n\n\nWorking Thread[" + std::to_string(tid) + "] terminated for exception!!!\n\n\n";
    EXPECT_NE(out.find(message), std::string::npos) << out;
    EXPECT_TRUE(log.Contains(L"Working Thread[" + std::to_wstring(tid) + L"] terminated for exception!!!", 3));
}

TEST(TYXWorkerThreadTest, ChildThreadsAreWaitedForAndAbandonedPastTheBudget)
{
    auto worker = std::make_shared<CTestWorker>(kWorkerId);
    auto release = std::make_shared<std::latch>(1);
    auto quickDone = std::make_shared<std::latch>(1);
    const int32_t quick = worker->StartChild([quickDone] {
        quickDone->count_down();
        return 5u;
    });
    const int32_t slow = worker->StartChild([release] {
        release->wait();
        return 6u;
    });
    ASSERT_GT(quick, 0);
    ASSERT_GT(slow, 0);
    quickDone->wait();

    CLogCapture log;
    bool childrenStopped = true;
    EXPECT_TRUE(worker->IsStopped(childrenStopped)); // no main thread
    EXPECT_FALSE(childrenStopped);
    EXPECT_TRUE(log.Contains(L"is still alive.!", 6));

    EXPECT_EQ(worker->WaitOtherThreadsExit(60), 1);
    EXPECT_TRUE(log.Contains(L"MidProc: Thread[ID=" + std::to_wstring(slow) + L"] was forcedly closed by TerminateThread()!", 5));
    // The abandoned child is still watched until it ends.
    EXPECT_TRUE(worker->IsStopped(childrenStopped));
    EXPECT_FALSE(childrenStopped);
    release->count_down();
    while (worker->IsStopped(childrenStopped) && !childrenStopped)
        sched_yield();
    EXPECT_TRUE(childrenStopped);
}

TEST(TYXWorkerThreadTest, PushControlSignalsAndSpacesStops)
{
    CTestWorker worker(kWorkerId);
    uint32_t tick = 100;
    worker.SetClockSources(nullptr, [&tick] { return tick; });

    EXPECT_EQ(worker.StartDataPushing(), 0);
    EXPECT_EQ(worker.StartPushEvent().Wait(0), TYX_WAIT_OBJECT_0);
    EXPECT_EQ(worker.StartPushEvent().Wait(0), TYX_WAIT_TIMEOUT); // auto reset

    // The stamp starts at 0: the first 6000 ms of the tick count refuse.
    tick = 5999;
    EXPECT_EQ(worker.StopDataPushing(), TYX_ERR_PUSH_TOO_SOON);
    EXPECT_EQ(worker.StopPushEvent().Wait(0), TYX_WAIT_TIMEOUT);
    tick = 6000;
    EXPECT_EQ(worker.StopDataPushing(), 0);
    EXPECT_EQ(worker.StopPushEvent().Wait(0), TYX_WAIT_OBJECT_0);
    tick = 11999;
    EXPECT_EQ(worker.StopDataPushing(), TYX_ERR_PUSH_TOO_SOON);
    tick = 12000;
    EXPECT_EQ(worker.StopDataPushing(), 0);

    // Across the wrap of the 32-bit tick count.
    CTestWorker wrapped(kWorkerId);
    wrapped.SetClockSources(nullptr, [&tick] { return tick; });
    tick = 0xFFFFF000u;
    EXPECT_EQ(wrapped.StopDataPushing(), 0);
    tick = 0x00000100u; // 4352 ms later
    EXPECT_EQ(wrapped.StopDataPushing(), TYX_ERR_PUSH_TOO_SOON);
    tick = 0x00000800u; // 6144 ms later
    EXPECT_EQ(wrapped.StopDataPushing(), 0);
}

TEST(TYXWorkerThreadTest, PriorityAndAffinityAreBestEffortAndLogged)
{
    CLogCapture log;
    CTestWorker idle(kWorkerId);
    idle.SetThreadsPriorityAffinity(0, 1);
    EXPECT_TRUE(log.Contains(L"Worker[WID=67436544] Thread priority Getting failed with lasterror=3!", 3));
    EXPECT_TRUE(log.Contains(L"Worker[WID=67436544] Thread Affinity setting failed with lasterror=3!", 3));

    cpu_set_t set;
    CPU_ZERO(&set);
    ASSERT_EQ(sched_getaffinity(0, sizeof(set), &set), 0);
    uint64_t mask = 0;
    for (int cpu = 0; cpu < 64; ++cpu) {
        if (CPU_ISSET(cpu, &set))
            mask |= uint64_t{1} << cpu;
    }
    auto worker = std::make_shared<CTestWorker>(kWorkerId);
    worker->body = [](CTestWorker &self) { return WaitForExit(self, 0); };
    ASSERT_GT(worker->StartWorkingThread(1, 0), 0);
    log.Clear();
    worker->SetThreadsPriorityAffinity(0, mask);
    EXPECT_TRUE(log.Contains(L"Worker[WID=67436544] Thread Affinity was set from " + std::to_wstring(mask) + L"  to " +
                             std::to_wstring(mask) + L"!", 7));
    EXPECT_FALSE(log.Contains(L"priority", 0)); // unchanged priority: not touched
    ASSERT_EQ(worker->ResumeWorkingThread(), 0);
    EXPECT_EQ(worker->WaitThreadExit(1000), 0);
}

// ---- a graph of running workers ----

constexpr int64_t kPackages = 10000;

// Sends the package until a consumer takes it, as long as no exit is asked.
bool SendUntilTaken(CTestWorker &self, FramePackage &package, bool copy, bool handOver)
{
    for (;;) {
        bool handed = false;
        if (self.SendPaket2Consumers(handed, package, copy, handOver, 0) > 0) {
            if (!handed)
                FreeFramePackage(package);
            return true;
        }
        if (self.ExitRequested(1)) {
            FreeFramePackage(package);
            return false;
        }
    }
}

// Takes kPackages packages from the worker's inputs and hands each to `use`; false when asked to exit.
bool TakeAll(CTestWorker &self, const std::function<bool(FramePackage &)> &use)
{
    for (int64_t taken = 0; taken < kPackages;) {
        FramePackage package;
        if (self.ReceivePaketFromUpStream(package, 0, true) > 0) {
            if (!use(package))
                return false;
            ++taken;
        } else if (self.ExitRequested(1)) {
            return false;
        }
    }
    return true;
}

TEST(TYXWorkerGraphTest, ThreeStagesPassEveryPackageOnce)
{
    const int64_t blocks = FramePackageHostBlocks();
    {
        constexpr uint32_t source = 0x01010000, relay = 0x02010000, sink = 0x10010004;
        const stWorkerLink first = MakeLink(source + 1, relay, TYX_PKT_KIND_CODED_VIDEO);
        const stWorkerLink second = MakeLink(relay + 1, sink, TYX_PKT_KIND_CODED_VIDEO);
        CTYXWorker::InputLinkMap sinkInputs{{relay + 1, second}};
        CTYXWorker::InputLinkMap relayInputs{{source + 1, first}};
        CTYXWorker::ConsumerLinkMap relayOutputs{{relay + 1, {{sink, second}}}};
        CTYXWorker::ConsumerLinkMap sourceOutputs{{source + 1, {{relay, first}}}};
        auto sinkWorker = std::make_shared<CTestWorker>(sink, &sinkInputs);
        auto relayWorker = std::make_shared<CTestWorker>(relay, &relayInputs, &relayOutputs);
        auto sourceWorker = std::make_shared<CTestWorker>(source, nullptr, &sourceOutputs);
        std::vector<int64_t> received;
        std::latch done(1);

        sourceWorker->body = [](CTestWorker &self) -> uint32_t {
            for (int64_t seq = 0; seq < kPackages; ++seq) {
                FramePackage package = MakeDataPackage(TYX_PKT_KIND_CODED_VIDEO, seq);
                if (!SendUntilTaken(self, package, true, true))
                    return 1;
            }
            return 0;
        };
        // Without copy: the one consumer gets the package itself.
        relayWorker->body = [](CTestWorker &self) -> uint32_t {
            return TakeAll(self, [&self](FramePackage &package) { return SendUntilTaken(self, package, false, false); })
                       ? 0
                       : 1;
        };
        sinkWorker->body = [&received, &done](CTestWorker &self) -> uint32_t {
            const bool all = TakeAll(self, [&received](FramePackage &package) {
                received.push_back(SeqOf(package));
                FreeFramePackage(package);
                return true;
            });
            if (!all)
                return 1;
            done.count_down();
            return WaitForExit(self, 0);
        };

        const std::shared_ptr<CTestWorker> workers[] = {sinkWorker, relayWorker, sourceWorker};
        for (auto &worker : workers)
            ASSERT_GT(worker->StartWorkingThread(1, 0), 0);
        for (auto &worker : workers) // consumers first
            ASSERT_EQ(worker->ResumeWorkingThread(), 0);
        done.wait();
        for (auto it = std::rbegin(workers); it != std::rend(workers); ++it) // producers first
            EXPECT_EQ((*it)->WaitThreadExit(5000), 0);

        ASSERT_EQ(static_cast<int64_t>(received.size()), kPackages);
        for (int64_t seq = 0; seq < kPackages; ++seq)
            ASSERT_EQ(received[static_cast<size_t>(seq)], seq) << "lost, repeated or out of order";
        EXPECT_EQ(relayWorker->GetInputStatistics(0).at(source + 1).packetsIn, kPackages);
    }
    EXPECT_EQ(FramePackageHostBlocks(), blocks);
}

} // namespace
