#pragma once

// A route netlink socket for reading and changing links, addresses and routes of the current network
// namespace. Used by one thread at a time.

#include "platform/UnixSocket.h"

#include <cstdint>
#include <functional>
#include <vector>

struct nlmsghdr;

// Builds one request: a header, a fixed family record, then attributes (nested ones through Begin/End).
class CNetlinkRequest
{
public:
    CNetlinkRequest(uint16_t type, uint16_t flags, const void *family, size_t familySize);

    void Attribute(uint16_t type, const void *data, size_t size);
    void AttributeText(uint16_t type, const char *text);
    // Raw bytes inside the current attribute (a nested family record).
    void Append(const void *data, size_t size);
    size_t BeginNested(uint16_t type);
    void EndNested(size_t offset);

    nlmsghdr *Header();
    size_t Size() const { return m_buffer.size(); }

private:
    void Align();
    std::vector<uint8_t> m_buffer;
};

class CNetlinkSocket
{
public:
    using MessageHandler = std::function<void(const nlmsghdr &message)>;

    CNetlinkSocket() = default;
    CNetlinkSocket(const CNetlinkSocket &) = delete;
    CNetlinkSocket &operator=(const CNetlinkSocket &) = delete;

    // 0 or a negative errno.
    int32_t Open();
    // Sends a dump request and hands every answer to the handler: 0 or a negative errno.
    int32_t Dump(CNetlinkRequest &request, const MessageHandler &handler);
    // Sends a change and waits for its acknowledgement: 0 or the negative errno the kernel answered.
    int32_t Change(CNetlinkRequest &request);

private:
    int32_t Send(CNetlinkRequest &request, uint16_t extraFlags);
    // Reads answers of the sequence until the done or error message: 0 or a negative errno.
    int32_t Receive(uint32_t sequence, const MessageHandler &handler);

    CSocketFd m_fd;
    uint32_t m_sequence = 0;
};
