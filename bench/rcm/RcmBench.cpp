// Remote-control server throughput: HelloTYX (answered by the request thread) and a waited
// GetTYXStatus (queued to the query thread and run through the executor) with 1, 16 and 64
// keep-alive clients, beside libmicrohttpd answering a fixed text from a minimal handler. Each
// client owns one connection and sends its next request when the reply has arrived.
#include "platform/TcpListenSocket.h"
#include "rcm/RCProcFuncs.h"
#include "rcm/TYXCtrl_Web.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// One keep-alive connection: sends a request, reads one reply (Content-Length framed).
class CBenchClient
{
public:
    explicit CBenchClient(uint16_t port)
    {
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int on = 1;
        setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        if (connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
            close(m_fd);
            m_fd = -1;
        }
    }
    ~CBenchClient()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    bool Exchange(const std::string &request)
    {
        if (m_fd < 0 || send(m_fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
            return false;
        char chunk[8192];
        for (;;) {
            const size_t end = m_buffer.find("\r\n\r\n");
            if (end != std::string::npos) {
                const size_t field = m_buffer.find("Content-Length:");
                const size_t length = field != std::string::npos && field < end
                                          ? std::strtoul(m_buffer.c_str() + field + 15, nullptr, 10)
                                          : 0;
                if (m_buffer.size() >= end + 4 + length) {
                    const bool ok = m_buffer.compare(9, 3, "200") == 0;
                    m_buffer.erase(0, end + 4 + length);
                    return ok;
                }
            }
            const ssize_t got = recv(m_fd, chunk, sizeof(chunk), 0);
            if (got <= 0)
                return false;
            m_buffer.append(chunk, static_cast<size_t>(got));
        }
    }
    int Fd() const { return m_fd; }

private:
    int m_fd = -1;
    std::string m_buffer;
};

struct stFigures
{
    double requestsPerSecond = 0;
    double p50Us = 0;
    double p99Us = 0;
    int failures = 0;
};

stFigures Measure(uint16_t port, const std::string &request, int clients, int perClient)
{
    std::vector<std::vector<double>> latencies(static_cast<size_t>(clients));
    std::vector<int> failures(static_cast<size_t>(clients), 0);
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            CBenchClient client(port);
            auto &mine = latencies[static_cast<size_t>(c)];
            mine.reserve(static_cast<size_t>(perClient));
            for (int i = 0; i < perClient; ++i) {
                const auto sent = Clock::now();
                if (!client.Exchange(request)) {
                    ++failures[static_cast<size_t>(c)];
                    break;
                }
                mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
            }
        });
    }
    for (auto &thread : threads)
        thread.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::vector<double> all;
    stFigures figures;
    for (size_t c = 0; c < latencies.size(); ++c) {
        all.insert(all.end(), latencies[c].begin(), latencies[c].end());
        figures.failures += failures[c];
    }
    if (all.empty())
        return figures;
    std::sort(all.begin(), all.end());
    figures.requestsPerSecond = static_cast<double>(all.size()) / seconds;
    figures.p50Us = all[all.size() / 2];
    figures.p99Us = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    return figures;
}

MHD_Result FixedReply(void *, MHD_Connection *connection, const char *, const char *, const char *, const char *,
                      size_t *, void **context)
{
    static int first;
    if (*context == nullptr) { // headers only: the reply follows on the next call
        *context = &first;
        return MHD_YES;
    }
    static const char text[] = "Hello TYX Client!\n";
    MHD_Response *response = MHD_create_response_from_buffer(sizeof(text) - 1, const_cast<char *>(text),
                                                             MHD_RESPMEM_PERSISTENT);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/html");
    const MHD_Result result = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return result;
}

std::string SessionOf(uint16_t port)
{
    CBenchClient login(port);
    const std::string request = "POST /TYXRCMAPI/IDENTIFY/LogIn?CMDSN=1 HTTP/1.1\r\nHost: x\r\nContent-Length: "
                                "20\r\n\r\nRUNAME=bench&RLPWD=b";
    // The id is known from its rule: the letters' codes and the first counter value.
    return login.Exchange(request) ? "62656e6368$00000001" : "";
}

void PrintRow(const char *what, int clients, const stFigures &ours, const stFigures &theirs)
{
    std::printf("%-22s %3d  %10.0f %9.1f %9.1f   %10.0f %9.1f %9.1f   %6.2f%s\n", what, clients,
                ours.requestsPerSecond, ours.p50Us, ours.p99Us, theirs.requestsPerSecond, theirs.p50Us, theirs.p99Us,
                theirs.requestsPerSecond > 0 ? ours.requestsPerSecond / theirs.requestsPerSecond : 0.0,
                ours.failures + theirs.failures ? "  (failures)" : "");
}

} // namespace

int main(int argc, char **argv)
{
    const int total = argc > 1 ? std::max(1000, std::atoi(argv[1])) : 40000;

    auto executor = std::make_shared<CRCCommandExecutor>(std::make_shared<CRCInDemandOps>(), false);
    CRCMWebWin server([executor](uint16_t code, const stRCCommand &command, std::vector<uint8_t> &reply) {
        return executor->OnRCCmd(code, command, reply);
    });
    RcmUserMap users;
    users[L"bench"] = stRcmUser{L"bench", L"b", 1, 31, L""};
    server.SetUsers(users);
    CSocketFd probe;
    OpenTcpListenSocket(0, true, probe);
    const uint16_t ourPort = LocalPortOf(probe.Fd());
    probe.Reset();
    if (server.ListenRequests(true, false, ourPort, 0) != 0) {
        std::fprintf(stderr, "rcm_bench: the server does not listen\n");
        return 1;
    }

    OpenTcpListenSocket(0, true, probe);
    const uint16_t mhdPort = LocalPortOf(probe.Fd());
    probe.Reset();
    MHD_Daemon *plain = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL, mhdPort, nullptr, nullptr,
                                         &FixedReply, nullptr, MHD_OPTION_CONNECTION_LIMIT, 512u, MHD_OPTION_END);
    if (!plain) {
        std::fprintf(stderr, "rcm_bench: libmicrohttpd does not listen\n");
        return 1;
    }

    const std::string session = SessionOf(ourPort);
    const std::string hello = "GET /TYXRCMAPI/GENERAL/HelloTYX HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::string query = "GET /TYXRCMAPI/QUERY/GetTYXStatus?CMDSN=7&WaitResult=Yes&SESSIONID=" + session +
                              " HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::string fixed = "GET /TYXRCMAPI/GENERAL/HelloTYX HTTP/1.1\r\nHost: x\r\n\r\n";

    std::printf("Remote-control server (one polling thread) beside libmicrohttpd with a fixed-reply handler "
                "(one polling thread), %d requests per row, loopback keep-alive clients.\n", total);
    std::printf("%-22s %3s  %10s %9s %9s   %10s %9s %9s   %6s\n", "request", "cl", "ours req/s", "p50 us", "p99 us",
                "mhd req/s", "p50 us", "p99 us", "ratio");
    for (int clients : {1, 16, 64}) {
        const int perClient = std::max(1, total / clients);
        Measure(ourPort, hello, clients, perClient / 10 + 1); // warm-up
        const stFigures ours = Measure(ourPort, hello, clients, perClient);
        const stFigures theirs = Measure(mhdPort, fixed, clients, perClient);
        PrintRow("HelloTYX", clients, ours, theirs);
        const stFigures queried = Measure(ourPort, query, clients, perClient);
        const stFigures theirsAgain = Measure(mhdPort, fixed, clients, perClient);
        PrintRow("GetTYXStatus (waited)", clients, queried, theirsAgain);
    }
    MHD_stop_daemon(plain);
    server.Close();
    return 0;
}
