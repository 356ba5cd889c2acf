#include "RcmTestClient.h"

#include "platform/TcpListenSocket.h"
#include "rcm/RcmTables.h"
#include "rcm/TYXCtrl_Web.h"
#include "rcm/TYXStatusInfo.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <latch>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace {

// What the executor saw, and what it answers.
struct stExecutorLog
{
    std::mutex mutex;
    std::vector<std::pair<uint16_t, stRCCommand>> calls;
    std::atomic<int32_t> result{0};
    std::function<void(uint16_t)> hook;

    RcmCommandExecutor Executor()
    {
        return [this](uint16_t code, const stRCCommand &command, std::vector<uint8_t> &reply) {
            {
                std::lock_guard lock(mutex);
                calls.emplace_back(code, command);
            }
            if (hook)
                hook(code);
            if (code == RCM_CMD_GET_TYX_STATUS) {
                stTYXStatusInfo status;
                status.Recording = 1;
                std::strcpy(status.FocusVideo, "cam1");
                reply.resize(sizeof(status));
                std::memcpy(reply.data(), &status, sizeof(status));
            }
            return result.load();
        };
    }
    size_t Count()
    {
        std::lock_guard lock(mutex);
        return calls.size();
    }
};

// A connection that the test opens and then leaves idle or half-sent, without a client object.
CSocketFd OpenRaw(uint16_t port, bool wait = true)
{
    CSocketFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (wait ? 0 : SOCK_NONBLOCK), 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd.Fd(), reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 && errno != EINPROGRESS)
        fd.Reset();
    return fd;
}

bool SendBytes(const CSocketFd &fd, const std::string &bytes)
{
    return send(fd.Fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// The server has closed the connection without a byte of reply (the test never waits longer than
// the bound for it).
bool ClosedWithoutReply(const CSocketFd &fd, int boundMs)
{
    pollfd wait{fd.Fd(), POLLIN, 0};
    if (poll(&wait, 1, boundMs) != 1)
        return false;
    char byte;
    const ssize_t got = recv(fd.Fd(), &byte, 1, MSG_DONTWAIT);
    return got == 0 || (got < 0 && errno == ECONNRESET);
}

bool StillOpen(const CSocketFd &fd)
{
    pollfd wait{fd.Fd(), POLLIN | POLLRDHUP, 0};
    return poll(&wait, 1, 0) == 0;
}

// Many connections opened at once (none waits for the one before), each connected within the bound
// or dropped.
std::vector<CSocketFd> OpenMany(uint16_t port, size_t count, int boundMs)
{
    std::vector<CSocketFd> opening;
    for (size_t i = 0; i < count; ++i) {
        CSocketFd fd = OpenRaw(port, false);
        if (!fd.IsOpen())
            break;
        opening.push_back(std::move(fd));
    }
    std::vector<CSocketFd> connected;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (!opening.empty() && std::chrono::steady_clock::now() < deadline) {
        std::vector<pollfd> waits;
        for (const CSocketFd &fd : opening)
            waits.push_back(pollfd{fd.Fd(), POLLOUT, 0});
        if (poll(waits.data(), waits.size(), 200) <= 0)
            continue;
        std::vector<CSocketFd> still;
        for (size_t i = 0; i < opening.size(); ++i) {
            int error = 0;
            socklen_t length = sizeof(error);
            if (waits[i].revents == 0)
                still.push_back(std::move(opening[i]));
            else if (getsockopt(opening[i].Fd(), SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0)
                connected.push_back(std::move(opening[i]));
        }
        opening = std::move(still);
    }
    return connected;
}

// The descriptors a test needs, raising the soft limit when the hard one allows.
bool HaveDescriptors(rlim_t needed)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_max < needed)
        return false;
    if (limit.rlim_cur >= needed)
        return true;
    limit.rlim_cur = needed;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

class RcmServerTest : public ::testing::Test
{
protected:
    void SetUp() override { Start(true); }

    void Start(bool sendAck)
    {
        m_server = std::make_unique<CRCMWebWin>(m_executor.Executor(), [this] { return m_tick.load(); });
        RcmUserMap users;
        users[L"admin"] = stRcmUser{L"admin", L"pw", 1, 31, L""};
        users[L"viewer"] = stRcmUser{L"viewer", L"pw", 2, 3, L""};
        m_server->SetUsers(users);
        m_server->SetSendAckBeforeCmdFinish(sendAck);
        m_server->SetSessionExpiryMs(600000);
        // The request deadlines run on the test's clock: nothing is closed for taking its time unless
        // a test moves the clock.
        m_server->SetConnectionLimits(RCM_DEFAULT_MAX_CONNECTIONS, kRequestSeconds,
                                      [this] { return m_connectionTick.load(); });
        m_port = FreeTcpPort();
        ASSERT_EQ(m_server->ListenRequests(true, false, m_port, 0), 0);
    }

    std::string LogIn(CRcmTestClient &client, const std::string &user = "admin") { return client.LogIn(user); }

    static constexpr uint32_t kRequestSeconds = 3;
    stExecutorLog m_executor;
    std::atomic<uint64_t> m_tick{1000};
    std::atomic<uint64_t> m_connectionTick{1000};
    std::unique_ptr<CRCMWebWin> m_server;
    uint16_t m_port = 0;
};

TEST_F(RcmServerTest, HelloAndTheChecksBeforeTheSession)
{
    CRcmTestClient client(m_port);
    ASSERT_TRUE(client.IsConnected());
    stRawResponse reply = client.Request("GET", "/TYXRCMAPI/GENERAL/HelloTYX");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body.rfind("Hello TYX Client!\n'TYXVer'=3.0; \"RCMVer\"=2.0.\nProductName=", 0), 0u);
    EXPECT_EQ(reply.body.find("CommandSN"), std::string::npos);
    EXPECT_EQ(reply.headers["content-type"], "text/html");

    const struct
    {
        const char *method;
        const char *target;
        int status;
        const char *text;
    } cases[] = {
        {"DELETE", "/TYXRCMAPI/GENERAL/HelloTYX", 405, "Unsupported Verb"},
        {"POST", "/TYXRCMAPI/GENERAL/HelloTYX", 409, "Api-Type and Verb Mismatched"},
        {"GET", "/TYXRCMAPI/QUERY", 400, "Invalid Paths Depth"},
        {"GET", "/TYXRCMAPI/query/GetTYXStatus?CMDSN=5", 404, "Invalid Api-Type"},
        {"GET", "/TYXRCMAPI/QUERY/NoSuchCommand?CMDSN=5", 404, "Invalid Command-Name"},
        {"GET", "/TYXRCMAPI/QUERY/AddNewOSD?CMDSN=5", 404, "Invalid Command-Name"},
        {"POST", "/TYXRCMAPI/CONTROL/GetTYXStatus?CMDSN=5", 409, "Command-Name and Api-Type Mismatched"},
        {"GET", "/TYXRCMAPI/QUERY/GetTYXStatus", 400, "Invalid Key-Value part Length"},
        {"GET", "/TYXRCMAPI/QUERY/GetTYXStatus?SESSIONID=abc", 400, "Command-SN Missed"},
        {"GET", "/TYXRCMAPI/QUERY/GetTYXStatus?CMDSN=7", 400, "SessionId MissedCommandSN=7"},
        {"GET", "/TYXRCMAPI/QUERY/GetTYXStatus?CMDSN=7&SESSIONID=nobody", 421,
         " Please Log in firstCommandSN=7 & Any commands willbe rejected before logged in.\r\n"},
        {"GET", "/TYXRCMAPI/QUERY/GetTYXStatus?CMDSN=7&XX=\"a", 406, "Invalid Key Value"},
        {"GET", "/TYXRCMAPI/QUERY/GetTYXStatus?CMDSN=7&XX=a%00", 406, "Invalid Key Value"},
        {"GET", "/other/place/entirely", 404, "Not Found"},
    };
    for (const auto &c : cases) {
        reply = client.Request(c.method, c.target);
        EXPECT_EQ(reply.status, c.status) << c.method << " " << c.target;
        EXPECT_EQ(reply.body, c.text) << c.method << " " << c.target;
    }
    EXPECT_EQ(m_executor.Count(), 0u);
}

TEST_F(RcmServerTest, SessionsBindUserAddressAndRights)
{
    CRcmTestClient client(m_port);
    stRawResponse reply = client.Request("POST", "/TYXRCMAPI/IDENTIFY/LogIn?CMDSN=3", "RUNAME=admin&RLPWD=pw");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "User Logged in successfully.CommandSN=3 & RUNAME = 'admin'& SESSIONID='61646d696e$00000001'.\n");
    const std::string second = LogIn(client);
    EXPECT_EQ(second, "61646d696e$00000002");
    EXPECT_EQ(client.Request("POST", "/TYXRCMAPI/IDENTIFY/LogIn?CMDSN=4", "RUNAME=admin&RLPWD=bad").status, 406);
    EXPECT_EQ(client.Request("POST", "/TYXRCMAPI/IDENTIFY/LogIn?CMDSN=4").body, "Required Parameter MissedCommandSN=4");

    // Another port of the same address is the same client; another address is not.
    CRcmTestClient samePlace(m_port);
    reply = samePlace.Request("GET", "/TYXRCMAPI/GENERAL/Heartbeating?CMDSN=9&SESSIONID=" + second);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "Heartbeating Ack.\nCommandSN=9");
    CRcmTestClient elsewhere(m_port, "127.0.0.2");
    ASSERT_TRUE(elsewhere.IsConnected());
    EXPECT_EQ(elsewhere.Request("GET", "/TYXRCMAPI/GENERAL/Heartbeating?CMDSN=9&SESSIONID=" + second).status, 409);

    const std::string viewer = LogIn(client, "viewer");
    reply = client.Request("POST", "/TYXRCMAPI/CONTROL/KOVRestart?CMDSN=10&SESSIONID=" + viewer);
    EXPECT_EQ(reply.status, 403);
    EXPECT_EQ(client.Request("GET", "/TYXRCMAPI/QUERY/GetTYXStatus?CMDSN=11&SESSIONID=" + viewer).status, 200);

    reply = client.Request("POST", "/TYXRCMAPI/IDENTIFY/LogOut?CMDSN=12&SESSIONID=" + second, "RUNAME=admin&RLPWD=x");
    EXPECT_EQ(reply.status, 406);
    EXPECT_EQ(reply.body, "Logging out Failed(Invalid username or password)CommandSN=12");
    reply = client.Request("POST", "/TYXRCMAPI/IDENTIFY/LogOut?CMDSN=13&SESSIONID=" + second, "RUNAME=ADMIN&RLPWD=pw");
    EXPECT_EQ(reply.body, "logged out successfully.\nCommandSN=13");
    EXPECT_EQ(client.Request("GET", "/TYXRCMAPI/GENERAL/Heartbeating?CMDSN=14&SESSIONID=" + second).status, 421);
}

TEST_F(RcmServerTest, UnusedSessionsExpire)
{
    CRcmTestClient client(m_port);
    const std::string id = LogIn(client);
    m_tick += 599000;
    EXPECT_EQ(client.Request("GET", "/TYXRCMAPI/GENERAL/Heartbeating?CMDSN=2&SESSIONID=" + id).status, 200);
    m_tick += 599000; // used since: still alive
    EXPECT_EQ(client.Request("GET", "/TYXRCMAPI/GENERAL/Heartbeating?CMDSN=2&SESSIONID=" + id).status, 200);
    m_tick += 600001;
    EXPECT_EQ(client.Request("GET", "/TYXRCMAPI/GENERAL/Heartbeating?CMDSN=2&SESSIONID=" + id).status, 421);
    EXPECT_EQ(m_server->SessionCount(), 0u);
}

TEST_F(RcmServerTest, AcceptanceAtOnceUnlessTheClientWaits)
{
    CRcmTestClient client(m_port);
    const std::string id = LogIn(client);
    stRawResponse reply = client.Request("POST", "/TYXRCMAPI/CONTROL/KOVShutdown?CMDSN=21&SESSIONID=" + id);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "RCM command accepted.\nCommandSN=21");
    reply = client.Request("POST", "/TYXRCMAPI/CONTROL/KOVShutdown?CMDSN=22&WaitResult=yes&SESSIONID=" + id);
    EXPECT_EQ(reply.status, 202);
    // Queries always answer with their result.
    reply = client.Request("GET", "/TYXRCMAPI/QUERY/GetTYXStatus?CMDSN=23&SESSIONID=" + id);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body.rfind("Recording: On; BCLiving: Off; \r\nMux layout: Unknown; Current Focus Video: cam1;", 0),
              0u);
    EXPECT_NE(reply.body.find("CommandSN=23"), std::string::npos);
    reply = client.Request("GET", "/TYXRCMAPI/QUERY/GetNotify?CMDSN=24&SESSIONID=" + id);
    EXPECT_EQ(reply.body, "NotifyNumer=0;CommandSN=24");
    m_server->PostNotification("MediaWriterStarted=rec;");
    EXPECT_EQ(client.Request("GET", "/TYXRCMAPI/QUERY/GetNotify?CMDSN=25&SESSIONID=" + id).body,
              "NotifyNumer=1;MediaWriterStarted=rec;CommandSN=25");
    EXPECT_EQ(client.Request("GET", "/TYXRCMAPI/QUERY/GetNotify?CMDSN=26&SESSIONID=" + id).body,
              "NotifyNumer=0;CommandSN=26");
    EXPECT_EQ(client.Request("GET", "/TYXRCMAPI/QUERY/GetInputSourceStatus?CMDSN=27&SESSIONID=" + id).status, 500);
}

TEST_F(RcmServerTest, WaitedResultsWhenTheAckWaitsToo)
{
    m_server.reset();
    Start(false);
    CRcmTestClient client(m_port);
    const std::string id = LogIn(client);
    stRawResponse reply = client.Request("POST", "/TYXRCMAPI/CONTROL/KOVRestart?CMDSN=31&WaitResult=Yes&SESSIONID=" + id);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "Command excuted successfully!CommandSN=31");
    m_executor.result = 7; // a new id
    EXPECT_EQ(client.Request("POST", "/TYXRCMAPI/CONTROL/MOXStart?CMDSN=32&WaitResult=Yes&SESSIONID=" + id).status, 200);
    m_executor.result = -16;
    reply = client.Request("POST", "/TYXRCMAPI/CONTROL/MOXStart?CMDSN=33&WaitResult=Yes&SESSIONID=" + id);
    EXPECT_EQ(reply.status, 500);
    EXPECT_EQ(reply.body, "The Command was excuted but failed!CommandSN=33");
    reply = client.Request("GET", "/TYXRCMAPI/QUERY/GetTYXStatus?CMDSN=34&SESSIONID=" + id);
    EXPECT_EQ(reply.status, 500);
    m_executor.result = 0;
    reply = client.Request("PUT", "/TYXRCMAPI/CONFIG/SetTRVKInfo?CMDSN=35&WaitResult=Yes&SESSIONID=" + id);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "CommandSN=35");
    // Parameter failures and commands without a check.
    reply = client.Request("POST", "/TYXRCMAPI/CONTROL/OSDControl?CMDSN=36&WaitResult=Yes&SESSIONID=" + id,
                           "OsdId=0&Action=Start");
    EXPECT_EQ(reply.status, 406);
    EXPECT_EQ(reply.body, "Invalid Parameter ValueCommandSN=36");
    reply = client.Request("POST", "/TYXRCMAPI/CONTROL/BurningControl?CMDSN=37&WaitResult=Yes&SESSIONID=" + id);
    EXPECT_EQ(reply.status, 500);
    EXPECT_EQ(reply.body, "Internal ErrorCommandSN=37");
    reply = client.Request("POST", "/TYXRCMAPI/CONTROL/StartWork?CMDSN=38&WaitResult=Yes&SESSIONID=" + id);
    EXPECT_EQ(reply.status, 200);
}

TEST_F(RcmServerTest, BodiesReachTheExecutorDecodedAndBounded)
{
    CRcmTestClient client(m_port);
    const std::string id = LogIn(client);
    const std::string control = "/TYXRCMAPI/CONTROL/";
    const std::string keys = "?CMDSN=41&SESSIONID=" + id;
    std::promise<void> done;
    m_executor.hook = [&](uint16_t code) {
        if (code == 277)
            done.set_value();
    };
    EXPECT_EQ(client.Request("POST", control + "AddInputVideo" + keys,
                             "VSAlias=cam&InputURL=rtsp://h/live%3Fch%3D1%26sub%3D0\r\nStreamId=2")
                  .status,
              200);
    ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    {
        std::lock_guard lock(m_executor.mutex);
        ASSERT_FALSE(m_executor.calls.empty());
        EXPECT_EQ(m_executor.calls.back().second.Texts[1], "rtsp://h/live?ch=1&sub=0");
    }
    EXPECT_EQ(client.Request("POST", control + "MediaWriterControl" + keys).body, "Required Parameter MissedCommandSN=41");
    EXPECT_EQ(client.Request("POST", control + "MediaWriterControl" + keys, "A=" + std::string(2039, 'v')).body,
              "Invalid Parameters LengthCommandSN=41");
    EXPECT_EQ(client.Request("POST", control + "MediaWriterControl" + keys, std::string("A=b\0c", 5)).body,
              "Invalid Parameters foramtCommandSN=41");
    EXPECT_EQ(client.Request("POST", control + "MediaWriterControl" + keys, "WorkerAlias=x%00").body,
              "Invalid Parameter Value");
    EXPECT_EQ(client.Request("POST", control + "MediaWriterControl" + keys, "WorkerAlias").body,
              "Invalid Parameters foramt");
    // A body over the bound is read and dropped, and answered.
    CRcmTestClient big(m_port);
    ASSERT_TRUE(big.SendRaw("POST " + control + "MediaWriterControl" + keys +
                            " HTTP/1.1\r\nHost: x\r\nContent-Length: 65536\r\n\r\n" + std::string(65536, 'x')));
    const stRawResponse tooLong = big.ReadResponse();
    EXPECT_EQ(tooLong.status, 400);
    EXPECT_EQ(tooLong.body, "Invalid Parameters LengthCommandSN=41");
    EXPECT_EQ(client.Request("GET", "/TYXRCMAPI/GENERAL/HelloTYX").status, 200);
}

// A body too long to be read is answered before it has arrived, and the server goes on serving.
TEST_F(RcmServerTest, ABodyOverAMebibyteIsAnsweredWithTheLengthError)
{
    CRcmTestClient client(m_port);
    const std::string id = LogIn(client);
    const std::string target = "/TYXRCMAPI/CONTROL/MediaWriterControl?CMDSN=42&SESSIONID=" + id;
    CRcmTestClient big(m_port);
    ASSERT_TRUE(big.SendRaw("POST " + target + " HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                            std::to_string(2 * 1024 * 1024) + "\r\n\r\n" + std::string(64 * 1024, 'x')));
    const stRawResponse tooLong = big.ReadResponse();
    EXPECT_EQ(tooLong.status, 400);
    EXPECT_EQ(tooLong.body, "Invalid Parameters LengthCommandSN=42");
    // Even a command that takes no body: a request that large is not taken.
    CRcmTestClient query(m_port);
    ASSERT_TRUE(query.SendRaw("GET /TYXRCMAPI/QUERY/GetTYXStatus?CMDSN=43&SESSIONID=" + id +
                              " HTTP/1.1\r\nHost: x\r\nContent-Length: 5000000\r\n\r\n"));
    EXPECT_EQ(query.ReadResponse().body, "Invalid Parameters LengthCommandSN=43");
    // A body without an announced length is read to its end and dropped.
    CRcmTestClient chunked(m_port);
    std::string chunks;
    for (int i = 0; i < 24; ++i)
        chunks += "10000\r\n" + std::string(0x10000, 'c') + "\r\n";
    ASSERT_TRUE(chunked.SendRaw("POST " + target + " HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n" +
                                chunks + "0\r\n\r\n"));
    EXPECT_EQ(chunked.ReadResponse().body, "Invalid Parameters LengthCommandSN=42");
    EXPECT_EQ(m_executor.Count(), 0u);

    CRcmTestClient next(m_port);
    EXPECT_EQ(next.Request("GET", "/TYXRCMAPI/GENERAL/HelloTYX").status, 200);
    EXPECT_EQ(client.Request("GET", "/TYXRCMAPI/QUERY/GetTYXStatus?CMDSN=44&SESSIONID=" + id).status, 200);
}

// The status line carries the protocol's reason phrase, the one of 421 included.
TEST_F(RcmServerTest, EveryStatusGoesOutWithTheProtocolsReasonPhrase)
{
    CRcmTestClient client(m_port);
    const std::string id = LogIn(client);
    const std::string targets[] = {
        "/TYXRCMAPI/QUERY/GetTYXStatus?CMDSN=7&SESSIONID=nobody",
        "/TYXRCMAPI/QUERY/GetTYXStatus?CMDSN=7&SESSIONID=" + id,
        "/TYXRCMAPI/QUERY/GetTYXStatus?CMDSN=7&XX=%22a",
        "/TYXRCMAPI/QUERY/NoSuchCommand?CMDSN=5",
        "/TYXRCMAPI/QUERY/GetTYXStatus?SESSIONID=abc",
    };
    const int statuses[] = {421, 200, 406, 404, 400};
    for (size_t i = 0; i < std::size(targets); ++i) {
        const stRawResponse reply = client.Request("GET", targets[i]);
        EXPECT_EQ(reply.status, statuses[i]) << targets[i];
        EXPECT_EQ(reply.reason, HttpReasonPhraseTable().at(statuses[i])) << targets[i];
    }
    EXPECT_EQ(client.Request("GET", "/TYXRCMAPI/QUERY/GetTYXStatus?CMDSN=7&SESSIONID=nobody").reason,
              "Please log in first");
    // A session id sent in escaped quotes is the session id.
    EXPECT_EQ(client.Request("GET", "/TYXRCMAPI/QUERY/GetTYXStatus?CMDSN=8&SESSIONID=%22" + id + "%22").status, 200);
    EXPECT_EQ(client.Request("GET", "/TYXRCMAPI/QUERY/GetTYXStatus?CMDSN=8&SESSIONID=" + UrlEncoded("'" + id + "'"))
                  .status,
              200);
}

// A command whose execution throws is answered as failed, and its category's later commands run.
TEST_F(RcmServerTest, AThrowingCommandFailsAndLaterCommandsOfItsCategoryRun)
{
    m_server.reset();
    Start(false);
    m_executor.hook = [](uint16_t code) {
        if (code == 370)
            throw std::runtime_error("settings file unreadable");
    };
    CRcmTestClient client(m_port);
    const std::string id = LogIn(client);
    const std::string config = "/TYXRCMAPI/CONFIG/";
    for (int round = 0; round < 2; ++round) {
        const std::string sn = std::to_string(50 + round * 2);
        stRawResponse reply = client.Request("PUT", config + "SetLiveBCURL?CMDSN=" + sn + "&WaitResult=Yes&SESSIONID=" + id,
                                             "LiveBCURL=rtmp://127.0.0.1/live/a");
        EXPECT_EQ(reply.status, 500);
        EXPECT_EQ(reply.body, "The Command was excuted but failed!CommandSN=" + sn);
        const std::string next = std::to_string(51 + round * 2);
        reply = client.Request("PUT", config + "SetTRVKInfo?CMDSN=" + next + "&WaitResult=Yes&SESSIONID=" + id);
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.body, "CommandSN=" + next);
    }
}

TEST_F(RcmServerTest, OversizedAndSlowRequestsDoNotStopOthers)
{
    CRcmTestClient huge(m_port);
    const stRawResponse header = huge.Request("GET", "/TYXRCMAPI/GENERAL/HelloTYX", "",
                                              "X-Filler: " + std::string(64 * 1024, 'f') + "\r\n");
    EXPECT_GE(header.status, 400);
    CRcmTestClient longUrl(m_port);
    EXPECT_EQ(longUrl.Request("GET", "/TYXRCMAPI/GENERAL/" + std::string(300, 'p') + "/HelloTYX").status, 400);

    // A client that stalls half-way through its request line holds only its own connection.
    CRcmTestClient slow(m_port);
    ASSERT_TRUE(slow.SendRaw("GET /TYXRCMAPI/GEN"));
    std::vector<std::unique_ptr<CRcmTestClient>> burst;
    for (int i = 0; i < 200; ++i)
        burst.push_back(std::make_unique<CRcmTestClient>(m_port));
    CRcmTestClient other(m_port);
    EXPECT_EQ(other.Request("GET", "/TYXRCMAPI/GENERAL/HelloTYX").status, 200);
    ASSERT_TRUE(slow.SendRaw("ERAL/HelloTYX HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(slow.ReadResponse().status, 200);
    EXPECT_EQ(burst.back()->Request("GET", "/TYXRCMAPI/GENERAL/HelloTYX").status, 200);
}

TEST_F(RcmServerTest, CategoriesRunOnTheirOwnThreads)
{
    m_server.reset();
    Start(false);
    std::latch queryDone(1);
    std::latch controlEntered(1);
    m_executor.hook = [&](uint16_t code) {
        if (code == 408) { // KOVRestart waits until the query has been answered
            controlEntered.count_down();
            queryDone.wait();
        }
    };
    CRcmTestClient admin(m_port);
    const std::string id = LogIn(admin);
    auto control = std::async(std::launch::async, [&] {
        CRcmTestClient client(m_port);
        return client.Request("POST", "/TYXRCMAPI/CONTROL/KOVRestart?CMDSN=51&WaitResult=Yes&SESSIONID=" + id).status;
    });
    controlEntered.wait();
    CRcmTestClient query(m_port);
    EXPECT_EQ(query.Request("GET", "/TYXRCMAPI/QUERY/GetWorkersStatus?CMDSN=52&SESSIONID=" + id).status, 200);
    queryDone.count_down();
    EXPECT_EQ(control.get(), 200);
}

TEST_F(RcmServerTest, ConcurrentClientsOnTheirOwnSessions)
{
    constexpr int kClients = 8;
    constexpr int kRounds = 40;
    std::vector<std::future<int>> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.push_back(std::async(std::launch::async, [this, c] {
            CRcmTestClient client(m_port);
            const std::string id = LogIn(client);
            int answered = 0;
            for (int i = 0; i < kRounds; ++i) {
                const std::string sn = std::to_string(c * 1000 + i + 1);
                const stRawResponse query =
                    client.Request("GET", "/TYXRCMAPI/QUERY/GetTYXStatus?CMDSN=" + sn + "&SESSIONID=" + id);
                const stRawResponse beat =
                    client.Request("GET", "/TYXRCMAPI/GENERAL/Heartbeating?CMDSN=" + sn + "&SESSIONID=" + id);
                if (query.status == 200 && query.body.find("CommandSN=" + sn) != std::string::npos &&
                    beat.status == 200)
                    ++answered;
            }
            return answered;
        }));
    }
    for (auto &client : clients)
        EXPECT_EQ(client.get(), kRounds);
    EXPECT_EQ(m_server->SessionCount(), static_cast<size_t>(kClients));
    EXPECT_EQ(m_executor.Count(), static_cast<size_t>(kClients * kRounds));
}

TEST(RcmNotificationTest, DeliveredOncePerSessionWithinTheirLifetime)
{
    std::atomic<uint64_t> tick{0};
    CRcmNotificationList list([&] { return tick.load(); });
    list.SetExpirySeconds(60);
    list.Post("A;");
    std::string texts;
    EXPECT_EQ(list.CollectNotifications(L"s1", texts), 1);
    EXPECT_EQ(list.CollectNotifications(L"s1", texts), 0);
    tick = 59000;
    list.Post("B;");
    EXPECT_EQ(list.CollectNotifications(L"s2", texts), 2);
    tick = 61000; // A is over a minute old
    EXPECT_EQ(list.CollectNotifications(L"s3", texts), 1);
    EXPECT_EQ(texts, "A;A;B;B;");
    for (size_t i = 0; i < CRcmNotificationList::kMaxEntries + 10; ++i)
        list.Post("x");
    std::string many;
    EXPECT_EQ(list.CollectNotifications(L"s4", many), static_cast<int32_t>(CRcmNotificationList::kMaxEntries));
}

TEST_F(RcmServerTest, CloseAnswersWaitingClientsAsBusy)
{
    m_server.reset();
    Start(false);
    std::latch entered(1);
    std::latch release(1);
    m_executor.hook = [&](uint16_t code) {
        if (code == 408) {
            entered.count_down();
            release.wait();
        }
    };
    CRcmTestClient admin(m_port);
    const std::string id = LogIn(admin);
    CRcmTestClient running(m_port), queued(m_port);
    ASSERT_TRUE(running.SendRaw("POST /TYXRCMAPI/CONTROL/KOVRestart?CMDSN=61&WaitResult=Yes&SESSIONID=" + id +
                                " HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n"));
    entered.wait();
    ASSERT_TRUE(queued.SendRaw("POST /TYXRCMAPI/CONTROL/KOVShutdown?CMDSN=62&WaitResult=Yes&SESSIONID=" + id +
                               " HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n"));
    auto closing = std::async(std::launch::async, [&] { m_server->Close(); });
    const stRawResponse busy = queued.ReadResponse();
    EXPECT_EQ(busy.status, 503);
    EXPECT_EQ(busy.body, "Server is Busy(Please retry later)CommandSN=62");
    release.count_down();
    closing.get();
    EXPECT_EQ(running.ReadResponse().status != 0, true);
}

// Idle and half-sent connections, up to far more than an operator ever opens, leave the server
// answering: the server and the test hold 2,000 each, in this one process.
TEST_F(RcmServerTest, AFreshClientIsAnsweredBesideTwoThousandHeldConnections)
{
    constexpr size_t kHeld = 2000;
    if (!HaveDescriptors(2 * kHeld + 512))
        GTEST_SKIP() << "the descriptor limit of this process cannot hold " << 2 * kHeld << " connections";
    // In batches that the server has taken before the next: a burst beyond the kernel's accept queue
    // would lose handshakes that the clients believe complete.
    std::vector<CSocketFd> held;
    while (held.size() < kHeld) {
        std::vector<CSocketFd> batch = OpenMany(m_port, std::min<size_t>(100, kHeld - held.size()), 120000);
        ASSERT_FALSE(batch.empty());
        for (CSocketFd &fd : batch)
            held.push_back(std::move(fd));
        ASSERT_TRUE(WaitUntil([&] { return m_server->HttpConnectionCount() >= held.size(); }, 120000))
            << m_server->HttpConnectionCount() << " of " << held.size() << " connections taken by the server";
    }
    for (size_t i = 0; i < held.size(); i += 2)
        ASSERT_TRUE(SendBytes(held[i], "GET /TYXRCMAPI/GENERAL/HelloTYX HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: "));

    CRcmTestClient fresh(m_port);
    ASSERT_TRUE(fresh.SendRaw("GET /TYXRCMAPI/GENERAL/HelloTYX HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    const stRawResponse hello = fresh.ReadResponse(30000);
    EXPECT_EQ(hello.status, 200);
    EXPECT_EQ(hello.body.rfind("Hello TYX Client!", 0), 0u);
    size_t open = 0;
    for (const CSocketFd &fd : held)
        open += StillOpen(fd) ? 1 : 0;
    EXPECT_EQ(open, kHeld) << "held connections are closed by their own time only";
}

// A connection has the configured time to send a whole request, from its opening and from each
// answer; the slow byte-at-a-time sender is closed then, a command that runs longer is not.
TEST_F(RcmServerTest, ARequestNotCompleteInTheConfiguredTimeIsClosed)
{
    m_server.reset();
    Start(false);
    std::latch entered(1);
    std::latch release(1);
    m_executor.hook = [&](uint16_t code) {
        if (code == 408) {
            entered.count_down();
            release.wait();
        }
    };
    const uint64_t limitMs = kRequestSeconds * 1000;
    // A connection's time runs from when the server has it: the clock moves only after that.
    size_t connections = 0;
    const auto serverHasIt = [&] {
        ++connections;
        return WaitUntil([&] { return m_server->HttpConnectionCount() >= connections; }, 30000);
    };
    CRcmTestClient admin(m_port);
    const std::string id = LogIn(admin);
    ++connections;
    CSocketFd early = OpenRaw(m_port); // due at 1000 + limit
    ASSERT_TRUE(early.IsOpen());
    ASSERT_TRUE(serverHasIt());

    // Slow but complete within the time: answered.
    CRcmTestClient patient(m_port);
    ASSERT_TRUE(serverHasIt());
    const std::string hello = "GET /TYXRCMAPI/GENERAL/HelloTYX HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    for (const char c : hello) {
        ASSERT_TRUE(patient.SendRaw(std::string(1, c)));
        m_connectionTick += limitMs / 2 / hello.size();
    }
    EXPECT_EQ(patient.ReadResponse(30000).status, 200);

    // A waited command that runs past the time keeps its connection.
    CRcmTestClient running(m_port);
    ASSERT_TRUE(serverHasIt());
    ASSERT_TRUE(running.SendRaw("POST /TYXRCMAPI/CONTROL/KOVRestart?CMDSN=71&WaitResult=Yes&SESSIONID=" + id +
                                " HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n"));
    entered.wait();

    // A header sent a byte at a time.
    CSocketFd slow = OpenRaw(m_port);
    ASSERT_TRUE(serverHasIt());
    const uint64_t slowOpened = m_connectionTick.load();
    const std::string start = "GET /TYXRCMAPI/GENERAL/HelloTYX HTTP/1.1\r\nHost: 1";
    size_t sent = 0;
    for (; m_connectionTick.load() < 1000 + limitMs; ++sent) {
        ASSERT_TRUE(SendBytes(slow, start.substr(sent, 1)));
        m_connectionTick += 100;
    }
    // The earlier connection is past its time and goes; the slow one is not yet.
    EXPECT_TRUE(ClosedWithoutReply(early, 30000));
    EXPECT_TRUE(StillOpen(slow));
    for (; m_connectionTick.load() < slowOpened + limitMs; ++sent) {
        ASSERT_TRUE(SendBytes(slow, start.substr(sent, 1)));
        m_connectionTick += 100;
    }
    EXPECT_TRUE(ClosedWithoutReply(slow, 30000));

    m_connectionTick += 10 * limitMs;
    release.count_down();
    const stRawResponse done = running.ReadResponse(30000);
    EXPECT_EQ(done.status, 200);
    EXPECT_EQ(done.body, "Command excuted successfully!CommandSN=71");
    // The admin's idle connection has gone too: its client asks again on a new one.
    EXPECT_EQ(admin.Request("GET", "/TYXRCMAPI/GENERAL/Heartbeating?CMDSN=72&SESSIONID=" + id).status, 200);
}

// Each user holds a share of the session table: however often one logs in, the others stay.
TEST_F(RcmServerTest, OneUsersLogInsPushOutOnlyItsOwnSessions)
{
    CRcmTestClient admin(m_port);
    const std::string adminId = LogIn(admin);
    CRcmTestClient viewer(m_port);
    const std::string first = LogIn(viewer, "viewer");
    std::string last;
    for (int i = 0; i < 3000; ++i)
        last = LogIn(viewer, "viewer");
    ASSERT_FALSE(last.empty());
    EXPECT_LE(m_server->SessionCount(), CRcmSessionTable::kMaxSessions);
    EXPECT_EQ(admin.Request("GET", "/TYXRCMAPI/GENERAL/Heartbeating?CMDSN=81&SESSIONID=" + adminId).status, 200);
    EXPECT_EQ(viewer.Request("GET", "/TYXRCMAPI/GENERAL/Heartbeating?CMDSN=82&SESSIONID=" + last).status, 200);
    EXPECT_EQ(viewer.Request("GET", "/TYXRCMAPI/GENERAL/Heartbeating?CMDSN=83&SESSIONID=" + first).status, 421);
}

// Case texts become folder and file names: one that cannot be is the protocol's bad parameter, as a
// text too long is, and the command is not run.
TEST_F(RcmServerTest, CaseTextsThatCannotNameAFileAreBadParameters)
{
    m_server.reset();
    Start(false);
    CRcmTestClient client(m_port);
    const std::string id = LogIn(client);
    const std::string target = "/TYXRCMAPI/CONTROL/SetCaseInfo?CMDSN=91&WaitResult=Yes&SESSIONID=" + id;
    for (const char *body : {"caseNo=..%2F..%2Fx&CycleName=1&caseName=n", "caseNo=a&CycleName=..&caseName=n",
                             "caseNo=a&CycleName=1&caseName=x%5Cy", "caseNo=a%0D%0Ab&CycleName=1&caseName=n"}) {
        const stRawResponse reply = client.Request("POST", target, body);
        EXPECT_EQ(reply.status, 406) << body;
        EXPECT_EQ(reply.body, "Invalid Parameter ValueCommandSN=91") << body;
    }
    EXPECT_EQ(m_executor.Count(), 0u);
    EXPECT_EQ(client.Request("POST", target, "caseNo=C-7&CycleName=3&caseName=Hearing 2").status, 200);
    EXPECT_EQ(m_executor.Count(), 1u);
}

// Every connection is a descriptor: a server that starts under a low soft limit raises it for its
// connections, and says so.
TEST(RcmListenTest, TheOpenFileLimitMakesRoomForTheConnections)
{
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlim_t wanted = RCM_DEFAULT_MAX_CONNECTIONS + 1024;
    if (limit.rlim_max < wanted)
        GTEST_SKIP() << "the hard descriptor limit is below " << wanted;
    limit.rlim_cur = 1024;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    CLogCapture log;
    CRCMWebWin server;
    ASSERT_EQ(server.ListenRequests(true, false, FreeTcpPort(), 0), 0);
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    EXPECT_GE(limit.rlim_cur, wanted);
    EXPECT_TRUE(log.Contains(L"[RCM]Open-file limit raised from 1024 to ")) << "the raise is logged";
}

TEST(RcmListenTest, ResultCodes)
{
    CRCMWebWin server;
    EXPECT_EQ(server.ListenRequests(false, false, 0, 0), -2);
    EXPECT_EQ(server.ListenRequests(true, true, 8080, 8080), -4);
    CSocketFd taken;
    ASSERT_EQ(OpenTcpListenSocket(0, false, taken), 0);
    const uint16_t busyPort = LocalPortOf(taken.Fd());
    // HTTPS without a certificate does not start, and a taken port is a failure; neither stops the other.
    const uint16_t free = FreeTcpPort();
    EXPECT_LT(server.ListenRequests(true, true, busyPort, free), 0);
    EXPECT_EQ(server.HttpPort(), 0);
    CRCMWebWin second;
    EXPECT_LT(second.ListenRequests(true, true, free, busyPort), 0);
    EXPECT_EQ(second.HttpPort(), free);
    EXPECT_EQ(second.ListenRequests(true, false, free, 0), 0);
    second.Close();
    EXPECT_EQ(second.ListenRequests(true, false, free, 0), -1);
}

TEST(RcmHttpsTest, LoopbackServerWithTheTestsCertificate)
{
    CTempDir dir;
    const auto cert = dir.File("cert.pem");
    const auto key = dir.File("key.pem");
    const std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 -keyout '" +
                                key.string() + "' -out '" + cert.string() + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0)
        GTEST_SKIP() << "openssl cannot make a certificate here";
    CRCMWebWin server;
    EXPECT_EQ(server.SetHttpsCredentials(dir.File("none.pem").wstring(), key.wstring()), -1);
    ASSERT_EQ(server.SetHttpsCredentials(cert.wstring(), key.wstring()), 0);
    const uint16_t httpPort = FreeTcpPort();
    const uint16_t httpsPort = FreeTcpPort();
    ASSERT_EQ(server.ListenRequests(true, true, httpPort, httpsPort), 0);
    CRcmTestClient secure(httpsPort, "", true);
    ASSERT_TRUE(secure.IsConnected());
    const stRawResponse reply = secure.Request("GET", "/TYXRCMAPI/GENERAL/HelloTYX");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body.rfind("Hello TYX Client!", 0), 0u);
    // Plain HTTP to the TLS port gets no answer of ours.
    CRcmTestClient plain(httpsPort);
    EXPECT_NE(plain.Request("GET", "/TYXRCMAPI/GENERAL/HelloTYX").status, 200);
    // Only 127.0.0.1 listens: another loopback address of the host is refused.
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(httpsPort);
    inet_pton(AF_INET, "127.0.0.2", &address.sin_addr);
    EXPECT_NE(connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
    close(fd);
    // The plain server listens on every address.
    const int any = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    address.sin_port = htons(httpPort);
    EXPECT_EQ(connect(any, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
    close(any);
}

// A client that ends its sending side once its request is out (as `nc -N` or a shell's here-string
// does) gets its answer and the server's close; the request deadlines stand still here, so nothing
// else closes it.
TEST_F(RcmServerTest, AClientThatEndsItsSendingSideGetsItsAnswerAndTheClose)
{
    CSocketFd fd = OpenRaw(m_port, true);
    ASSERT_TRUE(fd.IsOpen());
    ASSERT_TRUE(SendBytes(fd, "GET /TYXRCMAPI/GENERAL/HelloTYX?CMDSN=2 HTTP/1.1\r\nHost: t\r\n\r\n"));
    shutdown(fd.Fd(), SHUT_WR);
    std::string reply;
    bool closed = false;
    pollfd wait{fd.Fd(), POLLIN, 0};
    while (!closed && poll(&wait, 1, 30000) == 1) {
        char buffer[4096];
        const ssize_t got = recv(fd.Fd(), buffer, sizeof(buffer), 0);
        if (got <= 0)
            closed = true;
        else
            reply.append(buffer, static_cast<size_t>(got));
    }
    EXPECT_NE(reply.find("200"), std::string::npos) << reply;
    EXPECT_TRUE(closed);
}

} // namespace
