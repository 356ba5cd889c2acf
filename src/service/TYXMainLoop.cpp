#include "service/TYXMainRun.h"

#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "host/GlobalVars.h"
#include "output/RVDOServer.h"
#include "platform/GpuDevice.h"
#include "platform/HostControl.h"
#include "platform/ProcessTable.h"
#include "platform/Terminal.h"
#include "platform/TickCount.h"
#include "service/TYXMainExit.h"
#include "service/dGlobalFuncs.h"

#include <chrono>
#include <csignal>
#include <thread>

namespace {

constexpr uint32_t kLoopWaitMs = 50;
constexpr uint32_t kGpuCheckPasses = 10;
constexpr int32_t kGpuQueryFailed = -101;
constexpr uint32_t kPauseBetweenKindsMs = 100;

bool SameDay(const std::tm &a, const std::tm &b)
{
    return a.tm_year == b.tm_year && a.tm_yday == b.tm_yday;
}

// Clears the screen and its scroll-back, as the console had it before the status screen.
void RestoreConsoleMode()
{
    if (!IsTerminalDescriptor(1))
        return;
    if (WriteFully(1, "\x1b[2J") == 0)
        WriteFully(1, "\x1b[3J");
}

} // namespace

bool CTYXMainRun::WaitForExit(uint32_t timeoutMs)
{
    const std::shared_ptr<CEvent> exitEvent = CTYXGVMS::ExitRequestEvent();
    if (m_run.signals && m_run.signals->IsOpen()) {
        const int32_t signal = m_run.signals->Wait(static_cast<int32_t>(timeoutMs));
        if (signal > 0)
            OnSignal(signal);
        return exitEvent && exitEvent->Wait(0) == TYX_WAIT_OBJECT_0;
    }
    if (!exitEvent) {
        SleepMs(timeoutMs);
        return false;
    }
    return exitEvent->Wait(timeoutMs) == TYX_WAIT_OBJECT_0;
}

void CTYXMainRun::OnSignal(int32_t signal)
{
    if (signal == SIGTERM) {
        TYX_LOG(5, L"Received application close signal in system shuting down.");
        CTYXGVMS::NotifyAndWaitTyxExit(1, false);
        return;
    }
    TYX_LOG(5, L"Received application close signal from console.");
    CTYXGVMS::NotifyAndWaitTyxExit(0, false);
}

int32_t CTYXMainRun::CheckGpuMemory()
{
    if (DevBackend() != EGpuBackend::Cuda)
        return 0;
    size_t freeBytes = 0;
    size_t totalBytes = 0;
    const GpuError error = DevMemGetInfo(&freeBytes, &totalBytes);
    if (error != 0) {
        TYX_LOG(3, L"cudaMemGetInfo failed with error=%d!", static_cast<int32_t>(error));
        return kGpuQueryFailed;
    }
    if (freeBytes == 0 || totalBytes == 0)
        return 0;
    const uint64_t before = m_loggedGpuUse;
    const uint64_t used = totalBytes - freeBytes;
    if (GpuMemoryGrew(m_loggedGpuUse, used))
        TYX_LOG(6, L"GPU memory used[%lld->%lld] is increasing!", static_cast<long long>(before),
                static_cast<long long>(used));
    return 0;
}

void CTYXMainRun::RollDebugLog()
{
    const time_t now = time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    if (SameDay(local, m_logDay))
        return;
    m_logDay = local;
    TYX_LOG(5, L"A new day: the log goes on in the day's own file.");
    StopDebugLog();
    StartDebugLog(m_run.debugLevel, BuildDebugLogFilePath(m_run.logFolder, local));
}

int32_t CTYXMainRun::MainLoop()
{
    if (WaitForExit(kLoopWaitMs))
        return 0;
    for (uint32_t pass = 0;; ++pass) {
        const stTYXGeneralSettings &settings = CTYXGVMS::GeneralSettings();
        if (!m_run.serviceMode && settings.InitializeMonitors)
            CRVDOServer::InitMonitors(L"", false, L"", m_run.cudaDevice, 0);
        // A console write that failed turned the process's screen output off for good.
        if (m_run.screenOutput && !CTYXWorker::IsProcessScreenOutputOn())
            m_run.screenOutput = false;
        if (m_run.screenOutput && m_statusScreen)
            m_statusScreen->RefreshStatusScreen(m_console);
        if (pass % kGpuCheckPasses == 0 && CheckGpuMemory() < 0)
            return kGpuQueryFailed;
        RollDebugLog();
        ReapServicePrograms();
        if (WaitForExit(kLoopWaitMs))
            return 0;
    }
}

void CTYXMainRun::StopGraph()
{
    bool first = true;
    for (int32_t kind : {TYX_KIND_MEDIA_READER, TYX_KIND_VIDEO_DECODER, TYX_KIND_VIDEO_MIDPROC,
                         TYX_KIND_VIDEO_ENCODER, TYX_KIND_MEDIA_WRITER}) {
        if (!first)
            SleepMs(kPauseBetweenKindsMs);
        first = false;
        m_graph.StopWorkerGroup(kind);
    }
}

void CTYXMainRun::Shutdown()
{
    TYX_LOG(5, L"TYX main thread received exiting command.");
    Print(L"\rLumo Received exit signal...\r\n ");
    PrintRule();
    TYX_LOG(5, L"TYX is exiting...");
    if (m_run.notifier) {
        m_run.notifier->Stopping();
        m_run.notifier->Status("Stopping");
    }
    RestoreConsoleMode();
    m_eventThread.StopEventProcThread();
    if (m_run.services.announceOffline)
        m_run.services.announceOffline(m_eventThread);
    TYX_LOG(5, L"Stop RCM module...");
    if (m_run.services.stopRemoteControl)
        m_run.services.stopRemoteControl();
    SleepMs(100);
    TYX_LOG(5, L"Stop TYX workers...");
    StopGraph();
    StopServicePrograms();
    // What the stopped workers' links still queue goes now, not among the static objects at exit.
    CTYXGVMS::ReleaseWorkerRegistries();
    if (const std::shared_ptr<CEvent> terminated = CTYXGVMS::TerminatedSignal())
        terminated->Set();
    m_run.workersRunning->Reset();
    TYX_LOG(5, L"TYX exited...");
}

void CTYXMainRun::ExitAction()
{
    CSystemHostControl host;
    RunExitAction(CTYXGVMS::ExitAction().load(), CTYXGVMS::ExitDelay().load(), time(nullptr), host, OwnProgramPath());
}
