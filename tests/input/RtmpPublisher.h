#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>

// A camera or encoder publishing to an RTMP relay: a thread of its own sends a media file's video
// and audio packets (H.264 and AAC) to an rtmp:// URL as FLV, in real time on the steady clock,
// the file again and again. Its clock can run off real time, it can send its sound first, and it
// can restart as an encoder does (connection closed, stamps from 0 again).
class CRtmpPublisher
{
public:
    struct stOptions
    {
        // Stamps advance this much per second of real time while packets go out in real time:
        // 0.99 is a camera whose clock runs 1 % slow.
        double clockRate = 1.0;
        // Each connection's first audio packet is written before its first video packet.
        bool soundFirst = false;
        // Each connection's first video packet is written before its first audio packet.
        bool pictureFirst = false;
        // Each connection after the first sends this much of its media at once, as a camera that
        // made it while it reconnected.
        int returnBurstMs = 0;
    };

    CRtmpPublisher() = default;
    ~CRtmpPublisher() { Stop(); }
    CRtmpPublisher(const CRtmpPublisher &) = delete;
    CRtmpPublisher &operator=(const CRtmpPublisher &) = delete;

    // Opens the file, starts the thread and waits until the first connection has sent its stream
    // header; 0 or a negative FFmpeg code.
    int Start(const std::filesystem::path &file, const std::string &url, const stOptions &options);
    // Closes the connection, waits gapSeconds and publishes again on the same URL, stamps from 0.
    // Returns at once; Connections() counts the new one when it is up.
    void Restart(double gapSeconds);
    void Stop();

    // Connections that got as far as sending their stream header.
    int Connections() const { return m_connections.load(); }
    // Packets written, all connections together.
    int64_t Packets() const { return m_packets.load(); }
    // The last failure of the thread (a negative FFmpeg code), 0 while none.
    int LastError() const { return m_error.load(); }

private:
    void Run();
    // One connection, until stop, restart or an error; 0 when it ended on request.
    int Publish();

    std::filesystem::path m_file;
    std::string m_url;
    stOptions m_options;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_restartGapMs{-1}; // a restart asked for, with its gap
    std::atomic<int> m_connections{0};
    std::atomic<int64_t> m_packets{0};
    std::atomic<int> m_error{0};
    std::thread m_thread;
};
