// Remote-control server throughput: HelloTYX (answered by the request thread) and a waited
// GetTYXStatus (queued to the query thread and run through the executor) with 1, 16 and 64
// keep-alive clients, beside libmicrohttpd answering a fixed text from a minimal handler (epoll, the
// same connection limit). Each client owns one connection and sends its next request when the reply
// has arrived. Then the same load beside a crowd of 1,000 idle and half-sent connections that is kept
// at its size (a connection the server closes is opened again at once, as a flood would), and last
// how long a fresh client waits for HelloTYX beside 2,000 such connections.
#include "platform/TcpListenSocket.h"
#include "rcm/RCProcFuncs.h"
#include "rcm/TYXCtrl_Web.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kReplyWaitSeconds = 5;

sockaddr_in Loopback(uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// One keep-alive connection: sends a request, reads one reply (Content-Length framed). A reply that
// does not come within kReplyWaitSeconds is a failure.
class CBenchClient
{
public:
    explicit CBenchClient(uint16_t port)
    {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in address = Loopback(port);
        const int on = 1;
        setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        timeval wait{kReplyWaitSeconds, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
        setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof(wait));
        if (connect(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0) {
            close(m_fd);
            m_fd = -1;
        }
    }
    ~CBenchClient()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    CBenchClient(const CBenchClient &) = delete;
    CBenchClient &operator=(const CBenchClient &) = delete;

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

private:
    int m_fd = -1;
    std::string m_buffer;
};

// Idle and half-sent connections (every second one has sent the start of a header), kept at their
// number by a thread of their own: one the server closes is opened again.
class CIdleCrowd
{
public:
    CIdleCrowd(uint16_t port, size_t size) : m_port(port), m_fds(size, -1), m_pendingStart(size, false)
    {
        for (size_t i = 0; i < m_fds.size(); ++i)
            m_fds[i] = Open(i);
        m_thread = std::thread([this] { Keep(); });
    }
    ~CIdleCrowd()
    {
        m_stop = true;
        m_thread.join();
        for (const int fd : m_fds) {
            if (fd >= 0)
                close(fd);
        }
    }
    CIdleCrowd(const CIdleCrowd &) = delete;
    CIdleCrowd &operator=(const CIdleCrowd &) = delete;

    // Waits up to the bound until every connection has connected: the number connected.
    size_t WaitConnected(int boundMs)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(boundMs);
        size_t connected = 0;
        do {
            connected = m_connected.load();
            if (connected >= m_fds.size())
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } while (Clock::now() < deadline);
        return connected;
    }
    uint64_t Reopened() const { return m_reopened.load(); }

private:
    int Open(size_t index)
    {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const sockaddr_in address = Loopback(m_port);
        if (fd < 0 || (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0 &&
                       errno != EINPROGRESS)) {
            if (fd >= 0)
                close(fd);
            return -1;
        }
        m_pendingStart[index] = true;
        return fd;
    }

    void Keep()
    {
        std::vector<pollfd> waits(m_fds.size());
        while (!m_stop) {
            for (size_t i = 0; i < m_fds.size(); ++i)
                waits[i] = pollfd{m_fds[i], static_cast<short>(m_pendingStart[i] ? POLLOUT : POLLIN), 0};
            if (poll(waits.data(), waits.size(), 100) <= 0)
                continue;
            for (size_t i = 0; i < m_fds.size(); ++i) {
                if (waits[i].revents == 0)
                    continue;
                int error = 0;
                socklen_t length = sizeof(error);
                if (m_pendingStart[i] && (waits[i].revents & (POLLERR | POLLHUP)) == 0 &&
                    getsockopt(m_fds[i], SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) {
                    m_pendingStart[i] = false;
                    ++m_connected;
                    if (i % 2 == 0) {
                        static const char start[] = "GET /TYXRCMAPI/GENERAL/HelloTYX HTTP/1.1\r\nHost: x\r\nX-Slow: ";
                        send(m_fds[i], start, sizeof(start) - 1, MSG_NOSIGNAL);
                    }
                    continue;
                }
                // Closed by the server (or refused): opened again at once.
                if (!m_pendingStart[i])
                    --m_connected;
                close(m_fds[i]);
                m_fds[i] = Open(i);
                ++m_reopened;
            }
        }
    }

    uint16_t m_port;
    std::vector<int> m_fds;
    std::vector<bool> m_pendingStart; // connecting: the start of a header goes out once connected
    std::atomic<size_t> m_connected{0};
    std::atomic<uint64_t> m_reopened{0};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
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

void PrintHeader()
{
    std::printf("%-22s %3s  %10s %9s %9s   %10s %9s %9s   %6s\n", "request", "cl", "ours req/s", "p50 us", "p99 us",
                "mhd req/s", "p50 us", "p99 us", "ratio");
}

void PrintRow(const char *what, int clients, const stFigures &ours, const stFigures &theirs)
{
    std::printf("%-22s %3d  %10.0f %9.1f %9.1f   %10.0f %9.1f %9.1f   %6.2f%s\n", what, clients,
                ours.requestsPerSecond, ours.p50Us, ours.p99Us, theirs.requestsPerSecond, theirs.p50Us, theirs.p99Us,
                theirs.requestsPerSecond > 0 ? ours.requestsPerSecond / theirs.requestsPerSecond : 0.0,
                ours.failures + theirs.failures ? "  (failures)" : "");
    std::fflush(stdout);
}

// A fresh connection's HelloTYX, tries times, one after the other: p50 and the slowest in ms, and
// how many had no answer within kReplyWaitSeconds.
void PrintFreshClients(const char *what, uint16_t port, int tries)
{
    const std::string hello = "GET /TYXRCMAPI/GENERAL/HelloTYX HTTP/1.1\r\nHost: x\r\n\r\n";
    std::vector<double> ms;
    int unanswered = 0;
    for (int i = 0; i < tries; ++i) {
        const auto start = Clock::now();
        CBenchClient client(port);
        if (client.Exchange(hello))
            ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        else
            ++unanswered;
    }
    std::sort(ms.begin(), ms.end());
    if (ms.empty())
        std::printf("%-44s no answer within %d s (%d of %d)\n", what, kReplyWaitSeconds, unanswered, tries);
    else
        std::printf("%-44s p50 %8.2f ms  max %8.2f ms  unanswered %d of %d\n", what, ms[ms.size() / 2], ms.back(),
                    unanswered, tries);
    std::fflush(stdout);
}

uint16_t FreePort()
{
    CSocketFd probe;
    OpenTcpListenSocket(0, true, probe);
    return LocalPortOf(probe.Fd());
}

} // namespace

int main(int argc, char **argv)
{
    const int total = argc > 1 ? std::max(1000, std::atoi(argv[1])) : 40000;
    constexpr size_t kCrowd = 1000;
    constexpr size_t kBigCrowd = 2000;
    // Both servers and the crowds live in this process.
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 16384);
    setrlimit(RLIMIT_NOFILE, &files);

    auto executor = std::make_shared<CRCCommandExecutor>(std::make_shared<CRCInDemandOps>(), false);
    CRCMWebWin server([executor](uint16_t code, const stRCCommand &command, std::vector<uint8_t> &reply) {
        return executor->OnRCCmd(code, command, reply);
    });
    RcmUserMap users;
    users[L"bench"] = stRcmUser{L"bench", L"b", 1, 31, L""};
    server.SetUsers(users);
    const uint16_t ourPort = FreePort();
    if (server.ListenRequests(true, false, ourPort, 0) != 0) {
        std::fprintf(stderr, "rcm_bench: the server does not listen\n");
        return 1;
    }
    const uint16_t mhdPort = FreePort();
    MHD_Daemon *plain = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL, mhdPort, nullptr, nullptr,
                                         &FixedReply, nullptr, MHD_OPTION_CONNECTION_LIMIT, 4096u, MHD_OPTION_END);
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
                "(one polling thread, epoll), %d requests per row, loopback keep-alive clients.\n\n", total);
    std::printf("No idle connections:\n");
    PrintHeader();
    for (int clients : {1, 16, 64}) {
        const int perClient = std::max(1, total / clients);
        Measure(ourPort, hello, clients, perClient / 10 + 1); // warm-up
        PrintRow("HelloTYX", clients, Measure(ourPort, hello, clients, perClient),
                 Measure(mhdPort, fixed, clients, perClient));
        PrintRow("GetTYXStatus (waited)", clients, Measure(ourPort, query, clients, perClient),
                 Measure(mhdPort, fixed, clients, perClient));
    }

    std::printf("\n%zu idle and half-sent connections held beside the clients (each server its own crowd, "
                "reopened when closed):\n", kCrowd);
    {
        CIdleCrowd ourCrowd(ourPort, kCrowd);
        CIdleCrowd theirCrowd(mhdPort, kCrowd);
        const size_t ours = ourCrowd.WaitConnected(20000);
        const size_t theirs = theirCrowd.WaitConnected(20000);
        std::printf("connected: ours %zu, mhd %zu\n", ours, theirs);
        PrintHeader();
        for (int clients : {1, 16, 64}) {
            const int perClient = std::max(1, total / clients);
            PrintRow("HelloTYX", clients, Measure(ourPort, hello, clients, perClient),
                     Measure(mhdPort, fixed, clients, perClient));
            PrintRow("GetTYXStatus (waited)", clients, Measure(ourPort, query, clients, perClient),
                     Measure(mhdPort, fixed, clients, perClient));
        }
        std::printf("crowd connections the servers closed and the crowd opened again: ours %llu, mhd %llu\n",
                    static_cast<unsigned long long>(ourCrowd.Reopened()),
                    static_cast<unsigned long long>(theirCrowd.Reopened()));
    }

    std::printf("\nA fresh client's HelloTYX (connect, request, reply), 50 one after the other:\n");
    PrintFreshClients("no crowd", ourPort, 50);
    {
        CIdleCrowd crowd(ourPort, kBigCrowd);
        std::printf("(%zu of %zu crowd connections connected)\n", crowd.WaitConnected(20000), kBigCrowd);
        PrintFreshClients("beside 2000 idle and half-sent connections", ourPort, 50);
    }
    MHD_stop_daemon(plain);
    server.Close();
    return 0;
}
