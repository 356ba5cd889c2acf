#include "input/MediaUrl.h"
#include "input/RTSPReader.h"

#include "NetTestSupport.h"
#include "ReadWorkerTestSupport.h"
#include "RtmpTestServer.h"
#include "RtspTestServer.h"

#include "core/TYXUtils.h"
#include "support/LogCapture.h"
#include "support/TestMedia.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <latch>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// Six seconds of a live source, made once for the suite.
const std::filesystem::path &LiveMedia()
{
    static CTestMediaSet set;
    static const std::filesystem::path path = set.Add("live.mp4", {.seconds = 6.0});
    return path;
}

// A socket that listens and never answers: connections complete in the kernel and then hang.
class CSilentListener
{
public:
    CSilentListener()
    {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0 && listen(m_fd, 8) == 0 &&
            getsockname(m_fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
            m_port = ntohs(address.sin_port);
    }
    ~CSilentListener() { close(m_fd); }
    int Port() const { return m_port; }

private:
    int m_fd = -1;
    int m_port = -1;
};

} // namespace

TEST(NetworkReaderTest, RtspPullGivesBothStreamsUnfiltered)
{
    if (!CRtspTestServer::Available())
        GTEST_SKIP() << "GStreamer RTSP server not installed";
    CRtspTestServer server;
    ASSERT_EQ(0, server.Start(LiveMedia(), true));

    CRTSPMPReader reader;
    reader.SetTransportTcp(true);
    StreamRequestMap video;
    StreamRequestMap audio;
    // Given without its scheme: the reader puts "rtsp://" in front.
    const std::string url = "127.0.0.1:" + std::to_string(server.Port()) + "/test";
    ASSERT_EQ(2, reader.OpenMediaSource(url, &video, &audio));
    EXPECT_EQ("rtsp://" + url, reader.SourceName());
    // RTP depacketising already gives Annex B: no filter for an RTSP input.
    EXPECT_FALSE(reader.InitBitstreamFilters());

    const stReadCounts counts = ReadPackets(reader, 30);
    EXPECT_GT(counts.last, 0);
    EXPECT_EQ(30, counts.video);
    EXPECT_EQ(counts.video, counts.annexB);
    EXPECT_GT(counts.audio, 0);
    reader.Close();
    EXPECT_FALSE(reader.IsOpened());
}

TEST(NetworkReaderTest, RtspCredentialsAreEscapedAndAccepted)
{
    if (!CRtspTestServer::Available())
        GTEST_SKIP() << "GStreamer RTSP server not installed";
    const std::string user = "op/er@tor";
    const std::string password = "p:a#s?s w";
    CRtspTestServer server;
    ASSERT_EQ(0, server.Start(LiveMedia(), false, user, password));

    CRTSPMPReader reader;
    StreamRequestMap video;
    const std::wstring url = InsertUrlCredentials(StringToWString(server.Url()), StringToWString(user), StringToWString(password));
    EXPECT_EQ(1, reader.OpenMediaSource(WStringToString(url), &video, nullptr));

    const std::wstring wrong = InsertUrlCredentials(StringToWString(server.Url()), StringToWString(user), L"nope");
    EXPECT_LT(reader.OpenMediaSource(WStringToString(wrong), &video, nullptr), 0);
    EXPECT_FALSE(reader.IsOpened());
}

TEST(NetworkReaderTest, RtmpPullComesOutInAnnexB)
{
    CRtmpTestServer server;
    ASSERT_EQ(0, server.Start(LiveMedia(), {}));
    CRTSPMPReader reader;
    reader.SetRtmpSource(true);
    StreamRequestMap video;
    StreamRequestMap audio;
    ASSERT_EQ(2, reader.OpenMediaSource(server.Url(), &video, &audio));
    const stReadCounts counts = ReadPackets(reader, 25);
    EXPECT_GT(counts.last, 0);
    EXPECT_EQ(25, counts.video);
    EXPECT_EQ(counts.video, counts.annexB);
    ASSERT_NE(nullptr, reader.GetStreamParameters(1));
    EXPECT_EQ(0, reader.GetStreamParameters(1)->Extradata()[0]); // Annex B parameter sets
}

// The names of the options that an open against the URL left unused.
std::string OptionsLeftByFfmpeg(const std::string &url, bool rtmp, bool tcp)
{
    AVDictionary *options = nullptr;
    for (const auto &[key, value] : CRTSPMPReader::BuildOpenOptions(rtmp, tcp))
        av_dict_set(&options, key.c_str(), value.c_str(), 0);
    AVFormatContext *format = nullptr;
    const int result = avformat_open_input(&format, url.c_str(), nullptr, &options);
    std::string left = result < 0 ? "open failed: " + std::to_string(result) : "";
    for (const AVDictionaryEntry *entry = nullptr; (entry = av_dict_get(options, "", entry, AV_DICT_IGNORE_SUFFIX));)
        left += std::string(left.empty() ? "" : " ") + entry->key;
    avformat_close_input(&format);
    av_dict_free(&options);
    return left;
}

TEST(NetworkReaderTest, FfmpegTakesEveryOpenOption)
{
    CRtmpTestServer rtmp;
    ASSERT_EQ(0, rtmp.Start(LiveMedia(), {}));
    EXPECT_EQ("", OptionsLeftByFfmpeg(rtmp.Url(), true, false));
    if (!CRtspTestServer::Available())
        GTEST_SKIP() << "GStreamer RTSP server not installed";
    CRtspTestServer rtsp;
    ASSERT_EQ(0, rtsp.Start(LiveMedia(), false));
    for (const bool tcp : {false, true})
        EXPECT_EQ("", OptionsLeftByFfmpeg(rtsp.Url(), false, tcp)) << "tcp " << tcp;
}

TEST(NetworkReaderTest, ASilentServerIsGivenUpAtTheOpenDeadline)
{
    CSilentListener listener;
    ASSERT_GT(listener.Port(), 0);
    CRTSPMPReader reader;
    // Each look at the clock moves it by a second, so the two-second deadline passes at once.
    int64_t now = 1000000;
    reader.SetClock([&] { return now += 1000000; });
    StreamRequestMap video;
    const std::string url = "rtsp://127.0.0.1:" + std::to_string(listener.Port()) + "/x";
    CLogCapture log;
    EXPECT_LT(reader.OpenMediaSource(url, &video, nullptr), 0);
    EXPECT_FALSE(reader.IsOpened());
    EXPECT_TRUE(log.Contains(L"[RTSP/RTMP Reader] avformat_open_input() failed with error=[", 3));
}

TEST(NetworkReaderTest, CloseFromAnotherThreadEndsABlockedRead)
{
    CRtmpTestServer::stBehaviour behaviour;
    behaviour.stallAfterMs = 7000;
    behaviour.loop = true;
    CRtmpTestServer server;
    ASSERT_EQ(0, server.Start(LiveMedia(), behaviour));
    CRTSPMPReader reader;
    reader.SetRtmpSource(true);
    reader.SetReadDeadline(60000000); // only the close can end the stalled read
    StreamRequestMap video;
    ASSERT_EQ(1, reader.OpenMediaSource(server.Url(), &video, nullptr));

    std::latch reading(1);
    std::atomic<int32_t> last{1};
    std::thread owner([&] {
        FramePackage package;
        int32_t result = reader.ReadPacket(package);
        reading.count_down();
        while (result > 0)
            result = reader.ReadPacket(package);
        last = result;
    });
    reading.wait();
    // The owner is reading or blocked in a read of a source that sends nothing more.
    ASSERT_TRUE(server.WaitUntilStalled(20000));
    reader.Close();
    owner.join();
    EXPECT_LT(last.load(), 0);
    EXPECT_FALSE(reader.IsOpened());
}
