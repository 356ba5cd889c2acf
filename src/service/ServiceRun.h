#pragma once

#include "platform/Event.h"
#include "platform/SignalReader.h"
#include "platform/SystemdNotifier.h"
#include "rcm/RcmCommandProcessor.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class CTYXEventThread;

// The remote-control server and the discovery announcements as the run starts and stops them;
// empty hooks leave the run without them. The run hands the server its command executor, and the
// announcements its event thread, whose writer notifications go out through the discoverer.
struct stRunServices
{
    std::function<void(const std::wstring &programFolder, RcmCommandExecutor executor)> startRemoteControl;
    std::function<void()> stopRemoteControl;
    std::function<void(CTYXEventThread &events)> announceOnline;
    std::function<void(CTYXEventThread &events)> announceOffline;
};

// What start-up prepares for the run and the run reads: written on the main thread before the run
// begins.
struct stServiceRun
{
    bool screenOutput = true;
    bool serviceMode = false;
    int32_t cudaDevice = -1;
    uint64_t processAffinity = 0;
    int64_t startTime = 0;     // seconds since 1970
    int64_t hostBootTime = 0;  // seconds since 1970
    std::wstring programFolder; // with its trailing "/"
    std::wstring logFolder;
    uint8_t debugLevel = 5;
    std::shared_ptr<CEvent> workersRunning = std::make_shared<CEvent>(false);
    CSignalReader *signals = nullptr;
    const CSystemdNotifier *notifier = nullptr;
    stRunServices services;
};
