#include "platform/ServiceManager.h"

#include "platform/ProcessHandle.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int32_t kCommandTimeoutMs = 10000;

} // namespace

CSystemdServiceManager::CSystemdServiceManager(std::string root) : m_root(std::move(root)) {}

std::string CSystemdServiceManager::UnitName(const std::string &name)
{
    return name.find('.') == std::string::npos ? name + ".service" : name;
}

int32_t CSystemdServiceManager::Open()
{
    struct stat info{};
    const std::string folder = m_root + (m_root.empty() || m_root.back() != '/' ? "/" : "") + "run/systemd/system";
    return ::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) ? 0 : -ENOENT;
}

int32_t CSystemdServiceManager::Show(const std::string &name, std::string &load, std::string &active,
                                     std::string &freezer)
{
    char path[] = "/tmp/tyx-systemctl-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        return -errno;
    close(fd);
    const int32_t result = RunCommand({"systemctl", "show", "-p", "LoadState", "-p", "ActiveState", "-p", "FreezerState",
                                       "--", UnitName(name)},
                                      kCommandTimeoutMs, path);
    std::ifstream output(path);
    std::string line;
    while (std::getline(output, line)) {
        const size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string key = line.substr(0, equals);
        const std::string value = line.substr(equals + 1);
        if (key == "LoadState")
            load = value;
        else if (key == "ActiveState")
            active = value;
        else if (key == "FreezerState")
            freezer = value;
    }
    unlink(path);
    return result == 0 ? 0 : (result < 0 ? result : -EIO);
}

int32_t CSystemdServiceManager::Exists(const std::string &name)
{
    std::string load, active, freezer;
    const int32_t result = Show(name, load, active, freezer);
    if (result < 0)
        return result;
    return load.empty() || load == "not-found" ? -ENOENT : 0;
}

int32_t CSystemdServiceManager::QueryState(const std::string &name, int32_t &state)
{
    std::string load, active, freezer;
    const int32_t result = Show(name, load, active, freezer);
    if (result < 0)
        return result;
    if (freezer == "frozen")
        state = TYX_SERVICE_PAUSED;
    else if (active == "active")
        state = TYX_SERVICE_RUNNING;
    else if (active == "inactive" || active == "failed")
        state = TYX_SERVICE_STOPPED;
    else
        state = 0;
    return 0;
}

int32_t CSystemdServiceManager::Start(const std::string &name)
{
    const int32_t result = RunCommand({"systemctl", "start", "--no-block", "--", UnitName(name)}, kCommandTimeoutMs);
    return result == 0 ? 0 : (result < 0 ? result : -EIO);
}

int32_t CSystemdServiceManager::Continue(const std::string &name)
{
    const int32_t result = RunCommand({"systemctl", "thaw", "--", UnitName(name)}, kCommandTimeoutMs);
    return result == 0 ? 0 : (result < 0 ? result : -EIO);
}
