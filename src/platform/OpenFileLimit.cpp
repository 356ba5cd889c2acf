#include "platform/OpenFileLimit.h"

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>

int32_t RaiseOpenFileLimit(uint64_t wanted, stOpenFileLimit &limit)
{
    rlimit current{};
    if (getrlimit(RLIMIT_NOFILE, &current) != 0)
        return -errno;
    limit.before = limit.now = current.rlim_cur;
    limit.hard = current.rlim_max;
    if (current.rlim_cur >= wanted)
        return 0;
    rlimit raised = current;
    raised.rlim_cur = std::min<rlim_t>(wanted, current.rlim_max);
    if (raised.rlim_cur > current.rlim_cur && setrlimit(RLIMIT_NOFILE, &raised) == 0)
        limit.now = raised.rlim_cur;
    return 0;
}
