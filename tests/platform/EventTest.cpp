#include "platform/Event.h"
#include "platform/TickCount.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <latch>
#include <mutex>
#include <thread>
#include <vector>

namespace {

TEST(EventTest, AutoResetIsConsumedByOneWait)
{
    CEvent event(false);
    event.Set();
    EXPECT_EQ(event.Wait(0), TYX_WAIT_OBJECT_0);
    EXPECT_EQ(event.Wait(0), TYX_WAIT_TIMEOUT);
    EXPECT_FALSE(event.IsSet());
}

TEST(EventTest, ManualResetStaysSetUntilReset)
{
    CEvent event(true, true);
    EXPECT_EQ(event.Wait(0), TYX_WAIT_OBJECT_0);
    EXPECT_EQ(event.Wait(0), TYX_WAIT_OBJECT_0);
    event.Reset();
    EXPECT_EQ(event.Wait(0), TYX_WAIT_TIMEOUT);
}

TEST(EventTest, WaitTimesOutAfterItsTime)
{
    CEvent event(true);
    const uint64_t start = GetTickCount64Ms();
    EXPECT_EQ(event.Wait(30), TYX_WAIT_TIMEOUT);
    EXPECT_GE(GetTickCount64Ms() - start, 29u);
}

TEST(EventTest, EachSetOfAnAutoResetEventWakesExactlyOneWaiter)
{
    constexpr int kWaiters = 4;
    CEvent event(false);
    std::mutex mutex;
    std::condition_variable cond;
    int woken = 0;
    std::vector<std::thread> threads;
    for (int i = 0; i < kWaiters; ++i) {
        threads.emplace_back([&] {
            ASSERT_EQ(event.Wait(), TYX_WAIT_OBJECT_0);
            std::lock_guard<std::mutex> lock(mutex);
            ++woken;
            cond.notify_all();
        });
    }
    for (int i = 1; i <= kWaiters; ++i) {
        event.Set();
        std::unique_lock<std::mutex> lock(mutex);
        cond.wait(lock, [&] { return woken >= i; });
        EXPECT_EQ(woken, i);
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(woken, kWaiters);
    EXPECT_FALSE(event.IsSet());
}

TEST(EventTest, ManualResetWakesAllWaiters)
{
    constexpr int kWaiters = 6;
    CEvent event(true);
    std::latch started(kWaiters);
    std::atomic<int> woken{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kWaiters; ++i) {
        threads.emplace_back([&] {
            started.count_down();
            if (event.Wait() == TYX_WAIT_OBJECT_0)
                ++woken;
        });
    }
    started.wait();
    event.Set();
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(woken.load(), kWaiters);
    EXPECT_TRUE(event.IsSet());
}

TEST(EventTest, WaitForAnyGivesTheIndexAndConsumesOnlyThatEvent)
{
    CEvent quit(true);
    CEvent data(false);
    data.Set();
    EXPECT_EQ(WaitForAnyEvent({&quit, &data}, 0), TYX_WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForAnyEvent({&quit, &data}, 0), TYX_WAIT_TIMEOUT);
    quit.Set();
    data.Set();
    // The first signalled event in order wins; the other keeps its signal.
    EXPECT_EQ(WaitForAnyEvent({&quit, &data}, 0), TYX_WAIT_OBJECT_0);
    EXPECT_TRUE(data.IsSet());
}

TEST(EventTest, WaitForAnyWakesWhenAnEventIsSetLater)
{
    CEvent first(false);
    CEvent second(false);
    std::latch waiting(1);
    int32_t result = -1;
    std::thread waiter([&] {
        waiting.count_down();
        result = WaitForAnyEvent({&first, &second}, TYX_INFINITE);
    });
    waiting.wait();
    second.Set();
    waiter.join();
    EXPECT_EQ(result, TYX_WAIT_OBJECT_0 + 1);
    EXPECT_FALSE(second.IsSet());
}

} // namespace
