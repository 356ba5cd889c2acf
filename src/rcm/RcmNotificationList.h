#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <set>
#include <string>

// Notifications waiting for the sessions that ask for them: each is delivered once per session
// and dropped after its lifetime, so the list cannot grow without end. Any thread may call.
class CRcmNotificationList
{
public:
    using TickSource = std::function<uint64_t()>;
    static constexpr size_t kMaxEntries = 256;

    explicit CRcmNotificationList(TickSource tick = {});
    void SetExpirySeconds(uint32_t seconds);
    void Post(const std::string &text);
    // Appends every notification the session has not had yet: their number.
    int32_t CollectNotifications(const std::wstring &sessionId, std::string &out);

private:
    struct stEntry
    {
        std::string text;
        uint64_t postedTick = 0;
        std::set<std::wstring> delivered;
    };
    TickSource m_tick;
    std::mutex m_mutex;
    std::list<stEntry> m_entries;
    uint64_t m_expiryMs = 600000;
};
