#pragma once

#include "core/ReadWriteLock.h"

#include <map>

// An ordered map with its own writer-preferring lock. Callers take the lock around every access;
// the map is exposed so that a holder can walk it without copying.
template <typename Key, typename Value>
class CRWLockedMap
{
public:
    using Map = std::map<Key, Value>;

    CRWLockedMap() = default;
    CRWLockedMap(const CRWLockedMap &) = delete;
    CRWLockedMap &operator=(const CRWLockedMap &) = delete;

    CReadWriteLock &Lock() { return m_lock; }
    Map &Items() { return m_map; }
    const Map &Items() const { return m_map; }

    void LockRead() { m_lock.LockRead(); }
    void UnlockRead() { m_lock.UnlockRead(); }
    void LockWrite() { m_lock.LockWrite(); }
    void UnlockWrite() { m_lock.UnlockWrite(); }

private:
    CReadWriteLock m_lock;
    Map m_map;
};
