#include "rcm/TYXCtrl_Web.h"

#include "core/TYXUtils.h"
#include "core/TextCompare.h"
#include "core/debuglog.h"
#include "platform/OpenFileLimit.h"
#include "rcm/RcmReply.h"
#include "rcm/RcmTables.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fstream>
#include <sstream>

namespace {

constexpr const char *kApiRoot = "TYXRCMAPI";
constexpr int32_t kNotOurPath = -404;
constexpr uint32_t kThreadStopBudgetMs = 10000;
// Descriptors the rest of the program may hold beside the servers' connections: files, sources,
// outputs, devices.
constexpr uint64_t kOtherDescriptors = 1024;
constexpr uint32_t kFewestConnections = 64;

bool SameNoCase(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldAsciiCase(static_cast<unsigned char>(a[i])) != FoldAsciiCase(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

const std::wstring *FindKey(const RcmParamMap &pairs, const wchar_t *key)
{
    const auto found = pairs.find(key);
    return found == pairs.end() ? nullptr : &found->second;
}

// Leading decimal digits; anything else gives 0.
uint32_t SerialNumberOf(const std::wstring &text)
{
    uint64_t value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9')
            break;
        value = value * 10 + static_cast<uint64_t>(c - L'0');
        if (value > 0xFFFFFFFFull)
            return 0;
    }
    return static_cast<uint32_t>(value);
}

bool ReadWholeFile(const std::wstring &path, std::string &out)
{
    std::ifstream file(WStringToString(path), std::ios::binary);
    if (!file)
        return false;
    std::ostringstream text;
    text << file.rdbuf();
    out = text.str();
    return !out.empty();
}

CRcmHttpDaemon::stAnswer Now(const stHttpResponse &response)
{
    return CRcmHttpDaemon::stAnswer{response, nullptr};
}

CRcmHttpDaemon::stAnswer Error(int32_t code, uint32_t sn = 0, const std::string &extra = std::string())
{
    return Now(MakeRcmError(code, sn, extra));
}

} // namespace

struct CRCMWebWin::stCheckedRequest
{
    int32_t verb = 0;
    std::vector<std::string> segments;
    std::string category;
    std::string command;
    RcmParamMap query;
    uint32_t sn = 0;
    std::wstring sessionId;
    bool wait = false;
    RcmParamMap body;
};

CRCMWebWin::CRCMWebWin(RcmCommandExecutor executor, TickSource tick)
    : m_notifications(std::make_shared<CRcmNotificationList>(tick)), m_sessions(tick),
      m_query(RCM_CATEGORY_QUERY, executor, m_notifications),
      m_control(RCM_CATEGORY_CONTROL, executor, m_notifications),
      m_config(RCM_CATEGORY_CONFIG, executor, m_notifications),
      m_http([this](const stHttpRequest &request) { return OnRequest(request); }),
      m_https([this](const stHttpRequest &request) { return OnRequest(request); }), m_productName("TYXService"),
      m_vendorName("Kestro")
{
    TYX_LOG(6, L"[RCM]Http server initialized.");
    int32_t created = 0;
    for (CRcmCommandProcessor *processor : {&m_query, &m_control, &m_config}) {
        if (processor->Create() == 0)
            ++created;
        else
            TYX_LOG(3, L"[RCM-WEB] %hs Thread creating failed with lasterror=%d!", processor->ThreadName(), errno);
    }
    TYX_LOG(6, L"[RCM]Requests processing threads(%d) resumed.", created);
}

CRCMWebWin::~CRCMWebWin()
{
    Close();
    TYX_LOG(6, L"[RCM]RCM-Web destructed.");
}

int32_t CRCMWebWin::SetRcmServerIdentity(const std::string &productName, const std::string &model,
                                         const std::string &serial, const std::string &vendor)
{
    std::lock_guard lock(m_mutex);
    int32_t count = 0;
    for (auto [text, target] : {std::pair{&productName, &m_productName}, std::pair{&model, &m_productModel},
                                std::pair{&serial, &m_productSerial}, std::pair{&vendor, &m_vendorName}}) {
        if (!text->empty()) {
            *target = *text;
            ++count;
        }
    }
    return count;
}

void CRCMWebWin::SetUsers(const RcmUserMap &users)
{
    m_sessions.SetUsers(users);
}

void CRCMWebWin::SetSessionExpiryMs(uint32_t expiryMs)
{
    m_sessions.SetExpiryMs(expiryMs);
}

void CRCMWebWin::SetNotificationExpirySeconds(uint32_t seconds)
{
    m_notifications->SetExpirySeconds(seconds);
}

void CRCMWebWin::SetSendAckBeforeCmdFinish(bool sendAck)
{
    std::lock_guard lock(m_mutex);
    m_sendAckBeforeCmdFinish = sendAck;
}

void CRCMWebWin::SetConnectionLimits(uint32_t maxConnections, uint32_t requestTimeoutSeconds, TickSource tick)
{
    std::lock_guard lock(m_mutex);
    m_maxConnections = std::max(maxConnections, kFewestConnections);
    m_requestTimeoutSeconds = requestTimeoutSeconds;
    m_connectionTick = std::move(tick);
}

int32_t CRCMWebWin::SetHttpsCredentials(const std::wstring &certFile, const std::wstring &keyFile)
{
    std::string cert, key;
    if (!ReadWholeFile(certFile, cert) || !ReadWholeFile(keyFile, key)) {
        TYX_LOG(3, L"[RCM]Https certificate(%s) or key(%s) cannot be read.", certFile.c_str(), keyFile.c_str());
        return -1;
    }
    std::lock_guard lock(m_mutex);
    m_certPem = std::move(cert);
    m_keyPem = std::move(key);
    return 0;
}

int32_t CRCMWebWin::StartDaemon(CRcmHttpDaemon &daemon, bool https, uint16_t port)
{
    CRcmHttpDaemon::stOptions options;
    options.port = port;
    options.loopbackOnly = https;
    options.name = https ? "Https" : "Http";
    {
        std::lock_guard lock(m_mutex);
        options.connectionLimit = m_maxConnections;
        options.requestTimeoutMs = m_requestTimeoutSeconds * 1000;
        options.tick = m_connectionTick;
        options.certPem = https ? m_certPem : std::string();
        options.keyPem = https ? m_keyPem : std::string();
    }
    if (https && (options.certPem.empty() || options.keyPem.empty())) {
        TYX_LOG(3, L"[RCM]Https URL adding failed: no certificate and key are configured.");
        return -ENOENT;
    }
    return daemon.Start(options);
}

int32_t CRCMWebWin::ListenRequests(bool httpOn, bool httpsOn, int32_t httpPort, int32_t httpsPort)
{
    if (m_closed)
        return -1;
    if (m_listening || m_httpsListening)
        return 0;
    if (!httpOn && !httpsOn)
        return -2;
    const uint16_t http = static_cast<uint16_t>(httpPort == 0 ? 80 : httpPort);
    const uint16_t https = static_cast<uint16_t>(httpsPort == 0 ? 443 : httpsPort);
    if (httpOn && httpsOn && http == https)
        return -4;
    FitConnectionLimit((httpOn ? 1u : 0u) + (httpsOn ? 1u : 0u));
    int32_t result = 0;
    if (httpOn) {
        const int32_t started = StartDaemon(m_http, false, http);
        if (started == 0) {
            TYX_LOG(6, L"Http URL(%hs://%hs:%d/%hs/) to added successfully.\n", "http", "+", http, kApiRoot);
            m_listening = true;
        } else {
            TYX_LOG(3, L"Http URL adding failed with error(%lu) returned!\n", static_cast<unsigned long>(-started));
            result = started;
        }
    }
    if (httpsOn) {
        const int32_t started = StartDaemon(m_https, true, https);
        if (started == 0) {
            TYX_LOG(6, L"[RCM]Https URL(%hs://%hs:%d/%hs/) to added successfully.", "https", "127.0.0.1", https,
                    kApiRoot);
            m_httpsListening = true;
        } else {
            TYX_LOG(3, L"[RCM]Https URL adding failed with error(%lu) returned!", static_cast<unsigned long>(-started));
            result = started;
        }
    }
    if ((m_listening || m_httpsListening) && !m_threadsResumed) {
        m_query.Resume();
        m_control.Resume();
        m_config.Resume();
        m_threadsResumed = true;
        TYX_LOG(6, L"[RCM]Requests processing threads resumed.");
    }
    return result;
}

// Every connection is a descriptor: the process's limit must hold the servers' places beside what
// the rest of the program opens. The soft limit is raised toward the hard one; what still does not fit
// lowers the servers' limit.
void CRCMWebWin::FitConnectionLimit(uint32_t servers)
{
    std::lock_guard lock(m_mutex);
    const uint64_t wanted = static_cast<uint64_t>(m_maxConnections) * servers + kOtherDescriptors;
    stOpenFileLimit files;
    if (RaiseOpenFileLimit(wanted, files) == 0) {
        if (files.now > files.before)
            TYX_LOG(5, L"[RCM]Open-file limit raised from %llu to %llu for %u connections per server.",
                    static_cast<unsigned long long>(files.before), static_cast<unsigned long long>(files.now),
                    m_maxConnections);
        if (files.now < wanted) {
            const uint64_t room = files.now > kOtherDescriptors ? (files.now - kOtherDescriptors) / servers : 0;
            m_maxConnections = static_cast<uint32_t>(std::max<uint64_t>(room, kFewestConnections));
            TYX_LOG(3, L"[RCM]Connection limit lowered to %u per server: the open-file limit is %llu (hard %llu).",
                    m_maxConnections, static_cast<unsigned long long>(files.now),
                    static_cast<unsigned long long>(files.hard));
        }
    }
    TYX_LOG(5, L"[RCM]Remote control takes at most %u connections per server; a request must arrive within %u s.",
            m_maxConnections, m_requestTimeoutSeconds);
}

void CRCMWebWin::Close()
{
    if (m_closed)
        return;
    m_closed = true;
    m_query.Stop(kThreadStopBudgetMs);
    m_control.Stop(kThreadStopBudgetMs);
    m_config.Stop(kThreadStopBudgetMs);
    const stHttpResponse busy = MakeRcmError(RCM_ERR_BUSY, 0);
    m_http.Stop(busy);
    m_https.Stop(busy);
    m_listening = m_httpsListening = false;
    TYX_LOG(6, L"[RCM]RCM Server module closed.");
}

void CRCMWebWin::PostNotification(const std::string &text)
{
    m_notifications->Post(text);
}

std::string CRCMWebWin::HelloText() const
{
    std::lock_guard lock(m_mutex);
    return "Hello TYX Client!\n'TYXVer'=3.0; \"RCMVer\"=2.0.\nProductName=" + m_productName +
           "; ProductModel=" + m_productModel + "; ProductSN=" + m_productSerial + ".\nVendorName=" + m_vendorName +
           ".\n";
}

int32_t CRCMWebWin::CheckPath(const stHttpRequest &request, stCheckedRequest &checked) const
{
    const std::string raw = request.rawUri.substr(0, request.rawUri.find('?'));
    std::string path;
    if (!PercentDecode(raw, path))
        return RCM_ERR_PATH_FORMAT;
    if (path.size() < 8 || path.size() > 256)
        return RCM_ERR_PATHS_LENGTH;
    const int32_t count = SplitUrlPath(path, checked.segments);
    if (count < 3 || count > static_cast<int32_t>(RCM_MAX_SEGMENTS))
        return RCM_ERR_PATHS_DEPTH;
    // The server owns its port, so paths outside the API are someone else's mistake.
    if (!SameNoCase(checked.segments[0], kApiRoot))
        return kNotOurPath;
    checked.category = checked.segments[1];
    if (!RcmCategoryBitTable().count(checked.category))
        return RCM_ERR_API_TYPE;
    if (RcmCategoryVerbTable().at(checked.category) != checked.verb)
        return RCM_ERR_API_TYPE_VERB;
    checked.command = checked.segments.back();
    const auto category = RcmCommandCategoryTable().find(checked.command);
    if (category == RcmCommandCategoryTable().end())
        return RCM_ERR_COMMAND_NAME;
    if (!SameNoCase(category->second, checked.category))
        return RCM_ERR_COMMAND_API_TYPE;
    return 0;
}

int32_t CRCMWebWin::CheckQuery(const stHttpRequest &request, stCheckedRequest &checked) const
{
    const size_t mark = request.rawUri.find('?');
    const std::string query = mark == std::string::npos ? std::string() : request.rawUri.substr(mark);
    if (query.size() < 4 || query.size() > 256)
        return RCM_ERR_QUERY_LENGTH;
    const int32_t pairs = ParseQueryString(query, checked.query);
    if (pairs < 0)
        return RcmCodeOfParserError(pairs);
    if (pairs == 0)
        return RCM_ERR_KEY_MISSED;
    const std::wstring *sn = FindKey(checked.query, L"CMDSN");
    if (!sn)
        return RCM_ERR_NO_CMDSN;
    checked.sn = SerialNumberOf(*sn);
    const std::wstring *session = FindKey(checked.query, L"SESSIONID");
    if (!session && !SameNoCase(checked.command, "LogIn"))
        return RCM_ERR_NO_SESSIONID;
    if (session)
        checked.sessionId = *session;
    const std::wstring *wait = FindKey(checked.query, L"WaitResult");
    checked.wait = wait && EqualsNoCase(*wait, L"Yes");
    return 0;
}

int32_t CRCMWebWin::CheckBody(const stHttpRequest &request, stCheckedRequest &checked) const
{
    if (!CommandNeedsBody(checked.command))
        return 0;
    if (request.bodyTooLong)
        return RCM_ERR_PARAMS_LENGTH;
    if (request.body.empty()) {
        if (!request.bodyAnnounced)
            return RCM_ERR_PARAM_MISSED;
        TYX_LOG(3, L"[RCM-Web] Request-Dispatch-Thread Request entity receiving failed with error=%d!.", 0);
        return RCM_ERR_PARAMS_DATA;
    }
    if (request.body.find('\0') != std::string::npos)
        return RCM_ERR_PARAMS_FORMAT;
    if (request.body.size() < 3 || request.body.size() > 2040)
        return RCM_ERR_PARAMS_LENGTH;
    return 0;
}

CRcmHttpDaemon::stAnswer CRCMWebWin::OnRequest(const stHttpRequest &request)
{
    stCheckedRequest checked;
    checked.verb = RcmVerbFromMethod(request.method);
    if (checked.verb == 0) {
        TYX_LOG(5, L"[RCM-Web] Request-Dispatch-Thread Unsupported http verb received! rejected it.");
        return Error(RCM_ERR_VERB);
    }
    if (const int32_t code = CheckPath(request, checked); code != 0)
        return code == kNotOurPath ? Now(stHttpResponse{404, "Not Found"}) : Error(code);
    if (checked.command == "HelloTYX")
        return Now(MakeRcmResponse(200, HelloText(), 0));
    if (const int32_t code = CheckQuery(request, checked); code != 0)
        return Error(code, code == RCM_ERR_NO_SESSIONID ? checked.sn : 0);
    // A body too long to be read is refused whatever the command: the request is answered before
    // the body arrives.
    if (request.bodyDropped)
        return Error(RCM_ERR_PARAMS_LENGTH, checked.sn);
    if (const int32_t code = CheckBody(request, checked); code != 0)
        return Error(code, checked.sn);
    if (CommandNeedsBody(checked.command)) {
        const int32_t pairs = ParseRequestBody(request.body, checked.body);
        if (pairs < 0)
            return Error(RcmCodeOfParserError(pairs));
        if (pairs == 0)
            return Error(RCM_ERR_PARAM_MISSED);
    }
    if (checked.command == "LogIn")
        return LogIn(request, checked);
    return OnSessionCommand(request, checked);
}

CRcmHttpDaemon::stAnswer CRCMWebWin::LogIn(const stHttpRequest &request, const stCheckedRequest &checked)
{
    const std::wstring *user = FindKey(checked.body, L"RUNAME");
    const std::wstring *password = FindKey(checked.body, L"RLPWD");
    if (!user || !password)
        return Error(RCM_ERR_PARAM_MISSED, checked.sn);
    const uint32_t rights = m_sessions.CheckRcmUser(*user, *password);
    if (rights == 0)
        return Error(RCM_ERR_LOGIN_FAILED, checked.sn);
    const std::wstring id =
        m_sessions.LogIn(*user, *password, StringToWString(request.peerAddress), request.peerPort, rights);
    return Now(MakeRcmResponse(200, "User Logged in successfully.", checked.sn,
                               "RUNAME = '" + WStringToString(*user) + "'& SESSIONID='" + WStringToString(id) +
                                   "'.\n"));
}

CRcmHttpDaemon::stAnswer CRCMWebWin::OnSessionCommand(const stHttpRequest &request, const stCheckedRequest &checked)
{
    const auto session = m_sessions.Touch(checked.sessionId);
    if (!session)
        return Error(RCM_ERR_LOGIN_FIRST, checked.sn, "Any commands willbe rejected before logged in.\r\n");
    if (!EqualsNoCase(session->PeerAddress, StringToWString(request.peerAddress)))
        return Error(RCM_ERR_SESSION_CLIENT, checked.sn);
    if ((session->Rights & RcmCategoryRightTable().at(checked.category)) == 0)
        return Error(RCM_ERR_PRIVILEGE, checked.sn);
    if (checked.command == "Heartbeating")
        return Now(MakeRcmResponse(200, "Heartbeating Ack.\n", checked.sn));
    if (checked.command == "LogOut") {
        const std::wstring *user = FindKey(checked.body, L"RUNAME");
        const std::wstring *password = FindKey(checked.body, L"RLPWD");
        if (!user || !password)
            return Error(RCM_ERR_PARAM_MISSED, checked.sn);
        if (!EqualsNoCase(*user, session->UserName) || *password != session->Password)
            return Error(RCM_ERR_LOGOUT_FAILED, checked.sn);
        m_sessions.Remove(checked.sessionId);
        return Now(MakeRcmResponse(200, "logged out successfully.\n", checked.sn));
    }
    return QueueCommand(checked, *session);
}

CRcmHttpDaemon::stAnswer CRCMWebWin::QueueCommand(const stCheckedRequest &checked, const stRcmSession &session)
{
    stRcmRequest record;
    record.ReceiveTime = static_cast<int64_t>(std::time(nullptr));
    record.QueueTime = record.ReceiveTime;
    record.SessionId = checked.sessionId;
    record.CommandSn = checked.sn;
    record.UserName = session.UserName;
    record.CommandName = checked.command;
    record.Params = checked.body;
    record.WaitResult = checked.wait;
    const uint32_t category = RcmCategoryBitTable().at(checked.category);
    bool sendAck;
    {
        std::lock_guard lock(m_mutex);
        sendAck = m_sendAckBeforeCmdFinish;
    }
    CRcmCommandProcessor &processor =
        category == RCM_CATEGORY_QUERY ? m_query : (category == RCM_CATEGORY_CONTROL ? m_control : m_config);
    // Queries are read-only and quick: their answer is always the result.
    const bool acceptNow = category != RCM_CATEGORY_QUERY && (!checked.wait || sendAck);
    if (acceptNow) {
        processor.Push(std::move(record));
        return Now(MakeRcmResponse(checked.wait ? 202 : 200, "RCM command accepted.\n", checked.sn));
    }
    CRcmHttpDaemon::stAnswer answer;
    answer.pending = std::make_shared<CRcmPendingReply>();
    record.Reply = answer.pending;
    processor.Push(std::move(record));
    return answer;
}
