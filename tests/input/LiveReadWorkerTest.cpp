#include "input/NrtMRdrWorker.h"

#include "NginxRtmpServer.h"
#include "ReadWorkerRun.h"
#include "ReadWorkerTestSupport.h"
#include "RtmpPublisher.h"
#include "RtmpTestServer.h"
#include "RtspTestServer.h"

#include "core/TYXUtils.h"
#include "host/GlobalVars.h"
#include "host/TYXEvent.h"
#include "support/LogCapture.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/codec_id.h>
}

#include <algorithm>
#include <optional>
#include <thread>

namespace {

constexpr uint32_t kWorker = 0x01040000;
constexpr uint32_t kVideoOut = kWorker + 1;
constexpr uint32_t kAudioOut = kWorker + 2;

// Fourteen seconds of a live source, made once for the suite.
const std::filesystem::path &LiveMedia()
{
    static CTestMediaSet set;
    static const std::filesystem::path path = set.Add("live.mp4", {.seconds = 14.0});
    return path;
}

// A camera's stream: B-frames and a key frame every two seconds (the server silences its sound).
const std::filesystem::path &CameraMedia()
{
    static CTestMediaSet set;
    static const std::filesystem::path path = set.Add("camera.mp4", {.seconds = 14.0, .gop = 50, .bFrames = 2});
    return path;
}

class LiveReadWorkerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CTYXGVMS::ResetForTests();
        ClearTYXEventQueue();
        consumers.Add(kVideoOut, TYX_PKT_KIND_CODED_VIDEO);
        worker = std::make_shared<CNRTMediaReadWorker>(kWorker, &consumers.Links());
        worker->SetReopenWaits(200, 200);
        worker->SetOpenRetryWait(300);
    }
    void TearDown() override
    {
        if (worker)
            StopReadWorker(*worker);
        ClearTYXEventQueue();
    }

    // Packages until data came, then a failure status, then connect failures, then data again.
    static bool CameBack(const std::vector<stSeenPackage> &all)
    {
        const size_t firstData = FindFrom(all, 0, [](const auto &p) { return p.length > 0; });
        const size_t lost = FindFrom(all, firstData, [](const auto &p) { return p.length == TYX_SRC_CLOSED || p.length == TYX_SRC_READ_FAILED; });
        const size_t down = FindFrom(all, lost, [](const auto &p) { return p.length == TYX_SRC_CONNECT_FAILED; });
        return FindFrom(all, down, [](const auto &p) { return p.length > 0; }) < all.size();
    }
    void ExpectComeBack(const std::vector<stSeenPackage> &all, const CLogCapture &log)
    {
        ASSERT_TRUE(CameBack(all)) << "packages seen: " << all.size();
        const auto video = DataOnly(all);
        EXPECT_TRUE(video.front().key());
        // The new session starts on a key frame too.
        const size_t down = FindFrom(all, 0, [](const auto &p) { return p.length == TYX_SRC_CONNECT_FAILED; });
        const size_t back = FindFrom(all, down, [](const auto &p) { return p.length > 0; });
        ASSERT_LT(back, all.size());
        EXPECT_TRUE(all[back].key());
        for (const stSeenPackage &p : video) {
            EXPECT_TRUE(p.annexB);
            EXPECT_EQ(TYX_PKT_KIND_CODED_VIDEO, p.kind);
        }
        // Stamped on the program clock, within a few seconds of now.
        EXPECT_LT(std::llabs(video.back().pts - GetCurrentTimeUs()), 10000000LL);
        // The failure to connect is logged once while the server is away.
        EXPECT_EQ(1, log.Count(L"Retry it later...", 3));
        const auto types = TakeEventTypes();
        const auto closed = std::find(types.begin(), types.end(), TYX_EVENT_SOURCE_CLOSED);
        ASSERT_NE(types.end(), closed);
        EXPECT_NE(types.end(), std::find(closed, types.end(), TYX_EVENT_SOURCE_OPENED));
    }

    // A fresh worker with a sound output, for a source behind the relay; the relay's URL of the
    // camera.
    std::string UseRelay(CNginxRtmpServer &relay)
    {
        if (relay.Start() != 0)
            return {};
        StopReadWorker(*worker);
        consumers.Add(kAudioOut, TYX_PKT_KIND_CODED_AUDIO);
        worker = std::make_shared<CNRTMediaReadWorker>(kWorker, &consumers.Links());
        return relay.Url("camera");
    }

    // Starts the camera once the relay has its plays-th player of it waiting, so that the player
    // gets the connection's first packets: the relay numbers the streams in their order. 0 or the
    // publisher's code.
    static int PublishToWaitingPlayer(CNginxRtmpServer &relay, size_t plays, CRtmpPublisher &camera, const std::string &url,
                                      const CRtmpPublisher::stOptions &options)
    {
        auto playsSoFar = [&relay] {
            const std::string log = relay.ErrorLog();
            size_t count = 0;
            for (size_t at = log.find("play: name='camera'"); at != std::string::npos; at = log.find("play: name='camera'", at + 1))
                ++count;
            return count;
        };
        if (!WaitUntil([&] { return playsSoFar() >= plays; }, 30000, 5))
            return -1;
        return camera.Start(LiveMedia(), url, options);
    }

    // A camera behind the relay publishes its picture first, goes away until the source closes at
    // its read deadline, and comes back sending its sound first, to the reopened source: each
    // output still gets its own media, and the consumers are told their own stream's parameters.
    void CameraComesBackSoundFirst(bool configuredIndexes)
    {
        if (const std::string missing = CNginxRtmpServer::Missing(); !missing.empty())
            GTEST_SKIP() << missing;
        CNginxRtmpServer relay;
        const std::string url = UseRelay(relay);
        ASSERT_FALSE(url.empty()) << relay.ErrorLog();
        worker->SetReopenWaits(200, 200);
        worker->SetOpenRetryWait(300);
        auto config = MakeSourceConfig(kWorker, TYX_MS_RTMP, StringToWString(url), true);
        if (configuredIndexes) {
            config.Streams[1].avStrmId = 0;
            config.Streams[2].avStrmId = 1;
        }
        int32_t started = -1;
        std::thread start([&] { started = StartReadWorker(*worker, config); });
        CRtmpPublisher camera;
        const int published = PublishToWaitingPlayer(relay, 1, camera, url, {.pictureFirst = true});
        start.join();
        ASSERT_EQ(0, published) << relay.ErrorLog();
        ASSERT_EQ(0, started);

        auto enough = [](const auto &seen) { return DataOnly(seen).size() >= 25; };
        const auto before = DataOnly(consumers.TakeUntil(kVideoOut, enough, 30000));
        ASSERT_GE(before.size(), 25u);
        ASSERT_EQ(0, before.front().streamIndex) << "the relay numbers the picture first";
        ASSERT_GE(DataOnly(consumers.TakeUntil(kAudioOut, enough, 30000)).size(), 25u);

        // What came after the source closed.
        auto returned = [](const std::vector<stSeenPackage> &all) {
            const size_t closed = FindFrom(all, 0, [](const auto &p) {
                return p.length == TYX_SRC_READ_FAILED || p.length == TYX_SRC_CLOSED;
            });
            return closed < all.size() ? std::optional(DataOnly({all.begin() + closed, all.end()})) : std::nullopt;
        };
        camera.Stop();
        ASSERT_TRUE(returned(consumers.TakeUntil(kVideoOut, [&](const auto &seen) { return returned(seen).has_value(); }, 30000)));
        ASSERT_EQ(0, PublishToWaitingPlayer(relay, 2, camera, url, {.soundFirst = true})) << relay.ErrorLog();

        auto enoughAfter = [&](const auto &seen) { return returned(seen).value_or(std::vector<stSeenPackage>{}).size() >= 25; };
        const auto video = returned(consumers.TakeUntil(kVideoOut, enoughAfter, 60000)).value_or(std::vector<stSeenPackage>{});
        const auto audio = returned(consumers.TakeUntil(kAudioOut, enoughAfter, 30000)).value_or(std::vector<stSeenPackage>{});
        ASSERT_GE(video.size(), 25u);
        ASSERT_GE(audio.size(), 25u);
        // The relay numbered the camera's return sound first: the picture is at index 1 now,
        // wherever it went.
        auto pictureElsewhere = [](const std::vector<stSeenPackage> &seen) {
            return std::count_if(seen.begin(), seen.end(),
                                 [](const stSeenPackage &p) { return p.mediaType == TYX_MEDIA_VIDEO && p.streamIndex != 1; });
        };
        ASSERT_EQ(0, pictureElsewhere(video) + pictureElsewhere(audio)) << "the relay numbers the returned camera's sound first";
        EXPECT_EQ(0, std::count_if(video.begin(), video.end(), [](const stSeenPackage &p) {
                      return p.mediaType != TYX_MEDIA_VIDEO || p.kind != TYX_PKT_KIND_CODED_VIDEO || !p.annexB;
                  })) << "packages that are no H.264 picture, of " << video.size() << " the picture's consumer got";
        EXPECT_EQ(0, std::count_if(audio.begin(), audio.end(), [](const stSeenPackage &p) {
                      return p.mediaType != TYX_MEDIA_AUDIO || p.kind != TYX_PKT_KIND_CODED_AUDIO;
                  })) << "packages that are no sound, of " << audio.size() << " the sound's consumer got";
        const auto parameters = worker->GetOutputParametersMap();
        EXPECT_EQ(TYX_MEDIA_VIDEO, parameters->at(kVideoOut).mediaType);
        EXPECT_EQ(AV_CODEC_ID_H264, parameters->at(kVideoOut).codecId);
        EXPECT_EQ(TYX_MEDIA_AUDIO, parameters->at(kAudioOut).mediaType);
        EXPECT_EQ(AV_CODEC_ID_AAC, parameters->at(kAudioOut).codecId);
    }

    CTestConsumers consumers;
    std::shared_ptr<CNRTMediaReadWorker> worker;
};

} // namespace

TEST_F(LiveReadWorkerTest, RtmpSourceComesBackAfterTheServerWentAway)
{
    // The configuration's look at the source is the session the worker reads: a one-shot
    // listener serves it once. Its stream analysis takes 4 s of the stream, so the cut comes later.
    CRtmpTestServer::stBehaviour behaviour;
    behaviour.session = 1;
    behaviour.dropAfterMs = 10000;
    behaviour.downtimeMs = 1500;
    CRtmpTestServer server;
    ASSERT_EQ(0, server.Start(LiveMedia(), behaviour));
    CLogCapture log;
    ASSERT_EQ(0, StartReadWorker(*worker, MakeSourceConfig(kWorker, TYX_MS_RTMP, StringToWString(server.Url()), false)));
    auto all = consumers.TakeUntil(kVideoOut, [](const auto &seen) { return !DataOnly(seen).empty(); }, 30000);
    ASSERT_FALSE(DataOnly(all).empty());
    EXPECT_EQ(1, server.Sessions());
    all = consumers.TakeUntil(kVideoOut, CameBack, 50000);
    ExpectComeBack(all, log);
}

TEST_F(LiveReadWorkerTest, RtspCameraWithSilentSoundPlaysAndComesBackOnAKeyFrameAfterARestart)
{
    if (!CRtspTestServer::Available())
        GTEST_SKIP() << "GStreamer RTSP server not installed";
    CRtspTestServer server;
    server.SetAudioFor(0.2);
    ASSERT_EQ(0, server.Start(CameraMedia(), true));
    CLogCapture log;
    auto config = MakeSourceConfig(kWorker, TYX_MS_RTSP, StringToWString(server.Url()), true);
    config.UseTCP = 1;
    ASSERT_EQ(0, StartReadWorker(*worker, config));
    auto all = consumers.TakeUntil(kVideoOut, [](const auto &seen) { return DataOnly(seen).size() >= 10; }, 30000);
    ASSERT_GE(DataOnly(all).size(), 10u);
    EXPECT_TRUE(log.Contains(L"gave no packets for its base time", 3));
    server.Stop();
    all = consumers.TakeUntil(kVideoOut, [](const auto &seen) { return CountStatus(seen, TYX_SRC_CONNECT_FAILED) >= 1; }, 20000);
    ASSERT_GE(CountStatus(all, TYX_SRC_CONNECT_FAILED), 1);
    ASSERT_EQ(0, server.Restart());
    all = consumers.TakeUntil(kVideoOut, CameBack, 30000);
    ExpectComeBack(all, log);
    // Both stamps of a package come from one base: the reordering of the B-frames survives.
    for (const stSeenPackage &p : DataOnly(all)) {
        if (p.dts != TYX_NOPTS_VALUE) {
            EXPECT_GE(p.pts, p.dts);
        }
    }
}

TEST_F(LiveReadWorkerTest, AStalledStreamIsClosedAtItsReadDeadline)
{
    CRtmpTestServer::stBehaviour behaviour;
    behaviour.session = 1;
    behaviour.stallAfterMs = 10000;
    CRtmpTestServer server;
    ASSERT_EQ(0, server.Start(LiveMedia(), behaviour));
    CLogCapture log;
    ASSERT_EQ(0, StartReadWorker(*worker, MakeSourceConfig(kWorker, TYX_MS_RTMP, StringToWString(server.Url()), false)));
    const auto all = consumers.TakeUntil(kVideoOut, [](const auto &seen) { return CountStatus(seen, TYX_SRC_READ_FAILED) > 0; }, 40000);
    EXPECT_FALSE(DataOnly(all).empty());
    EXPECT_EQ(1, CountStatus(all, TYX_SRC_READ_FAILED));
    EXPECT_TRUE(log.Contains(L"NRTMediaReadWorker[Source1:1040000]Media source stream reading failed with error(-1414092869) found.", 5));
    server.Stop();
}

// A camera whose encoder restarts: the relay keeps the session while the camera is away for three
// seconds, and the camera comes back with stamps from 0. The source stays open, shows again and
// keeps its stamps rising on one new offset.
TEST_F(LiveReadWorkerTest, ACameraThatRestartsOnTheSameSessionShowsAgainWithRisingStamps)
{
    if (const std::string missing = CNginxRtmpServer::Missing(); !missing.empty())
        GTEST_SKIP() << missing;
    CNginxRtmpServer relay;
    const std::string url = UseRelay(relay);
    ASSERT_FALSE(url.empty()) << relay.ErrorLog();
    CRtmpPublisher camera;
    ASSERT_EQ(0, camera.Start(LiveMedia(), url, {}));
    CLogCapture log;
    ASSERT_EQ(0, StartReadWorker(*worker, MakeSourceConfig(kWorker, TYX_MS_RTMP, StringToWString(url), true)));

    auto pictures = [](size_t count) {
        return [count](const auto &seen) { return DataOnly(seen).size() >= count; };
    };
    const size_t before = DataOnly(consumers.TakeUntil(kVideoOut, pictures(50), 30000)).size();
    ASSERT_GE(before, 50u);
    camera.Restart(3.0);
    ASSERT_TRUE(WaitUntil([&] { return camera.Connections() >= 2; }, 30000, 10));
    // The camera's second session: 100 pictures (four seconds) after it is up.
    const auto all = consumers.TakeUntil(kVideoOut, pictures(before + 100), 30000);
    const auto sound = consumers.TakeUntil(kAudioOut, [](const auto &) { return true; }, 0);
    const std::vector<stSeenPackage> video = DataOnly(all);
    ASSERT_GE(video.size(), before + 100) << "the camera shows again";
    EXPECT_EQ(0, CountStatus(all, TYX_SRC_READ_FAILED) + CountStatus(all, TYX_SRC_CLOSED))
        << "the source stays open while its camera is away";
    EXPECT_FALSE(log.Contains(L"Media source stream reading failed", 5));

    int64_t largestStep = 0;
    for (size_t i = 1; i < video.size(); ++i) {
        EXPECT_GT(video[i].dts, video[i - 1].dts) << i;
        largestStep = std::max(largestStep, video[i].dts - video[i - 1].dts);
    }
    // The stamps bridge the camera's absence as time on the program clock, not as the jump back
    // its own stamps made.
    EXPECT_GT(largestStep, 2000000) << "the absence shows in the stamps";
    EXPECT_LT(largestStep, 10000000);
    EXPECT_EQ(1, log.Count(L"the source is re-anchored on the program clock.", 3));
    // The sound of the second session is on the same new offset as its picture.
    const auto audio = DataOnly(sound);
    ASSERT_FALSE(audio.empty());
    EXPECT_LT(std::llabs(audio.back().dts - video.back().dts), 1000000LL);
}

TEST_F(LiveReadWorkerTest, AnUnreachableSourceNeverHoldsUpTheStop)
{
    CLogCapture log;
    worker->SetOpenRetryWait(10000);
    const int port = FindFreeTcpPort();
    ASSERT_EQ(0, StartReadWorker(*worker, MakeSourceConfig(kWorker, TYX_MS_RTSP,
                                                            L"127.0.0.1:" + std::to_wstring(port) + L"/none", false)));
    const auto all = consumers.TakeUntil(kVideoOut, [](const auto &seen) { return CountStatus(seen, TYX_SRC_CONNECT_FAILED) > 0; }, 20000);
    EXPECT_EQ(1, CountStatus(all, TYX_SRC_CONNECT_FAILED));
    EXPECT_TRUE(log.Contains(L"Media source opening failed with error=-111.", 3));
    // The worker waits ten seconds before its next try; the stop ends that wait.
    EXPECT_NE(static_cast<int32_t>(TYX_STILL_ACTIVE), StopReadWorker(*worker));
    worker.reset();
}

TEST_F(LiveReadWorkerTest, ConfiguredIndexesOfARelayThatSendsTheSoundFirstGiveEachStreamItsOwnMedia)
{
    if (const std::string missing = CNginxRtmpServer::Missing(); !missing.empty())
        GTEST_SKIP() << missing;
    CNginxRtmpServer relay;
    const std::string url = UseRelay(relay);
    ASSERT_FALSE(url.empty()) << relay.ErrorLog();

    // Configured as a file source is: the picture at index 0, the sound at 1.
    auto config = MakeSourceConfig(kWorker, TYX_MS_RTMP, StringToWString(url), true);
    config.Streams[1].avStrmId = 0;
    config.Streams[2].avStrmId = 1;
    CLogCapture log;
    // The worker plays from the relay before the camera publishes, so the relay hands it the
    // camera's first packets, sound first: its FLV reader then numbers the sound 0.
    int32_t started = -1;
    std::thread start([&] { started = StartReadWorker(*worker, config); });
    const bool playing =
        WaitUntil([&] { return relay.ErrorLog().find("play: name='camera'") != std::string::npos; }, 30000, 5);
    CRtmpPublisher camera;
    const int published = playing ? camera.Start(LiveMedia(), url, {.soundFirst = true}) : -1;
    start.join();
    ASSERT_TRUE(playing) << relay.ErrorLog();
    ASSERT_EQ(0, published);
    ASSERT_EQ(0, started);

    auto enough = [](const auto &seen) { return DataOnly(seen).size() >= 25; };
    const auto video = DataOnly(consumers.TakeUntil(kVideoOut, enough, 30000));
    const auto audio = DataOnly(consumers.TakeUntil(kAudioOut, enough, 30000));
    ASSERT_GE(video.size(), 25u);
    ASSERT_GE(audio.size(), 25u);
    for (const stSeenPackage &p : video) {
        EXPECT_EQ(TYX_MEDIA_VIDEO, p.mediaType);
        EXPECT_EQ(1, p.streamIndex);
        EXPECT_TRUE(p.annexB); // H.264 from FLV, made Annex B by the reader
    }
    for (const stSeenPackage &p : audio) {
        EXPECT_EQ(TYX_MEDIA_AUDIO, p.mediaType);
        EXPECT_EQ(0, p.streamIndex);
    }
    EXPECT_EQ(1, log.Count(L"Configured video stream index 0 holds audio: stream index 1, the best video stream, is taken instead.", 3));
    EXPECT_EQ(1, log.Count(L"Configured audio stream index 1 holds video: stream index 0, the best audio stream, is taken instead.", 3));
}

TEST_F(LiveReadWorkerTest, ARelayCameraThatComesBackSendingItsSoundFirstKeepsEachStreamsMedia)
{
    CameraComesBackSoundFirst(false);
}

TEST_F(LiveReadWorkerTest, ARelayCameraThatComesBackSendingItsSoundFirstKeepsEachStreamsMediaWithConfiguredIndexes)
{
    CameraComesBackSoundFirst(true);
}
