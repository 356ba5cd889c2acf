#include "rcm/UdpServer.h"

#include "core/debuglog.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t STOP_BUDGET_MS = 1000;

} // namespace

CUdpServer::CUdpServer(ReceiveCallback onReceive, ErrorCallback onError)
    : m_onReceive(std::move(onReceive)), m_onError(std::move(onError))
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    // Answers and notifications go to the directed broadcast of the network.
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on));
    m_socket.Reset(fd);
    m_wake.Reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
}

CUdpServer::~CUdpServer()
{
    Stop();
}

bool CUdpServer::IsOpen() const
{
    std::lock_guard lock(m_socketMutex);
    return m_socket.IsOpen();
}

bool CUdpServer::Start(uint16_t port, const std::string &bindAddress)
{
    std::lock_guard lock(m_socketMutex);
    if (!m_socket.IsOpen() || !m_wake.IsOpen() || m_running)
        return false;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!bindAddress.empty() && inet_pton(AF_INET, bindAddress.c_str(), &local.sin_addr) != 1)
        return false;
    if (bind(m_socket.Fd(), reinterpret_cast<sockaddr *>(&local), sizeof(local)) != 0)
        return false;
    socklen_t size = sizeof(local);
    getsockname(m_socket.Fd(), reinterpret_cast<sockaddr *>(&local), &size);
    m_boundPort = ntohs(local.sin_port);
    if (m_thread.CreateSuspended([this] { return ReceiveLoop(); }) != 0)
        return false;
    m_running = true;
    m_thread.Resume();
    return true;
}

uint32_t CUdpServer::ReceiveLoop()
{
    std::vector<uint8_t> buffer(UDP_BUFFER_SIZE);
    pollfd waits[2] = {{m_socket.Fd(), POLLIN, 0}, {m_wake.Fd(), POLLIN, 0}};
    while (m_running) {
        if (poll(waits, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (waits[1].revents != 0 || !m_running)
            break;
        sockaddr_in sender{};
        socklen_t size = sizeof(sender);
        const ssize_t length = recvfrom(m_socket.Fd(), buffer.data(), buffer.size(), MSG_TRUNC | MSG_DONTWAIT,
                                        reinterpret_cast<sockaddr *>(&sender), &size);
        if (length < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == ECONNREFUSED)
                continue;
            if (m_onError)
                m_onError(0, errno);
            return UDP_RECEIVE_FAILED_EXIT;
        }
        // A datagram longer than the buffer was cut: it is no valid message anyway.
        if (length == 0 || static_cast<size_t>(length) > buffer.size() || !m_onReceive)
            continue;
        char address[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &sender.sin_addr, address, sizeof(address));
        m_onReceive(buffer.data(), static_cast<size_t>(length), address, ntohs(sender.sin_port));
    }
    return 0;
}

void CUdpServer::Stop()
{
    m_running = false;
    if (m_wake.IsOpen()) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(m_wake.Fd(), &one, sizeof(one));
    }
    // The loop only waits in poll, which the wake-up ends; a thread still running is inside the
    // receive callback, whose owner it uses, so it is waited for rather than left behind.
    if (m_thread.IsCreated() && !m_thread.WaitForEnd(STOP_BUDGET_MS)) {
        TYX_LOG(3, L"UDP receive thread on port %d is slow to end, waiting for it.", m_boundPort);
        m_thread.Join();
    }
    std::lock_guard lock(m_socketMutex);
    if (m_socket.IsOpen()) {
        shutdown(m_socket.Fd(), SHUT_RDWR);
        m_socket.Reset();
    }
}

int32_t CUdpServer::SendTo(const std::string &address, uint16_t port, const std::string &text)
{
    if (text.size() > UDP_BUFFER_SIZE)
        return -2;
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &target.sin_addr) != 1)
        return -1;
    std::lock_guard lock(m_socketMutex);
    if (!m_socket.IsOpen())
        return -1;
    const ssize_t sent = sendto(m_socket.Fd(), text.data(), text.size(), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr *>(&target), sizeof(target));
    return sent < 0 ? -errno : static_cast<int32_t>(sent);
}
