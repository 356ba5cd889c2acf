#pragma once

#include "NetTestSupport.h"
#include "support/TempDir.h"

#include <string>

// A real nginx with its RTMP module in a child process, listening on a free 127.0.0.1 port with
// its own configuration and logs in a temporary folder: one application "live" where publishers
// push streams and players pull them by name. Stopped (and waited for) when the object ends.
class CNginxRtmpServer
{
public:
    static constexpr const char *kNginx = "/usr/sbin/nginx";
    static constexpr const char *kModule = "/usr/lib/nginx/modules/ngx_rtmp_module.so";

    // Empty when nginx and its RTMP module are installed, else what is missing (for GTEST_SKIP).
    static std::string Missing();

    CNginxRtmpServer() = default;
    ~CNginxRtmpServer() { Stop(); }
    CNginxRtmpServer(const CNginxRtmpServer &) = delete;
    CNginxRtmpServer &operator=(const CNginxRtmpServer &) = delete;

    // Starts on a free port and waits until it listens; 0 or a negative code.
    int Start();
    void Stop();
    int Port() const { return m_port; }
    // Where a stream of that name is published and played.
    std::string Url(const std::string &stream = "test") const
    {
        return "rtmp://127.0.0.1:" + std::to_string(m_port) + "/live/" + stream;
    }
    // nginx's own log, for a failing test's message.
    std::string ErrorLog() const;

private:
    int StartOnPort(int port);

    CTempDir m_dir; // outlives the child, which writes into it
    CChildProcess m_process;
    int m_port = -1;
};
