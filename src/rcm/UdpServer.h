#pragma once

// One IPv4 datagram socket with a receive thread that hands every datagram to a callback.

#include "platform/Thread.h"
#include "platform/UnixSocket.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

// Exit code of the receive thread after a socket error.
constexpr uint32_t UDP_RECEIVE_FAILED_EXIT = 1027;
constexpr size_t UDP_BUFFER_SIZE = 2048;

class CUdpServer
{
public:
    // Receives data, its length, the sender's dotted address and port; on the receive thread.
    using ReceiveCallback = std::function<void(const uint8_t *data, size_t length, const std::string &sender,
                                               uint16_t senderPort)>;
    // Receives the socket error that ended the receive thread.
    using ErrorCallback = std::function<void(int32_t zero, int32_t socketError)>;

    // Opens the socket (broadcasts allowed); IsOpen tells whether that worked.
    CUdpServer(ReceiveCallback onReceive, ErrorCallback onError);
    ~CUdpServer();
    CUdpServer(const CUdpServer &) = delete;
    CUdpServer &operator=(const CUdpServer &) = delete;

    // Binds to port (0 for any free port) on bindAddress (every local address when empty) and starts
    // the receive thread: false when the socket is closed, the bind fails or no thread can be made.
    bool Start(uint16_t port, const std::string &bindAddress = {});
    // Ends the receive thread and shuts the socket down; sends fail afterwards.
    void Stop();
    // The number of bytes sent; -1 for a closed socket or a bad address, -2 for a text longer than the
    // send buffer, a negative errno when the system refuses.
    int32_t SendTo(const std::string &address, uint16_t port, const std::string &text);

    bool IsOpen() const;
    uint16_t BoundPort() const { return m_boundPort; }
    // The receive thread's exit code (TYX_STILL_ACTIVE while it runs).
    uint32_t ReceiveExitCode() const { return m_thread.ExitCode(); }

private:
    uint32_t ReceiveLoop();

    ReceiveCallback m_onReceive;
    ErrorCallback m_onError;
    mutable std::mutex m_socketMutex;
    CSocketFd m_socket;
    CSocketFd m_wake; // eventfd that ends the receive wait
    uint16_t m_boundPort = 0;
    std::atomic<bool> m_running{false};
    CThread m_thread;
};
