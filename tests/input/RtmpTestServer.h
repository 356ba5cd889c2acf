#pragma once

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

// An RTMP peer on 127.0.0.1 made of libavformat's own listen mode: it waits for one player, plays
// the file to it in real time, closes, and listens again. It can cut a session short, stay away
// for a while, or stop sending while it keeps the connection open.
class CRtmpTestServer
{
public:
    struct stBehaviour
    {
        int dropAfterMs = -1;   // close the chosen session after this much stream time
        int downtimeMs = 0;     // then stay away this long before listening again
        int stallAfterMs = -1;  // stop sending (connection kept) after this much stream time
        int session = 1;        // the session (1: the first) that drops or stalls
        bool loop = false;      // play the file again and again within a session
        int burstMs = 0;        // sent at once when a player comes, as a server's key-frame cache is
    };

    CRtmpTestServer() = default;
    ~CRtmpTestServer() { Stop(); }
    CRtmpTestServer(const CRtmpTestServer &) = delete;
    CRtmpTestServer &operator=(const CRtmpTestServer &) = delete;

    // Starts on a free port and waits until it listens; 0 or a negative code.
    int Start(const std::filesystem::path &file, const stBehaviour &behaviour);
    void Stop();
    int Port() const { return m_port; }
    std::string Url() const { return "rtmp://127.0.0.1:" + std::to_string(m_port) + "/live/test"; }
    // Sessions that got as far as sending the stream header.
    int Sessions() const { return m_sessions.load(); }
    // Waits until the server has stopped sending (stallAfterMs); true when it has within timeoutMs.
    bool WaitUntilStalled(int timeoutMs);

private:
    void Run();
    int ServeSession(bool chosen);

    std::filesystem::path m_file;
    stBehaviour m_behaviour;
    int m_port = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_sessions{0};
    std::atomic<bool> m_stalled{false};
    std::thread m_thread;
};
