#pragma once

#include <mutex>

// A re-entrant lock, as the queues and registries expect: the owner thread may enter again.
class CCriticalSection
{
public:
    CCriticalSection() = default;
    CCriticalSection(const CCriticalSection &) = delete;
    CCriticalSection &operator=(const CCriticalSection &) = delete;

    void Enter() { m_mutex.lock(); }
    bool TryEnter() { return m_mutex.try_lock(); }
    void Leave() { m_mutex.unlock(); }

    // BasicLockable, so std::lock_guard and std::unique_lock work on it.
    void lock() { Enter(); }
    bool try_lock() { return TryEnter(); }
    void unlock() { Leave(); }

private:
    std::recursive_mutex m_mutex;
};

using CCsLock = std::lock_guard<CCriticalSection>;
