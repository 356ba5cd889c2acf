#include "platform/SignalReader.h"

#include <cerrno>
#include <csignal>
#include <initializer_list>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

sigset_t StopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaddset(&set, signal);
    return set;
}

} // namespace

CSignalReader::CSignalReader()
{
    const sigset_t set = StopSignals();
    m_fd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

CSignalReader::~CSignalReader()
{
    if (m_fd >= 0)
        close(m_fd);
}

int32_t CSignalReader::Wait(int32_t timeoutMs)
{
    if (m_fd < 0)
        return -EBADF;
    pollfd entry{m_fd, POLLIN, 0};
    const int ready = poll(&entry, 1, timeoutMs);
    if (ready < 0)
        return errno == EINTR ? 0 : -errno;
    if (ready == 0)
        return 0;
    signalfd_siginfo info{};
    const ssize_t length = read(m_fd, &info, sizeof(info));
    if (length != static_cast<ssize_t>(sizeof(info)))
        return length < 0 && errno != EAGAIN ? -errno : 0;
    return static_cast<int32_t>(info.ssi_signo);
}

int32_t CSignalReader::BlockStopSignals()
{
    const sigset_t set = StopSignals();
    const int error = pthread_sigmask(SIG_BLOCK, &set, nullptr);
    return error ? -error : 0;
}

void CSignalReader::UnblockStopSignals()
{
    const sigset_t set = StopSignals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void CSignalReader::IgnoreBrokenPipe()
{
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    sigaction(SIGPIPE, &action, nullptr);
}
