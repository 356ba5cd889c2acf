#include "input/NrtMRdrWorker.h"

#include "ReadWorkerRun.h"
#include "ReadWorkerTestSupport.h"
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
std::vector<int64_t> StampLessSourcePts(const std::vector<stSeenPackage> &sent, const std::vector<CRecordingReader::stRead> &read)
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
    for (size_t i = 1; i < sent.size(); ++i)
        offsets.push_back(sent[i].pts - read[i + matches[0]].ptsUs);
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
