#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

// A socket descriptor, closed with the object. Move-only.
class CSocketFd
{
public:
    CSocketFd() = default;
    explicit CSocketFd(int fd) : m_fd(fd) {}
    ~CSocketFd() { Reset(); }
    CSocketFd(CSocketFd &&other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    CSocketFd &operator=(CSocketFd &&other) noexcept;
    CSocketFd(const CSocketFd &) = delete;
    CSocketFd &operator=(const CSocketFd &) = delete;

    void Reset(int fd = -1);
    int Fd() const { return m_fd; }
    bool IsOpen() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

// A listening Unix stream socket bound to a path, non-blocking, for one local client at a time.
// Used by one thread at a time.
class CUnixListener
{
public:
    CUnixListener() = default;
    ~CUnixListener() { Close(); }
    CUnixListener(const CUnixListener &) = delete;
    CUnixListener &operator=(const CUnixListener &) = delete;

    // Binds and listens at path (backlog 1, mode 0660). A socket file that no server answers on (left
    // by a crashed run) is replaced; a live server gives -EADDRINUSE and a file that is not a socket
    // -EEXIST, and neither is touched. 0 or a negative errno.
    [[nodiscard]] int Listen(const std::string &path);
    // A waiting client as a non-blocking descriptor with its process id: 0, -EAGAIN when none waits,
    // else a negative errno.
    [[nodiscard]] int Accept(CSocketFd &client, int32_t &pid);
    // Closes the socket and removes its file when it is still the one this listener made.
    void Close();
    bool IsOpen() const { return m_fd.IsOpen(); }
    const std::string &Path() const { return m_path; }

private:
    CSocketFd m_fd;
    std::string m_path;
    dev_t m_device = 0;
    ino_t m_inode = 0;
};

// Longest path a Unix socket address holds, without its terminating zero.
size_t UnixSocketPathLimit();

// Sends without blocking and without SIGPIPE: the bytes taken, or a negative errno (-EAGAIN when
// the socket buffer is full, -EPIPE or -ECONNRESET when the peer has gone).
ssize_t SendNonBlocking(int fd, const void *data, size_t length);

// Asks for a send buffer of that many bytes (the system caps it): 0 or a negative errno.
int SetSendBufferSize(int fd, int bytes);

// Socket readiness, from WaitSocket.
constexpr int TYX_SOCK_WRITABLE = 1;
constexpr int TYX_SOCK_READABLE = 2;
constexpr int TYX_SOCK_HANGUP = 4;
// Waits up to timeoutMs (0: just looks) for the socket to take data (forWrite), have data to read
// or hang up; the TYX_SOCK_* bits that hold, 0 on time-out, or a negative errno.
int WaitSocket(int fd, bool forWrite, int timeoutMs);
// Reads and discards whatever the peer sent; false when the peer has closed its end.
bool DrainSocket(int fd);
