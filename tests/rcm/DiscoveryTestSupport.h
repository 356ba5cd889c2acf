#pragma once

// Real loopback sockets, an injected clock and a record of the discoverer's callbacks.

#include "rcm/QorServerDiscover.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// A UDP socket on 127.0.0.1 (or the given address) at a free port, or at port.
class CTestUdpSocket
{
public:
    explicit CTestUdpSocket(const std::string &address = "127.0.0.1", uint16_t port = 0);
    ~CTestUdpSocket();
    CTestUdpSocket(const CTestUdpSocket &) = delete;
    CTestUdpSocket &operator=(const CTestUdpSocket &) = delete;

    uint16_t Port() const { return m_port; }
    bool SendTo(uint16_t port, const std::string &text, const std::string &address = "127.0.0.1");
    // The next datagram, empty after 5 s without one.
    std::string Receive(std::string *sender = nullptr);

private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

// A clock that moves only when told to, or when the discoverer pauses for its send pacing.
struct stFakeClock
{
    std::atomic<uint64_t> now{100000};
    std::mutex mutex;
    std::vector<uint32_t> sleeps;

    void Advance(uint64_t ms) { now += ms; }
    std::vector<uint32_t> Sleeps();
};

// The messages handed to the request callback.
class CRequestLog
{
public:
    DiscoveryRequestCallback Callback();
    // Waits (up to 5 s) until count messages arrived; a copy of them.
    std::vector<stDiscoveryMessage> WaitFor(size_t count);
    size_t Count();
    // The datagrams the discoverer has looked at.
    std::function<void()> SeenCallback();
    bool WaitSeen(size_t count);

private:
    size_t m_seen = 0;
    std::mutex m_mutex;
    std::condition_variable m_signal;
    std::vector<stDiscoveryMessage> m_messages;
};

stDiscoveryOptions LoopbackOptions(stFakeClock &clock, CRequestLog &log, uint16_t sendPort);
std::string Datagram(uint32_t sequence, const std::string &rest);
