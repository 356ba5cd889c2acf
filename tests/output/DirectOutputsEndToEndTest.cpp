// A picture worker made from CRVProcWorker shows its frames in an Xvfb window and on a frame-pipe
// client, and draws the source's status text when the source reports a status code.

#include "output/DisplayTestSupport.h"
#include "output/FramePipeClient.h"
#include "output/OutputTestSupport.h"

#include "output/RVDOServer.h"
#include "output/RVTPServer.h"
#include "vproc/OsdItem.h"
#include "vproc/OsdWriter.h"
#include "vproc/RVProcWorker.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 360;
constexpr uint32_t kSourceStream = 0x01010001;
const stColorYuv kStatusBackground{16, 128, 128};

// What a decoder does with its pictures, in a few lines: status packages become a blank picture
// with the status text, every picture goes to both direct outputs.
class CPictureWorker : public CRVProcWorker
{
public:
    explicit CPictureWorker(const InputLinkMap *inputs) : CRVProcWorker(0x02010000, inputs, nullptr, 4, false, false)
    {
        m_name = L"VdcdE2E";
    }
    int32_t Initialize(uint8_t flag, int32_t value) override
    {
        CRVProcWorker::Initialize(flag, value);
        m_statusWriter = CreateStatusOsdWriter(OSD_POS_CENTER);
        return 0;
    }
    uint32_t WorkingFunc() override
    {
        while (m_exitEvent->Wait(2) != TYX_WAIT_OBJECT_0) {
            FramePackage package;
            if (ReceivePaketFromUpStream(package, 0, true) <= 0)
                continue;
            if (package.nLength < 0) {
                FramePackage frame;
                frame.width = kWidth;
                frame.height = kHeight;
                frame.inDevice = 1;
                frame.pts = package.pts;
                if (CreateBlankVideoFramePackage(frame, kStatusBackground) > 0 &&
                    DrawStatusOnFrame(*m_statusWriter, frame, package.nLength) == 0)
                    statusFrames += PushFrameToDirectOutputs(frame, 0) > 0 ? 1 : 0;
                FreeFramePackage(frame);
                continue;
            }
            DrawOverlaysOnFrame(package, TYX_OVERLAY_OUTPUT, 0);
            PushFrameToDirectOutputs(package, 0);
            FreeFramePackage(package);
        }
        return 0;
    }
    void unInitialize() override
    {
        CRVProcWorker::unInitialize();
        m_statusWriter.reset();
    }
    std::shared_ptr<CRVDOServer> Display() { return GetRvdoServer(0); }
    using CRVProcWorker::SetPipeOutputName;

    std::atomic<int> statusFrames{0};

private:
    std::shared_ptr<COsdWriter> m_statusWriter;
};

class DirectOutputsEndToEndTest : public CXvfbTest
{
protected:
    void SetUp() override
    {
        CXvfbTest::SetUp();
        if (IsSkipped())
            return;
        m_link.CreateQueue();
        m_inputs[kSourceStream] = m_link;
    }
    void Feed(const FramePackage &package)
    {
        CCsLock lock(*m_link.queueLock);
        if (m_link.queue->size() < 30)
            m_link.queue->push_back(package);
        else {
            FramePackage dropped = package;
            FreeFramePackage(dropped);
        }
    }
    FramePackage StatusPackage(int32_t code)
    {
        FramePackage package;
        package.nLength = code;
        package.pts = 1;
        return package;
    }

    CRuntimeFolderScope m_folder;
    stWorkerInputLink m_link;
    CTYXWorker::InputLinkMap m_inputs;
};

TEST_F(DirectOutputsEndToEndTest, FramesReachTheWindowAndThePipeAndStatusTextsAreDrawn)
{
    auto worker = std::make_shared<CPictureWorker>(&m_inputs);
    ASSERT_EQ(worker->Initialize(1, 0), 0);
    worker->SetPipeOutputName(L"E2E", 0);
    stDirectOutputConfig window;
    window.outputOn = TYX_DISPLAY_WINDOW;
    window.WindowWidth = kWidth;
    window.WindowHeight = kHeight;
    ASSERT_TRUE(worker->EnableDirectOutput(window, 0));
    ASSERT_EQ(worker->StartRvtpServer(kWidth, kHeight, 0), 0);
    ASSERT_EQ(worker->StartRvdoServer(kWidth, kHeight, 0), 0);
    ASSERT_GT(worker->StartWorkingThread(1, 0), 0);
    ASSERT_EQ(worker->ResumeWorkingThread(), 0);
    std::shared_ptr<CRVDOServer> display = worker->Display();
    ASSERT_TRUE(WaitUntil([&] { return display->IsActive(); }));

    CFramePipeClient client;
    ASSERT_TRUE(client.Connect(m_folder.Path() + "/RVTP_E2E"));
    FramePackage red = MakeSolidI420Package(kWidth, kHeight, 63, 102, 240, 5000);
    const std::vector<uint8_t> redBytes(red.pData, red.pData + red.nLength);
    stFrameMessage message;
    ASSERT_TRUE(WaitUntil([&] {
        FramePackage copy;
        DuplicateFramePackage(copy, red);
        Feed(copy);
        return client.ReadMessage(message, 20) && display->FramesShown() > 2;
    }));
    EXPECT_EQ(message.type, 1537);
    EXPECT_EQ(message.width, kWidth);
    EXPECT_EQ(message.height, kHeight);
    EXPECT_EQ(message.pts, 5000);
    EXPECT_EQ(message.data, redBytes);
    int width = 0;
    int height = 0;
    std::vector<uint8_t> shown;
    // A present waits at most 100 ms: on a busy machine the screen may follow a little later.
    EXPECT_TRUE(WaitUntil([&] {
        shown = m_xvfb.Grab(display->WindowId(), width, height);
        return NearColor(PixelAt(shown, width, kWidth / 2, kHeight / 2), ExpectedBgr(63, 102, 240));
    }));
    SaveScreenshot(m_xvfb, display->WindowId(), "e2e_window_frames");
    FreeFramePackage(red);

    // The source reports "Closed. Re-connect later.": its text appears on both outputs.
    const int64_t shownBefore = display->FramesShown();
    ASSERT_TRUE(WaitUntil([&] {
        Feed(StatusPackage(TYX_SRC_CLOSED));
        return client.ReadMessage(message, 20) && message.data != redBytes && display->FramesShown() > shownBefore + 2;
    }));
    const std::vector<uint8_t> pipePicture = I420ToBgra(message.data, kWidth, kHeight);
    SaveBgraAsPng("artifacts/e2e_pipe_status.png", pipePicture, kWidth, kHeight);
    const stBgr background = ExpectedBgr(kStatusBackground.y, kStatusBackground.u, kStatusBackground.v);
    int pipeTextPixels = 0;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x)
            pipeTextPixels += NearColor(PixelAt(pipePicture, kWidth, x, y), background) ? 0 : 1;
    }
    EXPECT_GT(pipeTextPixels, 200) << "status text on the pipe picture";
    auto redTextPixels = [&] {
        int count = 0;
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                const stBgr window = PixelAt(shown, width, x, y);
                count += window.r > 150 && window.g < 100 ? 1 : 0;
            }
        }
        return count;
    };
    EXPECT_TRUE(WaitUntil([&] {
        Feed(StatusPackage(TYX_SRC_CLOSED));
        shown = m_xvfb.Grab(display->WindowId(), width, height);
        // The red picture itself passes for red text: wait until the window shows the status background.
        return NearColor(PixelAt(shown, width, 4, 4), background) && redTextPixels() > 200;
    })) << "red status text in the window";
    SaveScreenshot(m_xvfb, display->WindowId(), "e2e_window_status");
    for (int y = 0; y < kHeight / 4; ++y) { // the text sits in the middle, the rest is background
        for (int x = 0; x < kWidth; x += 7)
            EXPECT_TRUE(NearColor(PixelAt(shown, width, x, y), background)) << x << "," << y;
    }
    EXPECT_GT(worker->statusFrames.load(), 0);

    worker->WaitThreadExit(5000);
    worker->unInitialize();
    EXPECT_TRUE(client.SeesEnd(5000));
    // A display thread slower than its stop budget is let go, holding its server until it ends.
    EXPECT_TRUE(WaitUntil([&] { return display.use_count() == 1; }));
}

} // namespace
