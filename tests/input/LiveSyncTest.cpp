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
#include "support/TestMedia.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <mutex>

// A live source's picture and sound are stamped on one time line: the picture and the sound of one
// moment of the source (one time stamp as the source gives it) get the same stamp.

namespace {

constexpr uint32_t kWorker = 0x01060000;
constexpr uint32_t kVideoOut = kWorker + 1;
constexpr uint32_t kAudioOut = kWorker + 2;

const std::filesystem::path &LiveAvMedia()
{
    static CTestMediaSet set;
    static const std::filesystem::path path = set.Add("live-av.mp4", {.seconds = 20.0, .gop = 50, .bFrames = 2});
    return path;
}

// The network reader, keeping the length and the pts (µs, cut as the stamping cuts it) of every
// packet it read.
class CRecordingReader : public CRTSPMPReader
{
public:
    struct stRead
    {
        int32_t length = 0;
        int64_t ptsUs = 0;
    };

    int32_t ReadPacket(FramePackage &package) override
    {
        const int32_t result = CRTSPMPReader::ReadPacket(package);
        const auto stream = m_selected.find(package.streamIndex);
        if (result > 0 && package.pts != TYX_NOPTS_VALUE && stream != m_selected.end() && stream->second) {
            const AVRational tb = stream->second->time_base;
            const int64_t us = static_cast<int64_t>(static_cast<__int128>(package.pts) * tb.num * 1000000 / tb.den);
            std::lock_guard<std::mutex> lock(m_mutex);
            m_read[package.mediaType].push_back({package.nLength, us});
        }
        return result;
    }
    std::vector<stRead> Read(int32_t mediaType)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_read[mediaType];
    }

private:
    std::mutex m_mutex;
    std::map<int32_t, std::vector<stRead>> m_read;
};

class CRecordingNetWorker : public CNRTMediaReadWorker
{
public:
    using CNRTMediaReadWorker::CNRTMediaReadWorker;
    CMediaSourceReader *CreateReader(const stMediaSourceReadWorkerConfig &config) override
    {
        m_msType = config.MSTYPE;
        auto reader = std::make_unique<CRecordingReader>();
        const bool rtmp = config.MSTYPE == TYX_MS_RTMP;
        reader->SetRtmpSource(rtmp);
        reader->SetTransportTcp(!rtmp && config.UseTCP);
        recorder = reader.get();
        m_reader = std::move(reader);
        return m_reader.get();
    }

    CRecordingReader *recorder = nullptr;
};

// The stamp less the source's pts (µs) of the packages a stream sent, found among the packets the
// reader read by their lengths (the sent ones are the last read but for those dropped at the
// start); the first package sent is left out, as it may be a held-back key frame moved in time.
// The source's pts of each go into `sourcePts`.
std::vector<int64_t> StampLessSourcePts(const std::vector<stSeenPackage> &sent, const std::vector<CRecordingReader::stRead> &read,
                                        std::vector<int64_t> *sourcePts = nullptr)
{
    std::vector<size_t> matches;
    for (size_t k = 0; k + sent.size() <= read.size(); ++k) {
        bool same = true;
        for (size_t i = 1; i < sent.size() && same; ++i)
            same = sent[i].length == read[i + k].length;
        if (same)
            matches.push_back(k);
    }
    EXPECT_EQ(1u, matches.size()) << "where the sent packages lie among those read";
    std::vector<int64_t> offsets;
    if (matches.size() != 1)
        return offsets;
    for (size_t i = 1; i < sent.size(); ++i) {
        offsets.push_back(sent[i].pts - read[i + matches[0]].ptsUs);
        if (sourcePts)
            sourcePts->push_back(read[i + matches[0]].ptsUs);
    }
    return offsets;
}

// The median of how long before it was read each package's stamp lies (µs).
int64_t MedianLag(const std::vector<stSeenPackage> &seen)
{
    std::vector<int64_t> lags;
    for (const stSeenPackage &p : seen)
        lags.push_back(p.readTime - p.dts);
    std::nth_element(lags.begin(), lags.begin() + std::ptrdiff_t(lags.size() / 2), lags.end());
    return lags[lags.size() / 2];
}

class LiveSyncTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CTYXGVMS::ResetForTests();
        ClearTYXEventQueue();
        consumers.Add(kVideoOut, TYX_PKT_KIND_CODED_VIDEO);
        consumers.Add(kAudioOut, TYX_PKT_KIND_CODED_AUDIO);
        worker = std::make_shared<CRecordingNetWorker>(kWorker, &consumers.Links());
        worker->SetReopenFlags(false, false);
    }
    void TearDown() override { ClearTYXEventQueue(); }

    // Plays the source a while, with the picture's and the sound's delays of the configuration
    // (300 ms and 150 ms), and compares the stamps of both with the time stamps they were read with.
    void ExpectOneTimeLine(const stMediaSourceReadWorkerConfig &config)
    {
        ASSERT_EQ(0, StartReadWorker(*worker, config));
        const auto enough = [](const std::vector<stSeenPackage> &seen) { return DataOnly(seen).size() >= 150; };
        consumers.TakeUntil(kVideoOut, enough, 60000);
        consumers.TakeUntil(kAudioOut, enough, 60000);
        StopReadWorker(*worker);
        const auto video = DataOnly(consumers.TakeUntil(kVideoOut, enough, 0));
        const auto audio = DataOnly(consumers.TakeUntil(kAudioOut, enough, 0));
        ASSERT_GE(video.size(), 150u);
        ASSERT_GE(audio.size(), 150u);
        const auto videoOffsets = StampLessSourcePts(video, worker->recorder->Read(TYX_MEDIA_VIDEO));
        const auto audioOffsets = StampLessSourcePts(audio, worker->recorder->Read(TYX_MEDIA_AUDIO));
        ASSERT_FALSE(videoOffsets.empty());
        ASSERT_FALSE(audioOffsets.empty());
        const int64_t origin = videoOffsets.front();
        for (const auto *offsets : {&videoOffsets, &audioOffsets}) {
            const auto [low, high] = std::minmax_element(offsets->begin(), offsets->end());
            EXPECT_EQ(origin, *low) << (offsets == &videoOffsets ? "picture" : "sound");
            EXPECT_EQ(origin, *high) << (offsets == &videoOffsets ? "picture" : "sound");
        }
        // And close to the clock: behind it by about the delay the configuration gives.
        for (const auto *stream : {&video, &audio}) {
            EXPECT_GT(MedianLag(*stream), 0);
            EXPECT_LT(MedianLag(*stream), 2000000);
        }
    }

    CTestConsumers consumers;
    std::shared_ptr<CRecordingNetWorker> worker;
};

} // namespace

TEST_F(LiveSyncTest, PictureAndSoundOfAnRtmpSourceShareOneTimeLine)
{
    CRtmpTestServer server;
    ASSERT_EQ(0, server.Start(LiveAvMedia(), {}));
    ExpectOneTimeLine(MakeSourceConfig(kWorker, TYX_MS_RTMP, StringToWString(server.Url()), true));
}

TEST_F(LiveSyncTest, PictureAndSoundOfAnRtspCameraShareOneTimeLine)
{
    if (!CRtspTestServer::Available())
        GTEST_SKIP() << "GStreamer RTSP server not installed";
    CRtspTestServer server;
    ASSERT_EQ(0, server.Start(LiveAvMedia(), true));
    auto config = MakeSourceConfig(kWorker, TYX_MS_RTSP, StringToWString(server.Url()), true);
    config.UseTCP = 1;
    ExpectOneTimeLine(config);
}

// A camera behind a relay whose encoder restarts: the relay keeps the session, and the camera comes
// back after 3 s with stamps from 0, its first 0.3 s sent at once as it made them while it
// reconnected. Picture and sound go on at once on one new offset, at the delay they had: the late
// start of the return is not taken for the source's delay.
TEST_F(LiveSyncTest, ACameraThatComesBackGoesOnAtOnceAtTheDelayItHad)
{
    if (const std::string missing = CNginxRtmpServer::Missing(); !missing.empty())
        GTEST_SKIP() << missing;
    CNginxRtmpServer relay;
    ASSERT_EQ(0, relay.Start()) << relay.ErrorLog();
    const std::string url = relay.Url("camera");
    CRtmpPublisher camera;
    ASSERT_EQ(0, camera.Start(LiveAvMedia(), url, {.returnBurstMs = 300}));
    ASSERT_EQ(0, StartReadWorker(*worker, MakeSourceConfig(kWorker, TYX_MS_RTMP, StringToWString(url), true)));
    const auto pictures = [](size_t count) {
        return [count](const std::vector<stSeenPackage> &seen) { return DataOnly(seen).size() >= count; };
    };
    const size_t before = DataOnly(consumers.TakeUntil(kVideoOut, pictures(100), 60000)).size();
    ASSERT_GE(before, 100u);
    camera.Restart(3.0);
    ASSERT_TRUE(WaitUntil([&] { return camera.Connections() >= 2; }, 30000, 10));
    // Four seconds of the camera's return.
    consumers.TakeUntil(kVideoOut, pictures(before + 100), 60000);
    StopReadWorker(*worker);
    const auto video = DataOnly(consumers.TakeUntil(kVideoOut, pictures(0), 0));
    const auto audio = DataOnly(consumers.TakeUntil(kAudioOut, pictures(0), 0));
    ASSERT_GE(video.size(), before + 100);
    std::vector<int64_t> videoPts;
    std::vector<int64_t> audioPts;
    const auto videoOffsets = StampLessSourcePts(video, worker->recorder->Read(TYX_MEDIA_VIDEO), &videoPts);
    const auto audioOffsets = StampLessSourcePts(audio, worker->recorder->Read(TYX_MEDIA_AUDIO), &audioPts);
    ASSERT_FALSE(videoOffsets.empty());
    ASSERT_FALSE(audioOffsets.empty());
    // Where the stamps started again.
    const auto returnOf = [](const std::vector<int64_t> &pts) {
        for (size_t i = 1; i < pts.size(); ++i) {
            if (pts[i] < pts[i - 1] - 1000000)
                return i;
        }
        return pts.size();
    };
    const size_t videoBack = returnOf(videoPts);
    const size_t audioBack = returnOf(audioPts);
    ASSERT_LT(videoBack + 50, videoPts.size()) << "the picture came back";
    ASSERT_LT(audioBack + 50, audioPts.size()) << "the sound came back";

    // One new offset for picture and sound: each sound package's offset is that of the picture
    // nearest to it in the camera's time.
    for (size_t a = audioBack; a < audioPts.size(); ++a) {
        size_t nearest = videoBack;
        for (size_t v = videoBack; v < videoPts.size(); ++v) {
            if (std::llabs(videoPts[v] - audioPts[a]) < std::llabs(videoPts[nearest] - audioPts[a]))
                nearest = v;
        }
        EXPECT_NEAR(double(videoOffsets[nearest]), double(audioOffsets[a]), 1000.0) << "sound at " << audioPts[a];
    }
    // The pictures the camera sent at its pace after its return lie behind their arrival as far as
    // those before the restart did (the sent packages are video[i + 1] for offsets[i]).
    const auto medianLag = [&](size_t from, size_t to) {
        std::vector<stSeenPackage> some;
        for (size_t i = from; i < to; ++i)
            some.push_back(video[i + 1]);
        return MedianLag(some);
    };
    const size_t paced = std::min(videoPts.size(), videoBack + 15); // past the 0.3 s sent at once
    const int64_t lagBefore = medianLag(videoBack - 50, videoBack);
    const int64_t lagAfter = medianLag(paced, std::min(videoPts.size(), paced + 50));
    EXPECT_NEAR(double(lagBefore), double(lagAfter), 100000.0) << "µs behind the arrival, before and after the return";
    EXPECT_GT(lagAfter, 0);
}
