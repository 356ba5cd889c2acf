#include "platform/TcpListenSocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

// As many handshakes as the host allows wait for their accept: under a burst of connections (a flood
// beside the operators) a client's handshake waits instead of being dropped.
constexpr int kBacklog = SOMAXCONN;

int32_t BindAndListen(CSocketFd &socket, const sockaddr *address, socklen_t length)
{
    const int on = 1;
    setsockopt(socket.Fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (bind(socket.Fd(), address, length) != 0 || listen(socket.Fd(), kBacklog) != 0)
        return -errno;
    return 0;
}

int32_t OpenIpv4(uint16_t port, bool loopbackOnly, CSocketFd &out)
{
    CSocketFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.IsOpen())
        return -errno;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(loopbackOnly ? INADDR_LOOPBACK : INADDR_ANY);
    const int32_t result = BindAndListen(socket, reinterpret_cast<const sockaddr *>(&address), sizeof(address));
    if (result == 0)
        out = std::move(socket);
    return result;
}

} // namespace

int32_t OpenTcpListenSocket(uint16_t port, bool loopbackOnly, CSocketFd &out)
{
    if (loopbackOnly)
        return OpenIpv4(port, true, out);
    CSocketFd socket(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.IsOpen())
        return OpenIpv4(port, false, out); // a host without IPv6
    const int off = 0;
    setsockopt(socket.Fd(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off));
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    address.sin6_addr = in6addr_any;
    const int32_t result = BindAndListen(socket, reinterpret_cast<const sockaddr *>(&address), sizeof(address));
    if (result == -EADDRNOTAVAIL || result == -EAFNOSUPPORT)
        return OpenIpv4(port, false, out);
    if (result == 0)
        out = std::move(socket);
    return result;
}

uint16_t LocalPortOf(int fd)
{
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return 0;
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in *>(&address)->sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 *>(&address)->sin6_port);
    return 0;
}
