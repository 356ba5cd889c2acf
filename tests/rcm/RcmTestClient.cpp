#include "RcmTestClient.h"

#include "platform/TcpListenSocket.h"

#include <cctype>

#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

struct CRcmTestClient::stTls
{
    gnutls_session_t session = nullptr;
    gnutls_certificate_credentials_t credentials = nullptr;
    ~stTls()
    {
        if (session)
            gnutls_deinit(session);
        if (credentials)
            gnutls_certificate_free_credentials(credentials);
    }
};

CRcmTestClient::CRcmTestClient(uint16_t port, const std::string &localAddress, bool tls)
    : m_port(port), m_localAddress(localAddress), m_useTls(tls)
{
    Connect();
}

void CRcmTestClient::Connect()
{
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return;
    if (!m_localAddress.empty()) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, m_localAddress.c_str(), &local.sin_addr);
        bind(m_fd, reinterpret_cast<sockaddr *>(&local), sizeof(local));
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(m_port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        close(m_fd);
        m_fd = -1;
        return;
    }
    if (!m_useTls)
        return;
    m_tls = std::make_unique<stTls>();
    gnutls_certificate_allocate_credentials(&m_tls->credentials);
    gnutls_init(&m_tls->session, GNUTLS_CLIENT);
    gnutls_set_default_priority(m_tls->session);
    // The test's own certificate is not verified: the test checks the transport, not the trust.
    gnutls_credentials_set(m_tls->session, GNUTLS_CRD_CERTIFICATE, m_tls->credentials);
    gnutls_transport_set_int(m_tls->session, m_fd);
    gnutls_handshake_set_timeout(m_tls->session, 10000);
    int result;
    do {
        result = gnutls_handshake(m_tls->session);
    } while (result < 0 && gnutls_error_is_fatal(result) == 0);
    if (result < 0) {
        m_tls.reset();
        close(m_fd);
        m_fd = -1;
    }
}

void CRcmTestClient::Disconnect()
{
    if (m_tls && m_fd >= 0)
        gnutls_bye(m_tls->session, GNUTLS_SHUT_WR);
    m_tls.reset();
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
    m_buffer.clear();
    m_peerClosed = false;
    m_used = false;
}

CRcmTestClient::~CRcmTestClient()
{
    Disconnect();
}

// The server closes a connection that stays idle too long: a reader sees the end of the stream.
bool CRcmTestClient::ClosedByServer()
{
    if (m_fd < 0)
        return false;
    pollfd wait{m_fd, POLLIN, 0};
    char byte;
    return poll(&wait, 1, 0) == 1 && ::recv(m_fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

bool CRcmTestClient::IsConnected() const
{
    return m_fd >= 0;
}

bool CRcmTestClient::Send(const char *data, size_t size)
{
    while (size > 0) {
        const long sent = m_tls ? gnutls_record_send(m_tls->session, data, size) : ::send(m_fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

long CRcmTestClient::Receive(char *data, size_t size, int timeoutMs)
{
    if (m_tls && gnutls_record_check_pending(m_tls->session) > 0)
        return gnutls_record_recv(m_tls->session, data, size);
    pollfd wait{m_fd, POLLIN, 0};
    if (poll(&wait, 1, timeoutMs) <= 0)
        return -1;
    const long got = m_tls ? gnutls_record_recv(m_tls->session, data, size) : ::recv(m_fd, data, size, 0);
    m_peerClosed = got == 0 || (got < 0 && !m_tls && errno == ECONNRESET) ||
                   (got < 0 && m_tls && (got == GNUTLS_E_PREMATURE_TERMINATION || got == GNUTLS_E_PUSH_ERROR ||
                                         got == GNUTLS_E_PULL_ERROR));
    return got;
}

bool CRcmTestClient::SendRaw(const std::string &bytes)
{
    return m_fd >= 0 && Send(bytes.data(), bytes.size());
}

std::string CRcmTestClient::LogIn(const std::string &user, const std::string &password)
{
    const stRawResponse reply =
        Request("POST", "/TYXRCMAPI/IDENTIFY/LogIn?CMDSN=1", "RUNAME=" + user + "&RLPWD=" + password);
    const size_t at = reply.body.find("SESSIONID='");
    if (reply.status != 200 || at == std::string::npos)
        return {};
    const size_t start = at + 11;
    return reply.body.substr(start, reply.body.find('\'', start) - start);
}

stRawResponse CRcmTestClient::Request(const std::string &method, const std::string &target, const std::string &body,
                                      const std::string &extraHeaders)
{
    std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders;
    if (!body.empty() || method == "POST" || method == "PUT")
        request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    request += "\r\n" + body;
    if (ClosedByServer()) {
        Disconnect();
        Connect();
    }
    const bool reused = m_used;
    m_used = true;
    const bool sent = SendRaw(request);
    stRawResponse response = sent ? ReadResponse() : stRawResponse{};
    // Closed while the request was on its way: the server never read it, so it goes again.
    if (response.status == 0 && reused && (!sent || m_peerClosed) && m_buffer.empty()) {
        Disconnect();
        Connect();
        response = SendRaw(request) ? ReadResponse() : stRawResponse{};
    }
    return response;
}

stRawResponse CRcmTestClient::ReadResponse(int timeoutMs)
{
    stRawResponse response;
    char chunk[4096];
    size_t headerEnd;
    while ((headerEnd = m_buffer.find("\r\n\r\n")) == std::string::npos) {
        const long got = Receive(chunk, sizeof(chunk), timeoutMs);
        if (got <= 0)
            return response;
        m_buffer.append(chunk, static_cast<size_t>(got));
    }
    const std::string head = m_buffer.substr(0, headerEnd);
    m_buffer.erase(0, headerEnd + 4);
    response.status = std::atoi(head.substr(head.find(' ') + 1, 3).c_str());
    const std::string statusLine = head.substr(0, head.find("\r\n"));
    const size_t reasonAt = statusLine.find(' ', statusLine.find(' ') + 1);
    response.reason = reasonAt == std::string::npos ? std::string() : statusLine.substr(reasonAt + 1);
    size_t line = head.find("\r\n");
    while (line != std::string::npos) {
        const size_t next = head.find("\r\n", line + 2);
        const std::string field = head.substr(line + 2, next == std::string::npos ? std::string::npos : next - line - 2);
        const size_t colon = field.find(':');
        if (colon != std::string::npos) {
            std::string name = field.substr(0, colon);
            for (char &c : name)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            response.headers[name] = field.substr(field.find_first_not_of(' ', colon + 1));
        }
        line = next;
    }
    const size_t length = response.headers.count("content-length")
                              ? std::strtoul(response.headers["content-length"].c_str(), nullptr, 10)
                              : 0;
    while (m_buffer.size() < length) {
        const long got = Receive(chunk, sizeof(chunk), timeoutMs);
        if (got <= 0)
            break;
        m_buffer.append(chunk, static_cast<size_t>(got));
    }
    response.body = m_buffer.substr(0, length);
    m_buffer.erase(0, std::min(length, m_buffer.size()));
    return response;
}

uint16_t FreeTcpPort()
{
    CSocketFd socket;
    if (OpenTcpListenSocket(0, false, socket) != 0)
        return 0;
    return LocalPortOf(socket.Fd());
}

std::string UrlEncoded(const std::string &text)
{
    static const char *hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (isalnum(c) || c == '-' || c == '.' || c == '_') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}
