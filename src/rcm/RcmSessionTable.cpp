#include "rcm/RcmSessionTable.h"

#include "platform/TickCount.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

CRcmSessionTable::CRcmSessionTable(TickSource tick) : m_tick(tick ? std::move(tick) : TickSource(&GetTickCount64Ms)) {}

void CRcmSessionTable::SetUsers(const RcmUserMap &users)
{
    std::lock_guard lock(m_mutex);
    m_users = users;
    m_userShare = std::max<size_t>(1, kMaxSessions / std::max<size_t>(1, m_users.size()));
}


void CRcmSessionTable::SetExpiryMs(uint32_t expiryMs)
{
    std::lock_guard lock(m_mutex);
    m_expiryMs = expiryMs;
}

uint32_t CRcmSessionTable::CheckRcmUser(const std::wstring &user, const std::wstring &password) const
{
    std::lock_guard lock(m_mutex);
    const auto found = m_users.find(user);
    if (found == m_users.end() || found->second.password != password)
        return 0;
    return static_cast<uint32_t>(found->second.Privilege);
}

std::wstring CRcmSessionTable::MakeSessionId(const std::wstring &user)
{
    std::wstring id;
    wchar_t hex[16];
    for (size_t i = 0; i < std::min<size_t>(user.size(), 6); ++i) {
        // The codes of the UTF-16 text the clients know; letters beyond it give their first unit.
        uint32_t code = static_cast<uint32_t>(user[i]);
        if (code > 0xFFFF)
            code = 0xD800 + ((code - 0x10000) >> 10);
        swprintf(hex, 16, L"%x", code);
        id += hex;
    }
    uint32_t number;
    {
        std::lock_guard lock(m_mutex);
        m_counter = m_counter >= 999999999u ? 1u : m_counter + 1;
        number = m_counter;
    }
    swprintf(hex, 16, L"$%.8u", number);
    return id + hex;
}

std::wstring CRcmSessionTable::LogIn(const std::wstring &user, const std::wstring &password,
                                     const std::wstring &peerAddress, int32_t peerPort, uint32_t rights)
{
    stRcmSession session;
    session.PeerAddress = peerAddress;
    session.PeerPort = peerPort;
    session.UserName = user;
    session.Password = password;
    session.LoginTime = static_cast<int64_t>(std::time(nullptr));
    session.LastTime = session.LoginTime;
    session.SessionId = MakeSessionId(user);
    session.Rights = rights;
    std::lock_guard lock(m_mutex);
    session.LastAccessTick = m_tick();
    DropExpired(session.LastAccessTick);
    MakeRoomFor(user);
    const std::wstring id = session.SessionId;
    m_sessions[id] = std::move(session);
    return id;
}

std::optional<stRcmSession> CRcmSessionTable::Touch(const std::wstring &sessionId)
{
    std::lock_guard lock(m_mutex);
    const uint64_t now = m_tick();
    DropExpired(now);
    const auto found = m_sessions.find(sessionId);
    if (found == m_sessions.end())
        return std::nullopt;
    found->second.LastAccessTick = now;
    return found->second;
}

bool CRcmSessionTable::Remove(const std::wstring &sessionId)
{
    std::lock_guard lock(m_mutex);
    return m_sessions.erase(sessionId) > 0;
}

size_t CRcmSessionTable::Count() const
{
    std::lock_guard lock(m_mutex);
    return m_sessions.size();
}

// Only the user's own sessions make room: whatever one user does, the others stay logged in. With
// the shares the table stays within its bound (more users than places hold one session each).
void CRcmSessionTable::MakeRoomFor(const std::wstring &user)
{
    auto oldest = m_sessions.end();
    size_t held = 0;
    for (auto it = m_sessions.begin(); it != m_sessions.end(); ++it) {
        if (it->second.UserName != user)
            continue;
        ++held;
        if (oldest == m_sessions.end() || it->second.LastAccessTick < oldest->second.LastAccessTick)
            oldest = it;
    }
    if (held >= m_userShare)
        m_sessions.erase(oldest);
}

void CRcmSessionTable::DropExpired(uint64_t now)
{
    std::erase_if(m_sessions, [&](const auto &entry) { return now - entry.second.LastAccessTick > m_expiryMs; });
}
