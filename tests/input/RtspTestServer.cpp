#include "RtspTestServer.h"

#include "support/TempDir.h"

#include <cerrno>

#ifndef TYX_GST_PYTHON
#define TYX_GST_PYTHON "/usr/bin/python3"
#endif

namespace {

std::string ScriptPath()
{
    return (SourceDir() / "tests" / "input" / "rtsp_test_server.py").string();
}

} // namespace

bool CRtspTestServer::Available()
{
    static const bool available = [] {
        CChildProcess check;
        if (check.Start({TYX_GST_PYTHON, ScriptPath(), "--check"}) < 0)
            return false;
        return check.WaitExit(30000) == 0;
    }();
    return available;
}

int CRtspTestServer::Start(const std::filesystem::path &file, bool audio, const std::string &user,
                           const std::string &password)
{
    m_file = file;
    m_audio = audio;
    m_user = user;
    m_password = password;
    m_port = FindFreeTcpPort();
    if (m_port <= 0)
        return -EADDRNOTAVAIL;
    return Restart();
}

int CRtspTestServer::Restart()
{
    std::vector<std::string> arguments{TYX_GST_PYTHON, ScriptPath(), "--port", std::to_string(m_port), "--file",
                                       m_file.string()};
    if (m_audio)
        arguments.emplace_back("--audio");
    if (m_audio && m_audioFor >= 0.0)
        arguments.insert(arguments.end(), {"--audio-for", std::to_string(m_audioFor)});
    if (!m_user.empty()) {
        arguments.insert(arguments.end(), {"--user", m_user, "--password", m_password});
    }
    const int result = m_process.Start(arguments);
    if (result < 0)
        return result;
    if (!WaitForTcpListener(m_port, 30000)) {
        m_process.Stop();
        return -ETIMEDOUT;
    }
    return 0;
}
