#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What moving processes onto part of the processors needs of the host. Affinity belongs to each
// thread on Linux, so it is read and set per thread id. Masks cover processors 0 to 63.
// Results: 0 or a negative errno.
class IProcessAffinityHost
{
public:
    virtual ~IProcessAffinityHost() = default;
    virtual int32_t OwnProcessId() const = 0;
    virtual int32_t ListProcessIds(std::vector<int32_t> &pids) const = 0;
    // Kernel threads cannot be moved and are left out.
    virtual bool IsKernelThread(int32_t pid) const = 0;
    virtual int32_t ListThreadIds(int32_t pid, std::vector<int32_t> &tids) const = 0;
    // The processors of the host that are online.
    virtual int32_t GetSystemMask(uint64_t &mask) const = 0;
    virtual int32_t GetThreadAffinity(int32_t tid, uint64_t &mask) const = 0;
    virtual int32_t SetThreadAffinity(int32_t tid, uint64_t mask) = 0;
};

// The host itself, through /proc (under procRoot) and sched_getaffinity/sched_setaffinity; the
// online processors come from the sysfs root.
class CHostProcessAffinity final : public IProcessAffinityHost
{
public:
    explicit CHostProcessAffinity(std::string procRoot = "/proc", std::string sysRoot = "/sys");

    int32_t OwnProcessId() const override;
    int32_t ListProcessIds(std::vector<int32_t> &pids) const override;
    bool IsKernelThread(int32_t pid) const override;
    int32_t ListThreadIds(int32_t pid, std::vector<int32_t> &tids) const override;
    int32_t GetSystemMask(uint64_t &mask) const override;
    int32_t GetThreadAffinity(int32_t tid, uint64_t &mask) const override;
    int32_t SetThreadAffinity(int32_t tid, uint64_t mask) override;

private:
    std::string m_procRoot;
    std::string m_sysRoot;
};

// Parses a kernel processor list such as "0-3,8,10-11" into a mask of processors 0 to 63;
// -EINVAL for text that is not such a list.
int32_t ParseCpuList(const std::string &text, uint64_t &mask);
