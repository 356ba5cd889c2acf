#include "platform/DevBufferPool.h"

CDevBufferPool::CDevBufferPool(size_t maxBlocksPerSize, size_t maxBytes)
    : m_maxBlocksPerSize(maxBlocksPerSize), m_maxBytes(maxBytes)
{
}

void *CDevBufferPool::Take(size_t bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_idle.find(bytes);
    if (found == m_idle.end() || found->second.empty())
        return nullptr;
    void *block = found->second.back();
    found->second.pop_back();
    if (found->second.empty())
        m_idle.erase(found);
    --m_blocks;
    m_bytes -= bytes;
    return block;
}

bool CDevBufferPool::Keep(void *block, size_t bytes)
{
    if (!block || bytes == 0)
        return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<void *> &idle = m_idle[bytes];
    if (idle.size() >= m_maxBlocksPerSize || m_bytes + bytes > m_maxBytes) {
        if (idle.empty())
            m_idle.erase(bytes);
        return false;
    }
    idle.push_back(block);
    ++m_blocks;
    m_bytes += bytes;
    return true;
}

std::vector<void *> CDevBufferPool::TakeAll()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<void *> all;
    for (auto &[bytes, blocks] : m_idle)
        all.insert(all.end(), blocks.begin(), blocks.end());
    m_idle.clear();
    m_blocks = 0;
    m_bytes = 0;
    return all;
}

size_t CDevBufferPool::Blocks() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_blocks;
}

size_t CDevBufferPool::Bytes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bytes;
}
