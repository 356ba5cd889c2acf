#pragma once

#include "host/EventThread.h"
#include "pipeline/WorkerGraph.h"
#include "service/ConsoleOutput.h"
#include "service/ConsoleStatusScreen.h"
#include "service/ServiceRun.h"

#include <cstdint>
#include <ctime>
#include <memory>

// One run of the pipeline from the loading of the configuration to the exit action; the steps of
// TYXMain, each a method, on the main thread.
class CTYXMainRun
{
public:
    explicit CTYXMainRun(stServiceRun &run);
    CTYXMainRun(const CTYXMainRun &) = delete;
    CTYXMainRun &operator=(const CTYXMainRun &) = delete;

    int32_t Run();

private:
    // ---- start-up ----
    void LoadConfigurations();
    void LoadSystemSettings();
    void LoadPipelineSettings();
    void ReportUnloadedFile(const std::wstring &path, int32_t result) const;
    // The executor of the remote commands, over the run's graph and device.
    RcmCommandExecutor MakeCommandExecutor();
    void StartEventThread();
    void BuildGraph();
    void StartGraph();
    void Announce();
    // ---- running ----
    // The main loop; 0, or -101 when the GPU memory query failed.
    int32_t MainLoop();
    bool WaitForExit(uint32_t timeoutMs);
    void OnSignal(int32_t signal);
    int32_t CheckGpuMemory();
    void RollDebugLog();
    // ---- end ----
    void Shutdown();
    void StopGraph();
    void ExitAction();
    void Print(const wchar_t *format, ...) const;
    void PrintRule() const;

    stServiceRun &m_run;
    CWorkerGraph m_graph;
    CTYXEventThread m_eventThread;
    CConsoleOutput m_console;
    std::unique_ptr<CConsoleStatusScreen> m_statusScreen;
    uint64_t m_loggedGpuUse = 0;
    std::tm m_logDay{};
};
