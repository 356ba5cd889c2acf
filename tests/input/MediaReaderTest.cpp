#include "input/GMediaReader.h"
#include "input/MediaFileReader.h"
#include "input/RTSPReader.h"

#include "ReadWorkerTestSupport.h"

#include "support/LogCapture.h"
#include "support/TestMedia.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/pixfmt.h>
}

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <tuple>

namespace {

// Files made once for the whole suite.
struct stSuiteMedia
{
    CTestMediaSet set;
    stTestMediaInfo mp4Info, tsInfo, flvInfo, mkvInfo, seekInfo;
    std::filesystem::path mp4 = set.Add("av.mp4", {.seconds = 3.0}, &mp4Info);
    std::filesystem::path ts = set.Add("av.ts", {.container = "mpegts", .seconds = 3.0}, &tsInfo);
    std::filesystem::path flv = set.Add("av.flv", {.container = "flv", .seconds = 3.0}, &flvInfo);
    std::filesystem::path mkvB = set.Add("bframes.mkv", {.container = "matroska", .seconds = 2.0, .bFrames = 2}, &mkvInfo);
    // mpeg4, 25 fps, a key frame every 12 pictures.
    std::filesystem::path seek =
        set.Add("seek.mp4", {.seconds = 3.0, .videoCodec = "mpeg4", .width = 64, .height = 64, .gop = 12}, &seekInfo);
};

const stSuiteMedia &Media()
{
    static const stSuiteMedia media;
    return media;
}

// Exposes the deadline for the interrupt callback cases.
class CDeadlineProbe : public CMediaSourceReader
{
public:
    using CMediaSourceReader::CDeadline;
};

} // namespace

TEST(MediaReaderTest, Mp4PlaysEveryPacketInAnnexBAndEndsWithZero)
{
    CMediaFileReader reader;
    StreamRequestMap video;
    StreamRequestMap audio;
    ASSERT_EQ(2, reader.OpenMediaSource(Media().mp4.string(), &video, &audio));
    // Empty requests number every stream; the audio stream does not reuse the video's number.
    EXPECT_EQ((StreamRequestMap{{1, 0}}), video);
    EXPECT_EQ((StreamRequestMap{{2, 1}}), audio);
    ASSERT_NE(nullptr, reader.GetStreamParameters(1));
    ASSERT_NE(nullptr, reader.GetStreamParameters(2));
    EXPECT_EQ(nullptr, reader.GetStreamParameters(3));
    EXPECT_EQ(nullptr, reader.GetStreamParameters(-1));

    const stMediaStreamInfo &v = *reader.GetStreamParameters(1);
    EXPECT_EQ(AV_CODEC_ID_H264, v.codecId);
    EXPECT_EQ(320, v.width);
    EXPECT_EQ(240, v.height);
    EXPECT_EQ(320 * 240 * 3 / 2, v.frameSize);
    EXPECT_EQ(8, v.bitDepth);
    EXPECT_EQ(25, v.frameRate.num / std::max(1, v.frameRate.den));
    // The published parameter sets are the filter's Annex B form, not the avcC box.
    ASSERT_GT(v.extradataSize, 4);
    EXPECT_EQ(0, v.Extradata()[0]);
    const stMediaStreamInfo &a = *reader.GetStreamParameters(2);
    EXPECT_EQ(48000, a.sampleRate);
    EXPECT_EQ(1024, a.frameSize);
    EXPECT_EQ(2, a.channelLayout.nb_channels);

    const stReadCounts counts = ReadPackets(reader);
    EXPECT_EQ(0, counts.last);
    EXPECT_EQ(Media().mp4Info.videoPackets, counts.video);
    EXPECT_EQ(Media().mp4Info.audioPackets, counts.audio);
    EXPECT_EQ(3, counts.keys);
    EXPECT_EQ(counts.video, counts.annexB);
    EXPECT_EQ(counts.video, reader.GetStreamParameters(1)->packetCount);
    EXPECT_EQ(counts.audio, reader.GetStreamParameters(2)->packetCount);

    FramePackage package;
    EXPECT_EQ(0, reader.ReadPacket(package));
    reader.Close();
    EXPECT_FALSE(reader.IsOpened());
    EXPECT_EQ(TYX_MSR_NOT_OPENED, reader.ReadPacket(package));
}

TEST(MediaReaderTest, StreamRequestsAreResolvedAndPackagesDescribeTheirStream)
{
    CMediaFileReader reader;
    // Best-stream markers, an index beyond the container and an index already taken.
    StreamRequestMap video{{1, TYX_BEST_VIDEO_STREAM}, {2, 7}, {3, 0}};
    StreamRequestMap audio{{4, TYX_BEST_AUDIO_STREAM}};
    ASSERT_EQ(2, reader.OpenMediaSource(Media().mp4.string(), &video, &audio));
    EXPECT_EQ((StreamRequestMap{{1, 0}, {2, TYX_STREAM_NOT_TAKEN}, {3, TYX_STREAM_NOT_TAKEN}}), video);
    EXPECT_EQ((StreamRequestMap{{4, 1}}), audio);
    std::map<int16_t, int16_t> indexes;
    EXPECT_EQ(2, reader.GetStreamIndexes(indexes));
    EXPECT_EQ((std::map<int16_t, int16_t>{{1, 0}, {4, 1}}), indexes);

    bool sawVideo = false;
    bool sawAudio = false;
    FramePackage package;
    while (!(sawVideo && sawAudio) && reader.ReadPacket(package) > 0) {
        EXPECT_EQ(0, package.inDevice);
        if (package.mediaType == TYX_MEDIA_VIDEO) {
            sawVideo = true;
            EXPECT_EQ(0, package.streamIndex);
            EXPECT_EQ(320, package.width);
            EXPECT_EQ(240, package.height);
            EXPECT_EQ(0, package.audioSamples);
        } else {
            sawAudio = true;
            EXPECT_EQ(1, package.streamIndex);
            EXPECT_EQ(1024, package.audioSamples);
            EXPECT_EQ(48000, package.sampleRate);
        }
    }
    EXPECT_TRUE(sawVideo && sawAudio);

    // Reopen repeats the stored requests, markers included.
    ASSERT_EQ(2, reader.Reopen());
    EXPECT_EQ(2, reader.GetStreamIndexes(indexes));
    EXPECT_EQ((std::map<int16_t, int16_t>{{1, 0}, {4, 1}}), indexes);
}

// MPEG-TS is Annex B already and gets no filter; packets without a dts (B-frames in Matroska) are
// handed on, not failed; a stream not asked for gives nothing.
TEST(MediaReaderTest, EveryContainerGivesEveryPacketInAnnexB)
{
    struct stCase
    {
        const std::filesystem::path &path;
        const stTestMediaInfo &info;
        bool audio;
        bool filtered;
    };
    const stCase cases[] = {{Media().ts, Media().tsInfo, false, false},
                            {Media().flv, Media().flvInfo, false, true},
                            {Media().mkvB, Media().mkvInfo, true, true}};
    for (const stCase &c : cases) {
        int rawNoDts = 0;
        for (const auto &packet : ReadTestMediaPackets(c.path))
            rawNoDts += packet.dts == TYX_NOPTS_VALUE && (c.audio || packet.mediaType == 0) ? 1 : 0;
        CMediaFileReader reader;
        StreamRequestMap video;
        StreamRequestMap audio;
        ASSERT_EQ(c.audio ? 2 : 1, reader.OpenMediaSource(c.path.string(), &video, c.audio ? &audio : nullptr)) << c.path;
        EXPECT_EQ(c.filtered, reader.InitBitstreamFilters()) << c.path;
        const stReadCounts counts = ReadPackets(reader);
        EXPECT_EQ(0, counts.last) << c.path;
        EXPECT_EQ(c.info.videoPackets, counts.video) << c.path;
        EXPECT_EQ(c.audio ? c.info.audioPackets : 0, counts.audio) << c.path;
        EXPECT_EQ(counts.video, counts.annexB) << c.path;
        EXPECT_EQ(rawNoDts, counts.noDts) << c.path;
    }
}

TEST(MediaReaderTest, StreamRecordsCopyAndMoveWhole)
{
    CMediaFileReader reader;
    StreamRequestMap video;
    StreamRequestMap audio;
    ASSERT_EQ(2, reader.OpenMediaSource(Media().mp4.string(), &video, &audio));
    auto values = [](const stMediaStreamInfo &s) {
        return std::make_tuple(s.streamIndex, s.codecId, s.bitRate, s.timeBase.num, s.timeBase.den, s.mediaType,
                               s.profile, s.level, s.startTime, s.frameSize, s.bitsPerCodedSample, s.bitsPerRawSample,
                               s.extradata, s.extradataSize, s.pixelFormat, s.frameRate.num, s.frameRate.den,
                               s.sampleAspectRatio.num, s.sampleAspectRatio.den, s.chromaLocation, s.width, s.height,
                               s.bitDepth, s.sampleFormat, s.sampleRate, s.packetCount);
    };
    for (const int16_t number : {1, 2}) {
        const stMediaStreamInfo &original = *reader.GetStreamParameters(number);
        stMediaStreamInfo copy(original);
        EXPECT_EQ(values(copy), values(original)) << number;
        EXPECT_EQ(0, av_channel_layout_compare(&copy.channelLayout, &original.channelLayout));
        ASSERT_NE(nullptr, copy.codecParameters);
        EXPECT_NE(original.codecParameters, copy.codecParameters); // its own block
        EXPECT_EQ(original.codecParameters->codec_id, copy.codecParameters->codec_id);

        const AVCodecParameters *block = copy.codecParameters;
        stMediaStreamInfo moved;
        moved = std::move(copy);
        EXPECT_EQ(values(moved), values(original)) << number;
        EXPECT_EQ(block, moved.codecParameters);
        EXPECT_EQ(nullptr, copy.codecParameters); // NOLINT(bugprone-use-after-move)
        EXPECT_EQ(0, copy.extradataSize);
    }
}

TEST(MediaReaderTest, AConfiguredIndexOfTheOtherMediaTypeIsNotTaken)
{
    CTestMediaSet set;
    const auto soundOnly = set.Add("sound.mp4", {.seconds = 1.0, .video = false});
    CLogCapture log;
    CMediaFileReader reader;
    // Indexes as a source with picture and sound is configured: the sound is stream 0 here.
    StreamRequestMap video{{1, 0}};
    StreamRequestMap audio{{2, 1}};
    EXPECT_EQ(TYX_MSR_STREAM_NOT_FOUND, reader.OpenMediaSource(soundOnly.string(), &video, &audio));
    EXPECT_FALSE(reader.IsOpened());
    EXPECT_EQ(1, log.Count(L"Configured video stream index 0 holds audio and the source has no video stream.", 3));

    // The sound asked for by its own index still opens.
    audio = {{2, 0}};
    EXPECT_EQ(1, reader.OpenMediaSource(soundOnly.string(), nullptr, &audio));
    EXPECT_EQ((StreamRequestMap{{2, 0}}), audio);
}

TEST(MediaReaderTest, FailedOpensGiveTheirCodesAndLeaveTheReaderClosed)
{
    CMediaFileReader reader;
    StreamRequestMap unknown{{1, 9}};
    StreamRequestMap wrongMarker{{2, TYX_BEST_VIDEO_STREAM}}; // not a marker of the audio map
    EXPECT_EQ(TYX_MSR_STREAM_NOT_FOUND, reader.OpenMediaSource(Media().mp4.string(), &unknown, &wrongMarker));
    EXPECT_FALSE(reader.IsOpened());
    EXPECT_EQ(nullptr, reader.FormatContext());
    EXPECT_EQ(TYX_MSR_STREAM_NOT_FOUND, reader.OpenMediaSource(Media().mp4.string(), nullptr, nullptr));

    StreamRequestMap video;
    EXPECT_EQ(TYX_MSR_NO_SOURCE, reader.OpenMediaSource("", &video, nullptr));
    EXPECT_EQ(AVERROR(ENOENT), reader.OpenMediaSource(Media().set.Dir().File("missing.mp4").string(), &video, nullptr));
    EXPECT_FALSE(reader.IsOpened());

    const auto junk = Media().set.Dir().File("junk.mp4");
    std::ofstream(junk) << std::string(4096, 'x');
    EXPECT_EQ(AVERROR_INVALIDDATA, reader.OpenMediaSource(junk.string(), &video, nullptr));
    EXPECT_FALSE(reader.IsOpened());

    // A failed open does not spoil the next one.
    video.clear();
    EXPECT_EQ(1, reader.OpenMediaSource(Media().mp4.string(), &video, nullptr));

    CMediaFileReader fresh;
    EXPECT_EQ(TYX_MSR_NOT_OPENED, fresh.Reopen());
    FramePackage package;
    EXPECT_EQ(TYX_MSR_NOT_OPENED, fresh.ReadPacket(package));
}

TEST(MediaReaderTest, SeekFindsTheKeyFrameAndTheNearestPacket)
{
    // mpeg4, 25 fps, a key frame every 12 pictures: key frames at 0.00, 0.48, 0.96, 1.44 s.
    CMediaFileReader reader;
    StreamRequestMap video;
    StreamRequestMap audio;
    ASSERT_EQ(2, reader.OpenMediaSource(Media().seek.string(), &video, &audio));
    const AVRational tb = reader.GetStreamParameters(1)->timeBase;
    auto ticks = [&](int64_t us) { return av_rescale_q(us, AVRational{1, 1000000}, tb); };

    struct stCase
    {
        int64_t targetUs;
        int64_t keyUs;
        int64_t chosenUs;
    };
    const stCase cases[] = {
        {1000000, 960000, 1000000}, // between two packets, nearer the later one
        {970000, 960000, 960000},   // inside the key frame's duration
        {1020000, 960000, 1040000}, // the exact middle of two packets: the later one
        {1010000, 960000, 1000000}, // nearer the earlier one
    };
    for (const stCase &c : cases) {
        StreamSeekMap seeks;
        seeks[0].target = c.targetUs;
        int16_t index = -2;
        int64_t position = 0;
        ASSERT_EQ(1, reader.SeekStreamsBySimpleWay(seeks, index, position)) << c.targetUs;
        EXPECT_EQ(1, seeks[0].positioned);
        EXPECT_EQ(ticks(c.keyUs), seeks[0].keyPts) << c.targetUs;
        EXPECT_EQ(ticks(c.chosenUs), seeks[0].chosenPts) << c.targetUs;
        EXPECT_EQ(0, index);
        EXPECT_EQ(seeks[0].keyDts, position);
        // The input was left at that key frame.
        FramePackage package;
        do {
            ASSERT_GT(reader.ReadPacket(package), 0);
        } while (package.streamIndex != 0);
        EXPECT_TRUE(package.flags & TYX_PKT_FLAG_KEY);
        EXPECT_EQ(seeks[0].keyDts, package.dts);
    }
}

TEST(MediaReaderTest, SeekOfBothStreamsLeavesTheInputAtTheEarlierKeyFrame)
{
    CMediaFileReader reader;
    StreamRequestMap video;
    StreamRequestMap audio;
    ASSERT_EQ(2, reader.OpenMediaSource(Media().seek.string(), &video, &audio));
    StreamSeekMap seeks;
    seeks[0].target = 1500000;
    seeks[1].target = 1500000;
    int16_t index = -1;
    int64_t position = 0;
    ASSERT_EQ(2, reader.SeekStreamsBySimpleWay(seeks, index, position));
    // Video goes back to its key frame at 1.44 s, audio (every packet a key) stays near 1.5 s.
    EXPECT_EQ(0, index);
    EXPECT_EQ(seeks[0].keyDts, position);
    EXPECT_EQ(seeks[1].chosenPts, seeks[1].keyPts);

    StreamSeekMap unknown;
    unknown[5].target = 0;
    EXPECT_EQ(TYX_MSR_STREAM_NOT_FOUND, reader.SeekStreamsBySimpleWay(unknown, index, position));
    CMediaFileReader closed;
    EXPECT_EQ(TYX_MSR_NOT_OPENED, closed.SeekStreamsBySimpleWay(seeks, index, position));
}

TEST(PlanarFrameSizeTest, FollowsThePixelFormat)
{
    int32_t depth = 0;
    EXPECT_EQ(3110400, PlanarFrameSize(AV_PIX_FMT_YUV420P, 1920, 1080, &depth));
    EXPECT_EQ(8, depth);
    EXPECT_EQ(6220800, PlanarFrameSize(AV_PIX_FMT_YUV444P, 1920, 1080, &depth));
    EXPECT_EQ(6220800, PlanarFrameSize(AV_PIX_FMT_YUV420P10LE, 1920, 1080, &depth));
    EXPECT_EQ(10, depth);
    EXPECT_EQ(12441600, PlanarFrameSize(AV_PIX_FMT_YUV444P12LE, 1920, 1080, &depth));
    EXPECT_EQ(12, depth);
    EXPECT_EQ(6220800, PlanarFrameSize(AV_PIX_FMT_YUV420P12LE, 1920, 1080, &depth));
    // Odd sizes round the chroma planes up: 1081 rows give 541 chroma rows, 5 columns give 3.
    EXPECT_EQ(1920 * 1081 + 2 * 960 * 541, PlanarFrameSize(AV_PIX_FMT_NV12, 1920, 1081, &depth));
    EXPECT_EQ(8, depth);
    EXPECT_EQ(5 * 3 + 2 * 3 * 2, PlanarFrameSize(AV_PIX_FMT_YUV420P, 5, 3, nullptr));
    EXPECT_EQ(0, PlanarFrameSize(AV_PIX_FMT_YUV420P, 0, 3, nullptr));
}

TEST(MediaIoInterruptTest, AbortsUnlessAnArmedDeadlineRuns)
{
    EXPECT_EQ(1, MediaIoInterruptCallback(nullptr));
    CDeadlineProbe reader;
    int64_t now = 1000000;
    reader.SetClock([&] { return now; });
    EXPECT_EQ(1, MediaIoInterruptCallback(&reader)); // not armed
    {
        CDeadlineProbe::CDeadline deadline(reader, 500000);
        EXPECT_EQ(0, MediaIoInterruptCallback(&reader));
        now += 499999;
        EXPECT_EQ(0, MediaIoInterruptCallback(&reader));
        now += 1;
        EXPECT_EQ(1, MediaIoInterruptCallback(&reader));
    }
    EXPECT_EQ(1, MediaIoInterruptCallback(&reader)); // cleared again

    // The owner's abort (a worker asked to exit) ends a blocking call within its deadline.
    bool abort = false;
    reader.SetAbortCheck([&] { return abort; });
    CDeadlineProbe::CDeadline deadline(reader, 500000);
    EXPECT_EQ(0, MediaIoInterruptCallback(&reader));
    abort = true;
    EXPECT_EQ(1, MediaIoInterruptCallback(&reader));
}

TEST(RtspReaderUrlTest, UrlsGetTheirScheme)
{
    EXPECT_EQ("rtsp://127.0.0.1:8554/x", CRTSPMPReader::NormalizeSourceUrl("127.0.0.1:8554/x", false));
    EXPECT_EQ("rtmp://127.0.0.1/live/x", CRTSPMPReader::NormalizeSourceUrl("127.0.0.1/live/x", true));
    EXPECT_EQ("rtsp://cam/x", CRTSPMPReader::NormalizeSourceUrl("RTSP://cam/x", false));
    EXPECT_EQ("rtsps://cam/x", CRTSPMPReader::NormalizeSourceUrl("rtsps://cam/x", false));
    EXPECT_EQ("rtmp://cam/x", CRTSPMPReader::NormalizeSourceUrl("rtmp://cam/x", false));
}

