#pragma once

#include "core/RcmSettings.h"
#include "rcm/RcmCommandProcessor.h"
#include "rcm/RcmHttpDaemon.h"
#include "rcm/RcmNotificationList.h"
#include "rcm/RcmSessionTable.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The remote-control server: HTTP on every address and HTTPS on 127.0.0.1, both under
// "/TYXRCMAPI/". The request threads of the two daemons check each request against the protocol,
// answer GENERAL and IDENTIFY themselves and queue QUERY, CONTROL and CONFIG commands to one thread
// per category, which runs them through the executor. One object per process, made, started and
// closed by the host.
class CRCMWebWin
{
public:
    using TickSource = CRcmSessionTable::TickSource;

    explicit CRCMWebWin(RcmCommandExecutor executor = {}, TickSource tick = {});
    ~CRCMWebWin();
    CRCMWebWin(const CRCMWebWin &) = delete;
    CRCMWebWin &operator=(const CRCMWebWin &) = delete;

    // ---- settings, before ListenRequests ----
    // Each non-empty text replaces its identity text: the number replaced.
    int32_t SetRcmServerIdentity(const std::string &productName, const std::string &model,
                                 const std::string &serial, const std::string &vendor);
    void SetUsers(const RcmUserMap &users);
    void SetSessionExpiryMs(uint32_t expiryMs);
    void SetNotificationExpirySeconds(uint32_t seconds);
    void SetSendAckBeforeCmdFinish(bool sendAck);
    // Connections each server holds at most, and the seconds a connection has to send its whole
    // request (from its opening or the previous answer) before it is closed; tick: the clock of those
    // deadlines (none: the monotonic clock).
    void SetConnectionLimits(uint32_t maxConnections, uint32_t requestTimeoutSeconds, TickSource tick = {});
    // Reads the PEM certificate and key of the HTTPS server: 0, -1 when a file cannot be read.
    int32_t SetHttpsCredentials(const std::wstring &certFile, const std::wstring &keyFile);

    // 0 when every requested server listens (also when already listening), -1 after Close, -2 when
    // neither is on, -4 when both are on with the same port (0 stands for 80 and 443), else the
    // negative errno of a server that could not start (the other one is still tried).
    int32_t ListenRequests(bool httpOn, bool httpsOn, int32_t httpPort, int32_t httpsPort);
    // Stops the category threads, answers waiting clients as busy and closes both servers.
    void Close();

    // Queues a notification text for GetNotify.
    void PostNotification(const std::string &text);
    uint16_t HttpPort() const { return m_http.Port(); }
    uint16_t HttpsPort() const { return m_https.Port(); }
    size_t SessionCount() const { return m_sessions.Count(); }
    size_t HttpConnectionCount() const { return m_http.ConnectionCount(); }

private:
    struct stCheckedRequest;
    CRcmHttpDaemon::stAnswer OnRequest(const stHttpRequest &request);
    int32_t CheckPath(const stHttpRequest &request, stCheckedRequest &checked) const;
    int32_t CheckQuery(const stHttpRequest &request, stCheckedRequest &checked) const;
    int32_t CheckBody(const stHttpRequest &request, stCheckedRequest &checked) const;
    CRcmHttpDaemon::stAnswer LogIn(const stHttpRequest &request, const stCheckedRequest &checked);
    CRcmHttpDaemon::stAnswer OnSessionCommand(const stHttpRequest &request, const stCheckedRequest &checked);
    CRcmHttpDaemon::stAnswer QueueCommand(const stCheckedRequest &checked, const stRcmSession &session);
    std::string HelloText() const;
    int32_t StartDaemon(CRcmHttpDaemon &daemon, bool https, uint16_t port);
    void FitConnectionLimit(uint32_t servers);

    std::shared_ptr<CRcmNotificationList> m_notifications;
    CRcmSessionTable m_sessions;
    CRcmCommandProcessor m_query;
    CRcmCommandProcessor m_control;
    CRcmCommandProcessor m_config;
    CRcmHttpDaemon m_http;
    CRcmHttpDaemon m_https;
    mutable std::mutex m_mutex; // identity, settings and the state flags
    std::string m_productName;
    std::string m_productModel;
    std::string m_productSerial;
    std::string m_vendorName;
    std::string m_certPem;
    std::string m_keyPem;
    bool m_sendAckBeforeCmdFinish = true;
    uint32_t m_maxConnections = RCM_DEFAULT_MAX_CONNECTIONS;
    uint32_t m_requestTimeoutSeconds = RCM_DEFAULT_REQUEST_TIMEOUT;
    TickSource m_connectionTick;
    bool m_listening = false;
    bool m_httpsListening = false;
    bool m_closed = false;
    bool m_threadsResumed = false;
};
