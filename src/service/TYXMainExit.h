#pragma once

#include "platform/HostControl.h"

#include <cstdint>
#include <string>

// Exit actions of the run.
constexpr int32_t TYX_EXIT_NONE = 0;
constexpr int32_t TYX_EXIT_POWER_OFF = 1;
constexpr int32_t TYX_EXIT_REBOOT = 2;
constexpr int32_t TYX_EXIT_RESTART = 3;

// Stores the exit action and its delay (seconds), then asks the run to end.
void RequestServiceExit(int32_t action, uint32_t delaySeconds);
// Asks the host to power off or reboot: non-zero when the shutdown was started.
int32_t ShutdownHost(bool reboot, IHostControl &host);
// Carries out the exit action after the shutdown: power off, reboot, or a start of the program
// delaySeconds after now; any other action (and a restart without delay) does nothing.
void RunExitAction(int32_t action, int32_t delaySeconds, int64_t now, IHostControl &host,
                   const std::string &programPath);

// True (and lastLogged becomes used) when the GPU memory in use has grown by more than 128 MiB
// since the last logged value.
bool GpuMemoryGrew(uint64_t &lastLogged, uint64_t used);
