#include "DiscoveryTestSupport.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

CTestUdpSocket::CTestUdpSocket(const std::string &address, uint16_t port)
{
    m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(m_fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on));
    timeval timeout{5, 0};
    setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &local.sin_addr);
    bind(m_fd, reinterpret_cast<sockaddr *>(&local), sizeof(local));
    socklen_t size = sizeof(local);
    getsockname(m_fd, reinterpret_cast<sockaddr *>(&local), &size);
    m_port = ntohs(local.sin_port);
}

CTestUdpSocket::~CTestUdpSocket()
{
    if (m_fd >= 0)
        close(m_fd);
}

bool CTestUdpSocket::SendTo(uint16_t port, const std::string &text, const std::string &address)
{
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &target.sin_addr);
    return sendto(m_fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr *>(&target), sizeof(target)) ==
           static_cast<ssize_t>(text.size());
}

std::string CTestUdpSocket::Receive(std::string *sender)
{
    char buffer[4096];
    sockaddr_in from{};
    socklen_t size = sizeof(from);
    const ssize_t length = recvfrom(m_fd, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr *>(&from), &size);
    if (length <= 0)
        return {};
    if (sender) {
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &from.sin_addr, text, sizeof(text));
        *sender = text;
    }
    return std::string(buffer, static_cast<size_t>(length));
}

std::vector<uint32_t> stFakeClock::Sleeps()
{
    std::lock_guard lock(mutex);
    return sleeps;
}

DiscoveryRequestCallback CRequestLog::Callback()
{
    return [this](void *, const stDiscoveryMessage &message) {
        {
            std::lock_guard lock(m_mutex);
            m_messages.push_back(message);
        }
        m_signal.notify_all();
        return 0;
    };
}

std::vector<stDiscoveryMessage> CRequestLog::WaitFor(size_t count)
{
    std::unique_lock lock(m_mutex);
    m_signal.wait_for(lock, std::chrono::seconds(5), [&] { return m_messages.size() >= count; });
    return m_messages;
}

std::function<void()> CRequestLog::SeenCallback()
{
    return [this] {
        {
            std::lock_guard lock(m_mutex);
            ++m_seen;
        }
        m_signal.notify_all();
    };
}

bool CRequestLog::WaitSeen(size_t count)
{
    std::unique_lock lock(m_mutex);
    return m_signal.wait_for(lock, std::chrono::seconds(5), [&] { return m_seen >= count; });
}

size_t CRequestLog::Count()
{
    std::lock_guard lock(m_mutex);
    return m_messages.size();
}

stDiscoveryOptions LoopbackOptions(stFakeClock &clock, CRequestLog &log, uint16_t sendPort)
{
    stDiscoveryOptions options;
    options.receivePort = 0;
    options.sendPort = sendPort;
    options.bindAddress = "127.0.0.1";
    options.readAdapter = [](stAdapterAddressSettings &) { return -2; };
    options.tick = [&clock] { return clock.now.load(); };
    options.sleep = [&clock](uint32_t ms) {
        std::lock_guard lock(clock.mutex);
        clock.sleeps.push_back(ms);
        clock.now += ms;
    };
    options.onRequest = log.Callback();
    options.onDatagramSeen = log.SeenCallback();
    return options;
}

std::string Datagram(uint32_t sequence, const std::string &rest)
{
    char number[16];
    std::snprintf(number, sizeof(number), "[%8.8u]", sequence);
    return std::string("**Q*V*T*V*Q*") + number + rest;
}
