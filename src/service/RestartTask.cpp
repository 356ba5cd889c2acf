// The delayed restart of the program (the exit action "restart").

#include "service/dGlobalFuncs.h"

#include "core/TYXUtils.h"
#include "platform/ProcessTable.h"
#include "service/ServiceLog.h"

#include <climits>
#include <cstdio>

namespace {

constexpr int64_t MIN_DELAY_S = 30;
constexpr int64_t LATE_START_S = 300; // a start that comes later than this is dropped

std::string LocalBoundary(int64_t time)
{
    const std::time_t value = static_cast<std::time_t>(time);
    std::tm local{};
    localtime_r(&value, &local);
    char text[80];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

} // namespace

int32_t CreateRestartTask(int64_t restartTime)
{
    CSystemHostControl host;
    return CreateRestartTask(restartTime, static_cast<int64_t>(std::time(nullptr)), host, OwnProgramPath());
}

int32_t CreateRestartTask(int64_t restartTime, int64_t now, IHostControl &host, const std::string &programPath)
{
    if (programPath.empty() || programPath.size() > PATH_MAX || restartTime <= now + MIN_DELAY_S)
        return -1;
    stScheduledStart start;
    start.argv = {programPath, "-silent"};
    // Under systemd the unit itself starts again, so that the new run stays supervised.
    start.unitName = OwnServiceUnit();
    start.now = now;
    start.startTime = restartTime;
    start.latestStart = restartTime + LATE_START_S;
    const std::string boundary = LocalBoundary(restartTime);
    if (const int32_t result = host.ScheduleProgramStart(start)) {
        ConsolePrintf("\nError saving the Task : %x", static_cast<unsigned>(result));
        TYX_GLOBAL_LOG(3, L"Restart of (%S) at %S could not be scheduled, error=%d!", programPath.c_str(),
                       boundary.c_str(), result);
        return -46;
    }
    ConsolePrintf("TYX will re-start at time:%s...\n ", boundary.c_str());
    TYX_GLOBAL_LOG(5, L"TYX will re-start at time:%S...", boundary.c_str());
    return 0;
}
