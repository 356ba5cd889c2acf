#pragma once

#include <cstdint>

// The stop and hang-up signals (SIGINT, SIGTERM, SIGHUP, SIGQUIT) read as data on a signalfd, so
// that they are handled on the main loop and never inside a signal handler. Block them before any
// thread starts (BlockStopSignals), so that every thread inherits the mask.
class CSignalReader
{
public:
    CSignalReader();
    ~CSignalReader();
    CSignalReader(const CSignalReader &) = delete;
    CSignalReader &operator=(const CSignalReader &) = delete;

    bool IsOpen() const { return m_fd >= 0; }
    // Waits up to timeoutMs for a signal: its number, 0 when none came, a negative errno.
    int32_t Wait(int32_t timeoutMs);

    // Blocks the signals in the calling thread: 0 or a negative errno.
    static int32_t BlockStopSignals();
    // Unblocks them again (children started later must not inherit the mask).
    static void UnblockStopSignals();
    // A closed pipe or socket then gives EPIPE to its writer instead of ending the process; for
    // the whole process (children get the default again when they are started).
    static void IgnoreBrokenPipe();

private:
    int m_fd = -1;
};
