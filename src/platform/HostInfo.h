#pragma once

#include <cstdint>
#include <map>
#include <string>

// Facts of the host for its environment report, read from /proc, /sys and /etc under a root
// folder ("/" normally, a prepared tree in tests). Results: 0 or a negative errno.

struct stCpuCache
{
    int32_t sizeKiB = 0;
    int32_t lineSize = 0; // bytes
};

struct stCpuTopology
{
    int32_t numaNodes = 0;
    int32_t packages = 0;
    int32_t cores = 0;
    int32_t logicalProcessors = 0;
    std::map<int32_t, int32_t> logicalPerPackage; // package id -> logical processors
    stCpuCache caches[3];                         // levels 1 to 3, the first cache found of each
};
int32_t ReadCpuTopology(const std::string &root, stCpuTopology &topology);

struct stMemoryInfo
{
    uint64_t totalKiB = 0;
    uint64_t availableKiB = 0;
};
int32_t ReadMemoryInfo(const std::string &root, stMemoryInfo &memory);

struct stOsInfo
{
    std::string prettyName; // empty when /etc/os-release cannot be read
    std::string release;    // kernel release, "6.1.0-18-amd64"
    std::string version;    // kernel build text, "#1 SMP PREEMPT_DYNAMIC Debian ..."
    int32_t major = 0;
    int32_t minor = 0;
    int32_t build = 0;
};
int32_t ReadOsInfo(const std::string &root, stOsInfo &os);

// The unit's serial text: the first 15 characters of the host's machine id (/etc/machine-id) in
// upper case, so that peers can tell units apart; empty when the id is missing or not hexadecimal.
std::string ReadUnitSerial(const std::string &root);

// The machine name of the running kernel ("x86_64", "aarch64").
std::string ReadMachineName();
