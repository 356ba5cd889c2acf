#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

// The open connections of one HTTP server: how many there are against the limit, and when each
// must have sent its whole request. A connection waits for a request from its opening and after each
// answer; one that has not sent its request in time is shut down, so idle or half-sent connections
// cannot hold the server's places. While a request is processed and answered it has no deadline.
// The daemon reports each step from its own thread; a thread of the watch sweeps.
class CRcmConnectionWatch
{
public:
    using TickSource = std::function<uint64_t()>; // milliseconds

    // name: the server's name in the log lines.
    CRcmConnectionWatch(std::string name, uint32_t connectionLimit, uint32_t requestTimeoutMs, TickSource tick = {});
    ~CRcmConnectionWatch();
    CRcmConnectionWatch(const CRcmConnectionWatch &) = delete;
    CRcmConnectionWatch &operator=(const CRcmConnectionWatch &) = delete;

    void Start();
    void Stop();

    // fd stays open until Closed is reported for the connection.
    void Opened(const void *connection, int fd);
    void RequestArrived(const void *connection);
    void Answered(const void *connection);
    void Closed(const void *connection);

    size_t Count() const;
    // Shuts down every connection past its deadline: the number shut down.
    size_t Sweep();

private:
    struct stEntry
    {
        int fd = -1;
        uint64_t deadline = 0; // 0: none
    };
    void Run();

    const std::string m_name;
    const uint32_t m_limit;
    const uint32_t m_timeoutMs;
    TickSource m_tick;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::map<const void *, stEntry> m_connections;
    bool m_atLimit = false;
    bool m_stopping = false;
    std::thread m_thread;
};
