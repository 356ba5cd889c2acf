#include "service/DependedServices.h"

#include "core/TYXUtils.h"
#include "platform/ServiceManager.h"
#include "platform/TickCount.h"

#include <set>

namespace {

constexpr uint32_t kPollMs = 100;

void LookAt(const std::string &name, int32_t &slot, IServiceManager &manager, int32_t &running)
{
    int32_t state = 0;
    const int32_t queried = manager.QueryState(name, state);
    if (queried < 0) {
        ConsolePrintf("Lumo Depended Service(%s) status querying failed with error=%d!\n", name.c_str(), -queried);
        return;
    }
    slot = state;
    if (state == TYX_SERVICE_STOPPED) {
        ConsolePrintf("Lumo Depended Service(%s) is NOT started!\n", name.c_str());
        ConsolePrintf("Try starting depended Service(%s)...\n", name.c_str());
        if (const int32_t started = manager.Start(name); started < 0)
            ConsolePrintf("Lumo Depended Service(%s) starting failed with error=%d!...\n", name.c_str(), -started);
    } else if (state == TYX_SERVICE_RUNNING) {
        ++running;
    } else if (state == TYX_SERVICE_PAUSED) {
        ConsolePrintf("Lumo Depended Service(%s) is paused!\n", name.c_str());
        if (const int32_t continued = manager.Continue(name); continued < 0)
            ConsolePrintf("Lumo Depended Service(%s) resuming failed with error=%d!\n", name.c_str(), -continued);
    }
}

} // namespace

int32_t CheckDependedServices(std::map<std::wstring, int32_t> &services, int32_t waitMs, IServiceManager &manager,
                              const stDependedServicesClock &clock)
{
    if (services.empty())
        return 0;
    if (const int32_t opened = manager.Open(); opened < 0) {
        ConsolePrintf("OpenSCManager failed  with error=%d!\n", -opened);
        return opened;
    }
    std::set<std::wstring> known;
    for (auto &[name, slot] : services) {
        slot = 0;
        if (name.empty())
            continue;
        if (const int32_t exists = manager.Exists(WStringToString(name)); exists < 0)
            ConsolePrintf("Lumo Depended Service(%s) Opening failed with error=%d!\n", WStringToString(name).c_str(), -exists);
        else
            known.insert(name);
    }
    if (known.empty())
        return 0;
    auto now = [&clock] { return clock.tickMs ? clock.tickMs() : GetTickCount32(); };
    const uint32_t start = now();
    uint32_t current = start + 1;
    int32_t running = 0;
    while (static_cast<int64_t>(current - start) < waitMs) {
        for (auto &[name, slot] : services)
            if (slot != TYX_SERVICE_RUNNING && known.count(name))
                LookAt(WStringToString(name), slot, manager, running);
        if (running >= static_cast<int32_t>(known.size()))
            return running;
        if (clock.sleepMs)
            clock.sleepMs(kPollMs);
        else
            SleepMs(kPollMs);
        current = now();
    }
    ConsolePrintf("Some Lumo Depended Service NOT started until timedout!\n");
    return running;
}
