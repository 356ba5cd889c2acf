#include "service/TYXMainExit.h"

#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "host/GlobalVars.h"
#include "platform/Event.h"
#include "service/dGlobalFuncs.h"

namespace {

constexpr uint64_t kGpuGrowthToLog = 134217728; // 128 MiB

} // namespace

void RequestServiceExit(int32_t action, uint32_t delaySeconds)
{
    CTYXGVMS::ExitAction() = action;
    CTYXGVMS::ExitDelay() = static_cast<int32_t>(delaySeconds);
    if (const std::shared_ptr<CEvent> exitEvent = CTYXGVMS::ExitRequestEvent())
        exitEvent->Set();
}

int32_t ShutdownHost(bool reboot, IHostControl &host)
{
    const int32_t result = reboot ? host.Reboot() : host.PowerOff();
    return result == 0 ? 1 : 0;
}

void RunExitAction(int32_t action, int32_t delaySeconds, int64_t now, IHostControl &host,
                   const std::string &programPath)
{
    if (action == TYX_EXIT_POWER_OFF || action == TYX_EXIT_REBOOT) {
        TYX_LOG(5, L"Shuting down(or Restarting) host machine...");
        if (CTYXWorker::IsProcessScreenOutputOn())
            ConsolePrintf("\r\nShuting down host machine...\r\n");
        ShutdownHost(action == TYX_EXIT_REBOOT, host);
        return;
    }
    if (action != TYX_EXIT_RESTART || delaySeconds == 0)
        return;
    const int32_t result = CreateRestartTask(now + delaySeconds, now, host, programPath);
    if (result < 0)
        TYX_LOG(3, L"TYX restarting setting failed with error=%d!", result);
    else
        TYX_LOG(5, L"TYX will restarting after %d seconds...", delaySeconds);
}

bool GpuMemoryGrew(uint64_t &lastLogged, uint64_t used)
{
    if (used <= lastLogged + kGpuGrowthToLog)
        return false;
    lastLogged = used;
    return true;
}
