#pragma once

#include <cstdint>
#include <string>

// The notify protocol of systemd's Type=notify services: state lines ("READY=1", "STOPPING=1",
// "STATUS=...") sent as one datagram to $NOTIFY_SOCKET. Without the variable nothing is sent.
class CSystemdNotifier
{
public:
    // The socket named by $NOTIFY_SOCKET now (an "@" name is in the abstract namespace).
    CSystemdNotifier();
    explicit CSystemdNotifier(std::string socketName);

    bool Active() const { return !m_socket.empty(); }
    // Sends the state lines: 0, -ENOTCONN without a socket, another negative errno.
    int32_t Notify(const std::string &state) const;
    int32_t Ready() const { return Notify("READY=1"); }
    int32_t Stopping() const { return Notify("STOPPING=1"); }
    int32_t Status(const std::string &text) const;

private:
    std::string m_socket;
};
