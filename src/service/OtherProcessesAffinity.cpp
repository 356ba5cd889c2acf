// Moving the host's other processes onto part of the processors, so that the service keeps the
// rest to itself. Affinity is per thread here: every thread of a process is moved.

#include "service/HostReport.h"

#include "core/debuglog.h"
#include "platform/ProcessAffinity.h"

#include <cstdlib>

namespace {

// The lines of this operation name no source and no function.
#define TYX_AFFINITY_LOG(level, format, ...) DebugLog((level), L"", L"", 0, format __VA_OPT__(, ) __VA_ARGS__)

int32_t BitLength(uint64_t mask)
{
    int32_t length = 0;
    while (mask) {
        ++length;
        mask >>= 1;
    }
    return length;
}

// True when at least one thread of the process was moved onto the target.
bool MoveProcess(IProcessAffinityHost &host, int32_t pid, uint64_t target)
{
    std::vector<int32_t> tids;
    if (const int32_t error = host.ListThreadIds(pid, tids)) {
        TYX_AFFINITY_LOG(6, L"Process[%d] open failed with last error=%d!", pid, -error);
        return false;
    }
    bool moved = false;
    for (const int32_t tid : tids) {
        uint64_t mask = 0;
        if (const int32_t error = host.GetThreadAffinity(tid, mask)) {
            TYX_AFFINITY_LOG(6, L"Process[%d] affinity retreiving failed with last error=%d!", pid, -error);
            continue;
        }
        if (mask == target)
            continue;
        if (const int32_t error = host.SetThreadAffinity(tid, target)) {
            TYX_AFFINITY_LOG(6, L"Process[%d] affinity setting failed whih last error=%d!", pid, -error);
            continue;
        }
        host.GetThreadAffinity(tid, mask);
        TYX_AFFINITY_LOG(7, L"Process[%d] affinity was set to %lld.", pid, static_cast<long long>(mask));
        moved = true;
    }
    return moved;
}

} // namespace

int32_t SetOtherProcessesAffinity(int64_t shift, IProcessAffinityHost &host)
{
    std::vector<int32_t> pids;
    if (host.ListProcessIds(pids) != 0)
        return -8;
    uint64_t system = 0;
    if (const int32_t error = host.GetSystemMask(system)) {
        TYX_AFFINITY_LOG(3, L"TYX process affinity retreiving failed with last error=%d!", -error);
        return -16;
    }
    if (shift < 0 || shift >= BitLength(system))
        return -32;
    const uint64_t target = system >> shift;
    const int32_t own = host.OwnProcessId();
    int32_t count = 0;
    for (const int32_t pid : pids) {
        if (pid == 0 || pid == own || host.IsKernelThread(pid))
            continue;
        if (MoveProcess(host, pid, target))
            ++count;
    }
    return count;
}

int32_t SetOtherProcessesAffinity(int64_t shift)
{
    CHostProcessAffinity host;
    return SetOtherProcessesAffinity(shift, host);
}

int32_t MoveOtherProcessesAtStartup(int64_t shift)
{
    const char *invocation = std::getenv("INVOCATION_ID");
    if (!invocation || !*invocation) {
        TYX_LOG(5, L"Other processes keep their processors: the program was not started by systemd.");
        return 0;
    }
    const int32_t moved = SetOtherProcessesAffinity(shift);
    TYX_LOG(6, L"Other processes moved with shift %lld: %d.", static_cast<long long>(shift), moved);
    return moved;
}
