#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <vector>

// The idle blocks of the device picture pool, by size. It only keeps pointers: the device layer
// allocates, frees and books the blocks. Any thread.
class CDevBufferPool
{
public:
    CDevBufferPool(size_t maxBlocksPerSize, size_t maxBytes);
    CDevBufferPool(const CDevBufferPool &) = delete;
    CDevBufferPool &operator=(const CDevBufferPool &) = delete;

    // An idle block of exactly bytes, now the caller's, or none.
    void *Take(size_t bytes);
    // Keeps an idle block of bytes; false when the pool holds enough of that size, or in all, and
    // the caller frees the block itself.
    bool Keep(void *block, size_t bytes);
    // Empties the pool and hands over what it held.
    std::vector<void *> TakeAll();

    size_t Blocks() const;
    size_t Bytes() const;

private:
    const size_t m_maxBlocksPerSize;
    const size_t m_maxBytes;
    mutable std::mutex m_mutex;
    std::map<size_t, std::vector<void *>> m_idle; // the last kept is taken first: still in cache
    size_t m_blocks = 0;
    size_t m_bytes = 0;
};
