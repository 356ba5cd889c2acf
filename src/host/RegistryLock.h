#pragma once

#include <atomic>
#include <mutex>

// The lock of a program-wide registry: a re-entrant critical section that remembers the thread
// that entered it last. Leave releases it only on that thread; a Leave from any other thread does
// nothing, so an unbalanced unlock from a command thread cannot free a lock another thread holds.
class CRegistryLock
{
public:
    CRegistryLock() = default;
    CRegistryLock(const CRegistryLock &) = delete;
    CRegistryLock &operator=(const CRegistryLock &) = delete;

    void Enter();
    void Leave();
    // The thread id of the holder, 0 when free.
    int Owner() const { return m_owner.load(); }

private:
    std::recursive_mutex m_mutex;
    std::atomic<int> m_owner{0};
    int m_depth = 0; // touched by the owner only
};

// Holds a registry lock for a scope.
class CRegistryLockGuard
{
public:
    explicit CRegistryLockGuard(CRegistryLock &lock) : m_lock(lock) { m_lock.Enter(); }
    ~CRegistryLockGuard() { m_lock.Leave(); }
    CRegistryLockGuard(const CRegistryLockGuard &) = delete;
    CRegistryLockGuard &operator=(const CRegistryLockGuard &) = delete;

private:
    CRegistryLock &m_lock;
};
