#include "rcm/RcmNotificationList.h"

#include "platform/TickCount.h"

CRcmNotificationList::CRcmNotificationList(TickSource tick)
    : m_tick(tick ? std::move(tick) : TickSource(&GetTickCount64Ms))
{
}

void CRcmNotificationList::SetExpirySeconds(uint32_t seconds)
{
    std::lock_guard lock(m_mutex);
    m_expiryMs = static_cast<uint64_t>(seconds) * 1000;
}

void CRcmNotificationList::Post(const std::string &text)
{
    std::lock_guard lock(m_mutex);
    if (m_entries.size() >= kMaxEntries)
        m_entries.pop_front();
    m_entries.push_back(stEntry{text, m_tick(), {}});
}

int32_t CRcmNotificationList::CollectNotifications(const std::wstring &sessionId, std::string &out)
{
    std::lock_guard lock(m_mutex);
    const uint64_t now = m_tick();
    m_entries.remove_if([&](const stEntry &entry) { return now - entry.postedTick > m_expiryMs; });
    int32_t count = 0;
    for (stEntry &entry : m_entries) {
        if (entry.delivered.insert(sessionId).second) {
            out += entry.text;
            ++count;
        }
    }
    return count;
}
