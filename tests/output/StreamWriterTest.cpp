#include "TestEncoder.h"
#include "WriterTestSupport.h"
#include "input/NetTestSupport.h"
#include "output/MP4Wrapper.h"
#include "output/RTMPWriter.h"
#include "output/RTSPWriter.h"
#include "support/LeakCheck.h"
#include "support/TempDir.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>


namespace {

const AVRational kUs{1, 1000000};

std::vector<stWriterStreamParams> ClipStreams()
{
    return {stWriterStreamParams::FromStreamParams(TestClip().VideoParams(1)),
            stWriterStreamParams::FromStreamParams(TestClip().AudioParams(2))};
}

// Writes the clip (µs times from 0) into an opened writer, video into stream 0, audio into 1, in
// dts order; the number of refused packets.
int WriteClip(CStreamWriter &writer)
{
    std::vector<const stCodedPacket *> order;
    for (const stCodedPacket &packet : TestClip().Video())
        order.push_back(&packet);
    for (const stCodedPacket &packet : TestClip().Audio())
        order.push_back(&packet);
    std::stable_sort(order.begin(), order.end(), [](auto *a, auto *b) { return a->dts < b->dts; });
    int refused = 0;
    for (const stCodedPacket *packet : order) {
        FramePackage package = CTestEncoder::MakePackage(*packet, 0);
        refused += writer.writeFrame(packet->video ? 0 : 1, package, kUs) < 0 ? 1 : 0;
        FreeFramePackage(package);
    }
    return refused;
}

// Gives a package's one ADTS frame a CRC: the header grows to 9 bytes, as some encoders write it.
void AddAdtsCrc(std::vector<uint8_t> &data)
{
    if (data.size() < 7 || data[0] != 0xFF || !(data[1] & 0x01))
        return;
    const int length = (((data[3] & 0x03) << 11) | (data[4] << 3) | (data[5] >> 5)) + 2;
    data[1] &= 0xFE;
    data[3] = static_cast<uint8_t>((data[3] & 0xFC) | ((length >> 11) & 0x03));
    data[4] = static_cast<uint8_t>((length >> 3) & 0xFF);
    data[5] = static_cast<uint8_t>((data[5] & 0x1F) | ((length & 0x07) << 5));
    const uint8_t crc[] = {0x5A, 0xA5};
    data.insert(data.begin() + 7, std::begin(crc), std::end(crc));
}

// An AAC package behind an ADTS header (LC, 48 kHz, stereo) whose header states frameLength bytes
// and blocks raw blocks, followed by payload bytes of sound.
stCodedPacket AdtsPacket(int frameLength, int payload, int blocks, int64_t timeUs)
{
    stCodedPacket packet;
    packet.data = {0xFF,
                   0xF1,
                   static_cast<uint8_t>((1 << 6) | (3 << 2)),
                   static_cast<uint8_t>((2 << 6) | ((frameLength >> 11) & 0x03)),
                   static_cast<uint8_t>((frameLength >> 3) & 0xFF),
                   static_cast<uint8_t>(((frameLength & 0x07) << 5) | 0x1F),
                   static_cast<uint8_t>(0xFC | ((blocks - 1) & 0x03))};
    packet.data.resize(packet.data.size() + static_cast<size_t>(payload), 0x21);
    packet.pts = packet.dts = timeUs;
    packet.duration = 21333;
    packet.video = false;
    return packet;
}

class StreamWriterTest : public CLeakCheckedTest
{
protected:
    CTempDir m_dir;
};

} // namespace

// Every container a record writer is asked for holds both streams from a key frame to the end.
TEST_F(StreamWriterTest, RecordFilesOfEachContainerPlayFromStartToEnd)
{
    for (const char *name : {"clip.mp4", "clip.mov", "clip.mkv", "clip.ts", "clip.flv"}) {
        SCOPED_TRACE(name);
        CMP4Wrapper writer;
        const std::string path = m_dir.File(name).string();
        std::vector<stWriterStreamParams> streams = ClipStreams();
        ASSERT_EQ(writer.Open(&path, &streams, 2), 2);
        ASSERT_TRUE(writer.IsOpened());
        EXPECT_EQ(WriteClip(writer), 0);
        writer.Close();
        EXPECT_FALSE(writer.IsOpened());

        const stProbedFile file = ProbeRecording(path);
        ASSERT_TRUE(file.opened);
        ASSERT_EQ(file.streams, 2);
        ASSERT_TRUE(file.Video() && file.Audio());
        EXPECT_EQ(file.Video()->packets, static_cast<int>(TestClip().Video().size()));
        EXPECT_EQ(file.Audio()->packets, static_cast<int>(TestClip().Audio().size()));
        EXPECT_TRUE(file.Video()->firstKey);
        EXPECT_TRUE(file.Video()->dtsMonotonic);
        EXPECT_TRUE(file.Audio()->dtsMonotonic);
        EXPECT_NEAR(static_cast<double>(file.Video()->endUs - file.Video()->firstPtsUs), TestClip().ClipUs(), 50000.0);
    }
}

// A 29.97 stream (stamps 1001/30 ms apart) is recorded as 30000/1001: stated as 30, a container
// that keeps the stated rate tells players a rate the stamps do not have. FLV states its rate as a
// number that its reader gives back to three places.
TEST_F(StreamWriterTest, ATelevisionRateIsRecordedAsItsExactFraction)
{
    stStreamParams video = TestClip().VideoParams(1);
    video.frameRate = 29.97f;
    for (const char *name : {"ntsc.mp4", "ntsc.mkv", "ntsc.flv"}) {
        SCOPED_TRACE(name);
        std::vector<stWriterStreamParams> streams{stWriterStreamParams::FromStreamParams(video)};
        EXPECT_EQ(av_cmp_q(streams[0].frameRate, AVRational{30000, 1001}), 0);
        CMP4Wrapper writer;
        const std::string path = m_dir.File(name).string();
        ASSERT_EQ(writer.Open(&path, &streams, 1), 1);
        const int64_t clipFrame = 1000000 / stTestEncodeSpec{}.fps;
        for (const stCodedPacket &packet : TestClip().Video()) {
            FramePackage package = CTestEncoder::MakePackage(packet, 0);
            package.pts = packet.pts / clipFrame * 1001000 / 30;
            package.dts = packet.dts / clipFrame * 1001000 / 30;
            package.duration = 33367;
            EXPECT_GE(writer.writeFrame(0, package, kUs), 0);
            FreeFramePackage(package);
        }
        writer.Close();
        const stProbedFile file = ProbeRecording(path);
        ASSERT_TRUE(file.Video());
        const AVRational rate = file.Video()->frameRate;
        if (std::string(name).ends_with(".flv"))
            EXPECT_NEAR(av_q2d(rate), 29.97, 0.001) << rate.num << "/" << rate.den;
        else
            EXPECT_EQ(av_cmp_q(rate, AVRational{30000, 1001}), 0) << rate.num << "/" << rate.den;
    }
}

// A file source stored as MPEG-TS hands its AAC as ADTS frames and without a config. Every record
// container holds its sound: the config made for the header, the frames without their ADTS
// headers where the container keeps them raw. A package of two ADTS frames goes as two; a header
// with a CRC is 9 bytes long.
TEST_F(StreamWriterTest, SoundOfATransportStreamSourceIsRecorded)
{
    struct stSource
    {
        int sampleRate;
        int channels;
        int audioFrames;    // per package handed to the writer
        bool crc;
    };
    for (const stSource source : {stSource{44100, 1, 1, false}, stSource{48000, 2, 1, false},
                                  stSource{48000, 2, 2, false}, stSource{48000, 2, 2, true}}) {
        SCOPED_TRACE(std::to_string(source.sampleRate) + " Hz, " + std::to_string(source.channels) + " channels, " +
                     std::to_string(source.audioFrames) + " frames a package" + (source.crc ? ", CRC" : ""));
        const std::filesystem::path ts = m_dir.File("source.ts");
        stTestMediaInfo info;
        ASSERT_EQ(WriteTestMedia(ts,
                                 {.container = "mpegts", .seconds = 3.0, .sampleRate = source.sampleRate,
                                  .channels = source.channels},
                                 &info),
                  0);
        for (const char *name : {"ts.mp4", "ts.flv", "ts.mkv", "ts.ts"}) {
            SCOPED_TRACE(name);
            CMP4Wrapper writer;
            const std::string path = m_dir.File(name).string();
            ASSERT_EQ(WriteFileThroughWriter(ts, writer, path, source.audioFrames,
                                             source.crc ? AudioRewrite(AddAdtsCrc) : AudioRewrite()),
                      0);

            const stProbedFile file = ProbeRecording(path);
            ASSERT_TRUE(file.opened);
            ASSERT_TRUE(file.Video() && file.Audio());
            EXPECT_EQ(file.Audio()->packets, info.audioPackets);
            EXPECT_EQ(file.Video()->packets, info.videoPackets);
            // The sound lasts as long as the pictures, to within one sound frame.
            EXPECT_NEAR(static_cast<double>(file.Audio()->endUs - file.Audio()->firstPtsUs),
                        static_cast<double>(file.Video()->endUs - file.Video()->firstPtsUs), 50000.0);
            const stProbedSound sound = ProbeSound(path);
            ASSERT_TRUE(sound.found);
            EXPECT_EQ(sound.codecId, AV_CODEC_ID_AAC);
            EXPECT_EQ(sound.sampleRate, source.sampleRate);
            EXPECT_EQ(sound.channels, source.channels);
            EXPECT_EQ(sound.failedPackets, 0);
            EXPECT_GE(sound.samples, static_cast<int64_t>(info.audioPackets - 2) * info.audioFrameSize);
        }
    }
}

TEST_F(StreamWriterTest, MetadataKeepsOnlyTheTextsGiven)
{
    CMP4Wrapper writer;
    const std::string path = m_dir.File("meta.mp4").string();
    ASSERT_EQ(writer.Open(&path, nullptr, 0), 0);
    for (stWriterStreamParams &params : ClipStreams())
        ASSERT_GE(writer.addNewStream(params, 0), 0);
    stWriterMetadata metadata;
    metadata.title = L"VideoRecord";
    metadata.comment = L"案件:Cycle-7";
    metadata.composer = L"Kestro Information Technology";
    ASSERT_GE(writer.PrepareForWriting(&metadata), 0);
    WriteClip(writer);
    writer.Close();
    const stProbedFile file = ProbeRecording(path);
    EXPECT_EQ(file.title, "VideoRecord");
    EXPECT_EQ(file.comment, "案件:Cycle-7");
    EXPECT_EQ(file.composer, "Kestro Information Technology");
}

TEST_F(StreamWriterTest, UnknownExtensionIsWrittenAsProgramStream)
{
    CMP4Wrapper writer;
    const std::string path = m_dir.File("clip.zzz").string();
    std::vector<stWriterStreamParams> streams = {ClipStreams()[0]}; // a program stream takes no AAC
    ASSERT_EQ(writer.Open(&path, &streams, 1), 1);
    for (const stCodedPacket &packet : TestClip().Video()) {
        FramePackage package = CTestEncoder::MakePackage(packet, 0);
        EXPECT_EQ(writer.writeFrame(0, package, kUs), 0);
        FreeFramePackage(package);
    }
    writer.Close();
    AVFormatContext *raw = nullptr;
    ASSERT_EQ(avformat_open_input(&raw, path.c_str(), nullptr, nullptr), 0);
    EXPECT_STREQ(raw->iformat->name, "mpeg");
    avformat_close_input(&raw);
}

TEST_F(StreamWriterTest, OpenRefusesBadArguments)
{
    CMP4Wrapper writer;
    const std::string path = m_dir.File("x.mp4").string();
    std::vector<stWriterStreamParams> many(17);
    EXPECT_EQ(writer.Open(&path, &many, 17), -2);
    EXPECT_EQ(writer.Open(&path, nullptr, 1), -2);
    CMP4Wrapper unnamed;
    EXPECT_EQ(unnamed.Open(nullptr, nullptr, 0), -1);
    const std::string shortName = "a.b";
    CMP4Wrapper shortWriter;
    EXPECT_EQ(shortWriter.Open(&shortName, nullptr, 0), 0) << "a given name replaces the stored one";
}

TEST_F(StreamWriterTest, StreamsAreRefusedOnceTheHeaderIsWrittenOrWithoutEncoder)
{
    CMP4Wrapper writer;
    const std::string path = m_dir.File("x.mp4").string();
    std::vector<stWriterStreamParams> streams = ClipStreams();
    ASSERT_EQ(writer.Open(&path, &streams, 2), 2);
    stWriterStreamParams late = ClipStreams()[0];
    EXPECT_EQ(writer.addNewStream(late, 0), -4);
    writer.Close();

    CMP4Wrapper other;
    ASSERT_EQ(other.Open(&path, nullptr, 0), 0);
    stWriterStreamParams unknown;
    unknown.codecId = 0;
    unknown.mediaType = 0;
    unknown.codecName = L"NoSuchCodec";
    EXPECT_EQ(other.addNewStream(unknown, 0), -1);
    EXPECT_EQ(other.RemoveStream(5), -2);
}

// A stream the container cannot hold is refused alone, before its header could fail for every
// stream; a header that fails all the same leaves no empty file behind.
TEST_F(StreamWriterTest, AStreamTheContainerCannotHoldIsRefusedAndAFailedHeaderLeavesNoFile)
{
    const bool mp4HoldsPcm =
        avformat_query_codec(av_guess_format("mp4", nullptr, nullptr), AV_CODEC_ID_PCM_S16LE, FF_COMPLIANCE_NORMAL) == 1;
    stWriterStreamParams pcm;
    pcm.codecId = AV_CODEC_ID_PCM_S16LE;
    pcm.mediaType = 1;
    pcm.sampleRate = 44100;
    pcm.sampleFormat = AV_SAMPLE_FMT_S16;
    av_channel_layout_default(&pcm.channelLayout, 2);

    const std::string path = m_dir.File("camera.mp4").string();
    CMP4Wrapper writer;
    ASSERT_EQ(writer.Open(&path, nullptr, 0), 0);
    EXPECT_EQ(writer.GetContainerName(), "mp4");
    if (!mp4HoldsPcm) {
        stWriterStreamParams sound = pcm;
        EXPECT_EQ(writer.addNewStream(sound, 0), TYX_WRITER_STREAM_NOT_HELD);
        EXPECT_EQ(writer.GetStreamCount(), 0);
        EXPECT_FALSE(writer.CanHoldCodec(AV_CODEC_ID_PCM_S16LE));
    }
    EXPECT_TRUE(writer.CanHoldCodec(AV_CODEC_ID_H264));
    // Nothing to hold: the header fails, and the file it had made goes with it.
    EXPECT_EQ(writer.PrepareForWriting(nullptr), -16);
    EXPECT_FALSE(std::filesystem::exists(path));
    writer.Close();

    // With the picture beside it, the picture is recorded.
    std::vector<stWriterStreamParams> streams{ClipStreams()[0], pcm};
    ASSERT_EQ(writer.Open(&path, &streams, 2), mp4HoldsPcm ? 2 : 1);
    for (const stCodedPacket &packet : TestClip().Video()) {
        FramePackage package = CTestEncoder::MakePackage(packet, 0);
        EXPECT_EQ(writer.writeFrame(0, package, kUs), 0);
        FreeFramePackage(package);
    }
    writer.Close();
    const stProbedFile file = ProbeRecording(path);
    ASSERT_TRUE(file.opened && file.Video());
    EXPECT_EQ(file.streams, mp4HoldsPcm ? 2 : 1);
    EXPECT_EQ(file.Video()->packets, static_cast<int>(TestClip().Video().size()));
}

// An ADTS package that cannot be split into its frames (cut short, or several blocks in a frame
// without their bounds) is reported as not written; the output goes on with the next package.
TEST_F(StreamWriterTest, AnAdtsPackageThatCannotBeSplitIsReportedNotWritten)
{
    CMP4Wrapper writer;
    const std::string path = m_dir.File("adts.mp4").string();
    std::vector<stWriterStreamParams> streams = ClipStreams();
    ASSERT_EQ(writer.Open(&path, &streams, 2), 2);
    const auto write = [&writer](const stCodedPacket &packet) {
        FramePackage package = CTestEncoder::MakePackage(packet, 0);
        const int32_t result = writer.writeFrame(1, package, kUs);
        FreeFramePackage(package);
        return result;
    };
    EXPECT_EQ(write(AdtsPacket(7 + 40, 40, 1, 0)), 0);
    EXPECT_EQ(write(AdtsPacket(7 + 200, 40, 1, 21333)), TYX_WRITER_PACKAGE_REFUSED) << "cut short";
    EXPECT_EQ(write(AdtsPacket(7 + 40, 40, 2, 42666)), TYX_WRITER_PACKAGE_REFUSED) << "two blocks in the frame";
    EXPECT_EQ(write(AdtsPacket(7 + 40, 40, 1, 64000)), 0);
    writer.Close();
    const stProbedFile file = ProbeRecording(path);
    ASSERT_TRUE(file.opened && file.Audio());
    EXPECT_EQ(file.Audio()->packets, 2);
}

// The writers' own order rule lets an equal dts pass (FLV takes it) and refuses a smaller one.
TEST_F(StreamWriterTest, WriteFrameChecksIndexAndOrder)
{
    CMP4Wrapper writer;
    const std::string path = m_dir.File("order.flv").string();
    std::vector<stWriterStreamParams> streams = ClipStreams();
    ASSERT_EQ(writer.Open(&path, &streams, 2), 2);
    FramePackage key = CTestEncoder::MakePackage(TestClip().Video()[0], 1000000);
    EXPECT_EQ(writer.writeFrame(7, key, kUs), -1);
    EXPECT_EQ(writer.writeFrame(0, key, kUs), 0);
    EXPECT_EQ(writer.writeFrame(0, key, kUs), 0) << "an equal dts is handed to the muxer";
    FramePackage earlier = key;
    earlier.dts -= 40000;
    earlier.pts -= 40000;
    EXPECT_EQ(writer.writeFrame(0, earlier, kUs), -2);
    EXPECT_EQ(writer.GetMaxTimestamp(), key.dts);
    FreeFramePackage(key);
    writer.Close();
}

TEST_F(StreamWriterTest, WritingBeforeTheHeaderIsRefusedForFilesAndIgnoredForPushes)
{
    CMP4Wrapper file;
    const std::string path = m_dir.File("early.mp4").string();
    ASSERT_EQ(file.Open(&path, nullptr, 0), 0);
    stWriterStreamParams video = ClipStreams()[0];
    ASSERT_EQ(file.addNewStream(video, 0), 0);
    FramePackage key = CTestEncoder::MakePackage(TestClip().Video()[0], 0);
    EXPECT_EQ(file.writeFrame(0, key, kUs), -32769);
    EXPECT_EQ(file.Write_Frame(3, key, kUs), -32769);
    file.Close();

    CRTMPWriter push("rtmp://127.0.0.1:1/live/none");
    EXPECT_EQ(push.Write_Frame(0, key, kUs), 0);
    FreeFramePackage(key);
}

// One writer records one segment after the other, as the cut and the output change use it.
TEST_F(StreamWriterTest, OneWriterOpensAgainWithANewDestination)
{
    CMP4Wrapper writer;
    for (const char *name : {"one.mp4", "two.mp4"}) {
        const std::string path = m_dir.File(name).string();
        std::vector<stWriterStreamParams> streams = ClipStreams();
        ASSERT_EQ(writer.Open(&path, &streams, 2), 2);
        WriteClip(writer);
        writer.Close();
    }
    EXPECT_TRUE(ProbeRecording(m_dir.File("one.mp4")).opened);
    EXPECT_TRUE(ProbeRecording(m_dir.File("two.mp4")).opened);
    // A writer closed without a header writes no trailer and leaves nothing behind.
    const std::string path = m_dir.File("never.mp4").string();
    ASSERT_EQ(writer.Open(&path, nullptr, 0), 0);
    writer.Close();
}

TEST_F(StreamWriterTest, PushToAPortWithoutServerFailsAtOnce)
{
    const int port = FindFreeTcpPort();
    const std::string rtmp = "rtmp://127.0.0.1:" + std::to_string(port) + "/live/x";
    const std::string rtsp = "rtsp://127.0.0.1:" + std::to_string(port) + "/live/x";
    CRTMPWriter rtmpWriter(rtmp);
    EXPECT_LT(rtmpWriter.Open(nullptr, nullptr, 0), 0);
    EXPECT_FALSE(rtmpWriter.IsOpened());

    CRTSPWriter rtspWriter(rtsp, true);
    ASSERT_EQ(rtspWriter.Open(nullptr, nullptr, 0), 0);
    stWriterStreamParams video = ClipStreams()[0];
    ASSERT_GE(rtspWriter.addNewStream(video, 0), 0);
    EXPECT_EQ(rtspWriter.PrepareForWriting(nullptr), -64);
    EXPECT_EQ(rtspWriter.PrepareForWriting(nullptr), -32) << "a refused header leaves no context behind";
}
