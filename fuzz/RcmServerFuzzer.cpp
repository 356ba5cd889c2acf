// Whole requests, as bytes on a real connection, against the running server: the HTTP library, the
// check chain, the sessions and the category threads. "$SID" in an input stands for the id of a
// session that is logged in, so inputs reach the checks behind the session as well.
#include "platform/TcpListenSocket.h"
#include "rcm/RcmTables.h"
#include "rcm/TYXCtrl_Web.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace {

struct stServer
{
    std::unique_ptr<CRCMWebWin> server;
    uint16_t port = 0;
};

// Sends the bytes, ends the sending side and reads until the server closes or goes quiet.
void Exchange(uint16_t port, const std::string &bytes)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0) {
        (void)send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        shutdown(fd, SHUT_WR);
        char buffer[4096];
        pollfd wait{fd, POLLIN, 0};
        while (poll(&wait, 1, 500) > 0 && recv(fd, buffer, sizeof(buffer), 0) > 0) {
        }
    }
    close(fd);
}

stServer &Server()
{
    static stServer instance = [] {
        // The protocol tables are made first so that they outlive this object at exit, when its
        // close still sends replies.
        RcmErrorTextTable();
        RcmErrorHttpStatusTable();
        HttpReasonPhraseTable();
        RcmCommandCodeTable();
        RcmCommandCategoryTable();
        RcmCommandParamTable();
        RcmCategoryBitTable();
        RcmCategoryVerbTable();
        RcmCategoryRightTable();
        RcmVerbNameTable();
        ErrorToRcmCodeTable();
        stServer made;
        made.server = std::make_unique<CRCMWebWin>([](uint16_t, const stRCCommand &, std::vector<uint8_t> &reply) {
            reply.assign(8, 1); // too short for a status record: the reply must still be sound
            return 0;
        });
        RcmUserMap users;
        users[L"fz"] = stRcmUser{L"fz", L"pw", 1, 31, L""};
        made.server->SetUsers(users);
        made.server->SetSendAckBeforeCmdFinish(false);
        CSocketFd probe;
        OpenTcpListenSocket(0, true, probe);
        made.port = LocalPortOf(probe.Fd());
        probe.Reset();
        made.server->ListenRequests(true, false, made.port, 0);
        Exchange(made.port, "POST /TYXRCMAPI/IDENTIFY/LogIn?CMDSN=1 HTTP/1.1\r\nHost: f\r\nContent-Length: 18\r\n\r\n"
                            "RUNAME=fz&RLPWD=pw");
        return made;
    }();
    return instance;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    stServer &server = Server();
    std::string bytes(reinterpret_cast<const char *>(data), size);
    for (size_t at = bytes.find("$SID"); at != std::string::npos; at = bytes.find("$SID", at))
        bytes.replace(at, 4, "667a$00000001");
    Exchange(server.port, bytes);
    return 0;
}
