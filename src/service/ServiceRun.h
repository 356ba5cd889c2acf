#pragma once

#include "platform/Event.h"
#include "platform/SignalReader.h"
#include "platform/SystemdNotifier.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// The remote-control server and the discovery announcements as the run starts and stops them;
// empty hooks leave the run without them.
struct stRunServices
{
    std::function<void(const std::wstring &programFolder)> startRemoteControl;
    std::function<void()> stopRemoteControl;
    std::function<void()> announceOnline;
    std::function<void()> announceOffline;
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
