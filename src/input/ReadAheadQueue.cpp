#include "input/ReadAheadQueue.h"

CReadAheadQueue::~CReadAheadQueue()
{
    Clear();
}

bool CReadAheadQueue::Push(int64_t orderUs, const FramePackage &package, const stHeld &place)
{
    stHeld held = place;
    held.package = FramePackage{};
    held.package.inDevice = 0;
    if (DuplicateFramePackage(held.package, package) < 0)
        return false;
    m_bytes += held.package.nLength > 0 ? held.package.nLength : 0;
    // A multimap inserts after the keys equal to its own: one time keeps the order of reading.
    m_held.emplace(orderUs, held);
    return true;
}

void CReadAheadQueue::DropFront()
{
    if (m_held.empty())
        return;
    FramePackage &package = m_held.begin()->second.package;
    m_bytes -= package.nLength > 0 ? package.nLength : 0;
    FreeFramePackage(package);
    m_held.erase(m_held.begin());
}

void CReadAheadQueue::DropCyclesFrom(int64_t cycle)
{
    for (auto it = m_held.begin(); it != m_held.end();) {
        if (it->second.cycle < cycle) {
            ++it;
            continue;
        }
        m_bytes -= it->second.package.nLength > 0 ? it->second.package.nLength : 0;
        FreeFramePackage(it->second.package);
        it = m_held.erase(it);
    }
}

void CReadAheadQueue::Clear()
{
    while (!m_held.empty())
        DropFront();
}
