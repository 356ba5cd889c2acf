#pragma once

// The common steps of an overlay launcher (kernel sources only): time the call with four events,
// launch on the default stream, check the launch, wait for the device and log the timings.

#include "platform/GpuKernel.h"
#include "vproc/GpuCallCheck.h"
#include "vproc/GpuCallTimer.h"

template <typename Body>
GpuError LaunchOverlayKernel(const wchar_t *kernelName, const stDim3 &grid, const stDim3 &block, const Body &body)
{
    CGpuCallTimer timer;
    timer.MarkLaunch();
    const GpuError launched = LaunchKernel(grid, block, nullptr, body);
    timer.MarkLaunched();
    GpuError error = CheckOverlayLaunch(launched);
    const GpuError synced = SynchronizeOverlay();
    if (error == GPU_SUCCESS)
        error = synced;
    timer.Finish(kernelName);
    return error;
}
