#pragma once

// Times one overlay launcher with four device events (start, launch, launched, cleaned) and logs the
// three stages at level 8 under the kernel's name. Used on the launcher's own thread only.

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

// Reads the launch error state after an overlay kernel; a failure is logged
// "[Thread:%d] Cuda error(%d) got after osg drawing!" and handed on. Returns the error.
GpuError CheckOverlayLaunch(GpuError launchResult);
// Logs a failed allocation or copy with the system's texts and hands it on; returns the error.
GpuError ReportOverlayAlloc(GpuError error);
GpuError ReportOverlayCopyIn(GpuError error);
GpuError ReportOverlayCopyOut(GpuError error);
GpuError ReportOverlayFree(GpuError error);
// Waits for the device; a failure is logged
// "[Thread:%d] Error occured in kernel function with cudaDeviceSynchronize returned %d".
GpuError SynchronizeOverlay();
