#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <memory>
#include <stdexcept>

namespace {

TEST(ThreadTest, BodyRunsOnlyAfterResume)
{
    std::atomic<bool> ran{false};
    CThread thread;
    ASSERT_EQ(thread.CreateSuspended([&] {
        ran = true;
        return 7u;
    }), 0);
    EXPECT_NE(thread.ThreadId(), 0);
    EXPECT_NE(thread.ThreadId(), GetCurrentThreadIdInt());
    EXPECT_FALSE(thread.WaitForEnd(20));
    EXPECT_FALSE(ran.load());
    EXPECT_EQ(thread.ExitCode(), TYX_STILL_ACTIVE);
    thread.Resume();
    thread.Join();
    EXPECT_TRUE(ran.load());
    EXPECT_EQ(thread.ExitCode(), 7u);
}

TEST(ThreadTest, ANeverResumedThreadIsDestroyedWithoutRunning)
{
    std::atomic<bool> ran{false};
    {
        CThread thread;
        ASSERT_EQ(thread.CreateSuspended([&] {
            ran = true;
            return 0u;
        }), 0);
    }
    EXPECT_FALSE(ran.load());
}

TEST(ThreadTest, AThrowingBodyEndsWithTheExceptionCode)
{
    CThread thread;
    ASSERT_EQ(thread.CreateSuspended([]() -> uint32_t { throw std::runtime_error("boom"); }), 0);
    thread.Resume();
    ASSERT_TRUE(thread.WaitForEnd(5000));
    EXPECT_EQ(thread.ExitCode(), TYX_THREAD_EXCEPTION_EXIT);
}

TEST(ThreadTest, AnAbandonedThreadFinishesOnItsOwnState)
{
    auto release = std::make_shared<std::latch>(1);
    auto finished = std::make_shared<std::latch>(1);
    {
        CThread thread;
        ASSERT_EQ(thread.CreateSuspended([release, finished] {
            release->wait();
            finished->count_down();
            return 0u;
        }), 0);
        thread.Resume();
        EXPECT_FALSE(thread.WaitForEnd(10));
        thread.Abandon();
        EXPECT_FALSE(thread.IsCreated());
    }
    release->count_down();
    finished->wait();
}

TEST(ThreadTest, SchedulingHintsAreBestEffort)
{
    CThread thread;
    std::latch done(1);
    ASSERT_EQ(thread.CreateSuspended([&] {
        done.wait();
        return 0u;
    }), 0);
    EXPECT_EQ(thread.SetAffinity(1), 0);
    const int priority = thread.SetPriority(-1); // lowering never needs privileges
    EXPECT_EQ(priority, 0);
    thread.Resume();
    done.count_down();
    thread.Join();
}

} // namespace
