#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct AVFormatContext;

// The far end of a push, made of libavformat's own listen modes on 127.0.0.1: an RTMP server
// (listen=1) or an RTSP server taking ANNOUNCE/RECORD (rtsp_flags=listen). It takes one session
// after the other until stopped and keeps what arrived in each.
class CPushReceiver
{
public:
    enum class EProtocol { Rtmp, Rtsp };

    struct stSession
    {
        int videoPackets = 0;
        int audioPackets = 0;
        int keyFrames = 0;
        bool firstVideoKey = false;     // the first video packet was a key frame
        bool dtsMonotonic = true;       // per stream, within the session
        int codecVideo = 0;             // FFmpeg codec ids
        int codecAudio = 0;
        int width = 0;
        int height = 0;
        int streams = 0;
        std::chrono::steady_clock::time_point began;   // the pusher's header arrived
        std::chrono::steady_clock::time_point ended;   // the session's last packet
        std::filesystem::path file;                     // what arrived, when kept (see KeepSessionsIn)
    };

    CPushReceiver() = default;
    ~CPushReceiver() { Stop(); }
    CPushReceiver(const CPushReceiver &) = delete;
    CPushReceiver &operator=(const CPushReceiver &) = delete;

    // Starts listening on port (0: a free one) and waits until it does; 0 or a negative code.
    int Start(EProtocol protocol, int port = 0);
    // Ends the session in progress and stops listening.
    void Stop();
    // From the next session on, what arrives is also written, as it came, into
    // "session<N>.<extension>" in the folder (an FFmpeg format name: "flv", "matroska", ...).
    void KeepSessionsIn(const std::filesystem::path &folder, const std::string &format = "flv");
    int Port() const { return m_port; }
    std::string Url() const;
    // Waits until the sessions so far have brought at least that many video packets in all.
    bool WaitForVideo(int packets, int timeoutMs);
    // Waits until a session ended (the pusher went away or the stream ended).
    bool WaitForSessionEnd(int sessions, int timeoutMs);
    std::vector<stSession> Sessions() const;

private:
    void Run();
    int ServeOne();
    // The output that keeps a session's packets, or none when sessions are not kept.
    struct stKeptSession;
    std::unique_ptr<stKeptSession> KeepSession(AVFormatContext &input, size_t slot);
    static int Interrupt(void *self);

    EProtocol m_protocol = EProtocol::Rtmp;
    int m_port = -1;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<stSession> m_sessions;
    int m_ended = 0;
    std::filesystem::path m_keepFolder;    // set before a session starts
    std::string m_keepFormat;
};
