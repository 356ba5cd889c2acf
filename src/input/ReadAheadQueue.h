#pragma once

#include "core/FramePackage.h"

#include <cstddef>
#include <cstdint>
#include <map>

// What a file read worker has read ahead of its clock: copies of packages in the order of their
// time on the file's time line (packages of one time in the order they were read), each kept until
// it is handed over. Used by the worker's reading thread only.
class CReadAheadQueue
{
public:
    // One package with what its hand-over needs (times in µs on the file's time line, the cycles
    // before it included).
    struct stHeld
    {
        FramePackage package;               // owns its data
        int64_t mediaUs = TYX_NOPTS_VALUE;  // its time; absent for a package without stamps
        int64_t startUs = TYX_NOPTS_VALUE;  // the start position of its stream
        bool discard = false;               // decoded, not shown
        int64_t cycle = 0;                  // the repeat cycle it was read in
    };

    CReadAheadQueue() = default;
    ~CReadAheadQueue();
    CReadAheadQueue(const CReadAheadQueue &) = delete;
    CReadAheadQueue &operator=(const CReadAheadQueue &) = delete;

    // Keeps a copy of the package at orderUs on the time line, with what place gives beside the
    // package; false when no copy could be made.
    [[nodiscard]] bool Push(int64_t orderUs, const FramePackage &package, const stHeld &place);
    bool Empty() const { return m_held.empty(); }
    size_t Size() const { return m_held.size(); }
    int64_t Bytes() const { return m_bytes; }
    // The first package and its place on the time line; only when not empty.
    int64_t FrontUs() const { return m_held.begin()->first; }
    // Its package may give its data away; the queue counts the bytes it held when pushed.
    stHeld &Front() { return m_held.begin()->second.held; }
    // Releases the first package.
    void DropFront();
    // Releases the packages read in the given cycle or later.
    void DropCyclesFrom(int64_t cycle);
    // Releases every package.
    void Clear();

private:
    struct stEntry
    {
        stHeld held;
        int64_t bytes = 0;
    };
    // Releases what the entry still owns.
    void Release(stEntry &entry);

    std::multimap<int64_t, stEntry> m_held;
    int64_t m_bytes = 0;
};
