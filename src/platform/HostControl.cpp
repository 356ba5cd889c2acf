#include "platform/HostControl.h"

#include "platform/ProcessHandle.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int32_t COMMAND_TIMEOUT_MS = 30000;

int32_t AsResult(int32_t code)
{
    return code > 0 ? -code : code;
}

// The grandchild of SpawnDetachedStarter; only async-signal-safe calls from here on.
[[noreturn]] void RunStarter(char *const *argv, int64_t startTime, int64_t latestStart)
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction standard{};
    standard.sa_handler = SIG_DFL;
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber)
        sigaction(signalNumber, &standard, nullptr);
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
    }
    close_range(3, ~0U, 0); // the instance lock among them: the new run must be able to take it
    const timespec wake{static_cast<time_t>(startTime), 0};
    while (clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (latestStart > 0 && now.tv_sec > latestStart)
        _exit(0);
    execv(argv[0], argv);
    _exit(127);
}

} // namespace

CSystemHostControl::CSystemHostControl(CommandRunner runner, std::string root)
    : m_runner(std::move(runner)), m_root(std::move(root))
{
    if (!m_runner)
        m_runner = [](const std::vector<std::string> &argv) { return RunCommand(argv, COMMAND_TIMEOUT_MS); };
}

bool CSystemHostControl::SystemdRuns() const
{
    return access((m_root + "/run/systemd/system").c_str(), F_OK) == 0;
}

int32_t CSystemHostControl::PowerOff()
{
    return AsResult(m_runner({"systemctl", "poweroff"}));
}

int32_t CSystemHostControl::Reboot()
{
    return AsResult(m_runner({"systemctl", "reboot"}));
}

int32_t CSystemHostControl::ScheduleProgramStart(const stScheduledStart &start)
{
    if (start.argv.empty() && start.unitName.empty())
        return -EINVAL;
    if (SystemdRuns() && ScheduleWithSystemd(start) == 0)
        return 0;
    if (start.argv.empty())
        return -ENOENT;
    return SpawnDetachedStarter(start);
}

int32_t CSystemHostControl::ScheduleWithSystemd(const stScheduledStart &start)
{
    std::vector<std::string> scope;
    if (geteuid() != 0)
        scope.push_back("--user");
    const auto command = [&](std::vector<std::string> words) {
        words.insert(words.begin() + 1, scope.begin(), scope.end());
        return m_runner(words);
    };
    // An earlier pending start is replaced, as a task of the same name would be.
    const std::string unit = RESTART_UNIT;
    command({"systemctl", "stop", unit + ".timer"});
    command({"systemctl", "reset-failed", unit + ".timer", unit + ".service"});
    const int64_t delay = start.startTime > start.now ? start.startTime - start.now : 1;
    std::vector<std::string> run = {"systemd-run", "--unit=" + unit, "--on-active=" + std::to_string(delay) + "s",
                                    "--timer-property=AccuracySec=1s", "--description=TYX restart"};
    if (!start.unitName.empty()) {
        const std::string systemctl = FindProgramOnPath("systemctl");
        run.insert(run.end(), {systemctl.empty() ? "/usr/bin/systemctl" : systemctl, "start", start.unitName});
    } else {
        run.insert(run.end(), start.argv.begin(), start.argv.end());
    }
    return AsResult(command(run));
}

int32_t SpawnDetachedStarter(const stScheduledStart &start)
{
    if (start.argv.empty() || start.argv[0].empty())
        return -EINVAL;
    std::vector<char *> args;
    for (const std::string &arg : start.argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    const pid_t middle = fork();
    if (middle < 0)
        return -errno;
    if (middle == 0) {
        // The middle process leaves the session and ends at once, so that the starter is
        // nobody's child here and outlives this program.
        setsid();
        const pid_t starter = fork();
        if (starter == 0)
            RunStarter(args.data(), start.startTime, start.latestStart);
        _exit(starter < 0 ? 1 : 0);
    }
    int status = 0;
    while (waitpid(middle, &status, 0) < 0) {
        if (errno != EINTR)
            return -errno;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -ECHILD;
}
