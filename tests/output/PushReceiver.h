#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
    };

    CPushReceiver() = default;
    ~CPushReceiver() { Stop(); }
    CPushReceiver(const CPushReceiver &) = delete;
    CPushReceiver &operator=(const CPushReceiver &) = delete;

    // Starts listening on port (0: a free one) and waits until it does; 0 or a negative code.
    int Start(EProtocol protocol, int port = 0);
    // Ends the session in progress and stops listening.
    void Stop();
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
    static int Interrupt(void *self);

    EProtocol m_protocol = EProtocol::Rtmp;
    int m_port = -1;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<stSession> m_sessions;
    int m_ended = 0;
};
