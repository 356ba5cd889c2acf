// Capture readers on real libavdevice inputs: generated pictures and tones (lavfi), the screen of
// the test's own X server (x11grab), ALSA's null device, and a V4L2 camera where the host has one.

#include "CaptureTestSupport.h"

#include "input/CaptureSource.h"
#include "input/RawAudioReader.h"
#include "input/RawVideoReader.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "support/TestMedia.h"
#include "support/XvfbServer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/pixfmt.h>
#include <libavutil/samplefmt.h>
}

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

std::unique_ptr<CRawVideoReader> TestVideoReader(int16_t width = 0, int16_t height = 0, float fps = 0.0f)
{
    auto reader = std::make_unique<CRawVideoReader>();
    reader->AllowTestSources(true);
    reader->SetRequest(width, height, fps);
    return reader;
}

} // namespace

TEST(CaptureSourceNames, DeviceNamesMapToTheirInputs)
{
    stCaptureSource source;
    EXPECT_EQ(ResolveCaptureSource("/dev/video0", true, false, "/dev", source), 0);
    EXPECT_EQ(source.format, "v4l2");
    EXPECT_EQ(source.url, "/dev/video0");
    EXPECT_EQ(ResolveCaptureSource("v4l2:/dev/v4l/by-id/usb-Cam_0-video-index0", true, false, "/dev", source), 0);
    EXPECT_EQ(ResolveCaptureSource("x11grab::1.0+10,20", true, false, "/dev", source), 0);
    EXPECT_EQ(source.format, "x11grab");
    EXPECT_EQ(source.url, ":1.0+10,20");
    EXPECT_EQ(ResolveCaptureSource("plughw:CARD=PCH,DEV=0", false, false, "/dev", source), 0);
    EXPECT_EQ(source.format, "alsa");
    EXPECT_EQ(ResolveCaptureSource("pulse:alsa_input.pci-0000_00_1f.3.analog-stereo", false, false, "/dev", source), 0);
    EXPECT_EQ(source.format, "pulse");
}

TEST(CaptureSourceNames, UnsafeNamesAreRefused)
{
    stCaptureSource source;
    for (const char *name : {"", "/etc/passwd", "/dev/../etc/passwd", "v4l2:/dev/video0\n", "x11grab:remote:0",
                             "x11grab::0;rm", "/dev/video0 -f"}) {
        EXPECT_EQ(ResolveCaptureSource(name, true, true, "/dev", source), TYX_CAPTURE_BAD_NAME) << name;
        EXPECT_TRUE(source.format.empty() && source.url.empty());
    }
    for (const char *name : {"alsa:x'", "hw:0/../x", "default\x01", "'default'", "a b"})
        EXPECT_EQ(ResolveCaptureSource(name, false, false, "/dev", source), TYX_CAPTURE_BAD_NAME) << name;
    EXPECT_EQ(ResolveCaptureSource(std::string(TYX_CAPTURE_NAME_MAX + 1, 'a'), false, false, "/dev", source),
              TYX_CAPTURE_BAD_NAME);
    // Generated sources and files only where a test allows them.
    EXPECT_EQ(ResolveCaptureSource("lavfi:testsrc2", true, false, "/dev", source), TYX_CAPTURE_NOT_ALLOWED);
    EXPECT_EQ(ResolveCaptureSource("file:/tmp/clip.mkv", true, false, "/dev", source), TYX_CAPTURE_NOT_ALLOWED);
    CTempDir folder;
    EXPECT_EQ(ResolveCaptureSource("Integrated Camera", true, false, folder.Path().string(), source), AVERROR(ENOENT));
}

TEST(RawVideoReader, RefusedOpensLeaveItClosedAndTheNextOpenStartsAfresh)
{
    auto reader = TestVideoReader(320, 240, 25.0f);
    CLogCapture log;
    EXPECT_EQ(reader->OpenMediaSource(std::string()), TYX_MSR_NO_SOURCE);
    EXPECT_EQ(reader->OpenMediaSource("/dev/../etc/passwd"), TYX_CAPTURE_BAD_NAME);
    EXPECT_TRUE(log.Contains(L"[Video-Capture] Device name (/dev/../etc/passwd) refused", 3));
    const int32_t missing = reader->OpenMediaSource("/dev/video99");
    EXPECT_LT(missing, 0);
    EXPECT_FALSE(reader->IsOpened());
    EXPECT_EQ(reader->GetStreamParameters(0), nullptr);
    FramePackage package;
    EXPECT_EQ(reader->ReadPacket(package), TYX_MSR_NOT_OPENED);
    // A graph that gives no picture has no video stream.
    EXPECT_EQ(reader->OpenMediaSource("lavfi:sine=frequency=440:duration=1"), TYX_MSR_STREAM_NOT_FOUND);
    EXPECT_FALSE(reader->IsOpened());

    EXPECT_EQ(reader->OpenMediaSource(TestPattern(320, 240, 25, "yuyv422")), 0);
    EXPECT_TRUE(reader->IsOpened());
    // Reopen opens the stored device again.
    EXPECT_EQ(reader->Reopen(), 0);
    EXPECT_GT(reader->ReadPacket(package), 0);
}

TEST(RawVideoReader, RawPicturesNeedNoDecoding)
{
    auto reader = TestVideoReader(0, 0, 25.0f);
    ASSERT_EQ(reader->OpenMediaSource(TestPattern(320, 240, 25, "yuyv422")), 0);
    EXPECT_FALSE(reader->NeedsDecoding());
    EXPECT_EQ(reader->CapturedWidth(), 320);
    EXPECT_EQ(reader->CapturedHeight(), 240);
    EXPECT_EQ(reader->CapturedPixelFormat(), AV_PIX_FMT_YUYV422);
    const AVRational timeBase = reader->TimeBase();
    ASSERT_GT(timeBase.num, 0);
    EXPECT_EQ(reader->TicksPerFrame(), static_cast<int32_t>((double(timeBase.den) / timeBase.num) / 25.0));
    // Whatever number is asked for, the captured stream's record answers.
    stMediaStreamInfo *record = reader->GetStreamParameters(7);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record, reader->GetStreamParameters(-1));
    EXPECT_EQ(record->width, 320);
    EXPECT_EQ(record->frameRate.num / record->frameRate.den, 25);

    FramePackage package;
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(reader->ReadPacket(package), 320 * 240 * 2);
        EXPECT_EQ(package.mediaType, TYX_MEDIA_VIDEO);
        EXPECT_EQ(package.streamIndex, reader->CapturedIndex());
        EXPECT_EQ(package.inDevice, 0);
        EXPECT_EQ(package.pts, reader->LastPts());
        EXPECT_NE(package.pData, nullptr);
    }
    EXPECT_EQ(reader->ReadCount(), 5);
}

TEST(RawVideoReader, NoRequestedRateLeavesTicksPerFrameAtZero)
{
    auto reader = TestVideoReader();
    ASSERT_EQ(reader->OpenMediaSource(TestPattern(64, 64, 25, "yuyv422")), 0);
    EXPECT_EQ(reader->TicksPerFrame(), 0);
}

TEST(RawVideoReader, PacketsWithNegativeStampsAreDroppedAndReadingGoesOn)
{
    auto reader = TestVideoReader();
    ASSERT_EQ(reader->OpenMediaSource("lavfi:testsrc2=size=64x64:rate=25,format=yuyv422,setpts=PTS-2"), 0);
    CLogCapture log;
    FramePackage package;
    ASSERT_GT(reader->ReadPacket(package), 0);
    EXPECT_EQ(package.pts, 0);
    EXPECT_EQ(log.Count(L"[RawVideo-Reader]: Invalid Frame with (pts=[-", 3), 2);
    EXPECT_EQ(reader->ReadCount(), 1);
}

TEST(RawVideoReader, CodedCameraNeedsDecoding)
{
    CTestMediaSet media;
    stTestMediaSpec spec;
    spec.container = "matroska";
    spec.videoCodec = "libx264";
    spec.audio = false;
    spec.seconds = 1.0;
    const auto path = media.Add("camera.mkv", spec);
    auto reader = TestVideoReader();
    ASSERT_EQ(reader->OpenMediaSource("file:" + path.string()), 0);
    EXPECT_TRUE(reader->NeedsDecoding());
    FramePackage package;
    int packets = 0;
    while (reader->ReadPacket(package) > 0)
        ++packets;
    EXPECT_EQ(packets, 25);
    EXPECT_EQ(reader->ReadPacket(package), 0);
}

TEST(RawVideoReader, ScreenOfTheTestsXServerIsCaptured)
{
    CXvfbServer server;
    if (!server.Start(640, 480))
        GTEST_SKIP() << "Xvfb cannot start here";
    ASSERT_TRUE(PaintScreen(server.Name(), {{0, 0, 640, 480, 0x0000FF}, {0, 0, 160, 120, 0xFF0000}}));
    auto reader = TestVideoReader(320, 240, 10.0f);
    ASSERT_EQ(reader->OpenMediaSource("x11grab:" + server.Name() + ".0"), 0);
    EXPECT_FALSE(reader->NeedsDecoding());
    ASSERT_EQ(reader->CapturedWidth(), 320);
    ASSERT_EQ(reader->CapturedHeight(), 240);
    const int32_t format = reader->CapturedPixelFormat();
    ASSERT_TRUE(format == AV_PIX_FMT_BGR0 || format == AV_PIX_FMT_BGRA) << format;
    FramePackage package;
    ASSERT_EQ(reader->ReadPacket(package), 320 * 240 * 4);
    EXPECT_GT(package.pts, 0);
    std::vector<uint8_t> bgra(package.pData, package.pData + package.nLength);
    std::filesystem::create_directories("artifacts");
    SaveBgraAsPng("artifacts/capture_x11grab.png", bgra, 320, 240);
    const stBgr red = PixelAt(bgra, 320, 40, 40);
    const stBgr blue = PixelAt(bgra, 320, 240, 180);
    EXPECT_GT(red.r, 200);
    EXPECT_LT(red.b, 50);
    EXPECT_GT(blue.b, 200);
    EXPECT_LT(blue.r, 50);
}

TEST(RawVideoReader, RealCameraWhenTheHostHasOne)
{
    const std::string node = FirstCaptureNode();
    if (node.empty())
        GTEST_SKIP() << "no V4L2 capture device on this host";
    auto reader = std::make_unique<CRawVideoReader>();
    ASSERT_GE(reader->OpenMediaSource(node), 0);
    FramePackage package;
    EXPECT_GT(reader->ReadPacket(package), 0);
}

TEST(RawAudioReader, GeneratedToneIsReadAsRawAudioToTheEnd)
{
    CRawAudioReader reader;
    reader.AllowTestSources(true);
    EXPECT_EQ(reader.OpenMediaSource(TestPattern(64, 64, 25, "yuyv422")), TYX_MSR_STREAM_NOT_FOUND);
    ASSERT_EQ(reader.OpenMediaSource(TestTone(440, 48000, 0.5)), 0);
    EXPECT_EQ(reader.SampleRate(), 48000);
    EXPECT_EQ(reader.Channels(), 1);
    EXPECT_EQ(reader.SampleSize(), 8 * av_get_bytes_per_sample(static_cast<AVSampleFormat>(reader.SampleFormat())));
    FramePackage package;
    int64_t bytes = 0;
    int32_t result;
    while ((result = reader.ReadPacket(package)) > 0) {
        EXPECT_EQ(package.mediaType, TYX_MEDIA_AUDIO);
        EXPECT_EQ(package.kind, TYX_PKT_KIND_RAW_AUDIO);
        EXPECT_EQ(package.format, reader.SampleFormat());
        EXPECT_EQ(package.inDevice, 0);
        bytes += package.nLength;
    }
    EXPECT_EQ(result, 0);
    EXPECT_EQ(bytes, 24000 * reader.SampleSize() / 8);
}

TEST(RawAudioReader, AlsaNullDeviceWhenPresent)
{
    CRawAudioReader reader;
    reader.SetRequest(0, 0, 0);
    const int32_t opened = reader.OpenMediaSource("alsa:null");
    if (opened < 0)
        GTEST_SKIP() << "ALSA's null device cannot be opened here (" << opened << ")";
    EXPECT_GT(reader.SampleRate(), 0);
    FramePackage package;
    EXPECT_GT(reader.ReadPacket(package), 0);
    EXPECT_EQ(package.kind, TYX_PKT_KIND_RAW_AUDIO);
}
