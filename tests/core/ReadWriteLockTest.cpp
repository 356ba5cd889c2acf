#include "core/RWLockedMap.h"
#include "core/ReadWriteLock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>
#include <vector>

namespace {

void WaitUntil(const std::function<bool()> &condition)
{
    while (!condition())
        std::this_thread::yield();
}

// Two readers hold the lock together and a writer asks: a third reader must now wait until the writer has
// taken and released the lock.
TEST(ReadWriteLockTest, AWaitingWriterGoesBeforeNewReaders)
{
    CReadWriteLock lock;
    std::atomic<int> order{0};
    int writerTurn = 0;
    int writerDone = 0;
    int lateReaderTurn = 0;
    std::latch readersHold(2);
    std::latch releaseReaders(1);

    std::vector<std::thread> readers;
    for (int i = 0; i < 2; ++i) {
        readers.emplace_back([&] {
            lock.LockRead();
            readersHold.count_down();
            releaseReaders.wait();
            lock.UnlockRead();
        });
    }
    readersHold.wait();

    std::thread writer([&] {
        lock.LockWrite();
        writerTurn = ++order;
        writerDone = ++order;
        lock.UnlockWrite();
    });
    WaitUntil([&] { return lock.Writers() == 1; });

    std::thread lateReader([&] {
        lock.LockRead();
        lateReaderTurn = ++order;
        lock.UnlockRead();
    });
    releaseReaders.count_down();
    for (std::thread &reader : readers)
        reader.join();
    writer.join();
    lateReader.join();

    EXPECT_EQ(writerTurn, 1);
    EXPECT_EQ(writerDone, 2);
    EXPECT_EQ(lateReaderTurn, 3);
}

TEST(ReadWriteLockTest, NoUpdateIsLostUnderContention)
{
    constexpr int kWriters = 4;
    constexpr int kReaders = 4;
    constexpr int kRounds = 20000;
    CRWLockedMap<int, long> map;
    map.Items()[0] = 0;
    map.Items()[1] = 0;
    std::atomic<bool> torn{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < kWriters; ++i) {
        threads.emplace_back([&] {
            for (int round = 0; round < kRounds; ++round) {
                CWriteLockGuard guard(map.Lock());
                ++map.Items()[0];
                ++map.Items()[1];
            }
        });
    }
    for (int i = 0; i < kReaders; ++i) {
        threads.emplace_back([&] {
            for (int round = 0; round < kRounds; ++round) {
                CReadLockGuard guard(map.Lock());
                if (map.Items().at(0) != map.Items().at(1))
                    torn = true;
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_FALSE(torn.load());
    EXPECT_EQ(map.Items()[0], long{kWriters} * kRounds);
    EXPECT_EQ(map.Lock().Writers(), 0);
    EXPECT_EQ(map.Lock().Readers(), 0);
}

} // namespace
