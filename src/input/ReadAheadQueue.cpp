#include "input/ReadAheadQueue.h"

CReadAheadQueue::~CReadAheadQueue()
{
    Clear();
}

bool CReadAheadQueue::Push(int64_t orderUs, const FramePackage &package, const stHeld &place)
{
    stEntry entry;
    entry.held = place;
    entry.held.package = FramePackage{};
    if (DuplicateFramePackage(entry.held.package, package) < 0)
        return false;
    entry.bytes = entry.held.package.nLength > 0 ? entry.held.package.nLength : 0;
    m_bytes += entry.bytes;
    // A multimap inserts after the keys equal to its own: one time keeps the order of reading.
    m_held.emplace(orderUs, entry);
    return true;
}

void CReadAheadQueue::Release(stEntry &entry)
{
    m_bytes -= entry.bytes;
    FreeFramePackage(entry.held.package);
}

void CReadAheadQueue::DropFront()
{
    if (m_held.empty())
        return;
    Release(m_held.begin()->second);
    m_held.erase(m_held.begin());
}

void CReadAheadQueue::DropCyclesFrom(int64_t cycle)
{
    for (auto it = m_held.begin(); it != m_held.end();) {
        if (it->second.held.cycle < cycle) {
            ++it;
            continue;
        }
        Release(it->second);
        it = m_held.erase(it);
    }
}

void CReadAheadQueue::Clear()
{
    while (!m_held.empty())
        DropFront();
}
