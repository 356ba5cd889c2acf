#pragma once

#include "core/RcmSettings.h"

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

// One logged-in client.
struct stRcmSession
{
    std::wstring PeerAddress;
    int32_t PeerPort = 0;
    uint8_t LoggedIn = 1;
    std::wstring UserName;
    std::wstring Password;
    int64_t LoginTime = 0; // seconds since 1970
    int64_t LastTime = 0;
    std::wstring SessionId;
    uint32_t Rights = 0;
    uint64_t LastAccessTick = 0; // milliseconds of the tick source
};

// The users who may log in and the sessions of those who did. Sessions end by log-out, or when
// they have not been used for the expiry time. Each user holds at most an equal share of the table;
// a log-in beyond it ends that user's least recently used session, never another user's. Any
// thread may call.
class CRcmSessionTable
{
public:
    using TickSource = std::function<uint64_t()>;
    static constexpr size_t kMaxSessions = 1024;

    explicit CRcmSessionTable(TickSource tick = {});

    void SetUsers(const RcmUserMap &users);
    void SetExpiryMs(uint32_t expiryMs);
    // The user's rights mask, 0 for an unknown user, a wrong password or a user without rights.
    uint32_t CheckRcmUser(const std::wstring &user, const std::wstring &password) const;
    // The hexadecimal codes of the first six letters of the name, "$" and the next counter value.
    std::wstring MakeSessionId(const std::wstring &user);
    // Stores a new session and returns its id.
    std::wstring LogIn(const std::wstring &user, const std::wstring &password, const std::wstring &peerAddress,
                       int32_t peerPort, uint32_t rights);
    // A copy of the session, its last access set to now; none when unknown or expired.
    std::optional<stRcmSession> Touch(const std::wstring &sessionId);
    bool Remove(const std::wstring &sessionId);
    size_t Count() const;

private:
    void DropExpired(uint64_t now);
    void MakeRoomFor(const std::wstring &user);

    TickSource m_tick;
    mutable std::mutex m_mutex;
    RcmUserMap m_users;
    std::map<std::wstring, stRcmSession> m_sessions;
    uint32_t m_expiryMs = 600000;
    size_t m_userShare = kMaxSessions; // the table shared equally among the users, at least one each
    uint32_t m_counter = 0;
};
