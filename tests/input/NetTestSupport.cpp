#include "NetTestSupport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

int FindFreeTcpPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

namespace {

bool IsListening(int port)
{
    // Lines of /proc/net/tcp: "sl local_address rem_address st ...", addresses as HEXIP:HEXPORT,
    // state 0A = LISTEN.
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        const size_t colon = local.find(':');
        if (colon == std::string::npos || state != "0A")
            continue;
        if (std::stoi(local.substr(colon + 1), nullptr, 16) == port)
            return true;
    }
    return false;
}

} // namespace

bool WaitForTcpListener(int port, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!IsListening(port)) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

CChildProcess::~CChildProcess()
{
    Stop();
}

int CChildProcess::Start(const std::vector<std::string> &arguments)
{
    if (arguments.empty())
        return -EINVAL;
    std::vector<char *> argv;
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0)
        return -errno;
    if (pid == 0) {
        execv(argv[0], argv.data());
        _exit(127);
    }
    m_pid = pid;
    return 0;
}

bool CChildProcess::IsRunning()
{
    if (m_pid <= 0)
        return false;
    int status = 0;
    const pid_t done = waitpid(m_pid, &status, WNOHANG);
    if (done == m_pid) {
        m_pid = -1;
        return false;
    }
    return true;
}

int CChildProcess::WaitExit(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_pid > 0) {
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

int CChildProcess::Stop()
{
    if (m_pid <= 0)
        return -1;
    kill(m_pid, SIGTERM);
    int status = WaitExit(5000);
    if (status < 0 && m_pid > 0) {
        kill(m_pid, SIGKILL);
        int raw = 0;
        waitpid(m_pid, &raw, 0);
        m_pid = -1;
        status = 128 + SIGKILL;
    }
    return status;
}
