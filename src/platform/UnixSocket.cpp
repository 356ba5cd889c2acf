#include "platform/UnixSocket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

bool FillAddress(const std::string &path, sockaddr_un &address)
{
    std::memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() > UnixSocketPathLimit())
        return false;
    std::memcpy(address.sun_path, path.data(), path.size());
    return true;
}

// True when a server accepts connections at the path.
bool IsServed(const sockaddr_un &address)
{
    CSocketFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!probe.IsOpen())
        return false;
    const int rc = ::connect(probe.Fd(), reinterpret_cast<const sockaddr *>(&address), sizeof(address));
    // A full backlog (EAGAIN) still means somebody listens.
    return rc == 0 || errno == EAGAIN || errno == EINPROGRESS;
}

} // namespace

CSocketFd &CSocketFd::operator=(CSocketFd &&other) noexcept
{
    if (this != &other) {
        Reset(other.m_fd);
        other.m_fd = -1;
    }
    return *this;
}

void CSocketFd::Reset(int fd)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
}

size_t UnixSocketPathLimit()
{
    return sizeof(sockaddr_un::sun_path) - 1;
}

int CUnixListener::Listen(const std::string &path)
{
    Close();
    sockaddr_un address{};
    if (!FillAddress(path, address))
        return -ENAMETOOLONG;

    struct stat info{};
    if (::lstat(path.c_str(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode))
            return -EEXIST;
        if (IsServed(address))
            return -EADDRINUSE;
        if (::unlink(path.c_str()) != 0 && errno != ENOENT)
            return -errno;
    }

    CSocketFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.IsOpen())
        return -errno;
    if (::bind(fd.Fd(), reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0)
        return -errno;
    if (::chmod(path.c_str(), 0660) != 0 || ::listen(fd.Fd(), 1) != 0 || ::lstat(path.c_str(), &info) != 0) {
        const int error = errno;
        ::unlink(path.c_str());
        return -error;
    }
    m_fd = std::move(fd);
    m_path = path;
    m_device = info.st_dev;
    m_inode = info.st_ino;
    return 0;
}

int CUnixListener::Accept(CSocketFd &client, int32_t &pid)
{
    pid = 0;
    if (!m_fd.IsOpen())
        return -EBADF;
    const int fd = ::accept4(m_fd.Fd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return errno == EWOULDBLOCK ? -EAGAIN : -errno;
    client.Reset(fd);
    ucred credentials{};
    socklen_t size = sizeof(credentials);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0)
        pid = credentials.pid;
    return 0;
}

void CUnixListener::Close()
{
    if (!m_fd.IsOpen())
        return;
    m_fd.Reset();
    // Another server may have taken the name since; its file stays.
    struct stat info{};
    if (::lstat(m_path.c_str(), &info) == 0 && info.st_dev == m_device && info.st_ino == m_inode)
        ::unlink(m_path.c_str());
    m_path.clear();
}

ssize_t SendNonBlocking(int fd, const void *data, size_t length)
{
    for (;;) {
        const ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0)
            return sent;
        if (errno == EINTR)
            continue;
        return errno == EWOULDBLOCK ? -EAGAIN : -errno;
    }
}

int SetSendBufferSize(int fd, int bytes)
{
    return ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof(bytes)) == 0 ? 0 : -errno;
}

int WaitSocket(int fd, bool forWrite, int timeoutMs)
{
    pollfd entry{};
    entry.fd = fd;
    entry.events = static_cast<short>(POLLIN | POLLRDHUP | (forWrite ? POLLOUT : 0));
    const int rc = ::poll(&entry, 1, timeoutMs);
    if (rc < 0)
        return errno == EINTR ? 0 : -errno;
    int result = 0;
    if (entry.revents & POLLOUT)
        result |= TYX_SOCK_WRITABLE;
    if (entry.revents & POLLIN)
        result |= TYX_SOCK_READABLE;
    if (entry.revents & (POLLHUP | POLLERR | POLLRDHUP | POLLNVAL))
        result |= TYX_SOCK_HANGUP;
    return result;
}

bool DrainSocket(int fd)
{
    char scrap[1024];
    for (;;) {
        const ssize_t got = ::recv(fd, scrap, sizeof(scrap), MSG_DONTWAIT);
        if (got > 0)
            continue;
        if (got == 0)
            return false;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
}
