#include "platform/SystemdNotifier.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

CSystemdNotifier::CSystemdNotifier()
{
    const char *name = std::getenv("NOTIFY_SOCKET");
    if (name)
        m_socket = name;
}

CSystemdNotifier::CSystemdNotifier(std::string socketName) : m_socket(std::move(socketName)) {}

int32_t CSystemdNotifier::Notify(const std::string &state) const
{
    if (m_socket.empty())
        return -ENOTCONN;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (m_socket.size() >= sizeof(address.sun_path) || (m_socket[0] != '/' && m_socket[0] != '@'))
        return -EINVAL;
    std::memcpy(address.sun_path, m_socket.data(), m_socket.size());
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + m_socket.size());
    if (m_socket[0] == '@')
        address.sun_path[0] = '\0';
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -errno;
    const ssize_t sent = sendto(fd, state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&address),
                                length);
    const int error = errno;
    close(fd);
    return sent == static_cast<ssize_t>(state.size()) ? 0 : -(error ? error : EIO);
}

int32_t CSystemdNotifier::Status(const std::string &text) const
{
    std::string line = "STATUS=";
    for (char c : text)
        line += (c == '\n' || c == '\r') ? ' ' : c;
    return Notify(line);
}
