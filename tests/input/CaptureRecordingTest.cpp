// Both capture workers feeding a path without decoders: the screen of the test's X server and a
// generated tone, muxed as they come (raw pictures and float samples) into a Matroska file that is
// then read back.

#include "CaptureTestSupport.h"

#include "core/FfmpegHandles.h"
#include "core/TYXUtils.h"
#include "core/TYXWorkerConfig.h"
#include "input/RAReadWorker.h"
#include "input/RVReadWorker.h"
#include "support/TempDir.h"
#include "support/TestMedia.h"
#include "support/XvfbServer.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace {

constexpr uint32_t kCamera = 0x01050000;
constexpr uint32_t kMicrophone = 0x01060000;

stMediaSourceReadWorkerConfig SourceConfig(uint32_t id, int32_t type, const std::string &device)
{
    stMediaSourceReadWorkerConfig config;
    config.Name = type == TYX_MS_VCAP ? L"Screen" : L"Tone";
    config.WorkerId = static_cast<int32_t>(id);
    config.MSTYPE = type;
    config.MSFullPath = StringToWString(device);
    stTYXStreamConfig stream;
    stream.StreamId = static_cast<int32_t>(id + 1);
    stream.MediaType = type == TYX_MS_VCAP ? 0 : 1;
    stream.FrameWidth = 320;
    stream.FrameHeight = 240;
    stream.OutputFramerate = 10.0f;
    stream.SampleRate = 48000;
    stream.ChannelNum = 2;
    config.Streams[1] = stream;
    return config;
}

template <typename Worker>
void StartWorker(Worker &worker, const stMediaSourceReadWorkerConfig &config)
{
    worker.AllowTestSources(true);
    worker.CopyInConfiguration(&config);
    worker.Initialize(0, 0);
    ASSERT_GE(worker.StartWorkingThread(1, 0), 0);
    worker.ResumeWorkingThread();
}

// Writes the pictures (I420) and the samples (interleaved float) as they are into Matroska.
int MuxRaw(const std::filesystem::path &path, const std::vector<const stTakenPackage *> &video,
           const std::vector<const stTakenPackage *> &audio, int width, int height)
{
    AVFormatContext *raw = nullptr;
    if (avformat_alloc_output_context2(&raw, nullptr, "matroska", path.string().c_str()) < 0)
        return -1;
    AvOutputPtr output(raw);
    AVStream *pictures = avformat_new_stream(raw, nullptr);
    pictures->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    pictures->codecpar->codec_id = AV_CODEC_ID_RAWVIDEO;
    pictures->codecpar->codec_tag = MKTAG('I', '4', '2', '0');
    pictures->codecpar->format = AV_PIX_FMT_YUV420P;
    pictures->codecpar->width = width;
    pictures->codecpar->height = height;
    pictures->time_base = {1, 1000000};
    AVStream *sound = avformat_new_stream(raw, nullptr);
    sound->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
    sound->codecpar->codec_id = AV_CODEC_ID_PCM_F32LE;
    sound->codecpar->format = AV_SAMPLE_FMT_FLT;
    sound->codecpar->sample_rate = 48000;
    av_channel_layout_default(&sound->codecpar->ch_layout, 2);
    sound->time_base = {1, 1000000};
    if (avio_open(&raw->pb, path.string().c_str(), AVIO_FLAG_WRITE) < 0 || avformat_write_header(raw, nullptr) < 0)
        return -2;
    int64_t origin = INT64_MAX;
    for (const auto *list : {&video, &audio}) {
        for (const stTakenPackage *package : *list)
            origin = std::min(origin, package->header.pts);
    }
    AvPacketPtr packet(av_packet_alloc());
    auto write = [&](const stTakenPackage &package, AVStream *stream) {
        av_new_packet(packet.get(), package.header.nLength);
        std::copy(package.data.begin(), package.data.end(), packet->data);
        packet->stream_index = stream->index;
        packet->pts = packet->dts = package.header.pts - origin;
        packet->duration = package.header.duration;
        packet->flags = AV_PKT_FLAG_KEY;
        av_packet_rescale_ts(packet.get(), {1, 1000000}, stream->time_base);
        return av_interleaved_write_frame(raw, packet.get());
    };
    size_t a = 0;
    for (const stTakenPackage *picture : video) {
        while (a < audio.size() && audio[a]->header.pts <= picture->header.pts)
            write(*audio[a++], sound);
        write(*picture, pictures);
    }
    while (a < audio.size())
        write(*audio[a++], sound);
    return av_write_trailer(raw);
}

} // namespace

TEST(CaptureRecording, ScreenAndToneGoIntoOneFileWithoutDecoders)
{
    CXvfbServer server;
    if (!server.Start(640, 480))
        GTEST_SKIP() << "Xvfb cannot start here";
    ASSERT_TRUE(PaintScreen(server.Name(), {{0, 0, 640, 480, 0x00FF00}, {160, 0, 480, 480, 0xFFFFFF}}));

    CCaptureConsumer pictures(kCamera + 1, TYX_PKT_KIND_RAW_VIDEO);
    CCaptureConsumer samples(kMicrophone + 1, TYX_PKT_KIND_RAW_AUDIO);
    auto camera = std::make_shared<CRawVideoReadWorker>(kCamera, &pictures.Links());
    auto microphone = std::make_shared<CRawAudioReadWorker>(kMicrophone, &samples.Links());
    StartWorker(*camera, SourceConfig(kCamera, TYX_MS_VCAP, "x11grab:" + server.Name() + ".0"));
    StartWorker(*microphone, SourceConfig(kMicrophone, TYX_MS_ACAP,
                                          "lavfi:sine=frequency=440:sample_rate=48000:duration=1,pan=stereo|c0=c0|c1=c0,arealtime"));
    const auto &sound = samples.TakeUntil([](const auto &all) { return HasStatus(all, TYX_SRC_CLOSED); }, 20000);
    const auto &screen = pictures.TakeUntil([](const auto &all) { return WithData(all).size() >= 8; }, 20000);
    StopReadWorker(*camera);
    StopReadWorker(*microphone);

    const auto video = WithData(screen);
    const auto audio = WithData(sound);
    ASSERT_GE(video.size(), 8u);
    ASSERT_FALSE(audio.empty());
    EXPECT_EQ(video[0]->header.nLength, 320 * 240 * 3 / 2);
    // Both workers stamp on the one program clock: the tone and the pictures overlap in time.
    EXPECT_LT(std::abs(video[0]->header.pts - audio[0]->header.pts), 2000000);

    // x11grab takes the screen's top left corner: green on its left, white from x 160 on.
    const std::vector<uint8_t> &i420 = video.back()->data;
    EXPECT_NEAR(i420[120 * 320 + 40], 145, 8);   // Y of green
    EXPECT_NEAR(i420[120 * 320 + 280], 235, 8);  // Y of white
    EXPECT_NEAR(i420[320 * 240 + 60 * 160 + 20], 54, 8); // U of green

    SavePicture("capture_worker_screen.png", *video.back());
    CTempDir folder;
    const auto path = folder.File("capture.mkv");
    ASSERT_EQ(MuxRaw(path, video, audio, 320, 240), 0);
    std::filesystem::create_directories("artifacts");
    std::filesystem::copy_file(path, "artifacts/capture_screen_and_tone.mkv", std::filesystem::copy_options::overwrite_existing);
    int videoPackets = 0;
    int audioPackets = 0;
    for (const stTestPacket &packet : ReadTestMediaPackets(path)) {
        if (packet.mediaType == 0) {
            ++videoPackets;
            EXPECT_EQ(packet.size, 320 * 240 * 3 / 2);
        } else if (packet.mediaType == 1) {
            ++audioPackets;
        }
    }
    EXPECT_EQ(videoPackets, static_cast<int>(video.size()));
    EXPECT_EQ(audioPackets, static_cast<int>(audio.size()));
}
