#include "rcm/RcmConnectionWatch.h"

#include "core/debuglog.h"
#include "platform/TickCount.h"

#include <sys/socket.h>

#include <algorithm>
#include <chrono>

namespace {

// Deadlines are checked a few times per time-out, at least every second.
uint32_t SweepPeriodMs(uint32_t timeoutMs)
{
    return std::clamp<uint32_t>(timeoutMs / 4, 50, 1000);
}

} // namespace

CRcmConnectionWatch::CRcmConnectionWatch(std::string name, uint32_t connectionLimit, uint32_t requestTimeoutMs,
                                         TickSource tick)
    : m_name(std::move(name)), m_limit(connectionLimit), m_timeoutMs(requestTimeoutMs),
      m_tick(tick ? std::move(tick) : TickSource(&GetTickCount64Ms))
{
}

CRcmConnectionWatch::~CRcmConnectionWatch()
{
    Stop();
}

void CRcmConnectionWatch::Start()
{
    std::lock_guard lock(m_mutex);
    if (m_thread.joinable() || m_timeoutMs == 0)
        return;
    m_stopping = false;
    m_thread = std::thread([this] { Run(); });
}

void CRcmConnectionWatch::Stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void CRcmConnectionWatch::Opened(const void *connection, int fd)
{
    std::lock_guard lock(m_mutex);
    m_connections[connection] = stEntry{fd, m_timeoutMs ? m_tick() + m_timeoutMs : 0};
    if (m_connections.size() >= m_limit && !m_atLimit) {
        m_atLimit = true;
        TYX_LOG(3, L"[RCM-Web]%hs connection limit(%u) reached: new connections wait until one closes.",
                m_name.c_str(), m_limit);
    }
}

void CRcmConnectionWatch::RequestArrived(const void *connection)
{
    std::lock_guard lock(m_mutex);
    const auto found = m_connections.find(connection);
    if (found != m_connections.end())
        found->second.deadline = 0;
}

void CRcmConnectionWatch::Answered(const void *connection)
{
    std::lock_guard lock(m_mutex);
    const auto found = m_connections.find(connection);
    if (found != m_connections.end() && m_timeoutMs)
        found->second.deadline = m_tick() + m_timeoutMs;
}

void CRcmConnectionWatch::Closed(const void *connection)
{
    std::lock_guard lock(m_mutex);
    m_connections.erase(connection);
    // Logged again only after the crowd has thinned out, not at every place that frees.
    if (m_atLimit && m_connections.size() <= m_limit - m_limit / 4)
        m_atLimit = false;
}

size_t CRcmConnectionWatch::Count() const
{
    std::lock_guard lock(m_mutex);
    return m_connections.size();
}

size_t CRcmConnectionWatch::Sweep()
{
    std::lock_guard lock(m_mutex);
    const uint64_t now = m_tick();
    size_t closed = 0;
    for (auto &[connection, entry] : m_connections) {
        if (entry.deadline == 0 || now < entry.deadline)
            continue;
        // The daemon sees the end of the stream and closes the connection itself. The descriptor is
        // still the connection's: the daemon reports Closed, under this lock, before it closes it.
        shutdown(entry.fd, SHUT_RDWR);
        entry.deadline = 0;
        ++closed;
    }
    if (closed > 0)
        TYX_LOG(5, L"[RCM-Web]%hs closed %u connection(s) that had not sent a whole request within %u ms.",
                m_name.c_str(), static_cast<uint32_t>(closed), m_timeoutMs);
    return closed;
}

void CRcmConnectionWatch::Run()
{
    const auto period = std::chrono::milliseconds(SweepPeriodMs(m_timeoutMs));
    for (;;) {
        {
            std::unique_lock lock(m_mutex);
            if (m_wake.wait_for(lock, period, [this] { return m_stopping; }))
                return;
        }
        Sweep();
    }
}
