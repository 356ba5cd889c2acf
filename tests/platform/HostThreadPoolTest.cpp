#include "platform/HostThreadPool.h"

#include <sched.h>

#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <thread>

namespace {

// The threads that ran the items of one ParallelFor.
std::set<std::thread::id> ThreadsOf(CHostThreadPool &pool, size_t count)
{
    std::mutex mutex;
    std::set<std::thread::id> threads;
    pool.ParallelFor(count, [&](size_t) {
        std::lock_guard<std::mutex> lock(mutex);
        threads.insert(std::this_thread::get_id());
    });
    return threads;
}

TEST(HostThreadPoolTest, TheProcessPoolIsAsWideAsTheAffinityMask)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    ASSERT_EQ(sched_getaffinity(0, sizeof(set), &set), 0);
    EXPECT_EQ(CHostThreadPool::AllowedProcessors(), static_cast<size_t>(CPU_COUNT(&set)));
    EXPECT_EQ(CHostThreadPool::Instance().Size(), CHostThreadPool::AllowedProcessors());
}

TEST(HostThreadPoolTest, FewItemsWakeFewThreadsAndTheLimitHolds)
{
    CHostThreadPool pool(6);
    EXPECT_EQ(pool.Size(), 6u);
    EXPECT_EQ(ThreadsOf(pool, 1), std::set<std::thread::id>{std::this_thread::get_id()});
    EXPECT_LE(ThreadsOf(pool, 2).size(), 2u);
    EXPECT_LE(ThreadsOf(pool, 500).size(), 6u);

    pool.SetWorkerLimit(1);
    EXPECT_EQ(pool.Size(), 1u);
    EXPECT_EQ(ThreadsOf(pool, 500), std::set<std::thread::id>{std::this_thread::get_id()});
    pool.SetWorkerLimit(3);
    EXPECT_LE(ThreadsOf(pool, 500).size(), 3u);
    pool.SetWorkerLimit(0);
    EXPECT_EQ(pool.Size(), 6u);

    CHostThreadPool alone(1);
    EXPECT_EQ(ThreadsOf(alone, 50), std::set<std::thread::id>{std::this_thread::get_id()});
}

} // namespace
