#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// A start of a program at a later time, which must survive the end of this process.
struct stScheduledStart
{
    std::vector<std::string> argv; // the program file and its arguments
    std::string unitName;          // when set, the systemd unit to start instead of argv
    int64_t now = 0;               // seconds since 1970
    int64_t startTime = 0;         // seconds since 1970
    int64_t latestStart = 0;       // a start that comes later than this is dropped (0: never)
};

// The host actions that outlive the program: power off, reboot and a later start of a program.
// Each goes through here, so that tests put a fake in its place. Results: 0 or a negative code.
class IHostControl
{
public:
    virtual ~IHostControl() = default;
    virtual int32_t PowerOff() = 0;
    virtual int32_t Reboot() = 0;
    virtual int32_t ScheduleProgramStart(const stScheduledStart &start) = 0;
};

// Runs a command line given as an argument vector: its exit code, or a negative errno.
using CommandRunner = std::function<int32_t(const std::vector<std::string> &argv)>;

// The real host: systemd's power actions through systemctl; a later start as a systemd timer
// (systemd-run) where systemd runs, else as a detached helper process that sleeps until the start
// time and then becomes the program. root is the folder under which "run/systemd/system" tells
// whether systemd runs; runner runs the commands (RunCommand when none is given).
class CSystemHostControl final : public IHostControl
{
public:
    static constexpr const char *RESTART_UNIT = "tyx-restart-task";

    explicit CSystemHostControl(CommandRunner runner = {}, std::string root = "/");

    int32_t PowerOff() override;
    int32_t Reboot() override;
    int32_t ScheduleProgramStart(const stScheduledStart &start) override;

    bool SystemdRuns() const;

private:
    int32_t ScheduleWithSystemd(const stScheduledStart &start);

    CommandRunner m_runner;
    std::string m_root;
};

// Starts a process that leaves this one's session, sleeps until start.startTime, and then runs
// start.argv unless start.latestStart has passed. It holds none of this process's descriptors.
// 0 or a negative errno.
int32_t SpawnDetachedStarter(const stScheduledStart &start);
