#include "NginxRtmpServer.h"

#include "support/Wait.h"

#include <cerrno>
#include <fstream>
#include <sstream>
#include <unistd.h>

std::string CNginxRtmpServer::Missing()
{
    if (access(kNginx, X_OK) != 0)
        return std::string("nginx is not installed (") + kNginx + "; Debian package nginx-light)";
    if (access(kModule, R_OK) != 0)
        return std::string("nginx's RTMP module is not installed (") + kModule + "; Debian package libnginx-mod-rtmp)";
    return {};
}

int CNginxRtmpServer::Start()
{
    if (!Missing().empty())
        return -ENOENT;
    // A free port can be taken by another process before nginx binds it: try a few.
    int result = -EADDRINUSE;
    for (int attempt = 0; attempt < 5; ++attempt) {
        const int port = FindFreeTcpPort();
        if (port <= 0)
            return -EADDRNOTAVAIL;
        result = StartOnPort(port);
        if (result != -EADDRINUSE)
            return result;
    }
    return result;
}

int CNginxRtmpServer::StartOnPort(int port)
{
    const std::filesystem::path config = m_dir.File("nginx.conf");
    const std::filesystem::path errorLog = m_dir.File("error.log");
    std::error_code ignored;
    std::filesystem::remove(errorLog, ignored); // a failed attempt's lines would mislead the next
    {
        std::ofstream out(config);
        out << "load_module " << kModule << ";\n"
            << "daemon off;\n"
            << "master_process off;\n"
            << "pid " << m_dir.File("nginx.pid").string() << ";\n"
            << "error_log " << errorLog.string() << " info;\n"
            << "events { worker_connections 256; }\n"
            << "rtmp {\n"
            << "    server {\n"
            << "        listen 127.0.0.1:" << port << ";\n"
            << "        application live { live on; }\n"
            << "    }\n"
            << "}\n";
        if (!out)
            return -EIO;
    }
    // -e: the log nginx writes before it has read its configuration, outside the system's folders.
    const int started = m_process.Start({kNginx, "-p", m_dir.Path().string() + "/", "-c", config.string(), "-e",
                                         errorLog.string()});
    if (started < 0)
        return started;
    bool exited = false;
    const bool listening = WaitUntil(
        [&] {
            if (!m_process.IsRunning()) {
                exited = true;
                return true;
            }
            return WaitForTcpListener(port, 0);
        },
        30000, 10);
    if (exited)
        return ErrorLog().find("Address already in use") != std::string::npos ? -EADDRINUSE : -ECHILD;
    if (!listening) {
        m_process.Stop();
        return -ETIMEDOUT;
    }
    m_port = port;
    return 0;
}

void CNginxRtmpServer::Stop()
{
    m_process.Stop();
}

std::string CNginxRtmpServer::ErrorLog() const
{
    std::ifstream in(m_dir.File("error.log"));
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
