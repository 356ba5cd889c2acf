#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

// Writer-preferring read-write lock: once a writer asks, new readers wait, so a stream of readers
// cannot starve it. Not re-entrant: a reader that asks again while a writer waits deadlocks.
class CReadWriteLock
{
public:
    CReadWriteLock() = default;
    CReadWriteLock(const CReadWriteLock &) = delete;
    CReadWriteLock &operator=(const CReadWriteLock &) = delete;

    void LockRead();
    void UnlockRead();
    void LockWrite();
    void UnlockWrite();

    // Snapshots for diagnostics and tests: readers holding, writers waiting or holding.
    int32_t Readers() const;
    int32_t Writers() const;

private:
    int32_t m_readers = 0;
    int32_t m_writers = 0; // waiting or holding
    uint8_t m_writerActive = 0;
    mutable std::mutex m_mutex;
    std::condition_variable m_readersCond;
    std::condition_variable m_writersCond;
};

// Scoped holders for the two sides of the lock.
class CReadLockGuard
{
public:
    explicit CReadLockGuard(CReadWriteLock &lock) : m_lock(lock) { m_lock.LockRead(); }
    ~CReadLockGuard() { m_lock.UnlockRead(); }
    CReadLockGuard(const CReadLockGuard &) = delete;
    CReadLockGuard &operator=(const CReadLockGuard &) = delete;

private:
    CReadWriteLock &m_lock;
};

class CWriteLockGuard
{
public:
    explicit CWriteLockGuard(CReadWriteLock &lock) : m_lock(lock) { m_lock.LockWrite(); }
    ~CWriteLockGuard() { m_lock.UnlockWrite(); }
    CWriteLockGuard(const CWriteLockGuard &) = delete;
    CWriteLockGuard &operator=(const CWriteLockGuard &) = delete;

private:
    CReadWriteLock &m_lock;
};
