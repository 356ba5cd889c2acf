#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

// A TCP port on 127.0.0.1 that nothing listens on right now.
int FindFreeTcpPort();
// Polls the kernel's socket table until something listens on 127.0.0.1:port (or any address);
// true when it does within timeoutMs. It never connects, so a one-shot listener is not used up.
bool WaitForTcpListener(int port, int timeoutMs);

// A child process started from an argument vector (no shell); ended with SIGTERM, then SIGKILL.
class CChildProcess
{
public:
    CChildProcess() = default;
    ~CChildProcess();
    CChildProcess(const CChildProcess &) = delete;
    CChildProcess &operator=(const CChildProcess &) = delete;

    // 0, or a negative errno when it cannot be started.
    int Start(const std::vector<std::string> &arguments);
    bool IsRunning();
    // Ends the child and waits for it; its exit status (or -1 when none ran).
    int Stop();
    // Waits for the child to end by itself; its exit status, or -1 after timeoutMs.
    int WaitExit(int timeoutMs);

private:
    pid_t m_pid = -1;
};
