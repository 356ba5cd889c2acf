// The frame-pipe server against real clients on its Unix socket.

#include "output/DisplayTestSupport.h"
#include "output/FramePipeClient.h"
#include "output/OutputTestSupport.h"
#include "output/RVTPServer.h"

#include "core/I420Layout.h"
#include "core/TYXUtils.h"
#include "platform/GpuDevice.h"
#include "platform/Thread.h"
#include "support/LeakCheck.h"
#include "support/LogCapture.h"
#include "vproc/OSGdrawer.h"
#include "vproc/OsdItem.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 180;
constexpr int kFrameBytes = kWidth * kHeight * 3 / 2;

TEST(SerializeFramePackageTest, WritesTheHeaderFieldsLittleEndianBeforeTheData)
{
    for (const bool inDevice : {false, true}) {
        SCOPED_TRACE(inDevice ? "device" : "host");
        DevInitialize(0);
        const uint8_t payload[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
        FramePackage package;
        package.inDevice = inDevice ? 1 : 0;
        ASSERT_EQ(AllocFramePackageData(package, 12), 12);
        ASSERT_EQ(DevMemcpy(package.pData, payload, 12, EGpuCopyKind::Default), GPU_SUCCESS);
        package.pts = 0x0102030405060708LL;
        package.dts = -1;
        package.duration = 0x100000028LL;
        package.flags = 1;
        package.width = 4;
        package.height = 2;

        std::vector<uint8_t> message;
        ASSERT_EQ(SerializeFramePackage(package, 1537, message), 60);
        ASSERT_EQ(message.size(), 60u);
        EXPECT_EQ(message[0], 0x01);
        EXPECT_EQ(message[1], 0x06);
        const stFrameMessage header = ParseFrameHeader(message.data());
        EXPECT_TRUE(header.reservedZero);
        EXPECT_EQ(header.pts, 0x0102030405060708LL);
        EXPECT_EQ(message[8], 0x08); // lowest byte first
        EXPECT_EQ(header.dts, -1);
        EXPECT_EQ(header.duration, 0x28u); // the low 32 bits
        EXPECT_EQ(header.flags, 1);
        EXPECT_EQ(header.length, 12);
        EXPECT_EQ(header.width, 4);
        EXPECT_EQ(header.height, 2);
        EXPECT_EQ(std::memcmp(message.data() + 48, payload, 12), 0);
        FreeFramePackage(package);
    }
}

TEST(SerializeFramePackageTest, RefusesPackagesThatCannotFrameAMessage)
{
    CLogCapture log;
    std::vector<uint8_t> message;
    uint8_t byte = 0;
    FramePackage package;
    package.nLength = 16; // claims data it does not have
    EXPECT_EQ(SerializeFramePackage(package, 1537, message), -1);
    package.pData = &byte;
    package.nLength = -92; // a status package
    EXPECT_EQ(SerializeFramePackage(package, 1537, message), -1);
    package.nLength = 0;
    EXPECT_EQ(SerializeFramePackage(package, 1537, message), -1);
    package.nLength = TYX_MAX_PACKAGE_BYTES + 1;
    EXPECT_EQ(SerializeFramePackage(package, 1537, message), -2);
    EXPECT_TRUE(log.Contains(L"Frame duplicating abort for Invalid Frame size[398131201]!", 3));
}

class RVTPServerTest : public CLeakCheckedTest
{
protected:
    std::shared_ptr<CRVTPServer> Serve(const std::wstring &name, int width = kWidth, int height = kHeight)
    {
        auto server = std::make_shared<CRVTPServer>(name, 0x02010000, nullptr);
        EXPECT_NE(server->Initialize(1537, width, height, 0), nullptr);
        EXPECT_GT(server->StartThread(), 0);
        server->StartEvent().Set();
        EXPECT_TRUE(WaitUntil([&] { return server->IsServing(); }));
        return server;
    }

    // Pushes pictures until the client has one whole message; false when none came.
    bool PushUntilReceived(CRVTPServer &server, CFramePipeClient &client, stFrameMessage &message, uint32_t seed)
    {
        for (int attempt = 0; attempt < 200; ++attempt) {
            FramePackage frame = MakeI420Package(kWidth, kHeight, seed, 1000 + attempt);
            server.PushFrame(frame);
            FreeFramePackage(frame);
            if (client.ReadMessage(message, 20))
                return true;
        }
        return false;
    }

    CRuntimeFolderScope m_folder;
};

TEST_F(RVTPServerTest, SocketNamesFollowTheOutputNameAndRefuseWhatCouldLeaveTheFolder)
{
    EXPECT_EQ(CRVTPServer::SocketNameFor(L"Cam1"), "RVTP_Cam1");
    EXPECT_EQ(CRVTPServer::SocketNameFor(std::wstring(58, L'a')), "RVTP_" + std::string(58, 'a'));
    for (const std::wstring &bad : {std::wstring(), std::wstring(59, L'a'), std::wstring(L"a/b"), std::wstring(L".."),
                                    std::wstring(L"x..y"), std::wstring(L"a\\b"), std::wstring(L"tab\there")}) {
        SCOPED_TRACE(WStringToString(bad));
        EXPECT_EQ(CRVTPServer::SocketNameFor(bad), "");
    }
}

TEST_F(RVTPServerTest, InitializeRefusesBadSizesAndNamesWithoutMakingAFile)
{
    CLogCapture log;
    const struct
    {
        std::wstring name;
        int width;
        int height;
        const wchar_t *line;
    } cases[] = {
        {L"Cam1", 1920, 0, L"RVTP(Cam1) creating rejected for invalid framesize(w=1920,h=0)!"},
        {L"Cam1", 0, 1080, L"creating rejected for invalid framesize(w=0,h=1080)!"},
        {L"Cam1", -2, 4, L"creating rejected for invalid framesize(w=-2,h=4)!"},
        {L"Cam1", 70000, 4, L"creating rejected for invalid framesize(w=70000,h=4)!"},
        {L"", kWidth, kHeight, L"creating rejected for invalid RVTP Name(length=14)!"},
        {std::wstring(59, L'n'), kWidth, kHeight, L"creating rejected for invalid RVTP Name(length=73)!"},
        {L"../escape", kWidth, kHeight, L"cannot be in a socket name!"},
        {L"sub/dir", kWidth, kHeight, L"cannot be in a socket name!"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(WStringToString(c.line));
        CRVTPServer server(c.name, 1, nullptr);
        EXPECT_EQ(server.Initialize(1537, c.width, c.height, 0), nullptr);
        EXPECT_FALSE(server.IsInitialized());
        EXPECT_TRUE(log.Contains(c.line, 3));
    }
    EXPECT_TRUE(std::filesystem::is_empty(m_folder.Path()));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(m_folder.Path()).parent_path() / "escape"));
}

TEST_F(RVTPServerTest, AStaleSocketIsReplacedButALiveOneOrAPlainFileIsLeftAlone)
{
    const std::string path = m_folder.Path() + "/RVTP_Cam1";
    {
        // A crashed run leaves its socket file behind: bound, then closed without unlink.
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
        ::close(fd);
    }
    CRVTPServer first(L"Cam1", 1, nullptr);
    ASSERT_NE(first.Initialize(1537, kWidth, kHeight, 0), nullptr);
    EXPECT_EQ(first.SocketPath(), path);

    CLogCapture log;
    CRVTPServer second(L"Cam1", 2, nullptr);
    EXPECT_EQ(second.Initialize(1537, kWidth, kHeight, 0), nullptr);
    EXPECT_TRUE(log.Contains(L"RVTP(Cam1) creating failed with last error=98!", 3)); // EADDRINUSE
    EXPECT_TRUE(first.IsInitialized());

    first.unInitialize();
    EXPECT_FALSE(std::filesystem::exists(path));
    std::ofstream(m_folder.Path() + "/RVTP_Notes") << "operator's notes";
    CRVTPServer third(L"Notes", 3, nullptr);
    EXPECT_EQ(third.Initialize(1537, kWidth, kHeight, 0), nullptr);
    std::ifstream kept(m_folder.Path() + "/RVTP_Notes");
    std::string text;
    std::getline(kept, text);
    EXPECT_EQ(text, "operator's notes");
}

TEST_F(RVTPServerTest, AClientReceivesWholeMessagesWithItsPidLogged)
{
    CLogCapture log;
    auto server = Serve(L"Cam1");
    CFramePipeClient client;
    ASSERT_TRUE(client.Connect(server->SocketPath()));
    ASSERT_TRUE(WaitUntil([&] { return server->IsClientConnected(); }));
    EXPECT_TRUE(log.Contains(L"RVTP(Cam1) client(PID=" + std::to_wstring(getpid()) + L") connected.", 5));

    FramePackage frame = MakeI420Package(kWidth, kHeight, 7, 123456789);
    const std::vector<uint8_t> sent(frame.pData, frame.pData + frame.nLength);
    ASSERT_TRUE(server->PushFrame(frame));
    FreeFramePackage(frame);
    stFrameMessage message;
    ASSERT_TRUE(client.ReadMessage(message, 2000));
    EXPECT_EQ(message.type, 1537);
    EXPECT_TRUE(message.reservedZero);
    EXPECT_EQ(message.pts, 123456789);
    EXPECT_EQ(message.dts, 123456789);
    EXPECT_EQ(message.duration, 33333u);
    EXPECT_EQ(message.flags, TYX_PKT_FLAG_KEY);
    EXPECT_EQ(message.length, kFrameBytes);
    EXPECT_EQ(message.width, kWidth);
    EXPECT_EQ(message.height, kHeight);
    EXPECT_EQ(message.data, sent);

    EXPECT_EQ(server->Stop(5000), 1); // the messages written
    EXPECT_TRUE(log.Contains(L"Received exit signal, exiting...", 6));
    EXPECT_TRUE(client.SeesEnd(1000));
}

// An odd size is served with its chroma planes rounded up, as the scaler makes them.
TEST_F(RVTPServerTest, AnOddSizedPictureReachesTheClientWhole)
{
    constexpr int kOddWidth = 321;
    constexpr int kOddHeight = 181;
    auto server = Serve(L"Odd1", kOddWidth, kOddHeight);
    CFramePipeClient client;
    ASSERT_TRUE(client.Connect(server->SocketPath()));
    ASSERT_TRUE(WaitUntil([&] { return server->IsClientConnected(); }));
    FramePackage frame = MakeI420Package(kOddWidth, kOddHeight, 9, 1000);
    const std::vector<uint8_t> sent(frame.pData, frame.pData + frame.nLength);
    ASSERT_TRUE(server->PushFrame(frame));
    FreeFramePackage(frame);
    stFrameMessage message;
    ASSERT_TRUE(client.ReadMessage(message, 2000));
    EXPECT_EQ(message.width, kOddWidth);
    EXPECT_EQ(message.height, kOddHeight);
    EXPECT_EQ(message.length, static_cast<uint32_t>(kOddWidth * kOddHeight + 2 * 161 * 91));
    EXPECT_EQ(message.data, sent);
    EXPECT_EQ(server->Stop(5000), 1);
}

constexpr int kSquare = 16;

// An opaque red square placed at (x, y) from the top left corner.
stOsgPicture RedSquare(int16_t x, int16_t y)
{
    stOsgPicture picture;
    picture.sourcePath = "red.png";
    picture.width = kSquare;
    picture.height = kSquare;
    picture.rowLength = kSquare * 4;
    std::vector<uint8_t> rgba(static_cast<size_t>(kSquare) * kSquare * 4);
    for (size_t i = 0; i < rgba.size(); i += 4) {
        rgba[i] = 255;
        rgba[i + 3] = 255;
    }
    EXPECT_EQ(picture.image.Allocate(rgba.size()), GPU_SUCCESS);
    EXPECT_EQ(DevMemcpy(picture.image.Get(), rgba.data(), rgba.size(), EGpuCopyKind::HostToDevice), GPU_SUCCESS);
    picture.placement.origin = OSD_POS_LEFT_TOP;
    picture.placement.offsetX = x;
    picture.placement.offsetY = y;
    return picture;
}

// The overlays of a direct output are drawn in the layout of its pictures: on an odd size each
// colour lies under its overlay, the last column and row included, and nowhere else.
TEST_F(RVTPServerTest, OverlaysOnAnOddSizedPictureLieWhereTheyAreDrawn)
{
    constexpr int kOddWidth = 321;
    constexpr int kOddHeight = 181;
    const std::pair<int, int> squares[] = {{100, 60}, {kOddWidth - kSquare, kOddHeight - kSquare}};
    auto drawer = std::make_shared<COsgDrawer>();
    for (const auto &[x, y] : squares) {
        const auto id = static_cast<uint32_t>(x);
        ASSERT_GT(drawer->AddPicture(id, RedSquare(static_cast<int16_t>(x), static_cast<int16_t>(y))), 0);
    }
    auto server = Serve(L"Odd2", kOddWidth, kOddHeight);
    server->AttachOverlays(nullptr, drawer);
    CFramePipeClient client;
    ASSERT_TRUE(client.Connect(server->SocketPath()));
    ASSERT_TRUE(WaitUntil([&] { return server->IsClientConnected(); }));
    FramePackage frame = MakeSolidI420Package(kOddWidth, kOddHeight, 128, 128, 128, 1000);
    ASSERT_TRUE(server->PushFrame(frame));
    FreeFramePackage(frame);
    stFrameMessage message;
    ASSERT_TRUE(client.ReadMessage(message, 60000));
    ASSERT_EQ(message.data.size(), static_cast<size_t>(I420Size(kOddWidth, kOddHeight)));
    const std::vector<uint8_t> bgra = I420ToBgra(message.data, kOddWidth, kOddHeight);
    SaveBgraAsPng("artifacts/pipe_odd_overlays.png", bgra, kOddWidth, kOddHeight);

    const stBgr background = ExpectedBgr(128, 128, 128);
    // Pixels two or more away from a square: a chroma sample is shared by two columns and rows.
    const auto near = [&](int x, int y) {
        for (const auto &[left, top] : squares) {
            if (x > left - 2 && x < left + kSquare + 1 && y > top - 2 && y < top + kSquare + 1)
                return true;
        }
        return false;
    };
    int wrong = 0;
    for (int y = 0; y < kOddHeight; ++y) {
        for (int x = 0; x < kOddWidth; ++x) {
            const stBgr pixel = PixelAt(bgra, kOddWidth, x, y);
            bool inside = false;
            for (const auto &[left, top] : squares)
                inside = inside || (x >= left && x < left + kSquare && y >= top && y < top + kSquare);
            const bool right = inside ? pixel.r > 200 && pixel.g < 80 && pixel.b < 80
                                      : near(x, y) || NearColor(pixel, background);
            if (!right && ++wrong <= 8)
                ADD_FAILURE() << (inside ? "not red" : "not background") << " at " << x << ", " << y << ": "
                              << int(pixel.r) << " " << int(pixel.g) << " " << int(pixel.b);
        }
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(server->Stop(5000), 1);
}

TEST_F(RVTPServerTest, PicturesAreDroppedWhileNoClientListensOrServingIsOff)
{
    auto server = std::make_shared<CRVTPServer>(L"Idle", 1, nullptr);
    ASSERT_NE(server->Initialize(1537, kWidth, kHeight, 0), nullptr);
    ASSERT_GT(server->StartThread(), 0);
    CFramePipeClient client;
    ASSERT_TRUE(client.Connect(server->SocketPath())); // waits in the backlog: serving is off
    for (int i = 0; i < 40; ++i) {
        FramePackage frame = MakeI420Package(kWidth, kHeight, i, i);
        server->PushFrame(frame);
        FreeFramePackage(frame);
    }
    ASSERT_TRUE(WaitUntil([&] { return server->QueuedFrames() == 0; }));
    uint8_t byte = 0;
    EXPECT_FALSE(client.ReadExact(&byte, 1, 50));
    EXPECT_EQ(server->MessagesWritten(), 0);

    server->StartEvent().Set(); // now the waiting client is taken and served
    stFrameMessage message;
    EXPECT_TRUE(PushUntilReceived(*server, client, message, 3));
    EXPECT_EQ(message.length, kFrameBytes);

    server->StopEvent().Set();
    ASSERT_TRUE(WaitUntil([&] { return !server->IsServing(); }));
    const int64_t written = server->MessagesWritten();
    for (int i = 0; i < 10; ++i) {
        FramePackage frame = MakeI420Package(kWidth, kHeight, i, i);
        server->PushFrame(frame);
        FreeFramePackage(frame);
    }
    ASSERT_TRUE(WaitUntil([&] { return server->QueuedFrames() == 0; }));
    EXPECT_EQ(server->MessagesWritten(), written);
    server->Stop(5000);
}

TEST_F(RVTPServerTest, AStalledClientNeverHoldsUpTheProducerAndStillGetsWholeMessages)
{
    CLogCapture log;
    auto server = Serve(L"Slow");
    CFramePipeClient client;
    ASSERT_TRUE(client.Connect(server->SocketPath()));
    ASSERT_TRUE(WaitUntil([&] { return server->IsClientConnected(); }));

    // The client reads nothing: the socket fills, one message stays pending, the rest is dropped.
    int refused = 0;
    for (int i = 0; i < 400; ++i) {
        FramePackage frame = MakeI420Package(kWidth, kHeight, i, i);
        refused += server->PushFrame(frame) ? 0 : 1;
        FreeFramePackage(frame);
    }
    ASSERT_TRUE(WaitUntil([&] { return server->QueuedFrames() == 0; }));
    EXPECT_GT(refused + server->MessagesWritten(), 0);
    EXPECT_EQ(log.Count(L"RVTP(Slow) is blocking!", 3), 1) << "logged once per stall, not per picture";

    // Once it reads again every message arrives whole, in order.
    int64_t lastPts = -1;
    for (int i = 0; i < 5; ++i) {
        stFrameMessage message;
        ASSERT_TRUE(PushUntilReceived(*server, client, message, 100 + i));
        EXPECT_EQ(message.type, 1537);
        EXPECT_TRUE(message.reservedZero);
        EXPECT_EQ(message.length, kFrameBytes);
        EXPECT_GT(message.pts, lastPts);
        lastPts = message.pts;
    }
    server->Stop(5000);
}

TEST_F(RVTPServerTest, AClientGoneMidFrameIsLoggedAndTheNextOneIsServed)
{
    CLogCapture log;
    auto server = Serve(L"Cam2");
    {
        CFramePipeClient first;
        ASSERT_TRUE(first.Connect(server->SocketPath()));
        ASSERT_TRUE(WaitUntil([&] { return server->IsClientConnected(); }));
        std::vector<uint8_t> part(48 + 1000);
        for (int i = 0; i < 100 && !first.ReadExact(part.data(), part.size(), 20); ++i) {
            FramePackage frame = MakeI420Package(kWidth, kHeight, i, i);
            server->PushFrame(frame);
            FreeFramePackage(frame);
        }
    } // gone half-way through a message
    ASSERT_TRUE(WaitUntil([&] {
        FramePackage frame = MakeI420Package(kWidth, kHeight, 1, 1);
        server->PushFrame(frame);
        FreeFramePackage(frame);
        return !server->IsClientConnected();
    }));
    EXPECT_TRUE(log.Contains(L"RVTP(Cam2) client disconnected.", 5));

    CFramePipeClient second;
    ASSERT_TRUE(second.Connect(server->SocketPath()));
    stFrameMessage message;
    ASSERT_TRUE(PushUntilReceived(*server, second, message, 9));
    EXPECT_EQ(message.type, 1537);
    EXPECT_EQ(message.length, kFrameBytes);
    EXPECT_EQ(message.width, kWidth);
    server->Stop(5000);
}

TEST_F(RVTPServerTest, ASecondClientIsTurnedAwayWhileOneIsConnected)
{
    CLogCapture log;
    auto server = Serve(L"Cam3");
    CFramePipeClient first;
    ASSERT_TRUE(first.Connect(server->SocketPath()));
    ASSERT_TRUE(WaitUntil([&] { return server->IsClientConnected(); }));
    CFramePipeClient second;
    ASSERT_TRUE(second.Connect(server->SocketPath()));
    EXPECT_TRUE(second.SeesEnd(2000));
    EXPECT_TRUE(log.Contains(L"refused: another client is connected.", 5));
    stFrameMessage message;
    EXPECT_TRUE(PushUntilReceived(*server, first, message, 4));
    server->Stop(5000);
}

TEST_F(RVTPServerTest, TheQueueHoldsThirtyPicturesAndTheOverflowIsFreed)
{
    CRVTPServer server(L"Full", 1, nullptr); // no thread: nothing takes from the queue
    ASSERT_NE(server.Initialize(1537, kWidth, kHeight, 0), nullptr);
    FramePackage frame = MakeI420Package(kWidth, kHeight, 1, 1);
    for (int i = 0; i < 30; ++i)
        EXPECT_TRUE(server.PushFrame(frame));
    EXPECT_FALSE(server.PushFrame(frame));
    EXPECT_EQ(server.QueuedFrames(), 30);
    FreeFramePackage(frame);
}

TEST_F(RVTPServerTest, UnInitializeClosesTheSocketAndMarksTheServerReleased)
{
    CLogCapture log;
    auto server = Serve(L"Cam4");
    const std::string path = server->SocketPath();
    ASSERT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ((std::filesystem::status(path).permissions() & std::filesystem::perms::others_all),
              std::filesystem::perms::none);
    server->unInitialize();
    EXPECT_FALSE(server->IsThreadRunning());
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(server->MessageType(), 500);
    EXPECT_TRUE(log.Contains(L"RVTP(Cam4) closed successfully.", 6));
}

} // namespace
