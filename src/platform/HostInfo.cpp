#include "platform/HostInfo.h"

#include "platform/ProcessAffinity.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/utsname.h>
#include <utility>
#include <vector>

namespace {

bool ReadFirstLine(const std::string &path, std::string &line)
{
    std::ifstream file(path);
    if (!std::getline(file, line))
        return false;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return true;
}

bool ReadNumber(const std::string &path, int64_t &value)
{
    std::string line;
    if (!ReadFirstLine(path, line) || line.empty())
        return false;
    char *end = nullptr;
    value = std::strtoll(line.c_str(), &end, 10);
    return end != line.c_str();
}

// Names in folder that are prefix followed by a number, with that number.
std::vector<std::pair<int32_t, std::string>> NumberedEntries(const std::string &folder, const std::string &prefix)
{
    std::vector<std::pair<int32_t, std::string>> entries;
    DIR *dir = opendir(folder.c_str());
    if (!dir)
        return entries;
    while (const dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
            continue;
        const std::string digits = name.substr(prefix.size());
        if (digits.find_first_not_of("0123456789") == std::string::npos)
            entries.emplace_back(std::atoi(digits.c_str()), name);
    }
    closedir(dir);
    std::sort(entries.begin(), entries.end());
    return entries;
}

// "48K", "1024K", "32M" in KiB.
int32_t ParseCacheSize(const std::string &text)
{
    char *end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (*end == 'M')
        return static_cast<int32_t>(value * 1024);
    return static_cast<int32_t>(value);
}

void ReadCaches(const std::string &cpuFolder, stCpuTopology &topology)
{
    for (const auto &[index, name] : NumberedEntries(cpuFolder + "/cache", "index")) {
        (void)index;
        const std::string folder = cpuFolder + "/cache/" + name;
        int64_t level = 0;
        std::string type;
        if (!ReadNumber(folder + "/level", level) || level < 1 || level > 3)
            continue;
        ReadFirstLine(folder + "/type", type);
        if (type == "Instruction" && level == 1)
            continue; // the data cache stands for level 1, as the first descriptor does elsewhere
        stCpuCache &cache = topology.caches[level - 1];
        if (cache.sizeKiB != 0)
            continue;
        std::string size;
        int64_t line = 0;
        if (ReadFirstLine(folder + "/size", size))
            cache.sizeKiB = ParseCacheSize(size);
        if (ReadNumber(folder + "/coherency_line_size", line))
            cache.lineSize = static_cast<int32_t>(line);
    }
}

} // namespace

int32_t ReadCpuTopology(const std::string &root, stCpuTopology &topology)
{
    topology = stCpuTopology{};
    const std::string cpuRoot = root + "/sys/devices/system/cpu";
    uint64_t online = ~uint64_t{0};
    std::string onlineText;
    if (ReadFirstLine(cpuRoot + "/online", onlineText))
        ParseCpuList(onlineText, online);
    const auto cpus = NumberedEntries(cpuRoot, "cpu");
    if (cpus.empty())
        return -ENOENT;
    std::set<std::pair<int64_t, int64_t>> cores;
    std::set<int64_t> packages;
    for (const auto &[number, name] : cpus) {
        if (number < 64 && (online & (uint64_t{1} << number)) == 0)
            continue;
        const std::string folder = cpuRoot + "/" + name;
        int64_t package = 0;
        int64_t core = number;
        ReadNumber(folder + "/topology/physical_package_id", package);
        ReadNumber(folder + "/topology/core_id", core);
        cores.emplace(package, core);
        packages.insert(package);
        ++topology.logicalPerPackage[static_cast<int32_t>(package)];
        ++topology.logicalProcessors;
        if (topology.caches[0].sizeKiB == 0)
            ReadCaches(folder, topology);
    }
    topology.cores = static_cast<int32_t>(cores.size());
    topology.packages = static_cast<int32_t>(packages.size());
    topology.numaNodes = static_cast<int32_t>(NumberedEntries(root + "/sys/devices/system/node", "node").size());
    if (topology.numaNodes == 0)
        topology.numaNodes = 1; // a kernel without NUMA support has one node
    return 0;
}

int32_t ReadMemoryInfo(const std::string &root, stMemoryInfo &memory)
{
    memory = stMemoryInfo{};
    std::ifstream file(root + "/proc/meminfo");
    if (!file)
        return -ENOENT;
    std::string line;
    bool total = false;
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string key;
        uint64_t value = 0;
        fields >> key >> value;
        if (key == "MemTotal:") {
            memory.totalKiB = value;
            total = true;
        } else if (key == "MemAvailable:") {
            memory.availableKiB = value;
        }
    }
    return total ? 0 : -EINVAL;
}

int32_t ReadOsInfo(const std::string &root, stOsInfo &os)
{
    os = stOsInfo{};
    std::ifstream release(root + "/etc/os-release");
    std::string line;
    while (std::getline(release, line)) {
        if (line.rfind("PRETTY_NAME=", 0) != 0)
            continue;
        std::string value = line.substr(12);
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        os.prettyName = value;
    }
    if (!ReadFirstLine(root + "/proc/sys/kernel/osrelease", os.release) ||
        !ReadFirstLine(root + "/proc/sys/kernel/version", os.version)) {
        utsname names{};
        if (uname(&names) != 0)
            return -errno;
        os.release = names.release;
        os.version = names.version;
    }
    char *end = nullptr;
    os.major = static_cast<int32_t>(std::strtol(os.release.c_str(), &end, 10));
    if (*end == '.')
        os.minor = static_cast<int32_t>(std::strtol(end + 1, &end, 10));
    if (*end == '.')
        os.build = static_cast<int32_t>(std::strtol(end + 1, &end, 10));
    return 0;
}

std::string ReadUnitSerial(const std::string &root)
{
    constexpr size_t kSerialLength = 15; // what a discovery serial field holds
    std::string id;
    if (!ReadFirstLine(root + "/etc/machine-id", id) || id.size() < kSerialLength)
        return {};
    id.resize(kSerialLength);
    for (char &c : id) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return {};
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return id;
}

std::string ReadMachineName()
{
    utsname names{};
    return uname(&names) == 0 ? std::string(names.machine) : std::string();
}
