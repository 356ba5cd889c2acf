#include "platform/NetlinkSocket.h"

#include <cerrno>
#include <cstring>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr size_t RECEIVE_BUFFER = 32768;
constexpr int RECEIVE_TIMEOUT_S = 5;

} // namespace

CNetlinkRequest::CNetlinkRequest(uint16_t type, uint16_t flags, const void *family, size_t familySize)
{
    m_buffer.resize(NLMSG_HDRLEN);
    nlmsghdr *header = Header();
    header->nlmsg_type = type;
    header->nlmsg_flags = static_cast<uint16_t>(NLM_F_REQUEST | flags);
    const size_t start = m_buffer.size();
    m_buffer.resize(start + familySize);
    std::memcpy(m_buffer.data() + start, family, familySize);
    Align();
}

void CNetlinkRequest::Align()
{
    m_buffer.resize(NLMSG_ALIGN(m_buffer.size()));
    Header()->nlmsg_len = static_cast<uint32_t>(m_buffer.size());
}

void CNetlinkRequest::Attribute(uint16_t type, const void *data, size_t size)
{
    const size_t start = m_buffer.size();
    m_buffer.resize(start + RTA_LENGTH(size));
    rtattr attribute{};
    attribute.rta_type = type;
    attribute.rta_len = static_cast<unsigned short>(RTA_LENGTH(size));
    std::memcpy(m_buffer.data() + start, &attribute, sizeof(attribute));
    if (size > 0)
        std::memcpy(m_buffer.data() + start + RTA_LENGTH(0), data, size);
    Align();
}

void CNetlinkRequest::AttributeText(uint16_t type, const char *text)
{
    Attribute(type, text, std::strlen(text) + 1);
}

void CNetlinkRequest::Append(const void *data, size_t size)
{
    const size_t start = m_buffer.size();
    m_buffer.resize(start + size);
    std::memcpy(m_buffer.data() + start, data, size);
    Align();
}

size_t CNetlinkRequest::BeginNested(uint16_t type)
{
    const size_t offset = m_buffer.size();
    Attribute(type, nullptr, 0);
    return offset;
}

void CNetlinkRequest::EndNested(size_t offset)
{
    rtattr attribute{};
    std::memcpy(&attribute, m_buffer.data() + offset, sizeof(attribute));
    attribute.rta_len = static_cast<unsigned short>(m_buffer.size() - offset);
    std::memcpy(m_buffer.data() + offset, &attribute, sizeof(attribute));
}

nlmsghdr *CNetlinkRequest::Header()
{
    return reinterpret_cast<nlmsghdr *>(m_buffer.data());
}

int32_t CNetlinkSocket::Open()
{
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return -errno;
    m_fd.Reset(fd);
    // A kernel that never answers must not hang a remote command.
    timeval timeout{RECEIVE_TIMEOUT_S, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof(local)) != 0) {
        const int error = errno;
        m_fd.Reset();
        return -error;
    }
    return 0;
}

int32_t CNetlinkSocket::Send(CNetlinkRequest &request, uint16_t extraFlags)
{
    if (!m_fd.IsOpen())
        return -EBADF;
    nlmsghdr *header = request.Header();
    header->nlmsg_flags = static_cast<uint16_t>(header->nlmsg_flags | extraFlags);
    header->nlmsg_seq = ++m_sequence;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    const ssize_t sent = sendto(m_fd.Fd(), header, request.Size(), 0, reinterpret_cast<sockaddr *>(&kernel),
                                sizeof(kernel));
    if (sent < 0)
        return -errno;
    return static_cast<size_t>(sent) == request.Size() ? 0 : -EIO;
}

int32_t CNetlinkSocket::Receive(uint32_t sequence, const MessageHandler &handler)
{
    std::vector<uint8_t> buffer(RECEIVE_BUFFER);
    for (;;) {
        const ssize_t length = recv(m_fd.Fd(), buffer.data(), buffer.size(), 0);
        if (length < 0) {
            if (errno == EINTR)
                continue;
            return -errno;
        }
        int remaining = static_cast<int>(length);
#if defined(__clang__)
// The kernel's NLMSG_OK compares its unsigned length with the signed count it is given.
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wsign-compare"
#endif
        for (auto *message = reinterpret_cast<nlmsghdr *>(buffer.data()); NLMSG_OK(message, remaining);
             message = NLMSG_NEXT(message, remaining)) {
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
            if (message->nlmsg_seq != sequence)
                continue;
            if (message->nlmsg_type == NLMSG_DONE)
                return 0;
            if (message->nlmsg_type == NLMSG_ERROR) {
                if (message->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr)))
                    return -EIO;
                nlmsgerr error{};
                std::memcpy(&error, NLMSG_DATA(message), sizeof(error));
                return error.error;
            }
            if (handler)
                handler(*message);
        }
    }
}

int32_t CNetlinkSocket::Dump(CNetlinkRequest &request, const MessageHandler &handler)
{
    const int32_t sent = Send(request, NLM_F_DUMP);
    return sent != 0 ? sent : Receive(m_sequence, handler);
}

int32_t CNetlinkSocket::Change(CNetlinkRequest &request)
{
    const int32_t sent = Send(request, NLM_F_ACK);
    return sent != 0 ? sent : Receive(m_sequence, nullptr);
}
