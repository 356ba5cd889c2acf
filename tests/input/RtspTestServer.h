#pragma once

#include "NetTestSupport.h"

#include <filesystem>
#include <string>

// GStreamer's RTSP server in a child process, serving one MP4 file at rtsp://127.0.0.1:port/test.
class CRtspTestServer
{
public:
    // True when the server script and the GStreamer elements it needs are installed.
    static bool Available();

    // Starts on a free port and waits until it listens; 0 or a negative code.
    int Start(const std::filesystem::path &file, bool audio, const std::string &user = {},
              const std::string &password = {});
    // From the next start on, the sound of every session goes silent after that many seconds.
    void SetAudioFor(double seconds) { m_audioFor = seconds; }
    // Starts again on the same port (after Stop).
    int Restart();
    void Stop() { m_process.Stop(); }
    int Port() const { return m_port; }
    std::string Url() const { return "rtsp://127.0.0.1:" + std::to_string(m_port) + "/test"; }

private:
    CChildProcess m_process;
    std::filesystem::path m_file;
    bool m_audio = false;
    std::string m_user;
    std::string m_password;
    double m_audioFor = -1.0; // below 0: the whole sound
    int m_port = -1;
};
