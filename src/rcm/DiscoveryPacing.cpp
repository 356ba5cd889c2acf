#include "rcm/DiscoveryPacing.h"

#include "rcm/DiscoveryMessage.h"

namespace {

constexpr uint64_t DATAGRAM_INTERVAL_MS = 25;

// Slot and interval of a paced type; false for a type without pacing.
bool TypeRule(int32_t type, int &slot, uint64_t &interval)
{
    switch (type) {
    case DISCOVERY_WHO_ARE: slot = 0; interval = 1000; return true;
    case DISCOVERY_WHOSE_IS: slot = 1; interval = 100; return true;
    case DISCOVERY_NOTIFICATION: slot = 2; interval = 200; return true;
    default: return false;
    }
}

} // namespace

CDiscoveryPacing::CDiscoveryPacing(size_t capacity, uint64_t idleExpiryMs)
    : m_capacity(capacity == 0 ? 1 : capacity), m_idleExpiryMs(idleExpiryMs)
{
}

void CDiscoveryPacing::MakeRoom(uint64_t nowMs)
{
    for (auto it = m_senders.begin(); it != m_senders.end();) {
        it = nowMs - it->second.last >= m_idleExpiryMs ? m_senders.erase(it) : std::next(it);
    }
    if (m_senders.size() < m_capacity)
        return;
    auto oldest = m_senders.begin();
    for (auto it = m_senders.begin(); it != m_senders.end(); ++it) {
        if (it->second.last < oldest->second.last)
            oldest = it;
    }
    m_senders.erase(oldest);
}

bool CDiscoveryPacing::AcceptDatagram(const std::string &sender, uint64_t nowMs)
{
    const auto it = m_senders.find(sender);
    if (it == m_senders.end()) {
        if (m_senders.size() >= m_capacity)
            MakeRoom(nowMs);
        m_senders[sender].last = nowMs;
        return true;
    }
    if (nowMs - it->second.last < DATAGRAM_INTERVAL_MS)
        return false;
    it->second.last = nowMs;
    return true;
}

bool CDiscoveryPacing::AcceptType(const std::string &sender, int32_t type, uint64_t nowMs)
{
    if (type == DISCOVERY_I_AM)
        return true;
    int slot = 0;
    uint64_t interval = 0;
    if (!TypeRule(type, slot, interval))
        return false;
    stSender &entry = m_senders[sender];
    if (entry.hasType[slot] && nowMs - entry.lastType[slot] < interval)
        return false;
    entry.hasType[slot] = true;
    entry.lastType[slot] = nowMs;
    return true;
}
