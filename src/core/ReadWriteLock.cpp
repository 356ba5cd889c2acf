#include "core/ReadWriteLock.h"

#include <cassert>

void CReadWriteLock::LockRead()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_readersCond.wait(lock, [this] { return m_writers == 0; });
    ++m_readers;
}

void CReadWriteLock::UnlockRead()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    assert(m_readers > 0 && "UnlockRead without LockRead");
    if (m_readers <= 0)
        return;
    --m_readers;
    if (m_readers == 0 && m_writers > 0)
        m_writersCond.notify_one();
}

void CReadWriteLock::LockWrite()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    ++m_writers;
    m_writersCond.wait(lock, [this] { return m_readers == 0 && !m_writerActive; });
    m_writerActive = 1;
}

void CReadWriteLock::UnlockWrite()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    assert(m_writerActive && m_writers > 0 && "UnlockWrite without LockWrite");
    if (!m_writerActive || m_writers <= 0)
        return;
    m_writerActive = 0;
    --m_writers;
    if (m_writers == 0)
        m_readersCond.notify_all();
    else
        m_writersCond.notify_one();
}

int32_t CReadWriteLock::Readers() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_readers;
}

int32_t CReadWriteLock::Writers() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_writers;
}
