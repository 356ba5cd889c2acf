// The libavcodec encode worker end to end: device pictures of a moving pattern in, H.264 out,
// decoded back with libavcodec and compared with what went in.

#include "codec/FpgVEcdWorker.h"

#include "EncodeTestSupport.h"

#include "support/LeakCheck.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "support/TestMedia.h"

extern "C" {
#include <libavutil/hwcontext.h>
}

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <memory>
#include <set>
#include <utility>

namespace {

constexpr int64_t kFrameUs = 40000;
constexpr double kPsnrFloor = 32.0; // dB at 1500 kbit/s for 320x240; the pattern codes easily

using CFedFpg = CFedWorker<CFpgVEcdWorker>;

class FpgVEcdWorkerTest : public CLeakCheckedTest
{
protected:
    // Encodes `frames` pattern pictures of the input size through the worker's thread function.
    std::vector<FramePackage> Encode(CFedFpg &worker, int32_t frames, uint16_t inputWidth, uint16_t inputHeight)
    {
        for (int32_t n = 0; n < frames; ++n)
            worker.feed.push_back(MakePatternPackage(inputWidth, inputHeight, n, kFrameUs));
        FramePackage end;
        end.kind = TYX_PKT_KIND_RAW_VIDEO;
        worker.feed.push_back(end);
        EXPECT_EQ(worker.WorkingFunc(), 0u);
        return m_links.TakeSent();
    }
    void Open(CFpgVEcdWorker &worker, const stVideoEncodeWorkerConfig &config, uint16_t inputWidth,
              uint16_t inputHeight)
    {
        ASSERT_EQ(worker.CopyInConfiguration(&config), 0);
        worker.SetInputParameters(MakeInputParams(inputWidth, inputHeight, 25.0f), 0);
        ASSERT_EQ(worker.Initialize(1, 0), 0);
    }
    static std::vector<uint8_t> Extradata(const CTYXWorker &worker)
    {
        const stStreamParams output = worker.GetOutputParameters();
        return std::vector<uint8_t>(output.extradata, output.extradata + output.extradataSize);
    }
    static void FreeAll(std::vector<FramePackage> &packages)
    {
        for (FramePackage &package : packages)
            FreeFramePackage(package);
    }
    stEncoderLinks m_links;
};

TEST_F(FpgVEcdWorkerTest, H264RoundTripGivesThePatternBackWithKeysWhereTheGopAsks)
{
    CFedFpg worker(kEncoderId, &m_links.inputs, &m_links.consumers);
    Open(worker, MakeEncoderConfig(27, L"H264", 320, 240, 25.0f, 10, 1500, L"High"), 320, 240);
    const std::vector<uint8_t> header = Extradata(worker);
    ASSERT_GT(header.size(), 8u);
    // Annex-B SPS first, of the High profile (profile_idc 100).
    ASSERT_EQ(std::vector<uint8_t>(header.begin(), header.begin() + 4), (std::vector<uint8_t>{0, 0, 0, 1}));
    EXPECT_EQ(header[4] & 0x1F, 7);
    EXPECT_EQ(header[5], 100);

    // The encoder's look-ahead holds pictures back, and what the flush at the end gives is not sent.
    std::vector<FramePackage> sent = Encode(worker, 90, 320, 240);
    ASSERT_GE(sent.size(), 30u);
    const int64_t first = sent.front().pts;
    for (size_t i = 0; i < sent.size(); ++i) {
        const int64_t picture = (sent[i].pts - first) / kFrameUs;
        EXPECT_EQ((sent[i].flags & TYX_PKT_FLAG_KEY) != 0, picture % 10 == 0) << "picture " << picture;
        EXPECT_LE(sent[i].dts, sent[i].pts) << i;
        if (i > 0) {
            EXPECT_GT(sent[i].dts, sent[i - 1].dts) << i;
        }
        EXPECT_EQ(sent[i].width, 320);
    }

    stDecoded decoded;
    ASSERT_TRUE(DecodePackets(AV_CODEC_ID_H264, header, sent, decoded));
    ASSERT_EQ(decoded.pictures.size(), sent.size());
    EXPECT_EQ(decoded.width, 320);
    EXPECT_EQ(decoded.height, 240);
    EXPECT_EQ(decoded.profile, 100);
    double worst = 99.0;
    for (size_t i = 0; i < decoded.pictures.size(); ++i) {
        const auto n = static_cast<int32_t>((decoded.pts[i] - first) / kFrameUs);
        if (i > 0) {
            EXPECT_GT(decoded.pts[i], decoded.pts[i - 1]);
        }
        worst = std::min(worst, PsnrI420(decoded.pictures[i], MakePattern(320, 240, n), 320, 240));
    }
    EXPECT_GT(worst, kPsnrFloor);
    EXPECT_FALSE(SaveI420AsPng("fpg_h264_roundtrip_20", decoded.pictures[20], 320, 240).empty());

    // A recording of the packets plays back with every picture and its key frames.
    CTempDir folder;
    const std::string path = (folder.Path() / "fpg.mp4").string();
    ASSERT_EQ(WritePacketsToMp4(path, AV_CODEC_ID_H264, 320, 240, header, sent), 0);
    const std::vector<stTestPacket> played = ReadTestMediaPackets(path);
    ASSERT_EQ(played.size(), sent.size());
    int32_t keys = 0;
    int32_t sentKeys = 0;
    for (size_t i = 0; i < played.size(); ++i) {
        keys += played[i].key ? 1 : 0;
        sentKeys += (sent[i].flags & TYX_PKT_FLAG_KEY) ? 1 : 0;
    }
    EXPECT_EQ(keys, sentKeys);
    EXPECT_GE(keys, 3);
    FreeAll(sent);
}

// The configuration's "input's rate" (-2, neither an output nor a global rate set) encodes at the
// input's rate; the NVENC worker is held to the same.
TEST_F(FpgVEcdWorkerTest, WithoutAConfiguredRateTheInputsRateIsUsed)
{
    CFedFpg worker(kEncoderId, &m_links.inputs, &m_links.consumers);
    Open(worker, MakeEncoderConfig(27, L"H264", 320, 240, -2.0f, 10, 1500, L"High"), 320, 240);
    ASSERT_NE(worker.CodecContext(), nullptr);
    EXPECT_EQ(worker.CodecContext()->framerate.num, 25);
    EXPECT_EQ(worker.CodecContext()->framerate.den, 1);
    EXPECT_FLOAT_EQ(worker.GetOutputParameters().frameRate, 25.0f);
    std::vector<FramePackage> sent = Encode(worker, 30, 320, 240);
    ASSERT_FALSE(sent.empty());
    stDecoded decoded;
    ASSERT_TRUE(DecodePackets(AV_CODEC_ID_H264, Extradata(worker), sent, decoded));
    EXPECT_EQ(decoded.pictures.size(), sent.size());
    FreeAll(sent);
}

TEST_F(FpgVEcdWorkerTest, ALargerInputIsScaledToTheConfiguredSize)
{
    CFedFpg worker(kEncoderId, &m_links.inputs, &m_links.consumers);
    Open(worker, MakeEncoderConfig(27, L"H264", 320, 180, 25.0f, 25, 1500, L"Main"), 640, 360);
    EXPECT_TRUE(worker.ConversionNeeded());
    std::vector<FramePackage> sent = Encode(worker, 80, 640, 360);
    stDecoded decoded;
    ASSERT_TRUE(DecodePackets(AV_CODEC_ID_H264, Extradata(worker), sent, decoded));
    ASSERT_GE(decoded.pictures.size(), 6u);
    EXPECT_EQ(decoded.width, 320);
    EXPECT_EQ(decoded.height, 180);
    EXPECT_EQ(decoded.profile, 77);
    // The pattern's gradient and square scale with the picture, except the square's step per picture.
    EXPECT_GT(PsnrI420(decoded.pictures[0], MakePattern(320, 180, 0), 320, 180), 24.0);
    EXPECT_FALSE(SaveI420AsPng("fpg_h264_scaled_5", decoded.pictures[5], 320, 180).empty());
    FreeAll(sent);
}

// A decoder's status pictures (1280x720) ahead of its stream's first pictures (640x360): each is
// scaled to the size the encoder takes, encoded, and decodes back to its own content.
TEST_F(FpgVEcdWorkerTest, PicturesOfAnotherSizeAreScaledToTheStreamsSize)
{
    CLogCapture log;
    CFedFpg worker(kEncoderId, &m_links.inputs, &m_links.consumers);
    Open(worker, MakeEncoderConfig(27, L"H264", kStreamWidth, kStreamHeight, 25.0f, 25, 2000), kStreamWidth,
         kStreamHeight);
    FillStatusSizedThenStreamPictures(worker.feed, 8, 80);
    std::vector<FramePackage> sent = Encode(worker, 0, kStreamWidth, kStreamHeight);
    const stPackagesFreer freer{sent};
    EXPECT_FALSE(log.Contains(L"refused", 3));
    stDecoded decoded;
    ASSERT_TRUE(DecodePackets(AV_CODEC_ID_H264, Extradata(worker), sent, decoded));
    CheckStatusSizedPicturesEncoded(decoded, 8, kPsnrFloor);
    ASSERT_GT(decoded.pictures.size(), 2u);
    EXPECT_FALSE(SaveI420AsPng("fpg_h264_status_sized_2", decoded.pictures[2], kStreamWidth, kStreamHeight).empty());
}

// A picture holding fewer bytes than its size, or than the stream's size when it gives none, is
// refused, not read past its end.
TEST_F(FpgVEcdWorkerTest, APictureShorterThanItsSizeIsRefusedNotReadPastItsEnd)
{
    CLogCapture log;
    CFedFpg worker(kEncoderId, &m_links.inputs, &m_links.consumers);
    Open(worker, MakeEncoderConfig(27, L"H264", 320, 240, 25.0f, 25, 1500), 320, 240);
    FramePackage claimsMore = MakePatternPackage(320, 240, 0, kFrameUs);
    claimsMore.width = 640;
    claimsMore.height = 480;
    worker.feed.push_back(claimsMore);
    FramePackage sizeless = MakePatternPackage(160, 120, 0, kFrameUs);
    sizeless.width = 0;
    sizeless.height = 0;
    worker.feed.push_back(sizeless);
    std::vector<FramePackage> sent = Encode(worker, 60, 320, 240);
    EXPECT_TRUE(log.Contains(L"Error! The input data length(115200) < required input frame size(460800)!", 3));
    EXPECT_TRUE(log.Contains(L"Error! The input data length(28800) < required input frame size(115200)!", 3));
    EXPECT_FALSE(sent.empty());
    FreeAll(sent);
}

// A stall of 0.6 s inside a group of B pictures, then pictures that fail to encode: every decode
// stamp stays at or before its pts and above the one before, the pictures keep their stamps, and
// the decode delay after the failures is no longer than the reordering needs.
TEST_F(FpgVEcdWorkerTest, DecodeStampsHoldAcrossAStallInsideAGroupAndFailedEncodes)
{
    bool spanned = false;
    // One of four places in a row falls inside a group of P B B B.
    for (int32_t stallAfter = 60; stallAfter < 64; ++stallAfter) {
        CFedFpg worker(kEncoderId, &m_links.inputs, &m_links.consumers);
        Open(worker, MakeEncoderConfig(27, L"H264", 160, 120, 25.0f, 250, 500, L"High"), 160, 120);
        stStalledFeed feed = stStalledFeed::Around(stallAfter, [](int32_t n) {
            FramePackage cut = MakePatternPackage(160, 120, n, kFrameUs);
            cut.width = 0; // says nothing of its size, and its rows are wider than it holds
            cut.height = 0;
            cut.pitch = 320;
            return cut;
        });
        feed.Fill(worker.feed, 160, 120);
        std::vector<FramePackage> sent = Encode(worker, 0, 160, 120);
        const stPackagesFreer freer{sent};
        ASSERT_GT(sent.size(), 150u);
        spanned = CheckStampsAcrossStall(sent, feed, worker.CodecContext()->max_b_frames, kFrameUs) || spanned;
        stDecoded decoded;
        EXPECT_TRUE(DecodePackets(AV_CODEC_ID_H264, Extradata(worker), sent, decoded));
        EXPECT_EQ(decoded.pictures.size(), sent.size());
        CTempDir folder;
        EXPECT_EQ(WritePacketsToMp4((folder.Path() / "stall.mp4").string(), AV_CODEC_ID_H264, 160, 120,
                                    Extradata(worker), sent),
                  0);
    }
    EXPECT_TRUE(spanned) << "no group of B pictures spanned the stall";
}

// Pictures read 900 ms before the program clock, at 25 fps, with a short gap that the encoder
// fills and a stall that it does not: each picture leaves with the stamp it came with (at 30 fps
// the stamps lie on that rate's grid from the first picture and from the first after the stall),
// whatever the reordering or the clock, and each slot shows the picture whose time it is.
TEST_F(FpgVEcdWorkerTest, PicturesKeepTheirTimeThroughTheEncoder)
{
    constexpr int64_t kNow = 1700000000000000;
    const int64_t first = kNow - 900000 + 7;
    std::map<int64_t, int32_t> pictures; // stamp -> pattern number
    for (int32_t n = 0; n < 170; ++n) {
        const bool shortGap = n >= 40 && n < 45; // 0.2 s
        const bool stall = n >= 80 && n < 98;    // 0.72 s
        if (!shortGap && !stall)
            pictures[first + n * kFrameUs] = n;
    }
    const int64_t resumed = first + 98 * kFrameUs;
    for (const float rate : {25.0f, 30.0f}) {
        const int64_t slot = std::llround(1000000.0 / rate);
        CFedFpg worker(kEncoderId, &m_links.inputs, &m_links.consumers);
        worker.SetClockSources([] { return kNow; }, [] { return 0u; });
        Open(worker, MakeEncoderConfig(27, L"H264", 160, 120, rate, 250, 800, L"High"), 160, 120);
        for (const auto &[pts, n] : pictures)
            worker.feed.push_back(MakeStampedPattern(160, 120, n, pts, kFrameUs));
        std::vector<FramePackage> sent = Encode(worker, 0, 160, 120);
        const stPackagesFreer freer{sent};
        ASSERT_GT(sent.size(), 80u) << rate;
        EXPECT_TRUE(DecodeStampsHold(sent)) << rate;
        EXPECT_EQ(sent.front().pts, first) << rate;
        for (const FramePackage &packet : sent) {
            const int64_t base = packet.pts >= resumed ? resumed : first;
            const double slots = static_cast<double>(packet.pts - base) * rate / 1000000.0;
            EXPECT_LE(std::fabs(slots - std::round(slots)) * slot, 1.0) << packet.pts - first << " off the grid at " << rate;
            EXPECT_TRUE(packet.pts < first + 80 * kFrameUs || packet.pts >= resumed)
                << packet.pts - first << " stands in for the stall at " << rate;
            if (rate == 25.0f && pictures.count(packet.pts) == 0) {
                EXPECT_TRUE(packet.pts >= first + 40 * kFrameUs && packet.pts < first + 45 * kFrameUs)
                    << packet.pts - first << " is no picture's stamp";
            }
        }
        stDecoded decoded;
        ASSERT_TRUE(DecodePackets(AV_CODEC_ID_H264, Extradata(worker), sent, decoded));
        ASSERT_EQ(decoded.pictures.size(), sent.size());
        for (size_t i = 0; i < decoded.pictures.size(); ++i) {
            const int64_t t = decoded.pts[i];
            const auto latest = std::prev(pictures.upper_bound(t + slot / 2));
            const int32_t shown = ShownPattern(decoded.pictures[i], 160, 120, latest->second - 12, latest->second + 12);
            const auto own = std::find_if(pictures.begin(), pictures.end(), [&](const auto &p) { return p.second == shown; });
            ASSERT_NE(own, pictures.end()) << "slot " << t - first << " shows no picture given";
            const auto next = std::next(own);
            // Never more than half a slot before its time, never in the next picture's time.
            EXPECT_LE(own->first - t, slot / 2) << "picture " << shown << " at " << t - first << ", rate " << rate;
            if (next != pictures.end()) {
                EXPECT_LT(t, next->first) << "picture " << shown << " at " << t - first << ", rate " << rate;
            }
        }
    }
}

// libx264's look-ahead and B pictures hold the last pictures back. The worker's own thread, stopped
// once it took every picture, codes them and hands them to the consumer before it ends: every
// picture comes out once with its own stamp, decode stamps as a writer needs them.
TEST_F(FpgVEcdWorkerTest, AStopSendsEveryPictureTakenBeforeTheThreadEnds)
{
    constexpr int32_t kPictures = 60;
    auto worker = std::make_shared<CFedFpg>(kEncoderId, &m_links.inputs, &m_links.consumers);
    worker->SetClockSources(nullptr, [] { return 0u; }); // the flush never runs out of time
    Open(*worker, MakeEncoderConfig(27, L"H264", 320, 240, 25.0f, 250, 1500, L"High"), 320, 240);
    ASSERT_GT(worker->CodecContext()->max_b_frames, 0);
    std::set<int64_t> fed;
    ASSERT_EQ(FeedThenStop(*worker, kPictures, 320, 240, fed), 0);
    std::vector<FramePackage> sent = m_links.TakeSent();
    const stPackagesFreer freer{sent};
    EXPECT_TRUE(EveryPictureOnce(sent, fed));
    EXPECT_TRUE(DecodeStampsHold(sent));
    stDecoded decoded;
    ASSERT_TRUE(DecodePackets(AV_CODEC_ID_H264, Extradata(*worker), sent, decoded));
    ASSERT_EQ(decoded.pictures.size(), fed.size());
    const int64_t first = *fed.begin();
    EXPECT_GT(PsnrI420(decoded.pictures.back(), MakePattern(320, 240, kPictures - 1), 320, 240), kPsnrFloor);
    EXPECT_EQ(decoded.pts.back(), first + (kPictures - 1) * kFrameUs);
    CTempDir folder;
    EXPECT_EQ(WritePacketsToMp4((folder.Path() / "stop.mp4").string(), AV_CODEC_ID_H264, 320, 240,
                                Extradata(*worker), sent),
              0);
}

// A flush that runs past its time (a slow machine, a large picture) gives up, so that the stopped
// thread ends within the time the stop waits for it; what it collected still goes out.
TEST_F(FpgVEcdWorkerTest, AStopFlushEndsAtItsTimeLimit)
{
    CLogCapture log;
    CFedFpg worker(kEncoderId, &m_links.inputs, &m_links.consumers);
    std::atomic<uint32_t> ticks{0};
    std::atomic<bool> stopped{false};
    // The clock runs only once the stop came: each reading is 700 ms later than the one before.
    worker.SetClockSources(nullptr, [&] { return stopped ? ticks += 700 : ticks.load(); });
    Open(worker, MakeEncoderConfig(27, L"H264", 320, 240, 25.0f, 250, 1500, L"High"), 320, 240);
    for (int32_t n = 0; n < 60; ++n)
        worker.feed.push_back(MakePatternPackage(320, 240, n, kFrameUs));
    worker.onEmpty = [&] {
        stopped = true;
        worker.RequestThreadExit();
    };
    EXPECT_EQ(worker.WorkingFunc(), 0u);
    std::vector<FramePackage> sent = m_links.TakeSent();
    const stPackagesFreer freer{sent};
    EXPECT_TRUE(log.Contains(L"Flush given up at its time limit:", 4));
    EXPECT_LT(sent.size(), 60u);
    EXPECT_TRUE(DecodeStampsHold(sent));
    stDecoded decoded;
    EXPECT_TRUE(DecodePackets(AV_CODEC_ID_H264, Extradata(worker), sent, decoded));
}

TEST_F(FpgVEcdWorkerTest, ProfileNamesMapToFfmpegValues)
{
    EXPECT_EQ(FfmpegProfileOfName(L"High"), 100);
    EXPECT_EQ(FfmpegProfileOfName(L"HIGH"), 100);
    EXPECT_EQ(FfmpegProfileOfName(L"high"), 100);
    EXPECT_EQ(FfmpegProfileOfName(L"Main"), 77);
    EXPECT_EQ(FfmpegProfileOfName(L"main-10"), 2);
    EXPECT_EQ(FfmpegProfileOfName(L"_HIGH-422-INTRA"), 2170);
    EXPECT_EQ(FfmpegProfileOfName(L"baseline"), 66);
    EXPECT_EQ(FfmpegProfileOfName(L"main10"), -99);
    EXPECT_EQ(FfmpegProfileOfName(L""), -99);
}

TEST_F(FpgVEcdWorkerTest, TheEncoderIsFoundByIdOrNameAndUnknownCodecsFail)
{
    CLogCapture log;
    CFpgVEcdWorker worker(kEncoderId, &m_links.inputs, &m_links.consumers);
    stVideoEncodeParams params;
    params.width = 320;
    params.height = 240;
    params.frameRate = 25.0f;
    params.bitRate = 1000000;
    params.pixelFormat = AV_PIX_FMT_YUV420P;
    params.codecName = L"libx264";
    EXPECT_EQ(worker.InitializeEncoder(params), 0);
    ASSERT_NE(worker.Encoder(), nullptr);
    EXPECT_STREQ(worker.Encoder()->name, "libx264");
    std::unique_ptr<uint8_t[]> header;
    EXPECT_GT(worker.RetrieveSequenceParameters(header), 0); // the header context's, as the codec context has none

    params.codecName = L"nosuchcodec";
    EXPECT_EQ(worker.InitializeEncoder(params), -1);
    EXPECT_TRUE(log.Contains(L"Encoder not initialized for unknown codecID(0).", 3));
    EXPECT_FALSE(worker.IsEncoderReady());
    params.codecId = AV_CODEC_ID_VC1; // decoded by libavcodec, never encoded
    EXPECT_EQ(worker.InitializeEncoder(params), -2);
    EXPECT_TRUE(log.Contains(L"There no Encoder found for current codecID(70).", 3));
    params.codecId = AV_CODEC_ID_H264;
    params.pixelFormat = AV_PIX_FMT_RGB565LE; // not a format libx264 takes
    EXPECT_EQ(worker.InitializeEncoder(params), -512);
    EXPECT_TRUE(log.Contains(L"Codec opening failed with error(", 3));
    EXPECT_FALSE(worker.IsEncoderReady());
}

// The encoder's time base is the frame interval: at 29.97 it is 1001/30000, the interval of the
// source and of the grid the pictures come on, not 100/2997.
TEST_F(FpgVEcdWorkerTest, ATelevisionRateIsTheEncodersExactFraction)
{
    CFpgVEcdWorker worker(kEncoderId, &m_links.inputs, &m_links.consumers);
    stVideoEncodeParams params;
    params.codecId = AV_CODEC_ID_H264;
    params.width = 320;
    params.height = 240;
    params.bitRate = 1000000;
    params.pixelFormat = AV_PIX_FMT_YUV420P;
    for (const auto &[fps, rate] : {std::pair{29.97f, AVRational{30000, 1001}}, std::pair{25.0f, AVRational{25, 1}}}) {
        params.frameRate = fps;
        ASSERT_EQ(worker.InitializeEncoder(params), 0) << fps;
        ASSERT_NE(worker.CodecContext(), nullptr);
        EXPECT_EQ(av_cmp_q(worker.CodecContext()->framerate, rate), 0) << fps;
        EXPECT_EQ(av_cmp_q(worker.CodecContext()->time_base, av_inv_q(rate)), 0) << fps;
    }
}

TEST_F(FpgVEcdWorkerTest, HardwareCodesChooseTheirDeviceTypes)
{
    CLogCapture log;
    CFpgVEcdWorker worker(kEncoderId, &m_links.inputs, &m_links.consumers);
    EXPECT_EQ(worker.SetHwAcceleration(33), -1);
    EXPECT_EQ(worker.HwType(), 0);
    EXPECT_EQ(worker.SetHwAcceleration(1), 0);
    EXPECT_EQ(worker.AllowedDeviceTypes(), (std::set<int32_t>{AV_HWDEVICE_TYPE_CUDA}));
    EXPECT_EQ(worker.SetHwAcceleration(2), 0);
    EXPECT_EQ(worker.AllowedDeviceTypes(), (std::set<int32_t>{AV_HWDEVICE_TYPE_QSV}));
    EXPECT_EQ(worker.SetHwAcceleration(4), -1);
    EXPECT_EQ(worker.HwType(), 4);
    EXPECT_EQ(worker.SetHwAcceleration(8), 0);
    EXPECT_TRUE(worker.AllowedDeviceTypes().empty());

    stVideoEncodeParams params;
    params.codecId = AV_CODEC_ID_H264;
    params.width = 320;
    params.height = 240;
    params.frameRate = 25.0f;
    params.bitRate = 1000000;
    params.pixelFormat = AV_PIX_FMT_YUV420P;
    EXPECT_EQ(worker.InitializeEncoder(params), 0); // 8 has no device type: software
    EXPECT_EQ(worker.ChosenDeviceType(), 0);

    ASSERT_EQ(worker.SetHwAcceleration(1), 0);
    const int32_t rc = worker.InitializeEncoder(params);
    if (log.Contains(L"accelerationis NOT supported!", 3)) {
        EXPECT_EQ(rc, 0) << "without a CUDA encoder the software path follows";
        GTEST_SKIP() << "this libavcodec has no encoder with a CUDA device configuration";
    }
    EXPECT_EQ(worker.ChosenDeviceType(), AV_HWDEVICE_TYPE_CUDA);
    EXPECT_TRUE(log.Contains(L"acceleration is support with deviceType=2", 5));
    if (rc == -16) {
        // No CUDA driver here: the device cannot be made, and nothing is left allocated.
        EXPECT_TRUE(log.Contains(L"Encoding acceleration hardware device contex creating failed", 3));
        EXPECT_FALSE(worker.IsEncoderReady());
    }
}

TEST_F(FpgVEcdWorkerTest, AFlushGivesTheDelayedPacketsBack)
{
    CFpgVEcdWorker worker(kEncoderId, &m_links.inputs, &m_links.consumers);
    stVideoEncodeParams params;
    params.codecId = AV_CODEC_ID_H264;
    params.width = 320;
    params.height = 240;
    params.frameRate = 25.0f;
    params.gopSize = 50;
    params.bitRate = 1000000;
    params.pixelFormat = AV_PIX_FMT_YUV420P;
    ASSERT_EQ(worker.InitializeEncoder(params), 0);
    EncodedOutputs outputs;
    int32_t produced = 0;
    for (int32_t n = 0; n < 6; ++n) {
        FramePackage picture = MakePatternPackage(320, 240, n, kFrameUs);
        const int32_t rc = worker.EncodeFrame(picture, outputs);
        FreeFramePackage(picture);
        ASSERT_GE(rc, 0);
        produced = rc;
    }
    (void)produced;
    const size_t before = outputs.size();
    worker.FlushEncoder(outputs);
    ASSERT_EQ(outputs.size(), 6u);
    EXPECT_GT(outputs.size(), before);
    int32_t keys = 0;
    for (const stEncodedOutput &output : outputs) {
        EXPECT_GT(output.size, 0);
        EXPECT_EQ(output.duration, kFrameUs);
        if (output.pictureType == TYX_PIC_TYPE_I) {
            ++keys;
        } else {
            EXPECT_EQ(output.pictureType, TYX_PIC_TYPE_UNKNOWN);
        }
    }
    EXPECT_EQ(keys, before == 0 ? 1 : 0); // the one key frame, unless it came out before the flush
}

} // namespace
