#include "platform/ProcessAffinity.h"

#include "platform/ProcessTable.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sched.h>
#include <sstream>
#include <unistd.h>

namespace {

constexpr unsigned long PF_KTHREAD_FLAG = 0x00200000;

bool ReadFirstLine(const std::string &path, std::string &line)
{
    std::ifstream file(path);
    return static_cast<bool>(std::getline(file, line));
}

} // namespace

int32_t ParseCpuList(const std::string &text, uint64_t &mask)
{
    mask = 0;
    std::stringstream items(text);
    std::string item;
    bool any = false;
    while (std::getline(items, item, ',')) {
        item.erase(std::remove_if(item.begin(), item.end(), [](char c) { return c == ' ' || c == '\n'; }),
                   item.end());
        if (item.empty())
            continue;
        char *end = nullptr;
        const long first = std::strtol(item.c_str(), &end, 10);
        long last = first;
        if (*end == '-')
            last = std::strtol(end + 1, &end, 10);
        if (*end != '\0' || first < 0 || last < first)
            return -EINVAL;
        for (long cpu = first; cpu <= last && cpu < 64; ++cpu)
            mask |= uint64_t{1} << cpu;
        any = true;
    }
    return any ? 0 : -EINVAL;
}

CHostProcessAffinity::CHostProcessAffinity(std::string procRoot, std::string sysRoot)
    : m_procRoot(std::move(procRoot)), m_sysRoot(std::move(sysRoot))
{
}

int32_t CHostProcessAffinity::OwnProcessId() const
{
    return static_cast<int32_t>(getpid());
}

int32_t CHostProcessAffinity::ListProcessIds(std::vector<int32_t> &pids) const
{
    return ListNumericEntries(m_procRoot, pids);
}

bool CHostProcessAffinity::IsKernelThread(int32_t pid) const
{
    if (pid == 2)
        return true;
    std::string stat;
    if (!ReadFirstLine(m_procRoot + "/" + std::to_string(pid) + "/stat", stat))
        return false;
    // The command name may hold blanks and parentheses: the fields start after the last ")".
    const size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return false;
    std::istringstream fields(stat.substr(close + 1));
    std::string state;
    long ppid = 0;
    long skipped = 0;
    unsigned long flags = 0;
    fields >> state >> ppid;
    for (int i = 0; i < 4; ++i)
        fields >> skipped; // pgrp, session, tty, tpgid
    fields >> flags;
    return ppid == 2 || (flags & PF_KTHREAD_FLAG) != 0;
}

int32_t CHostProcessAffinity::ListThreadIds(int32_t pid, std::vector<int32_t> &tids) const
{
    return ListNumericEntries(m_procRoot + "/" + std::to_string(pid) + "/task", tids);
}

int32_t CHostProcessAffinity::GetSystemMask(uint64_t &mask) const
{
    std::string online;
    if (!ReadFirstLine(m_sysRoot + "/devices/system/cpu/online", online))
        return -ENOENT;
    return ParseCpuList(online, mask);
}

int32_t CHostProcessAffinity::GetThreadAffinity(int32_t tid, uint64_t &mask) const
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(tid, sizeof(set), &set) != 0)
        return -errno;
    mask = 0;
    for (int cpu = 0; cpu < 64; ++cpu) {
        if (CPU_ISSET(cpu, &set))
            mask |= uint64_t{1} << cpu;
    }
    return 0;
}

int32_t CHostProcessAffinity::SetThreadAffinity(int32_t tid, uint64_t mask)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu = 0; cpu < 64; ++cpu) {
        if (mask & (uint64_t{1} << cpu))
            CPU_SET(cpu, &set);
    }
    return sched_setaffinity(tid, sizeof(set), &set) == 0 ? 0 : -errno;
}
