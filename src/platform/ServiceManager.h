#pragma once

#include "platform/HostControl.h"

#include <cstdint>
#include <string>

// Service states as the start-up check counts them.
constexpr int32_t TYX_SERVICE_STOPPED = 1;
constexpr int32_t TYX_SERVICE_RUNNING = 4;
constexpr int32_t TYX_SERVICE_PAUSED = 7;

// The host's service manager as the check of the depended services needs it. Results: 0 or a
// negative errno.
class IServiceManager
{
public:
    virtual ~IServiceManager() = default;
    // -ENOENT when no service manager runs.
    virtual int32_t Open() = 0;
    // -ENOENT for a service the manager does not know.
    virtual int32_t Exists(const std::string &name) = 0;
    virtual int32_t QueryState(const std::string &name, int32_t &state) = 0;
    virtual int32_t Start(const std::string &name) = 0;
    virtual int32_t Continue(const std::string &name) = 0;
};

// systemd through systemctl: a unit name without a suffix means "<name>.service"; active is
// running, inactive and failed are stopped, a frozen unit is paused (thawed to continue).
class CSystemdServiceManager final : public IServiceManager
{
public:
    explicit CSystemdServiceManager(std::string root = "/");
    int32_t Open() override;
    int32_t Exists(const std::string &name) override;
    int32_t QueryState(const std::string &name, int32_t &state) override;
    int32_t Start(const std::string &name) override;
    int32_t Continue(const std::string &name) override;

    static std::string UnitName(const std::string &name);

private:
    int32_t Show(const std::string &name, std::string &load, std::string &active, std::string &freezer);

    std::string m_root;
};
