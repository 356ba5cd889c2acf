#pragma once

// Times one launcher with four device events (start, launch, launched, cleaned) and logs the three
// stages at level 8 under the kernel's name. Used on the launcher's own thread only.

#include "platform/GpuDevice.h"

class CGpuCallTimer
{
public:
    // Records the first event.
    CGpuCallTimer();
    ~CGpuCallTimer();
    CGpuCallTimer(const CGpuCallTimer &) = delete;
    CGpuCallTimer &operator=(const CGpuCallTimer &) = delete;

    void MarkLaunch();   // preparation done, the kernel goes now
    void MarkLaunched(); // the kernel is queued
    // Records the last event, waits for all four and logs
    // "<kernelName>() used time: Prepare=%f ms, Kernel=%f ms, Clean=%f ms, Total=%f ms.".
    void Finish(const wchar_t *kernelName);

private:
    GpuEvent m_events[4] = {nullptr, nullptr, nullptr, nullptr};
    bool m_finished = false;
};
