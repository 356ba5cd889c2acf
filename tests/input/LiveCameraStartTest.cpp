#include "input/NrtMRdrWorker.h"

#include "ReadWorkerRun.h"
#include "ReadWorkerTestSupport.h"
#include "RtspTestServer.h"

#include "core/TYXUtils.h"
#include "host/GlobalVars.h"
#include "host/TYXEvent.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>

// A live camera whose sound ends a second into every session while its picture goes on: the
// worker's start-up (flush, backlog skipping, base times) must not wait for the silent track.

namespace {

constexpr uint32_t kWorker = 0x01050000;
constexpr uint32_t kVideoOut = kWorker + 1;
// Far longer than any wait below: pictures that came only at the end of the clip (when the
// server ends the session) would fail the test.
constexpr double kClipSeconds = 75.0;
constexpr int kPicturesWaitMs = 40000;

const std::filesystem::path &CameraMedia()
{
    static CTestMediaSet set;
    static const std::filesystem::path path = set.Add("camera.mp4", {.seconds = kClipSeconds, .gop = 50, .bFrames = 2});
    return path;
}

bool HasPictures(const std::vector<stSeenPackage> &seen)
{
    return DataOnly(seen).size() >= 10;
}

} // namespace

TEST(LiveCameraStartTest, PicturesComeSoonAfterTheStartAndAfterAnOutageWhenTheSoundEnded)
{
    if (!CRtspTestServer::Available())
        GTEST_SKIP() << "GStreamer RTSP server not installed";
    CTYXGVMS::ResetForTests();
    ClearTYXEventQueue();
    CTestConsumers consumers;
    consumers.Add(kVideoOut, TYX_PKT_KIND_CODED_VIDEO);
    auto worker = std::make_shared<CNRTMediaReadWorker>(kWorker, &consumers.Links());
    worker->SetReopenWaits(200, 200);
    worker->SetOpenRetryWait(300);

    CRtspTestServer server;
    server.SetAudioFor(1.0);
    ASSERT_EQ(0, server.Start(CameraMedia(), true));
    auto config = MakeSourceConfig(kWorker, TYX_MS_RTSP, StringToWString(server.Url()), true);
    config.UseTCP = 1;
    ASSERT_EQ(0, StartReadWorker(*worker, config));

    auto all = consumers.TakeUntil(kVideoOut, HasPictures, kPicturesWaitMs);
    EXPECT_TRUE(HasPictures(all)) << "no pictures while the camera's first session lasts";
    EXPECT_EQ(0, CountStatus(all, TYX_SRC_CLOSED));

    // The outage: the session ends, opens fail for a while, then the camera is back.
    server.Stop();
    all = consumers.TakeUntil(kVideoOut, [](const auto &seen) { return CountStatus(seen, TYX_SRC_CONNECT_FAILED) >= 1; }, 20000);
    ASSERT_GE(CountStatus(all, TYX_SRC_CONNECT_FAILED), 1);
    ASSERT_EQ(0, server.Restart());
    all = consumers.TakeUntil(kVideoOut, HasPictures, kPicturesWaitMs);
    EXPECT_TRUE(HasPictures(all)) << "no pictures after the camera came back";
    EXPECT_TRUE(DataOnly(all).front().key());

    StopReadWorker(*worker);
    server.Stop();
    ClearTYXEventQueue();
}
