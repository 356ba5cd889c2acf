#pragma once

// The checks every picture launcher makes around its GPU calls: a failed call is logged with the
// system's text and handed to HandleGPUCriticalError, and the error is returned. Any thread.

#include "platform/GpuDevice.h"

// Logs the failure at level 2 with format (one %d for the error); returns the error.
GpuError ReportGpuFailure(GpuError error, const wchar_t *format);
// ReportGpuFailure with the texts of a failed allocation, copy in, copy out and free.
GpuError ReportDvcAlloc(GpuError error);
GpuError ReportDvcCopyIn(GpuError error);
GpuError ReportDvcCopyOut(GpuError error);
GpuError ReportDvcFree(GpuError error);

// A failed launch is logged "[Thread:%d] Cuda error(%d) got after <stage>!"; returns the error.
GpuError ReportKernelLaunch(GpuError error, const char *stage);
// Waits for the device; a failure is printed and logged
// "[Thread:%d] Cuda Error(<name>) while calling cuCtxSynchronize after <stage>!". Returns the error.
GpuError SynchronizeAfter(const char *stage);

// Reads the launch error state after an overlay kernel; a failure is reported as one after
// "osg drawing". Returns the error.
GpuError CheckOverlayLaunch(GpuError launchResult);
// Waits for the device after an overlay kernel; a failure is logged
// "[Thread:%d] Error occured in kernel function with cudaDeviceSynchronize returned %d".
GpuError SynchronizeOverlay();
