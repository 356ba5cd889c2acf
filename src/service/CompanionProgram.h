#pragma once

#include "platform/ProcessHandle.h"

#include <cstdint>
#include <mutex>
#include <string>

struct stMoxConfig;

// How long a child program is given after each stop signal.
struct stChildStopTimes
{
    int32_t firstMs = 5000;
    int32_t termMs = 3000;
    int32_t killMs = 2000;
};

// The companion (MOX) program: started from its folder, its process kept, stopped with SIGTERM
// and awaited. Starting it again first stops the one that runs. Any thread may call.
class CCompanionProgram
{
public:
    CCompanionProgram() = default;
    CCompanionProgram(const CCompanionProgram &) = delete;
    CCompanionProgram &operator=(const CCompanionProgram &) = delete;

    // The process id; -50 when it does not run locally; -54 when its file does not exist (or its
    // name is not a file name); -52 when it cannot be started. outputFile takes its output
    // (empty: none is kept).
    int32_t Start(const stMoxConfig &config, const std::string &outputFile);
    // 1 when one ran and has ended, 0 when none ran, -ETIMEDOUT when it outlived SIGKILL.
    int32_t Stop();
    // Collects it when it has ended on its own.
    void Reap();
    int32_t Pid();
    void SetStopTimes(const stChildStopTimes &times);

private:
    std::mutex m_mutex;
    CProcessHandle m_child;
    stChildStopTimes m_stopTimes;
};

// True when name names a file inside its folder: not empty, no "/", not "." or "..", no control
// character.
bool IsPlainFileName(const std::wstring &name);
