#include "platform/ProcessTable.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <unistd.h>

namespace {

std::string ProcessPath(int32_t pid, const std::string &procRoot, const char *entry)
{
    return procRoot + "/" + std::to_string(pid) + "/" + entry;
}

} // namespace

int32_t ListNumericEntries(const std::string &folder, std::vector<int32_t> &ids)
{
    ids.clear();
    DIR *dir = opendir(folder.c_str());
    if (!dir)
        return -errno;
    while (const dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (!name.empty() && name.size() < 10 &&
            std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
            ids.push_back(std::atoi(name.c_str()));
    }
    closedir(dir);
    std::sort(ids.begin(), ids.end());
    return 0;
}

std::string ReadProcessExe(int32_t pid, const std::string &procRoot)
{
    char target[4096];
    const ssize_t length = readlink(ProcessPath(pid, procRoot, "exe").c_str(), target, sizeof(target) - 1);
    if (length <= 0)
        return {};
    return std::string(target, static_cast<size_t>(length));
}

std::vector<std::string> ReadProcessCommandLine(int32_t pid, const std::string &procRoot)
{
    std::ifstream file(ProcessPath(pid, procRoot, "cmdline"), std::ios::binary);
    const std::string raw((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<std::string> args;
    size_t start = 0;
    while (start < raw.size()) {
        const size_t end = raw.find('\0', start);
        args.push_back(raw.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return args;
}

int64_t ReadProcessUid(int32_t pid, const std::string &procRoot)
{
    std::ifstream file(ProcessPath(pid, procRoot, "status"));
    std::string line;
    while (std::getline(file, line)) {
        if (line.rfind("Uid:", 0) == 0) {
            std::istringstream fields(line.substr(4));
            int64_t uid = -1;
            fields >> uid;
            return uid;
        }
    }
    return -1;
}

std::string OwnProgramPath()
{
    return ReadProcessExe(static_cast<int32_t>(getpid()));
}

std::string OwnServiceUnit(const std::string &procRoot)
{
    const char *invocation = std::getenv("INVOCATION_ID");
    if (!invocation || !*invocation)
        return {};
    std::ifstream file(procRoot + "/self/cgroup");
    std::string line;
    while (std::getline(file, line)) {
        const size_t slash = line.rfind('/');
        const std::string unit = slash == std::string::npos ? line : line.substr(slash + 1);
        if (unit.size() > 8 && unit.compare(unit.size() - 8, 8, ".service") == 0)
            return unit;
    }
    return {};
}
