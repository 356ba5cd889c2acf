#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

// A plain HTTP/1.1 client over a raw socket (or GnuTLS over it), written for the tests so that the
// server meets bytes it did not produce itself. One keep-alive connection per object; as any HTTP
// client, Request opens a new one when the server has closed an idle connection.
struct stRawResponse
{
    int status = 0; // 0: no reply (connection closed or timed out)
    std::string reason; // the status line's reason phrase
    std::map<std::string, std::string> headers;
    std::string body;
};

class CRcmTestClient
{
public:
    // localAddress: bind the client end first (another loopback address, for instance).
    CRcmTestClient(uint16_t port, const std::string &localAddress = std::string(), bool tls = false);
    ~CRcmTestClient();
    CRcmTestClient(const CRcmTestClient &) = delete;
    CRcmTestClient &operator=(const CRcmTestClient &) = delete;

    bool IsConnected() const;
    // Sends the request and reads the reply; on a connection the server closed while it was idle
    // (no byte of a reply came back), once more on a new one.
    stRawResponse Request(const std::string &method, const std::string &target, const std::string &body = "",
                          const std::string &extraHeaders = "");
    // Logs in with CMDSN 1: the session id, empty when the log-in is refused.
    std::string LogIn(const std::string &user, const std::string &password = "pw");
    bool SendRaw(const std::string &bytes);
    stRawResponse ReadResponse(int timeoutMs = 10000);

private:
    struct stTls;
    void Connect();
    void Disconnect();
    bool ClosedByServer();
    bool Send(const char *data, size_t size);
    long Receive(char *data, size_t size, int timeoutMs);

    uint16_t m_port;
    std::string m_localAddress;
    bool m_useTls;
    bool m_peerClosed = false; // the last receive met the end of the stream
    bool m_used = false;       // a request went over the connection before
    int m_fd = -1;
    std::unique_ptr<stTls> m_tls;
    std::string m_buffer;
};

// A port that nothing listens on at the moment.
uint16_t FreeTcpPort();
// The text percent-encoded for a query or a body (letters, digits, "-", "." and "_" stay).
std::string UrlEncoded(const std::string &text);
