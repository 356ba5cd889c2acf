#include "vproc/GpuCallTimer.h"

#include "core/TYXUtils.h"
#include "core/debuglog.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace {

int32_t ThreadId()
{
    return static_cast<int32_t>(syscall(SYS_gettid));
}

float Elapsed(GpuEvent from, GpuEvent to)
{
    float milliseconds = 0.0f;
    if (!from || !to || DevEventElapsedTime(&milliseconds, from, to) != GPU_SUCCESS)
        return 0.0f;
    return milliseconds;
}

} // namespace

CGpuCallTimer::CGpuCallTimer()
{
    for (GpuEvent &event : m_events) {
        if (DevEventCreate(&event) != GPU_SUCCESS)
            event = nullptr;
    }
    if (m_events[0])
        DevEventRecord(m_events[0]);
}

CGpuCallTimer::~CGpuCallTimer()
{
    for (GpuEvent event : m_events) {
        if (event)
            DevEventDestroy(event);
    }
}

void CGpuCallTimer::MarkLaunch()
{
    if (m_events[1])
        DevEventRecord(m_events[1]);
}

void CGpuCallTimer::MarkLaunched()
{
    if (m_events[2])
        DevEventRecord(m_events[2]);
}

void CGpuCallTimer::Finish(const wchar_t *kernelName)
{
    if (m_finished)
        return;
    m_finished = true;
    if (m_events[3])
        DevEventRecord(m_events[3]);
    for (GpuEvent event : m_events) {
        if (event)
            DevEventSynchronize(event);
    }
    TYX_LOG(8, L"%s() used time: Prepare=%f ms, Kernel=%f ms, Clean=%f ms, Total=%f ms.", kernelName,
            static_cast<double>(Elapsed(m_events[0], m_events[1])), static_cast<double>(Elapsed(m_events[1], m_events[2])),
            static_cast<double>(Elapsed(m_events[2], m_events[3])), static_cast<double>(Elapsed(m_events[0], m_events[3])));
}

GpuError CheckOverlayLaunch(GpuError launchResult)
{
    const GpuError error = launchResult != GPU_SUCCESS ? launchResult : DevGetLastError();
    if (error != GPU_SUCCESS) {
        TYX_LOG(2, L"[Thread:%d] Cuda error(%d) got after osg drawing!", ThreadId(), error);
        HandleGPUCriticalError(error, L"overlay kernel launch");
    }
    return error;
}

GpuError ReportOverlayAlloc(GpuError error)
{
    if (error != GPU_SUCCESS) {
        TYX_LOG(2, L"Failed(Err=%d) while alloc cuda memory!", error);
        HandleGPUCriticalError(error, L"overlay device allocation");
    }
    return error;
}

GpuError ReportOverlayCopyIn(GpuError error)
{
    if (error != GPU_SUCCESS) {
        TYX_LOG(2, L"Failed(Err=%d) when copy data from host to device memory!", error);
        HandleGPUCriticalError(error, L"overlay copy to device");
    }
    return error;
}

GpuError ReportOverlayCopyOut(GpuError error)
{
    if (error != GPU_SUCCESS) {
        TYX_LOG(2, L"Failed(Err=%d) when copy data from device to host memory!", error);
        HandleGPUCriticalError(error, L"overlay copy to host");
    }
    return error;
}

GpuError ReportOverlayFree(GpuError error)
{
    if (error != GPU_SUCCESS) {
        TYX_LOG(2, L"Failed(Err=%d) to free device memory!", error);
        HandleGPUCriticalError(error, L"overlay device free");
    }
    return error;
}

GpuError SynchronizeOverlay()
{
    const GpuError error = DevSynchronize();
    if (error != GPU_SUCCESS) {
        TYX_LOG(2, L"[Thread:%d] Error occured in kernel function with cudaDeviceSynchronize returned %d", ThreadId(),
                error);
        HandleGPUCriticalError(error, L"overlay synchronisation");
    }
    return error;
}
