#include "platform/ProcessHandle.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

extern char **environ;

namespace {

// The spawn attributes and file actions, released on every path.
class CSpawnSetup
{
public:
    CSpawnSetup()
    {
        m_attrOk = posix_spawnattr_init(&m_attr) == 0;
        m_actionsOk = posix_spawn_file_actions_init(&m_actions) == 0;
    }
    ~CSpawnSetup()
    {
        if (m_actionsOk)
            posix_spawn_file_actions_destroy(&m_actions);
        if (m_attrOk)
            posix_spawnattr_destroy(&m_attr);
    }
    CSpawnSetup(const CSpawnSetup &) = delete;
    CSpawnSetup &operator=(const CSpawnSetup &) = delete;

    // 0 or an errno.
    int Prepare(const stChildSpawnOptions &options)
    {
        if (!m_attrOk || !m_actionsOk)
            return ENOMEM;
        // The program blocks its signals for its signal descriptor; children must not inherit
        // that mask, nor any handler's disposition.
        sigset_t none;
        sigemptyset(&none);
        sigset_t all;
        sigfillset(&all);
        short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
        if (options.newSession)
            flags |= POSIX_SPAWN_SETSID;
        int error = posix_spawnattr_setflags(&m_attr, flags);
        if (!error)
            error = posix_spawnattr_setsigmask(&m_attr, &none);
        if (!error)
            error = posix_spawnattr_setsigdefault(&m_attr, &all);
        if (!error)
            error = posix_spawn_file_actions_addopen(&m_actions, 0, "/dev/null", O_RDONLY, 0);
        const char *output = options.outputFile.empty() ? "/dev/null" : options.outputFile.c_str();
        if (!error)
            error = posix_spawn_file_actions_addopen(&m_actions, 1, output, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (!error)
            error = posix_spawn_file_actions_adddup2(&m_actions, 1, 2);
        if (!error)
            error = posix_spawn_file_actions_addclosefrom_np(&m_actions, 3);
        if (!error && !options.workingFolder.empty())
            error = posix_spawn_file_actions_addchdir_np(&m_actions, options.workingFolder.c_str());
        return error;
    }

    posix_spawnattr_t *Attr() { return &m_attr; }
    posix_spawn_file_actions_t *Actions() { return &m_actions; }

private:
    posix_spawnattr_t m_attr{};
    posix_spawn_file_actions_t m_actions{};
    bool m_attrOk = false;
    bool m_actionsOk = false;
};

// Process descriptors through the system calls: this C library's header lacks C linkage.
int OpenPidFd(pid_t pid)
{
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

int SendPidFdSignal(int fd, int signalNumber)
{
    return static_cast<int>(syscall(SYS_pidfd_send_signal, fd, signalNumber, nullptr, 0));
}

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

CProcessHandle::~CProcessHandle()
{
    if (m_ownChild && !m_ended)
        Stop(SIGTERM, 2000, 0, 5000);
    Close();
}

CProcessHandle::CProcessHandle(CProcessHandle &&other) noexcept
    : m_pid(other.m_pid), m_pidFd(other.m_pidFd), m_ownChild(other.m_ownChild), m_ended(other.m_ended),
      m_waitStatus(other.m_waitStatus)
{
    other.m_pid = -1;
    other.m_pidFd = -1;
    other.m_ownChild = false;
}

CProcessHandle &CProcessHandle::operator=(CProcessHandle &&other) noexcept
{
    if (this != &other) {
        CProcessHandle gone(std::move(*this));
        m_pid = other.m_pid;
        m_pidFd = other.m_pidFd;
        m_ownChild = other.m_ownChild;
        m_ended = other.m_ended;
        m_waitStatus = other.m_waitStatus;
        other.m_pid = -1;
        other.m_pidFd = -1;
        other.m_ownChild = false;
    }
    return *this;
}

void CProcessHandle::Close()
{
    if (m_pidFd >= 0)
        close(m_pidFd);
    m_pidFd = -1;
}

int32_t CProcessHandle::Spawn(const std::vector<std::string> &argv, const stChildSpawnOptions &options)
{
    if (argv.empty() || argv[0].empty())
        return -EINVAL;
    if (IsStarted())
        return -EBUSY;
    CSpawnSetup setup;
    if (const int error = setup.Prepare(options))
        return -error;
    std::vector<char *> args;
    args.reserve(argv.size() + 1);
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    if (const int error = posix_spawn(&pid, args[0], setup.Actions(), setup.Attr(), args.data(), environ))
        return -error;
    m_pid = pid;
    m_ownChild = true;
    m_ended = false;
    m_waitStatus = -1;
    m_pidFd = OpenPidFd(pid); // without one, waits poll the child
    return 0;
}

int32_t CProcessHandle::Attach(int32_t pid)
{
    if (pid <= 0)
        return -EINVAL;
    if (IsStarted())
        return -EBUSY;
    const int fd = OpenPidFd(pid);
    if (fd < 0)
        return -errno;
    m_pid = pid;
    m_pidFd = fd;
    m_ownChild = false;
    m_ended = false;
    return 0;
}

bool CProcessHandle::TryReap()
{
    if (m_ended)
        return true;
    if (m_ownChild) {
        int status = 0;
        const pid_t done = waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid || (done < 0 && errno == ECHILD)) {
            m_ended = true;
            m_waitStatus = done == m_pid ? status : -1;
        }
        return m_ended;
    }
    if (m_pidFd >= 0) {
        pollfd entry{m_pidFd, POLLIN, 0};
        m_ended = poll(&entry, 1, 0) > 0;
    } else {
        m_ended = kill(m_pid, 0) != 0 && errno == ESRCH;
    }
    return m_ended;
}

bool CProcessHandle::IsRunning()
{
    return IsStarted() && !TryReap();
}

int32_t CProcessHandle::Signal(int signalNumber)
{
    if (!IsRunning())
        return -ESRCH;
    const int result = m_pidFd >= 0 ? SendPidFdSignal(m_pidFd, signalNumber)
                                    : kill(m_pid, signalNumber);
    return result == 0 ? 0 : -errno;
}

int32_t CProcessHandle::WaitExit(int32_t timeoutMs)
{
    if (!IsStarted())
        return -ESRCH;
    const int64_t deadline = NowMs() + timeoutMs;
    while (!TryReap()) {
        const int64_t left = timeoutMs < 0 ? -1 : deadline - NowMs();
        if (timeoutMs >= 0 && left <= 0)
            return -ETIMEDOUT;
        if (m_pidFd >= 0) {
            pollfd entry{m_pidFd, POLLIN, 0};
            if (poll(&entry, 1, static_cast<int>(left)) < 0 && errno != EINTR)
                return -errno;
        } else {
            // No process descriptor on this kernel: look again every 10 ms.
            const timespec pause{0, 10 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
    }
    return 0;
}

int32_t CProcessHandle::Stop(int firstSignal, int32_t firstWaitMs, int32_t termWaitMs, int32_t killWaitMs)
{
    if (!IsRunning())
        return -ESRCH;
    const int signals[3] = {firstSignal, SIGTERM, SIGKILL};
    const int32_t waits[3] = {firstWaitMs, termWaitMs, killWaitMs};
    for (int step = 0; step < 3; ++step) {
        if (step == 1 && firstSignal == SIGTERM)
            continue;
        if (Signal(signals[step]) == -ESRCH || WaitExit(waits[step]) == 0)
            return step;
    }
    return -ETIMEDOUT;
}

int32_t RunCommand(const std::vector<std::string> &argv, int32_t timeoutMs, const std::string &outputFile)
{
    if (argv.empty())
        return -EINVAL;
    std::vector<std::string> resolved = argv;
    resolved[0] = FindProgramOnPath(argv[0]);
    if (resolved[0].empty())
        return -ENOENT;
    CProcessHandle child;
    stChildSpawnOptions options;
    options.outputFile = outputFile;
    options.newSession = false;
    if (const int32_t error = child.Spawn(resolved, options))
        return error;
    if (child.WaitExit(timeoutMs) != 0) {
        child.Stop(SIGTERM, 1000, 0, 2000);
        return -ETIMEDOUT;
    }
    const int status = child.WaitStatus();
    if (status < 0)
        return -ECHILD;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -ECHILD;
}

std::string FindProgramOnPath(const std::string &name)
{
    if (name.empty())
        return {};
    if (name.find('/') != std::string::npos)
        return access(name.c_str(), X_OK) == 0 ? name : std::string();
    const char *path = std::getenv("PATH");
    std::string folders = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= folders.size()) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos)
            end = folders.size();
        const std::string folder = end > start ? folders.substr(start, end - start) : ".";
        const std::string candidate = folder + "/" + name;
        struct stat info{};
        if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}
