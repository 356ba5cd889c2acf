#include "service/ScreenRefreshThread.h"

#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "core/TYXWorker.h"
#include "output/RVDOServer.h"
#include "platform/Thread.h"

#include <latch>

CScreenRefreshThread::~CScreenRefreshThread()
{
    StopRefreshThread();
}

int32_t CScreenRefreshThread::StartScreenRefreshThread(int32_t cudaDevice)
{
    if (m_thread.joinable())
        return m_threadId;
    m_stop.Reset();
    std::latch started(1);
    m_thread = std::thread([this, cudaDevice, &started] {
        m_threadId = GetCurrentThreadIdInt();
        started.count_down();
        ScreenRefreshThreadMain(cudaDevice);
    });
    started.wait();
    return m_threadId;
}

int32_t CScreenRefreshThread::StopRefreshThread()
{
    if (!m_thread.joinable())
        return 0;
    m_stop.Set();
    m_thread.join();
    m_threadId = 0;
    return 0;
}

uint32_t CScreenRefreshThread::ScreenRefreshThreadMain(int32_t cudaDevice)
{
    TYX_LOG(6, L"Working inforamtion Thread[%d] Starting.", GetCurrentThreadIdInt());
    // Started only with the preview configured; the settings are not read here, since the run
    // reloads them on its own thread.
    while (m_stop.Wait(100) != TYX_WAIT_OBJECT_0)
        CRVDOServer::InitMonitors(L"", false, L"", cudaDevice, 0);
    TYX_LOG(5, L"Working inforamtion thread received exiting command .");
    if (CTYXWorker::IsProcessScreenOutputOn())
        ConsolePrintf("\r\nRefresh thread Received exit signal...\r\n %s\r\n", std::string(59, '-').c_str());
    return 0;
}
