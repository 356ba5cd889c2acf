#include "vproc/GpuCallTimer.h"

#include "core/debuglog.h"

namespace {

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
