// The GL presenter and the direct display server on a real X server (Xvfb), read back from the
// screen.

#include "output/DisplayTestSupport.h"
#include "output/OutputTestSupport.h"

#include "host/GlobalVars.h"
#include "output/FramePresenterGL.h"
#include "output/RVDOServer.h"
#include "platform/Event.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// A red in BT.709 limited range.
constexpr uint8_t kRedY = 63;
constexpr uint8_t kRedU = 102;
constexpr uint8_t kRedV = 240;

std::vector<uint8_t> SolidBgra(int width, int height, uint8_t b, uint8_t g, uint8_t r)
{
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * static_cast<size_t>(height) * 4);
    for (size_t i = 0; i < pixels.size(); i += 4) {
        pixels[i] = b;
        pixels[i + 1] = g;
        pixels[i + 2] = r;
        pixels[i + 3] = 0;
    }
    return pixels;
}

TEST(DisplayRulesTest, WindowsFitIn1280By720KeepingTheirAspect)
{
    const struct
    {
        int width, height, fittedWidth, fittedHeight;
    } cases[] = {{1920, 1080, 1280, 720}, {2560, 720, 1280, 360}, {640, 360, 640, 360}, {1280, 1440, 640, 720}};
    for (const auto &c : cases) {
        int width = c.width;
        int height = c.height;
        CRVDOServer::FitWindowSize(width, height);
        EXPECT_EQ(width, c.fittedWidth) << c.width << "x" << c.height;
        EXPECT_EQ(height, c.fittedHeight) << c.width << "x" << c.height;
    }
}

TEST(DisplayRulesTest, MonitorTrackingFollowsTheDisplayCount)
{
    const struct
    {
        int previous, count, monitor;
        bool fullscreen;
        EMonitorAction action;
    } cases[] = {
        {2, 2, 2, false, EMonitorAction::EnterFullscreen}, // lost or not yet entered: (again)
        {2, 2, 2, true, EMonitorAction::Keep},
        {2, 2, 3, true, EMonitorAction::SwitchOff},       // shown on display 2 at the start
        {2, 2, 3, false, EMonitorAction::Keep},
        {2, 1, 2, true, EMonitorAction::SwitchOff},       // its monitor went away
        {1, 2, 2, false, EMonitorAction::Retarget},       // it came back
        {3, 2, 1, true, EMonitorAction::Retarget},
    };
    for (const auto &c : cases)
        EXPECT_EQ(DecideMonitorAction(c.previous, c.count, c.monitor, c.fullscreen), c.action)
            << c.previous << "->" << c.count << " monitor " << c.monitor;
}

TEST(DisplayRulesTest, WithoutAnXServerNothingIsDrawnAndNoDisplayStarts)
{
    CLogCapture log;
    const char *display = std::getenv("DISPLAY");
    const std::string previous = display ? display : "";
    ::unsetenv("DISPLAY");
    EXPECT_EQ(CRVDOServer::InitMonitors(L"", true, TYX_DEFAULT_BANNER_TEXT, 0, 0), -1);
    CRVDOServer server(L"NoX", 1, nullptr);
    EXPECT_EQ(server.Initialize(1537, 640, 360, 0, 1), nullptr);
    EXPECT_TRUE(log.Contains(L"RVDO(NoX) creating rejected: no X server", 3));
    EXPECT_EQ(server.Initialize(1537, 640, -1, 0, 1), nullptr);
    EXPECT_TRUE(log.Contains(L"RVDO(NoX) creating rejected for invalid framesize(w=640,h=-1)!", 3));
    if (display)
        ::setenv("DISPLAY", previous.c_str(), 1);
}

using FramePresenterGLTest = CXvfbTest;

TEST_F(FramePresenterGLTest, WithoutAWindowTheThreadEndsAndPresentsFail)
{
    CLogCapture log;
    auto event = std::make_shared<CEvent>(true);
    FramePresenterGL presenter(0, m_xvfb.Name(), 0, event, 64, 64);
    EXPECT_FALSE(presenter.IsReady());
    const std::vector<uint8_t> picture = SolidBgra(64, 64, 0, 0, 255);
    EXPECT_FALSE(presenter.PresentHostFrame(picture.data(), static_cast<int32_t>(picture.size())));
    EXPECT_FALSE(presenter.PresentDeviceFrame(picture.data(), 0));
    EXPECT_TRUE(log.Contains(L"No valid adapter window handle! Exiting...", 3));
}

TEST_F(FramePresenterGLTest, AShortHostPictureReplacesOnlyTheBytesItHas)
{
    CTestWindow window(m_xvfb.Name(), 100, 100, 320, 240);
    auto event = std::make_shared<CEvent>(true);
    FramePresenterGL presenter(L"", m_xvfb.Name(), window.Id(), event, 320, 240);
    ASSERT_TRUE(presenter.IsReady());
    // A present waits at most 100 ms; a slow machine may show the picture a little later.
    auto shows = [&](int x, int y, stBgr color) {
        int width = 0;
        int height = 0;
        const std::vector<uint8_t> shown = m_xvfb.Grab(window.Id(), width, height);
        return NearColor(PixelAt(shown, width, x, y), color);
    };
    const std::vector<uint8_t> red = SolidBgra(320, 240, 0, 0, 255);
    presenter.PresentHostFrame(red.data(), static_cast<int32_t>(red.size()));
    ASSERT_TRUE(WaitUntil([&] { return shows(160, 210, {0, 0, 255}); }));
    const std::vector<uint8_t> green = SolidBgra(320, 240, 0, 255, 0);
    presenter.PresentHostFrame(green.data(), static_cast<int32_t>(green.size() / 2));
    ASSERT_TRUE(WaitUntil([&] { return shows(160, 30, {0, 255, 0}); }));
    EXPECT_TRUE(shows(160, 210, {0, 0, 255}));
    SaveScreenshot(m_xvfb, window.Id(), "presenter_half_picture");
}

TEST_F(FramePresenterGLTest, FullScreenIsTakenBackWhenTheWindowLosesIt)
{
    ASSERT_TRUE(m_xvfb.AddTwoMonitors());
    CTestWindow window(m_xvfb.Name(), 1200, 100, 320, 240); // on TYXB, the right half
    auto event = std::make_shared<CEvent>(true);
    FramePresenterGL presenter(0, m_xvfb.Name(), window.Id(), event, 320, 240);
    ASSERT_TRUE(presenter.IsReady());
    ASSERT_TRUE(presenter.SetFullscreen(true));
    auto covers = [&](int x0, int y0, int w0, int h0) {
        int x = 0, y = 0, w = 0, h = 0;
        window.Geometry(x, y, w, h);
        return x == x0 && y == y0 && w == w0 && h == h0;
    };
    EXPECT_TRUE(covers(960, 0, 960, 1080));
    window.MoveResize(1000, 50, 200, 100); // somebody takes it out of full screen
    EXPECT_TRUE(WaitUntil([&] { return covers(960, 0, 960, 1080); }));
    ASSERT_TRUE(presenter.SetFullscreen(false));
    EXPECT_FALSE(presenter.IsFullscreen());

    // The server's present event ends the drawing thread; presents then fail.
    event->Set();
    EXPECT_TRUE(WaitUntil([&] { return !presenter.IsReady(); }));
    const std::vector<uint8_t> picture = SolidBgra(320, 240, 0, 0, 255);
    EXPECT_FALSE(presenter.PresentHostFrame(picture.data(), static_cast<int32_t>(picture.size())));
}

// The in-use mark of a monitor, read under the registry's lock as the servers write it.
uint8_t PresentingMark(int16_t monitor)
{
    LockRendererSection();
    const uint8_t mark = CTYXGVMS::MonitorPresenting()[monitor];
    UnlockRendererSection();
    return mark;
}

class RVDOServerTest : public CXvfbTest
{
protected:
    std::shared_ptr<CRVDOServer> StartServer(const std::wstring &name, int width, int height, int interop = 1)
    {
        auto server = std::make_shared<CRVDOServer>(name, 0x02010000, nullptr);
        EXPECT_NE(server->Initialize(1537, width, height, 0, interop), nullptr);
        EXPECT_GT(server->StartThread(), 0);
        return server;
    }
    // Stops the X server under a display that shows pictures and waits until the display stops.
    bool LoseTheXServer(CRVDOServer &server)
    {
        m_xvfb.Stop();
        return WaitUntil([&] {
            FramePackage frame = MakeSolidI420Package(640, 360, kRedY, kRedU, kRedV, 0);
            server.PushFrame(frame);
            FreeFramePackage(frame);
            return !server.IsActive();
        });
    }
    // Pushes solid pictures until the display has shown a few.
    bool ShowColor(CRVDOServer &server, int width, int height, uint8_t y, uint8_t u, uint8_t v)
    {
        const int64_t before = server.FramesShown();
        return WaitUntil([&] {
            FramePackage frame = MakeSolidI420Package(width, height, y, u, v, 0);
            server.PushFrame(frame);
            FreeFramePackage(frame);
            return server.FramesShown() >= before + 3;
        });
    }
};

TEST_F(RVDOServerTest, AWindowShowsThePicturesInTheRightColours)
{
    CLogCapture log;
    auto server = StartServer(L"VdcdCam1", 640, 360);
    ASSERT_TRUE(server->StartDirectOutput(L"RVDO-T", 100, 100)); // too small: 640 x 360
    ASSERT_TRUE(WaitUntil([&] { return server->IsActive(); }));
    const unsigned long window = server->WindowId();
    EXPECT_EQ(WindowTitle(m_xvfb.Name(), window), "RVDO-T");
    EXPECT_EQ(WindowClass(m_xvfb.Name(), window), "Kestro-TYX-Renderer");
    int x = 0, y = 0, width = 0, height = 0;
    ASSERT_TRUE(WindowGeometry(m_xvfb.Name(), window, x, y, width, height));
    EXPECT_EQ(width, 640);
    EXPECT_EQ(height, 360);
    EXPECT_EQ(x, (1920 - 640) / 2); // centred on the screen
    EXPECT_EQ(y, (1080 - 360) / 2);

    ASSERT_TRUE(ShowColor(*server, 640, 360, kRedY, kRedU, kRedV));
    int grabbedWidth = 0;
    int grabbedHeight = 0;
    std::vector<uint8_t> shown;
    const stBgr expected = ExpectedBgr(kRedY, kRedU, kRedV);
    EXPECT_GT(expected.r, 200);
    EXPECT_TRUE(WaitUntil([&] { // a present waits at most 100 ms; a busy screen may follow later
        shown = m_xvfb.Grab(window, grabbedWidth, grabbedHeight);
        return NearColor(PixelAt(shown, grabbedWidth, 320, 180), expected);
    }));
    for (const auto &[px, py] : {std::pair{320, 180}, std::pair{5, 5}, std::pair{634, 354}})
        EXPECT_TRUE(NearColor(PixelAt(shown, grabbedWidth, px, py), expected)) << px << "," << py;
    SaveScreenshot(m_xvfb, window, "rvdo_window_red");

    // A picture of another size is dropped, never read past.
    FramePackage wrong = MakeSolidI420Package(320, 180, 16, 128, 128, 0);
    server->PushFrame(wrong);
    FreeFramePackage(wrong);
    EXPECT_TRUE(WaitUntil([&] { return log.Contains(L"dropped: the display shows [640 X 360].", 3); }));

    server->StopEvent().Set();
    EXPECT_TRUE(WaitUntil([&] { return !server->IsActive() && server->WindowId() == 0; }));
    EXPECT_EQ(server->Stop(5000), 0);
}

// An odd size shows every pixel, the last column and row included.
TEST_F(RVDOServerTest, AnOddSizedPictureIsShownToItsLastPixel)
{
    auto server = StartServer(L"VdcdOdd", 321, 181);
    ASSERT_TRUE(server->StartDirectOutput(L"RVDO-Odd", 321, 181));
    ASSERT_TRUE(WaitUntil([&] { return server->IsActive(); }));
    const unsigned long window = server->WindowId();
    ASSERT_TRUE(ShowColor(*server, 321, 181, kRedY, kRedU, kRedV));
    const stBgr expected = ExpectedBgr(kRedY, kRedU, kRedV);
    int width = 0;
    int height = 0;
    std::vector<uint8_t> shown;
    EXPECT_TRUE(WaitUntil([&] {
        shown = m_xvfb.Grab(window, width, height);
        return width == 321 && height == 181 && NearColor(PixelAt(shown, width, 320, 180), expected);
    })) << width << " x " << height;
    for (const auto &[px, py] : {std::pair{0, 0}, std::pair{160, 90}, std::pair{320, 0}, std::pair{0, 180}})
        EXPECT_TRUE(NearColor(PixelAt(shown, width, px, py), expected)) << px << "," << py;
    server->StopEvent().Set();
    EXPECT_TRUE(WaitUntil([&] { return !server->IsActive() && server->WindowId() == 0; }));
    EXPECT_EQ(server->Stop(5000), 0);
}

TEST_F(RVDOServerTest, A1080pOutputGetsA1280By720WindowAndAStartAfterAStopShowsAgain)
{
    auto server = StartServer(L"Big", 1920, 1080);
    ASSERT_TRUE(server->StartDirectOutput(L"", 1920, 1080));
    ASSERT_TRUE(WaitUntil([&] { return server->IsActive(); }));
    EXPECT_EQ(WindowTitle(m_xvfb.Name(), server->WindowId()), "Big"); // the server's name
    int x = 0, y = 0, width = 0, height = 0;
    ASSERT_TRUE(WindowGeometry(m_xvfb.Name(), server->WindowId(), x, y, width, height));
    EXPECT_EQ(width, 1280);
    EXPECT_EQ(height, 720);
    ASSERT_TRUE(ShowColor(*server, 1920, 1080, 235, 128, 128));
    server->StopEvent().Set();
    ASSERT_TRUE(WaitUntil([&] { return !server->IsActive(); }));
    ASSERT_TRUE(server->StartDirectOutput(L"Again", 640, 360));
    ASSERT_TRUE(WaitUntil([&] { return server->IsActive(); }));
    EXPECT_EQ(WindowTitle(m_xvfb.Name(), server->WindowId()), "Again");
    server->Stop(5000);
}

TEST_F(RVDOServerTest, AMonitorOutputCoversItsMonitorAndTakesItsResolution)
{
    CLogCapture log;
    ASSERT_TRUE(m_xvfb.AddTwoMonitors());
    ASSERT_TRUE(m_xvfb.AddOutputMode(1280, 720));
    LockRendererSection();
    CTYXGVMS::MonitorAliases()[2] = L"Wall";
    UnlockRendererSection();
    auto server = StartServer(L"Wall", 1280, 720);
    server->SetMonitorOutput(2);
    server->StartEvent().Set();
    ASSERT_TRUE(WaitUntil([&] { return server->IsActive(); }));
    int x = 0, y = 0, width = 0, height = 0;
    ASSERT_TRUE(WindowGeometry(m_xvfb.Name(), server->WindowId(), x, y, width, height));
    EXPECT_EQ(x, 960);
    EXPECT_EQ(y, 0);
    EXPECT_EQ(width, 960);
    EXPECT_EQ(height, 1080);
    EXPECT_EQ(PresentingMark(2), 1);
    int modeWidth = 0;
    int modeHeight = 0;
    m_xvfb.CurrentOutputMode(modeWidth, modeHeight);
    EXPECT_EQ(modeWidth, 1280); // it stays so until changed back
    EXPECT_EQ(modeHeight, 720);
    EXPECT_TRUE(log.Contains(L"Resolution of current used display [2] was set to [1280 X 720]. ", 5));
    ASSERT_TRUE(ShowColor(*server, 1280, 720, kRedY, kRedU, kRedV));
    SaveScreenshot(m_xvfb, 0, "rvdo_monitor2");
    server->StopEvent().Set();
    ASSERT_TRUE(WaitUntil([&] { return !server->IsActive(); }));
    EXPECT_EQ(PresentingMark(2), 0);
    EXPECT_TRUE(m_xvfb.RestoreOutputMode());
    server->Stop(5000);
}

TEST_F(RVDOServerTest, AMonitorBeyondTheDisplaysShowsOnTheLastAndLeavesFullScreen)
{
    CLogCapture log;
    ASSERT_TRUE(m_xvfb.AddTwoMonitors());
    auto server = StartServer(L"Third", 640, 360);
    server->SetMonitorOutput(3);
    server->StartEvent().Set();
    ASSERT_TRUE(WaitUntil([&] { return server->IsActive(); }));
    int x = 0, y = 0, width = 0, height = 0;
    ASSERT_TRUE(WindowGeometry(m_xvfb.Name(), server->WindowId(), x, y, width, height));
    EXPECT_EQ(x, 960); // display 2 at the start
    ASSERT_TRUE(ShowColor(*server, 640, 360, kRedY, kRedU, kRedV));
    EXPECT_TRUE(log.Contains(L"RVDO server[Alias=Third] switching off fullscreen Display. ", 5));
    ASSERT_TRUE(WindowGeometry(m_xvfb.Name(), server->WindowId(), x, y, width, height));
    EXPECT_EQ(width, 640);
    EXPECT_EQ(height, 360);
    server->Stop(5000);
}

TEST_F(RVDOServerTest, AnXServerThatGoesAwayEndsTheDisplayButNotTheProcess)
{
    CLogCapture log;
    auto server = StartServer(L"Lost", 640, 360);
    ASSERT_TRUE(server->StartDirectOutput(L"lost", 640, 360));
    ASSERT_TRUE(ShowColor(*server, 640, 360, kRedY, kRedU, kRedV));
    EXPECT_TRUE(LoseTheXServer(*server));
    EXPECT_TRUE(log.Contains(L"lost its X server; the display stops.", 3));
    EXPECT_TRUE(server->IsThreadRunning());
    EXPECT_EQ(server->Stop(5000), 0);
}

// The connections of a server that went away are closed with nothing of GL left on them, so the
// X libraries' process-wide records stay sound: X servers that go away one after the other leave
// the next one as usable as the first.
TEST_F(RVDOServerTest, XServersGoingAwayOneAfterTheOtherLeaveTheNextOneUsable)
{
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        if (round > 0) {
            ASSERT_TRUE(m_xvfb.Start());
        }
        auto server = StartServer(L"Lost" + std::to_wstring(round), 640, 360);
        ASSERT_TRUE(server->StartDirectOutput(L"lost", 640, 360));
        ASSERT_TRUE(ShowColor(*server, 640, 360, kRedY, kRedU, kRedV));
        ASSERT_TRUE(LoseTheXServer(*server));
        ASSERT_EQ(server->Stop(5000), 0);
    }
    ASSERT_TRUE(m_xvfb.Start());
    auto server = StartServer(L"After", 640, 360);
    ASSERT_TRUE(server->StartDirectOutput(L"after", 640, 360));
    ASSERT_TRUE(ShowColor(*server, 640, 360, kRedY, kRedU, kRedV));
    const stBgr expected = ExpectedBgr(kRedY, kRedU, kRedV);
    EXPECT_TRUE(WaitUntil([&] {
        int width = 0;
        int height = 0;
        const std::vector<uint8_t> shown = m_xvfb.Grab(server->WindowId(), width, height);
        return NearColor(PixelAt(shown, width, 320, 180), expected);
    }));
    EXPECT_EQ(server->Stop(5000), 0);
}

using BannerTest = CXvfbTest;

// Counts pixels near a colour inside a rectangle of the root window's picture.
int CountNear(const std::vector<uint8_t> &pixels, int width, int left, int top, int right, int bottom, stBgr color)
{
    int count = 0;
    for (int y = top; y < bottom; ++y) {
        for (int x = left; x < right; ++x)
            count += NearColor(PixelAt(pixels, width, x, y), color, 40) ? 1 : 0;
    }
    return count;
}

TEST_F(BannerTest, IdleMonitorsShowTheTextAndTheTimeButBusyOnesAreLeftAlone)
{
    ASSERT_TRUE(m_xvfb.AddTwoMonitors());
    EXPECT_EQ(CRVDOServer::InitMonitors(L"", true, TYX_DEFAULT_BANNER_TEXT, 0, 0), 2);
    int width = 0;
    int height = 0;
    std::vector<uint8_t> screen = m_xvfb.Grab(0, width, height);
    SaveBgraAsPng("artifacts/banner_two_monitors.png", screen, width, height);
    for (const int left : {0, 960}) {
        SCOPED_TRACE(left);
        EXPECT_GT(CountNear(screen, width, left, 500, left + 960, 580, {0, 255, 0}), 50) << "the text, centred";
        EXPECT_GT(CountNear(screen, width, left + 600, 1040, left + 960, 1080, {255, 255, 255}), 20) << "the time";
        EXPECT_EQ(CountNear(screen, width, left, 0, left + 960, 400, {255, 255, 255}), 0) << "black elsewhere";
    }

    // Monitor 2 shows a direct output: only monitor 1 is drawn, and without a text no green at all.
    CTYXGVMS::MonitorAliases()[2] = L"Wall";
    CTYXGVMS::MonitorPresenting()[2] = 1;
    CRVDOServer::InitMonitors(L"", true, L"", 0, 1); // clears monitor 1
    EXPECT_EQ(CRVDOServer::InitMonitors(L"", false, L"", 0, 0), 1);
    screen = m_xvfb.Grab(0, width, height);
    EXPECT_EQ(CountNear(screen, width, 0, 0, 960, 1080, {0, 255, 0}), 0);
    EXPECT_GT(CountNear(screen, width, 600, 1040, 960, 1080, {255, 255, 255}), 20);
    EXPECT_GT(CountNear(screen, width, 960, 500, 1920, 580, {0, 255, 0}), 50) << "monitor 2 was not drawn again";
    EXPECT_EQ(CRVDOServer::InitMonitors(L"", false, L"", 0, 5), -1);
}

} // namespace
