#include "vproc/GpuCallCheck.h"

#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "platform/Thread.h"

GpuError ReportGpuFailure(GpuError error, const wchar_t *format)
{
    if (error != GPU_SUCCESS) {
        TYX_LOG(2, format, error);
        HandleGPUCriticalError(static_cast<int32_t>(error), L"");
    }
    return error;
}

GpuError ReportDvcAlloc(GpuError error)
{
    return ReportGpuFailure(error, L"Failed(Err=%d) while alloc cuda memory!");
}

GpuError ReportDvcCopyIn(GpuError error)
{
    return ReportGpuFailure(error, L"Failed(Err=%d) when copy data from host to device memory!");
}

GpuError ReportDvcCopyOut(GpuError error)
{
    return ReportGpuFailure(error, L"Failed(Err=%d) when copy data from device to host memory!");
}

GpuError ReportDvcFree(GpuError error)
{
    return ReportGpuFailure(error, L"Failed(Err=%d) to free device memory!");
}

GpuError ReportKernelLaunch(GpuError error, const char *stage)
{
    if (error != GPU_SUCCESS) {
        TYX_LOG(2, L"[Thread:%d] Cuda error(%d) got after %hs!", GetCurrentThreadIdInt(), error, stage);
        HandleGPUCriticalError(static_cast<int32_t>(error), L"");
    }
    return error;
}

GpuError SynchronizeAfter(const char *stage)
{
    const GpuError error = DevSynchronize();
    if (error != GPU_SUCCESS) {
        const char *name = DevErrorName(error);
        ConsolePrintf("[Thread:%d] Cuda Error(%s) while calling cuCtxSynchronize after %s!\n", GetCurrentThreadIdInt(),
                      name, stage);
        TYX_LOG(3, L"[Thread:%d] Cuda Error(%hs) while calling cuCtxSynchronize after %hs!", GetCurrentThreadIdInt(),
                name, stage);
        HandleGPUCriticalError(static_cast<int32_t>(error), L"");
    }
    return error;
}

GpuError CheckOverlayLaunch(GpuError launchResult)
{
    return ReportKernelLaunch(launchResult != GPU_SUCCESS ? launchResult : DevGetLastError(), "osg drawing");
}

GpuError SynchronizeOverlay()
{
    const GpuError error = DevSynchronize();
    if (error != GPU_SUCCESS) {
        TYX_LOG(2, L"[Thread:%d] Error occured in kernel function with cudaDeviceSynchronize returned %d",
                GetCurrentThreadIdInt(), error);
        HandleGPUCriticalError(static_cast<int32_t>(error), L"");
    }
    return error;
}
