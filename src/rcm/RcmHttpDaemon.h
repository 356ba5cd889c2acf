#pragma once

#include "platform/UnixSocket.h"
#include "rcm/RcmConnectionWatch.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

struct MHD_Daemon;
struct MHD_Connection;

// One received request as the remote-control checks read it.
struct stHttpRequest
{
    std::string method;
    std::string rawUri;        // path and query as sent, still escaped
    std::string body;          // at most RCM_HTTP_BODY_KEEP bytes
    bool bodyAnnounced = false; // a length or chunked body was announced
    bool bodyTooLong = false;   // more than RCM_HTTP_BODY_KEEP bytes arrived
    bool bodyDropped = false;   // announced longer than RCM_HTTP_BODY_READ: answered before it is read
    std::string peerAddress;   // dotted IPv4 (mapped IPv6 addresses included) or IPv6 text
    int32_t peerFamily = 0;    // 2 IPv4, 23 IPv6
    uint16_t peerPort = 0;
};

struct stHttpResponse
{
    int32_t status = 200;
    std::string body;
};

constexpr size_t RCM_HTTP_BODY_KEEP = 2048;
// A body announced longer than this is not read: its request is answered at once, and the
// connection closes after the reply.
constexpr size_t RCM_HTTP_BODY_READ = 1024 * 1024;

class CRcmHttpDaemon;

// A reply that another thread gives later. Complete may be called from any thread, once counts;
// after the daemon has stopped it does nothing.
class CRcmPendingReply
{
public:
    void Complete(const stHttpResponse &response);
    bool IsCompleted() const;

private:
    friend class CRcmHttpDaemon;
    mutable std::mutex m_mutex;
    MHD_Connection *m_connection = nullptr; // suspended until completed
    CRcmHttpDaemon *m_daemon = nullptr;
    stHttpResponse m_response;
    bool m_completed = false;
    bool m_closed = false;
};

// One libmicrohttpd daemon on its own polling thread. The handler runs on that thread once per
// request, after the whole body has arrived (beyond the kept size it is read and dropped), or at
// once for a body that is not read (bodyDropped); it answers at once, or defers by returning a
// pending reply that another thread completes. A request whose body is not read must be answered
// at once: the library cannot hold it while the client is still sending.
class CRcmHttpDaemon
{
public:
    struct stOptions
    {
        uint16_t port = 0;
        bool loopbackOnly = false; // 127.0.0.1 only; otherwise every address, IPv6 too when possible
        std::string certPem;       // both set: TLS
        std::string keyPem;
        uint32_t connectionLimit = 4096;
        // A connection must send its whole request within this time of its opening or of the
        // previous answer; 0: no such limit.
        uint32_t requestTimeoutMs = 5000;
        uint32_t idleTimeoutSeconds = 60; // no byte moved (a client that does not read its answer)
        size_t connectionMemory = 32 * 1024; // bounds the request line and headers
        std::string name = "Http";         // in the log lines
        CRcmConnectionWatch::TickSource tick; // the request deadlines' clock; none: the monotonic clock
    };
    struct stAnswer
    {
        stHttpResponse response;
        std::shared_ptr<CRcmPendingReply> pending; // set: the reply comes later
    };
    using Handler = std::function<stAnswer(const stHttpRequest &request)>;

    explicit CRcmHttpDaemon(Handler handler);
    ~CRcmHttpDaemon();
    CRcmHttpDaemon(const CRcmHttpDaemon &) = delete;
    CRcmHttpDaemon &operator=(const CRcmHttpDaemon &) = delete;

    // 0, or a negative errno (the port is taken, TLS material refused, ...).
    int32_t Start(const stOptions &options);
    // Answers every deferred request with the busy reply, waits briefly for those replies to go
    // out, and stops the daemon.
    void Stop(const stHttpResponse &busy);
    bool IsRunning() const { return m_daemon != nullptr; }
    uint16_t Port() const { return m_port; }
    // The connections open now.
    size_t ConnectionCount() const;

private:
    struct stContext;
    friend struct stDaemonCallbacks; // the library's callbacks, with its own signatures
    bool Access(MHD_Connection *connection, stContext &context, const char *method, const char *uploadData,
                size_t *uploadDataSize);
    bool Answer(MHD_Connection *connection, stContext &context);
    bool Queue(MHD_Connection *connection, const stHttpResponse &response);
    void FillPeer(MHD_Connection *connection, stHttpRequest &request) const;
    void Forget(CRcmPendingReply *pending);

    Handler m_handler;
    std::unique_ptr<CRcmConnectionWatch> m_watch; // the daemon reports to it while it runs
    CSocketFd m_listen; // ours: the daemon is quiesced before it stops, so it never closes it
    MHD_Daemon *m_daemon = nullptr;
    uint16_t m_port = 0;
    std::string m_certPem; // the daemon reads them while it runs
    std::string m_keyPem;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::set<std::shared_ptr<CRcmPendingReply>> m_pending; // deferred and not yet sent
};
