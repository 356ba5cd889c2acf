// The raw video read worker with its three threads on real sources: generated pictures (raw YUYV),
// a recorded coded camera, the screen of the test's X server; pictures leave in device memory
// (the host backend here) and are checked by value and saved as PNG.

#include "CaptureTestSupport.h"

#include "core/TYXUtils.h"
#include "core/TYXWorkerConfig.h"
#include "host/TYXEvent.h"
#include "input/RVReadWorker.h"
#include "output/FramePipeClient.h"
#include "output/OutputTestSupport.h"
#include "output/RVDOServer.h"
#include "support/LogCapture.h"
#include "support/TestMedia.h"
#include "support/XvfbServer.h"
#include "vproc/OSGdrawer.h"
#include "vproc/OsdItem.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace {

constexpr uint32_t kWorker = 0x01040000;
constexpr uint32_t kOutput = kWorker + 1;
constexpr int64_t kClockStart = 1700000000000000LL;

stMediaSourceReadWorkerConfig VideoConfig(const std::string &device, int16_t width = 0, int16_t height = 0, float fps = 0.0f)
{
    stMediaSourceReadWorkerConfig config;
    config.Name = L"Cam1";
    config.No = 1;
    config.WorkerId = static_cast<int32_t>(kWorker);
    config.MSTYPE = TYX_MS_VCAP;
    config.MSFullPath = StringToWString(device);
    stTYXStreamConfig stream;
    stream.StreamId = static_cast<int32_t>(kOutput);
    stream.MediaType = 0;
    stream.FrameWidth = width;
    stream.FrameHeight = height;
    stream.OutputFramerate = fps;
    config.Streams[1] = stream;
    return config;
}

struct stVideoRun : stCaptureRun<CRawVideoReadWorker>
{
    explicit stVideoRun(bool injectClock = false) : stCaptureRun(kWorker, TYX_PKT_KIND_RAW_VIDEO, kClockStart, injectClock) {}
    const std::vector<stTakenPackage> &UntilPictures(size_t count)
    {
        return consumer.TakeUntil([count](const auto &all) { return WithData(all).size() >= count; }, 20000);
    }
};

} // namespace

TEST(RawVideoReadWorker, RawYuyvCameraSendsI420PicturesInDeviceMemory)
{
    TakeEventTypes();
    CLogCapture log;
    stVideoRun run(true);
    run.Configure(VideoConfig("lavfi:color=c=red:size=1280x720:rate=25:d=1,format=yuyv422"));
    ASSERT_EQ(run.Run(), 0);
    const auto &all = run.UntilClosed();
    EXPECT_EQ(run.Stop(), 25);
    const auto pictures = WithData(all);
    ASSERT_EQ(pictures.size(), 25u);
    // The end of the source follows its last picture.
    EXPECT_TRUE(all.back().IsStatus(TYX_SRC_CLOSED));
    for (size_t i = 0; i < pictures.size(); ++i) {
        const FramePackage &h = pictures[i]->header;
        EXPECT_EQ(h.nLength, 1382400);
        EXPECT_EQ(h.width, 1280);
        EXPECT_EQ(h.height, 720);
        EXPECT_EQ(h.kind, TYX_PKT_KIND_RAW_VIDEO);
        EXPECT_EQ(h.mediaType, TYX_MEDIA_VIDEO);
        EXPECT_EQ(h.format, AV_PIX_FMT_YUV420P);
        EXPECT_EQ(h.inDevice, 1);
        // Stamped on the program clock from the first picture on, 40 ms apart.
        EXPECT_EQ(h.pts, kClockStart + static_cast<int64_t>(i) * 40000);
    }
    // Red in limited-range BT.601.
    const std::vector<uint8_t> &red = pictures[0]->data;
    EXPECT_NEAR(red[640 * 360], 81, 3);
    EXPECT_NEAR(red[1280 * 720 + 320 * 180], 90, 3);
    EXPECT_NEAR(red[1280 * 720 * 5 / 4 + 320 * 180], 240, 3);
    SavePicture("capture_worker_red.png", *pictures[0]);
    // Raw pictures never went through the decoder.
    EXPECT_TRUE(log.Contains(L"Need-Decoding-Flag was set false. Exiting...", 5));
    EXPECT_EQ(run.worker->DecodeThreadResult(), 0);

    ASSERT_FALSE(run.published.empty());
    const auto &[id, params] = run.published.front();
    EXPECT_EQ(id, kOutput);
    EXPECT_EQ(params.width, 1280);
    EXPECT_EQ(params.pixelFormat, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(params.frameSize, 1382400);
    EXPECT_EQ(params.timeBase.den, 1000000);
    EXPECT_FLOAT_EQ(params.frameRate, 25.0f);
    EXPECT_EQ(run.worker->GetOutputStatistics(kOutput).at(kOutput).state, TYX_STATUS_CLOSED);
    EXPECT_EQ(TakeEventTypes(), std::vector<int32_t>{TYX_EVENT_SOURCE_CLOSED});
}

TEST(RawVideoReadWorker, GraphicsOfTheOutputSlotAreDrawnOnTheSentPictures)
{
    stVideoRun run;
    auto drawer = std::make_shared<COsgDrawer>();
    stOsgPicture badge;
    badge.sourcePath = "badge.png";
    badge.width = badge.height = 8;
    badge.rowLength = 32;
    badge.placement.origin = OSD_POS_LEFT_TOP;
    std::vector<uint8_t> grey(8 * 8 * 4, 200);
    for (size_t alpha = 3; alpha < grey.size(); alpha += 4)
        grey[alpha] = 255;
    ASSERT_EQ(badge.image.Allocate(grey.size()), GPU_SUCCESS);
    DevMemcpy(badge.image.Get(), grey.data(), grey.size(), EGpuCopyKind::HostToDevice);
    ASSERT_EQ(drawer->AddPicture(1, std::move(badge)), 1);
    ASSERT_NE(run.worker->SetOsgDrawer(drawer, TYX_OVERLAY_OUTPUT, 0), nullptr);
    run.Configure(VideoConfig("lavfi:color=c=red:size=320x240:rate=25:d=0.2,format=yuyv422"));
    ASSERT_EQ(run.Run(), 0);
    const auto pictures = WithData(run.UntilClosed());
    run.Stop();
    ASSERT_EQ(pictures.size(), 5u);
    const std::vector<uint8_t> &y = pictures.back()->data;
    EXPECT_EQ(y[1 * 320 + 1], 200);
    EXPECT_NEAR(y[120 * 320 + 160], 81, 3);
    SavePicture("capture_worker_overlay.png", *pictures.back());
}

TEST(RawVideoReadWorker, SpeedsAreLoggedOncePerIntervalOfFrames)
{
    CLogCapture log;
    CTestMediaSet media;
    stTestMediaSpec spec;
    spec.container = "matroska";
    spec.audio = false;
    spec.seconds = 1.0;
    spec.width = 64;
    spec.height = 48;
    const auto path = media.Add("speed.mkv", spec);
    stVideoRun run;
    run.worker->SetSpeedLogInterval(10);
    run.Configure(VideoConfig("file:" + path.string()));
    ASSERT_EQ(run.Run(), 0);
    ASSERT_EQ(WithData(run.UntilClosed()).size(), 25u);
    run.Stop();
    // 25 pictures decoded: lines at the 10th and the 20th. Decoded I420 needs no conversion, and only
    // conversions count for the post-processing speed.
    EXPECT_EQ(log.Count(L"[RawVideoReadWorker]Current video decoding speed is(", 5), 2);
    EXPECT_TRUE(log.Contains(L"ms used for 20 frames.", 5));
    EXPECT_EQ(log.Count(L"[RawVideoReadWorker]Total frame post processing speed is(", 5), 0);

    log.Clear();
    stVideoRun raw;
    raw.worker->SetSpeedLogInterval(10);
    raw.Configure(VideoConfig("lavfi:testsrc2=size=64x48:rate=25:d=1,format=yuyv422"));
    ASSERT_EQ(raw.Run(), 0);
    ASSERT_EQ(WithData(raw.UntilClosed()).size(), 25u);
    raw.Stop();
    EXPECT_EQ(log.Count(L"[RawVideoReadWorker]Total frame post processing speed is(", 5), 2);
    EXPECT_EQ(log.Count(L"[RawVideoReadWorker]Current video decoding speed is(", 5), 0);
}

// The worker with its display server in reach of the test.
class CShownCaptureWorker : public CRawVideoReadWorker
{
public:
    using CRawVideoReadWorker::CRawVideoReadWorker;
    using CRVProcWorker::GetRvdoServer;
};

TEST(RawVideoReadWorker, ConfiguredDirectDisplayShowsTheCameraWithoutAnyConsumer)
{
    CXvfbServer server;
    if (!server.Start(640, 480))
        GTEST_SKIP() << "Xvfb cannot start here";
    auto worker = std::make_shared<CShownCaptureWorker>(kWorker, nullptr);
    worker->AllowTestSources(true);
    auto config = VideoConfig("lavfi:color=c=red:size=160x120:rate=50,format=yuyv422,realtime");
    stDirectOutputConfig &display = config.Streams[1].DirectOutputSettings;
    display.DirectOutput = 1;
    display.outputOn = TYX_DISPLAY_WINDOW;
    display.WindowWidth = 160;
    display.WindowHeight = 120;
    worker->CopyInConfiguration(&config);
    ASSERT_EQ(worker->Initialize(0, 0), 0);
    ASSERT_GE(worker->StartWorkingThread(1, 0), 0);
    worker->ResumeWorkingThread();
    std::shared_ptr<CRVDOServer> shown;
    ASSERT_TRUE(WaitUntil([&] { return (shown = worker->GetRvdoServer(0)) && shown->IsActive() && shown->FramesShown() > 2; }, 10000));
    int width = 0;
    int height = 0;
    std::vector<uint8_t> window;
    EXPECT_TRUE(WaitUntil([&] {
        window = server.Grab(shown->WindowId(), width, height);
        const stBgr middle = window.empty() ? stBgr{} : PixelAt(window, width, width / 2, height / 2);
        return middle.r > 200 && middle.g < 60 && middle.b < 60;
    }, 10000));
    std::filesystem::create_directories("artifacts");
    SaveBgraAsPng("artifacts/capture_worker_display.png", window, width, height);
    StopReadWorker(*worker);
}

// The first picture a worker with only its pipe output on (the configuration's pipe option) hands
// to a client of the pipe.
static stFrameMessage FirstPipedPicture(const std::string &source)
{
    CRuntimeFolderScope folder;
    auto worker = std::make_shared<CRawVideoReadWorker>(kWorker, nullptr);
    worker->AllowTestSources(true);
    worker->SetRvtpServerOption(1, 0);
    const auto config = VideoConfig(source);
    worker->CopyInConfiguration(&config);
    stFrameMessage message;
    EXPECT_EQ(worker->Initialize(0, 0), 0);
    EXPECT_GE(worker->StartWorkingThread(1, 0), 0);
    worker->ResumeWorkingThread();
    CFramePipeClient client;
    EXPECT_TRUE(WaitUntil([&] { return client.Connect(folder.Path() + "/RVTP_Cam1"); }, 10000));
    EXPECT_TRUE(WaitUntil([&] { return client.ReadMessage(message, 50) && message.length > 0; }, 10000));
    client.Close();
    StopReadWorker(*worker);
    return message;
}

TEST(RawVideoReadWorker, FramePipeAloneIsFedWithoutAnyConsumer)
{
    const stFrameMessage message = FirstPipedPicture("lavfi:color=c=red:size=64x48:rate=50,format=yuyv422,realtime");
    EXPECT_EQ(message.width, 64);
    EXPECT_EQ(message.height, 48);
    ASSERT_EQ(message.data.size(), 64u * 48 * 3 / 2);
    EXPECT_NEAR(message.data[0], 81, 3);
    EXPECT_NEAR(message.data[64 * 48 * 5 / 4], 240, 3);
}

TEST(RawVideoReadWorker, AnOddSizedCameraReachesThePipeWithItsChromaRoundedUp)
{
    const stFrameMessage message = FirstPipedPicture("lavfi:color=c=red:size=63x47:rate=50,format=yuv444p,realtime");
    EXPECT_EQ(message.width, 63);
    EXPECT_EQ(message.height, 47);
    ASSERT_EQ(message.data.size(), 63u * 47 + 2 * 32 * 24);
    EXPECT_NEAR(message.data[63 * 47 - 1], 81, 3);                // the last luma sample
    EXPECT_NEAR(message.data[63 * 47 + 2 * 32 * 24 - 1], 240, 3); // the last V sample
}

TEST(RawVideoReadWorker, CodedCameraIsDecodedBeforePostProcessing)
{
    CTestMediaSet media;
    stTestMediaSpec spec;
    spec.container = "matroska";
    spec.videoCodec = "mjpeg";
    spec.audio = false;
    spec.seconds = 1.0;
    const auto path = media.Dir().File("camera.mkv");
    if (WriteTestMedia(path, spec) < 0) {
        spec.videoCodec = "libx264";
        ASSERT_EQ(WriteTestMedia(path, spec), 0);
    }
    stVideoRun run;
    run.Configure(VideoConfig("file:" + path.string()));
    EXPECT_TRUE(run.worker->Reader()->NeedsDecoding());
    ASSERT_EQ(run.Run(), 0);
    const auto &all = run.UntilClosed();
    EXPECT_EQ(run.Stop(), 25);
    const auto pictures = WithData(all);
    EXPECT_EQ(pictures.size(), 25u);
    ASSERT_FALSE(pictures.empty());
    EXPECT_EQ(pictures[0]->header.nLength, 320 * 240 * 3 / 2);
    EXPECT_EQ(pictures[0]->header.inDevice, 1);
    EXPECT_EQ(pictures[0]->header.format, AV_PIX_FMT_YUV420P);
    SavePicture("capture_worker_" + spec.videoCodec + ".png", *pictures[12]);
}

TEST(RawVideoReadWorker, DeviceThatOpensOnlyAtThreadStartIsStillDecodedAndSent)
{
    CTestMediaSet media;
    stTestMediaSpec spec;
    spec.container = "matroska";
    spec.audio = false;
    spec.seconds = 0.4;
    spec.width = 160;
    spec.height = 120;
    const auto path = media.Dir().File("late.mkv");
    stVideoRun run;
    run.Configure(VideoConfig("file:" + path.string()));
    EXPECT_FALSE(run.worker->Reader()->IsOpened());
    EXPECT_EQ(run.worker->GetOutputStatistics(kOutput).at(kOutput).state, TYX_STATUS_OPEN_FAILED);
    // The device comes while the helper threads already run.
    ASSERT_EQ(WriteTestMedia(path, spec), 0);
    ASSERT_EQ(run.Run(), 0);
    const auto &all = run.UntilClosed();
    run.Stop();
    EXPECT_EQ(WithData(all).size(), 10u);
    ASSERT_FALSE(run.published.empty());
    EXPECT_EQ(run.published.back().second.width, 160);
}

TEST(RawVideoReadWorker, MissingDeviceFailsTheReadThreadAndTheOthersEndAtTheExit)
{
    TakeEventTypes();
    stVideoRun run;
    run.Configure(VideoConfig("/dev/video99", 640, 480, 25.0f));
    ASSERT_EQ(run.Run(), 0);
    bool children = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!run.worker->IsStopped(children) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(run.Stop(), 2);
    EXPECT_EQ(run.worker->PostProcThreadResult(), 0);
    EXPECT_EQ(run.worker->DecodeThreadResult(), 0);
    EXPECT_EQ(run.worker->GetOutputStatistics(kOutput).at(kOutput).state, TYX_STATUS_OPEN_FAILED);
    EXPECT_EQ(TakeEventTypes(), std::vector<int32_t>{TYX_EVENT_SOURCE_OPEN_FAILED});
    EXPECT_TRUE(run.consumer.Taken().empty());
}

TEST(RawVideoReadWorker, SlowDeviceRateIsCorrectedNotZeroed)
{
    CLogCapture log;
    stVideoRun run;
    run.Configure(VideoConfig(TestPattern(64, 64, 5, "yuyv422")));
    EXPECT_TRUE(log.Contains(L"Frame rate was corrected to 30 fps.", 3));
    EXPECT_FLOAT_EQ(run.worker->GetOutputParameters().frameRate, 30.0f);
    run.Stop();

    stVideoRun negotiated;
    negotiated.worker->SetCorrectedFrameRate(25);
    negotiated.Configure(VideoConfig(TestPattern(64, 64, 5, "yuyv422")));
    EXPECT_FLOAT_EQ(negotiated.worker->GetOutputParameters().frameRate, 25.0f);
    negotiated.Stop();
}

TEST(RawVideoReadWorker, OutputFormatsTheWorkerCanPutOut)
{
    EXPECT_EQ(RawVideoOutputFrameSize(AV_PIX_FMT_YUV420P, 1280, 720), 1382400);
    EXPECT_EQ(RawVideoOutputFrameSize(AV_PIX_FMT_YUVJ420P, 64, 64), 6144);
    for (int format : {AV_PIX_FMT_YUYV422, AV_PIX_FMT_YUV422P, AV_PIX_FMT_YUVJ422P, AV_PIX_FMT_UYVY422})
        EXPECT_EQ(RawVideoOutputFrameSize(format, 64, 64), 8192) << format;
    EXPECT_EQ(RawVideoOutputFrameSize(AV_PIX_FMT_YUV444P, 64, 64), 12288);
    // Odd sizes round the chroma up.
    EXPECT_EQ(RawVideoOutputFrameSize(AV_PIX_FMT_YUV420P, 63, 47), 63 * 47 + 2 * 32 * 24);
    EXPECT_EQ(RawVideoOutputFrameSize(AV_PIX_FMT_YUV422P, 63, 47), 63 * 47 + 2 * 32 * 47);
    EXPECT_EQ(RawVideoOutputFrameSize(AV_PIX_FMT_RGB24, 64, 64), -1);

    CLogCapture log;
    stVideoRun run;
    run.worker->SetOutputPixelFormat(AV_PIX_FMT_RGB24);
    run.Configure(VideoConfig(TestPattern(64, 64, 25, "yuyv422")));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (run.worker->PostProcThreadResult() < 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(run.worker->PostProcThreadResult(), static_cast<int32_t>(TYX_RVR_POST_BAD_FORMAT));
    EXPECT_TRUE(log.Contains(L"Unsupport output pixel format", 3));
    run.Stop();
}

TEST(RawVideoReadWorker, StoppedPushingFreesPicturesUntilItStartsAgain)
{
    stVideoRun run(true);
    run.clock = kClockStart;
    run.Configure(VideoConfig("lavfi:color=c=blue:size=64x64:rate=100,format=yuyv422,realtime"));
    ASSERT_EQ(run.Run(), 0);
    ASSERT_GE(WithData(run.UntilPictures(3)).size(), 3u);
    ASSERT_EQ(run.worker->StopDataPushing(), 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!run.worker->IsPushingStopped() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(run.worker->IsPushingStopped());
    // What was sent before the stop is taken; then ten more pictures are read and handled.
    const size_t before = WithData(run.consumer.TakeUntil([](const auto &) { return false; }, 5)).size();
    const int64_t read = run.worker->GetOutputStatistics(kOutput).at(kOutput).packetsIn;
    run.consumer.TakeUntil(
        [&](const auto &) {
            return run.worker->GetOutputStatistics(kOutput).at(kOutput).packetsIn >= read + 10 && run.worker->PendingPictures() == 0;
        },
        10000);
    EXPECT_EQ(WithData(run.consumer.Taken()).size(), before);
    run.worker->StartDataPushing();
    EXPECT_GE(WithData(run.UntilPictures(before + 3)).size(), before + 3);
    EXPECT_FALSE(run.worker->IsPushingStopped());
    run.Stop();
}
