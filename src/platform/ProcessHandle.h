#pragma once

#include <cstdint>
#include <string>
#include <vector>

// How a child program is started.
struct stChildSpawnOptions
{
    std::string workingFolder; // empty: the caller's
    std::string outputFile;    // standard output and error, truncated at the start; empty: /dev/null
    bool newSession = true;    // its own session, so a terminal's signals do not reach it
};

// A child program started from an argument vector (never through a shell), or another process of
// the host attached by its id. A started child has its own session, a clean signal mask, standard
// input from /dev/null and no descriptor of ours but its output. A started child that still runs
// when the object goes is stopped and reaped, so neither zombies nor strays are left; an attached
// process is only observed and signalled, never reaped or stopped by the destructor.
// One thread uses an object at a time.
class CProcessHandle
{
public:
    CProcessHandle() = default;
    ~CProcessHandle();
    CProcessHandle(const CProcessHandle &) = delete;
    CProcessHandle &operator=(const CProcessHandle &) = delete;
    CProcessHandle(CProcessHandle &&other) noexcept;
    CProcessHandle &operator=(CProcessHandle &&other) noexcept;

    // 0, or a negative errno (ENOENT for a missing program or working folder, EACCES, ...).
    [[nodiscard]] int32_t Spawn(const std::vector<std::string> &argv, const stChildSpawnOptions &options);
    // 0, or a negative errno (ESRCH when no such process runs).
    [[nodiscard]] int32_t Attach(int32_t pid);

    int32_t Pid() const { return m_pid; }
    bool IsStarted() const { return m_pid > 0; }
    // True while the process runs; a started child that has ended is reaped here.
    bool IsRunning();
    // 0, or a negative errno (ESRCH when it does not run).
    int32_t Signal(int signalNumber);
    // Waits up to timeoutMs (negative: without limit) for the end: 0 when it has ended, -ETIMEDOUT,
    // or a negative errno.
    int32_t WaitExit(int32_t timeoutMs);
    // Asks it to end with firstSignal, then SIGTERM, then SIGKILL, waiting the given times after
    // each: the step that ended it (0 first signal, 1 SIGTERM, 2 SIGKILL), -ESRCH when it did not
    // run, -ETIMEDOUT when it outlived even SIGKILL's wait.
    int32_t Stop(int firstSignal, int32_t firstWaitMs, int32_t termWaitMs, int32_t killWaitMs);
    // The wait status of a reaped child (as waitpid gives it), -1 before.
    int32_t WaitStatus() const { return m_waitStatus; }

private:
    bool TryReap();
    void Close();

    int32_t m_pid = -1;
    int m_pidFd = -1;
    bool m_ownChild = false;
    bool m_ended = false;
    int32_t m_waitStatus = -1;
};

// Runs a program (found on PATH when argv[0] holds no "/") to its end (at most timeoutMs, then it is stopped): its exit code (0..255),
// 128 plus the signal that ended it, or a negative errno (ETIMEDOUT, ENOENT, ...).
int32_t RunCommand(const std::vector<std::string> &argv, int32_t timeoutMs, const std::string &outputFile = "");

// The file that running name would start: name itself when it holds a "/", else the first
// executable file of that name in the folders of PATH; empty when there is none.
std::string FindProgramOnPath(const std::string &name);
