#pragma once

// How often each sender's datagrams are taken: 25 ms between any two, 1000 ms between "Who-are-KOV?",
// 100 ms between "Whose-is?", 200 ms between notifications. The table is bounded: entries idle for a
// minute go first, then the longest idle one, so spoofed senders cannot grow it without end.
// Used by one thread (the receive thread).

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

class CDiscoveryPacing
{
public:
    explicit CDiscoveryPacing(size_t capacity = 1024, uint64_t idleExpiryMs = 60000);

    // The 25 ms rule; an accepted datagram becomes the sender's last one.
    bool AcceptDatagram(const std::string &sender, uint64_t nowMs);
    // The rule of the message type; an accepted message records its time for the type. Types without a
    // rule: 4 is accepted, any other dropped.
    bool AcceptType(const std::string &sender, int32_t type, uint64_t nowMs);

    size_t Size() const { return m_senders.size(); }

private:
    struct stSender
    {
        uint64_t last = 0;
        bool hasType[3] = {false, false, false};
        uint64_t lastType[3] = {0, 0, 0};
    };
    void MakeRoom(uint64_t nowMs);

    size_t m_capacity;
    uint64_t m_idleExpiryMs;
    std::map<std::string, stSender> m_senders;
};
