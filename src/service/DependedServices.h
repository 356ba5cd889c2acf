#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

class IServiceManager;

// The clock and the pause of the wait (tests give their own).
struct stDependedServicesClock
{
    std::function<uint32_t()> tickMs;
    std::function<void(uint32_t ms)> sleepMs;
};

// Waits up to waitMs for the configured services (name -> state slot) to run, starting stopped ones
// and continuing paused ones: the number found running; 0 for none configured; minus the error when
// the service manager cannot be reached.
int32_t CheckDependedServices(std::map<std::wstring, int32_t> &services, int32_t waitMs, IServiceManager &manager,
                              const stDependedServicesClock &clock = {});
