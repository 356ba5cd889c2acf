#include "NginxRtmpServer.h"
#include "RtmpPublisher.h"

#include "support/FlashBeepClip.h"
#include "support/TestMedia.h"
#include "support/Wait.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace {

// Four seconds of the flash-and-beep clip, 25 pictures a second, made once for the suite.
const std::filesystem::path &Clip()
{
    static CTestMediaSet set;
    static const std::filesystem::path path = [] {
        stTestMediaSpec media;
        media.seconds = 4.0;
        stFlashBeepSpec marks;
        const std::filesystem::path file = set.Dir().File("flashbeep.mp4");
        EXPECT_EQ(0, WriteFlashBeepClip(file, media, marks));
        return file;
    }();
    return path;
}

struct stPlayed
{
    int mediaType = -1; // AVMEDIA_TYPE_*
    int codecId = 0;
    int64_t dtsMs = 0;
};

int PastDeadline(void *deadline)
{
    return std::chrono::steady_clock::now() > *static_cast<std::chrono::steady_clock::time_point *>(deadline) ? 1 : 0;
}

// A player of the relay: the streams as libavformat numbers them and the packets it reads, until
// enough says so or 30 s have passed.
class CPlayer
{
public:
    explicit CPlayer(const std::string &url) : m_url(url) {}
    ~CPlayer() { avformat_close_input(&m_context); }

    bool Open()
    {
        m_context = avformat_alloc_context();
        m_context->interrupt_callback = {PastDeadline, &m_deadline};
        AVDictionary *options = nullptr;
        av_dict_set(&options, "rtmp_live", "live", 0);
        const bool opened = avformat_open_input(&m_context, m_url.c_str(), nullptr, &options) == 0 &&
                            avformat_find_stream_info(m_context, nullptr) >= 0;
        av_dict_free(&options);
        return opened;
    }
    int StreamType(unsigned index) const
    {
        return index < m_context->nb_streams ? m_context->streams[index]->codecpar->codec_type : -1;
    }
    unsigned Streams() const { return m_context->nb_streams; }
    // Reads until enough(packets) holds; false on a read failure or the deadline.
    template <class Enough> bool ReadUntil(std::vector<stPlayed> &packets, Enough enough)
    {
        AVPacket *packet = av_packet_alloc();
        bool done = false;
        while (!done && av_read_frame(m_context, packet) >= 0) {
            const AVStream *stream = m_context->streams[packet->stream_index];
            packets.push_back({stream->codecpar->codec_type, stream->codecpar->codec_id,
                               av_rescale_q(packet->dts, stream->time_base, AVRational{1, 1000})});
            av_packet_unref(packet);
            done = enough(packets);
        }
        av_packet_free(&packet);
        return done;
    }

private:
    std::string m_url;
    std::chrono::steady_clock::time_point m_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    AVFormatContext *m_context = nullptr;
};

std::vector<int64_t> VideoStamps(const std::vector<stPlayed> &packets)
{
    std::vector<int64_t> stamps;
    for (const stPlayed &packet : packets)
        if (packet.mediaType == AVMEDIA_TYPE_VIDEO)
            stamps.push_back(packet.dtsMs);
    return stamps;
}

class RtmpPublisherTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (const std::string missing = CNginxRtmpServer::Missing(); !missing.empty())
            GTEST_SKIP() << missing;
        ASSERT_EQ(0, m_relay.Start()) << m_relay.ErrorLog();
    }

    CNginxRtmpServer m_relay;
};

} // namespace

TEST_F(RtmpPublisherTest, APlayerOfTheRelayGetsBothStreamsAndTheCameraClockInTheStamps)
{
    for (const double rate : {1.0, 0.99}) {
        SCOPED_TRACE(rate);
        const std::string url = m_relay.Url(rate == 1.0 ? "exact" : "slow");
        CRtmpPublisher publisher;
        ASSERT_EQ(0, publisher.Start(Clip(), url, {.clockRate = rate}));
        CPlayer player(url);
        ASSERT_TRUE(player.Open()) << m_relay.ErrorLog();
        std::vector<stPlayed> packets;
        // 101 pictures: 100 steps of 40 ms of the file (looped over its end), stamped on the camera's clock.
        ASSERT_TRUE(player.ReadUntil(packets, [](const std::vector<stPlayed> &read) {
            return VideoStamps(read).size() >= 101;
        }));
        bool sawAudio = false;
        for (const stPlayed &packet : packets) {
            if (packet.mediaType == AVMEDIA_TYPE_VIDEO) {
                EXPECT_EQ(AV_CODEC_ID_H264, packet.codecId);
            }
            if (packet.mediaType == AVMEDIA_TYPE_AUDIO) {
                EXPECT_EQ(AV_CODEC_ID_AAC, packet.codecId);
                sawAudio = true;
            }
        }
        EXPECT_TRUE(sawAudio);
        const std::vector<int64_t> stamps = VideoStamps(packets);
        const int64_t span = stamps[100] - stamps[0];
        // FLV stamps are whole milliseconds: 4000 ms * rate, give or take the rounding of both ends.
        EXPECT_NEAR(4000.0 * rate, static_cast<double>(span), 2.0);
    }
}

TEST_F(RtmpPublisherTest, SoundFirstMakesTheSoundTheRelaysFirstStreamAndARestartStartsTheStampsAgain)
{
    const std::string url = m_relay.Url("camera");
    // The player waits on the relay before the camera publishes, so it gets the connection's first packets.
    CPlayer player(url);
    bool opened = false;
    std::thread play([&] { opened = player.Open(); });
    const bool waiting = WaitUntil([&] { return m_relay.ErrorLog().find("play: name='camera'") != std::string::npos; },
                                   30000, 5);
    CRtmpPublisher publisher;
    const int published = waiting ? publisher.Start(Clip(), url, {.soundFirst = true}) : -1;
    play.join();
    ASSERT_TRUE(waiting) << m_relay.ErrorLog();
    ASSERT_EQ(0, published);
    ASSERT_TRUE(opened) << m_relay.ErrorLog();
    ASSERT_GE(player.Streams(), 1u);
    EXPECT_EQ(AVMEDIA_TYPE_AUDIO, player.StreamType(0));

    std::vector<stPlayed> packets;
    ASSERT_TRUE(player.ReadUntil(packets, [](const std::vector<stPlayed> &read) {
        return VideoStamps(read).size() >= 30;
    }));
    const int64_t beforeRestart = VideoStamps(packets).back();
    publisher.Restart(0.5);
    ASSERT_TRUE(player.ReadUntil(packets, [&](const std::vector<stPlayed> &read) {
        return VideoStamps(read).back() < beforeRestart && read.back().mediaType == AVMEDIA_TYPE_VIDEO;
    })) << "no stamps from the restart came";
    EXPECT_EQ(2, publisher.Connections());
}
