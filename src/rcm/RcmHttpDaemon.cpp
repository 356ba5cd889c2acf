#include "rcm/RcmHttpDaemon.h"

#include "core/debuglog.h"
#include "platform/TcpListenSocket.h"
#include "rcm/RcmTables.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr auto kBusyReplyWait = std::chrono::milliseconds(1000);
// A body without an announced length is read and dropped up to this size; past it the connection
// closes without a reply (the library cannot answer a request whose body is still arriving).
constexpr size_t kMaxDrainedBody = 64 * 1024 * 1024;

void LogLibraryMessage(void *, const char *format, va_list arguments)
{
    char text[512];
    vsnprintf(text, sizeof(text), format, arguments);
    DebugLogA(5, __FILE__, __func__, __LINE__, text);
}

bool HasBody(MHD_Connection *connection)
{
    const char *length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (length && std::strtoull(length, nullptr, 10) > 0)
        return true;
    return MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING) != nullptr;
}

bool AnnouncesTooLongBody(MHD_Connection *connection)
{
    const char *length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    return length && std::strtoull(length, nullptr, 10) > RCM_HTTP_BODY_READ;
}

template <typename Function>
Function LibraryFunction(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

} // namespace

// libmicrohttpd writes the reason phrase of a status line from these two functions of its own. The
// program defines them, so every status goes out with the remote-control protocol's phrase (421
// "Please log in first", where the library would write "Misdirected Request"); a status the
// protocol has no phrase for keeps the library's.
extern "C" const char *MHD_get_reason_phrase_for(unsigned int code)
{
    const auto &phrases = HttpReasonPhraseTable();
    const auto found = phrases.find(static_cast<int32_t>(code));
    if (found != phrases.end())
        return found->second.c_str();
    using PhraseOf = const char *(*)(unsigned int);
    static const PhraseOf library = LibraryFunction<PhraseOf>("MHD_get_reason_phrase_for");
    return library ? library(code) : "Unknown";
}

extern "C" size_t MHD_get_reason_phrase_len_for(unsigned int code)
{
    return std::strlen(MHD_get_reason_phrase_for(code));
}

struct CRcmHttpDaemon::stContext
{
    std::string uri;
    stHttpRequest request;
    bool started = false;
    bool answered = false;
    size_t received = 0;
    bool replied = false;
    std::shared_ptr<CRcmPendingReply> pending;
};

struct stDaemonCallbacks
{
    static void *OnUri(void *, const char *uri, MHD_Connection *)
    {
        auto context = std::make_unique<CRcmHttpDaemon::stContext>();
        context->uri = uri ? uri : "";
        return context.release(); // owned by the connection until OnCompleted
    }

    static void OnCompleted(void *self, MHD_Connection *connection, void **context, MHD_RequestTerminationCode)
    {
        std::unique_ptr<CRcmHttpDaemon::stContext> owned(static_cast<CRcmHttpDaemon::stContext *>(*context));
        *context = nullptr;
        auto &daemon = *static_cast<CRcmHttpDaemon *>(self);
        if (owned && owned->pending)
            daemon.Forget(owned->pending.get());
        daemon.m_watch->Answered(connection); // the next request is due from now
    }

    static void OnConnection(void *self, MHD_Connection *connection, void **, MHD_ConnectionNotificationCode code)
    {
        CRcmConnectionWatch &watch = *static_cast<CRcmHttpDaemon *>(self)->m_watch;
        if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
            watch.Closed(connection);
            return;
        }
        const MHD_ConnectionInfo *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        watch.Opened(connection, info ? info->connect_fd : -1);
    }

    static MHD_Result OnAccess(void *self, MHD_Connection *connection, const char *, const char *method, const char *,
                               const char *uploadData, size_t *uploadDataSize, void **context)
    {
        auto &daemon = *static_cast<CRcmHttpDaemon *>(self);
        const bool ok = daemon.Access(connection, *static_cast<CRcmHttpDaemon::stContext *>(*context), method,
                                      uploadData, uploadDataSize);
        return ok ? MHD_YES : MHD_NO;
    }
};

void CRcmPendingReply::Complete(const stHttpResponse &response)
{
    std::lock_guard lock(m_mutex);
    if (m_completed || m_closed)
        return;
    m_response = response;
    m_completed = true;
    if (m_connection)
        MHD_resume_connection(m_connection);
}

bool CRcmPendingReply::IsCompleted() const
{
    std::lock_guard lock(m_mutex);
    return m_completed;
}

CRcmHttpDaemon::CRcmHttpDaemon(Handler handler) : m_handler(std::move(handler)) {}

CRcmHttpDaemon::~CRcmHttpDaemon()
{
    Stop(stHttpResponse{503, std::string()});
}

int32_t CRcmHttpDaemon::Start(const stOptions &options)
{
    if (m_daemon)
        return 0;
    const int32_t opened = OpenTcpListenSocket(options.port, options.loopbackOnly, m_listen);
    if (opened != 0)
        return opened;
    m_port = LocalPortOf(m_listen.Fd());
    // poll: no descriptor number is too high for it (select stops at FD_SETSIZE). Not epoll: in that
    // mode the library never answers a client that ends its sending side after its request.
    unsigned int flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    const bool tls = !options.certPem.empty() && !options.keyPem.empty();
    if (tls) {
        flags |= MHD_USE_TLS;
        m_certPem = options.certPem;
        m_keyPem = options.keyPem;
    }
    // The fixed part first; the TLS pair is appended only when used (the list ends at MHD_OPTION_END).
    MHD_OptionItem items[] = {
        {MHD_OPTION_LISTEN_SOCKET, m_listen.Fd(), nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, static_cast<intptr_t>(options.connectionLimit), nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, static_cast<intptr_t>(options.idleTimeoutSeconds), nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(options.connectionMemory), nullptr},
        {MHD_OPTION_URI_LOG_CALLBACK, reinterpret_cast<intptr_t>(&stDaemonCallbacks::OnUri), this},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&stDaemonCallbacks::OnCompleted), this},
        {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&LogLibraryMessage), nullptr},
        {tls ? MHD_OPTION_HTTPS_MEM_KEY : MHD_OPTION_END, 0, tls ? const_cast<char *>(m_keyPem.c_str()) : nullptr},
        {tls ? MHD_OPTION_HTTPS_MEM_CERT : MHD_OPTION_END, 0, tls ? const_cast<char *>(m_certPem.c_str()) : nullptr},
        {MHD_OPTION_END, 0, nullptr},
    };
    m_watch = std::make_unique<CRcmConnectionWatch>(options.name, options.connectionLimit, options.requestTimeoutMs,
                                                    options.tick);
    errno = 0;
    m_daemon = MHD_start_daemon(flags, 0, nullptr, nullptr,
                                &stDaemonCallbacks::OnAccess, this,
                                MHD_OPTION_ARRAY, items,
                                // Not in the array: the library's array form does not pass this one on.
                                MHD_OPTION_NOTIFY_CONNECTION, &stDaemonCallbacks::OnConnection, this,
                                MHD_OPTION_END);
    if (!m_daemon) {
        const int32_t error = errno != 0 ? -errno : -EINVAL;
        m_listen.Reset();
        m_watch.reset();
        return error;
    }
    m_watch->Start();
    return 0;
}

size_t CRcmHttpDaemon::ConnectionCount() const
{
    return m_watch ? m_watch->Count() : 0;
}

void CRcmHttpDaemon::Stop(const stHttpResponse &busy)
{
    if (!m_daemon)
        return;
    std::set<std::shared_ptr<CRcmPendingReply>> pending;
    {
        std::lock_guard lock(m_mutex);
        pending = m_pending;
    }
    for (const auto &reply : pending)
        reply->Complete(busy);
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, kBusyReplyWait, [this] { return m_pending.empty(); });
        for (const auto &reply : m_pending) {
            std::lock_guard replyLock(reply->m_mutex);
            reply->m_closed = true;
        }
    }
    MHD_quiesce_daemon(m_daemon);
    MHD_stop_daemon(m_daemon);
    m_daemon = nullptr;
    m_watch->Stop(); // every connection has been reported closed
    m_listen.Reset();
    std::lock_guard lock(m_mutex);
    m_pending.clear();
}

bool CRcmHttpDaemon::Access(MHD_Connection *connection, stContext &context, const char *method,
                            const char *uploadData, size_t *uploadDataSize)
{
    if (context.pending) { // resumed: the deferred reply is there
        if (context.replied)
            return true;
        context.replied = true;
        stHttpResponse response;
        {
            std::lock_guard lock(context.pending->m_mutex);
            response = context.pending->m_response;
        }
        // Forgotten once sent (OnCompleted), so that a stop waits for the bytes to go out.
        return Queue(connection, response);
    }
    if (!context.started) {
        context.started = true;
        context.request.method = method ? method : "";
        context.request.rawUri = context.uri;
        context.request.bodyAnnounced = HasBody(connection);
        FillPeer(connection, context.request);
        if (!AnnouncesTooLongBody(connection))
            return true;
        context.request.bodyTooLong = true;
        context.request.bodyDropped = true;
        return Answer(connection, context);
    }
    if (*uploadDataSize > 0) {
        const size_t size = *uploadDataSize;
        *uploadDataSize = 0;
        if (context.answered)
            return true; // the rest of an oversized body is dropped
        std::string &body = context.request.body;
        const size_t room = RCM_HTTP_BODY_KEEP + 1 - std::min(body.size(), RCM_HTTP_BODY_KEEP + 1);
        body.append(uploadData, std::min(size, room));
        context.received += size;
        if (body.size() > RCM_HTTP_BODY_KEEP) {
            body.resize(RCM_HTTP_BODY_KEEP);
            context.request.bodyTooLong = true;
        }
        // An oversized body is read and dropped so that the reply reaches the client.
        return context.received <= kMaxDrainedBody;
    }
    if (context.answered)
        return true;
    return Answer(connection, context);
}

bool CRcmHttpDaemon::Answer(MHD_Connection *connection, stContext &context)
{
    context.answered = true;
    m_watch->RequestArrived(connection); // the whole request is in: no deadline while it is served
    stAnswer answer = m_handler(context.request);
    if (answer.pending && context.request.bodyDropped) {
        // Nothing can be queued once the body starts to arrive, so such a request is not held.
        answer.pending->Complete(stHttpResponse{500, std::string()});
        return Queue(connection, stHttpResponse{500, "Internal Error"});
    }
    if (!answer.pending)
        return Queue(connection, answer.response);
    {
        std::lock_guard lock(m_mutex);
        m_pending.insert(answer.pending);
    }
    context.pending = answer.pending;
    std::lock_guard lock(answer.pending->m_mutex);
    answer.pending->m_connection = connection;
    answer.pending->m_daemon = this;
    MHD_suspend_connection(connection);
    if (answer.pending->m_completed) // completed before the connection was parked
        MHD_resume_connection(connection);
    return true;
}

bool CRcmHttpDaemon::Queue(MHD_Connection *connection, const stHttpResponse &response)
{
    MHD_Response *reply = MHD_create_response_from_buffer(response.body.size(), const_cast<char *>(response.body.data()),
                                                          MHD_RESPMEM_MUST_COPY);
    if (!reply)
        return false;
    MHD_add_response_header(reply, MHD_HTTP_HEADER_CONTENT_TYPE, "text/html");
    const MHD_Result result = MHD_queue_response(connection, static_cast<unsigned int>(response.status), reply);
    MHD_destroy_response(reply);
    return result == MHD_YES;
}

void CRcmHttpDaemon::FillPeer(MHD_Connection *connection, stHttpRequest &request) const
{
    const MHD_ConnectionInfo *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (!info || !info->client_addr)
        return;
    char text[INET6_ADDRSTRLEN] = {};
    const sockaddr *address = info->client_addr;
    if (address->sa_family == AF_INET) {
        const auto *v4 = reinterpret_cast<const sockaddr_in *>(address);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof(text));
        request.peerFamily = 2;
        request.peerPort = ntohs(v4->sin_port);
    } else if (address->sa_family == AF_INET6) {
        const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(address);
        request.peerPort = ntohs(v6->sin6_port);
        // An IPv4 client of the dual-stack socket is the same client as over IPv4.
        if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
            inet_ntop(AF_INET, &v6->sin6_addr.s6_addr[12], text, sizeof(text));
            request.peerFamily = 2;
        } else {
            inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof(text));
            request.peerFamily = 23;
        }
    }
    request.peerAddress = text;
}

void CRcmHttpDaemon::Forget(CRcmPendingReply *pending)
{
    std::lock_guard lock(m_mutex);
    for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
        if (it->get() == pending) {
            m_pending.erase(it);
            break;
        }
    }
    m_changed.notify_all();
}
