// The NVENC encode worker on the software session: option text, the two presets as the session
// was given them, device pictures of a moving pattern in, H.264 and HEVC out and decoded back.

#include "codec/NvHwVEcdWorker.h"

#include "codec/NvEncStandIn.h"

#include "EncodeTestSupport.h"

#include "support/LeakCheck.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "support/TestMedia.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <set>

namespace {

const bool kStandInForced = [] { return ::setenv("TYX_NV_STANDIN", "1", 1) == 0; }();

constexpr int64_t kFrameUs = 40000;
constexpr double kPsnrFloor = 30.0;

using CFedNv = CFedWorker<CNvHwVEcdWorker>;

stVideoEncodeSettings Settings(const std::wstring &codec, int32_t codecId, const std::wstring &profile, float fps,
                               uint16_t gop, int32_t kbits)
{
    stVideoEncodeSettings settings;
    settings.VCodecName = codec;
    settings.VCodec = codecId;
    settings.Profile = profile;
    settings.OutputFramerate = fps;
    settings.GopLengh = gop;
    settings.BitRate = kbits;
    return settings;
}

std::string OptionText(const stVideoEncodeSettings &settings)
{
    return CNvHwVEcdWorker::BuildOptionString(settings, settings.OutputFramerate);
}

struct stInitCopy
{
    NV_ENC_INITIALIZE_PARAMS init{};
    NV_ENC_CONFIG config{};
};

class NvHwVEcdWorkerTest : public CLeakCheckedTest
{
protected:
    void SetUp() override
    {
        CLeakCheckedTest::SetUp();
        ASSERT_TRUE(kStandInForced);
    }
    int32_t Open(CNvHwVEcdWorker &worker, const stVideoEncodeWorkerConfig &config, uint16_t width = 320,
                 uint16_t height = 240)
    {
        EXPECT_EQ(worker.CopyInConfiguration(&config), 0);
        worker.SetInputParameters(MakeInputParams(width, height, 25.0f), 0);
        return worker.Initialize(1, 0);
    }
    // The configuration the session was initialised with.
    static stInitCopy Given(CNvHwVEcdWorker &worker);
    std::vector<FramePackage> Encode(CFedNv &worker, int32_t frames, uint16_t width = 320, uint16_t height = 240)
    {
        for (int32_t n = 0; n < frames; ++n)
            worker.feed.push_back(MakePatternPackage(width, height, n, kFrameUs));
        FramePackage end;
        end.kind = TYX_PKT_KIND_RAW_VIDEO;
        worker.feed.push_back(end);
        EXPECT_EQ(worker.WorkingFunc(), 0u);
        return m_links.TakeSent();
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
    // Checks the stream as a player would: decodable, of the pattern, keys where the GOP asks.
    void CheckStream(int32_t codecId, const CTYXWorker &worker, const std::vector<FramePackage> &sent, int32_t gop,
                     const std::string &png)
    {
        ASSERT_FALSE(sent.empty());
        const int64_t first = sent.front().pts;
        for (size_t i = 0; i < sent.size(); ++i) {
            const int64_t picture = (sent[i].pts - first) / kFrameUs;
            if (gop > 0) {
                EXPECT_EQ((sent[i].flags & TYX_PKT_FLAG_KEY) != 0, picture % gop == 0) << "picture " << picture;
            }
            EXPECT_LE(sent[i].dts, sent[i].pts) << i;
            if (i > 0) {
                EXPECT_GT(sent[i].dts, sent[i - 1].dts) << i;
            }
        }
        stDecoded decoded;
        ASSERT_TRUE(DecodePackets(codecId, Extradata(worker), sent, decoded));
        ASSERT_EQ(decoded.pictures.size(), sent.size());
        EXPECT_EQ(decoded.width, 320);
        EXPECT_EQ(decoded.height, 240);
        double worst = 99.0;
        for (size_t i = 0; i < decoded.pictures.size(); ++i) {
            const auto n = static_cast<int32_t>((decoded.pts[i] - first) / kFrameUs);
            worst = std::min(worst, PsnrI420(decoded.pictures[i], MakePattern(320, 240, n), 320, 240));
        }
        EXPECT_GT(worst, kPsnrFloor);
        EXPECT_FALSE(SaveI420AsPng(png, decoded.pictures.back(), 320, 240).empty());
        // A recording of the packets plays back with every picture.
        CTempDir folder;
        const std::string path = (folder.Path() / (png + ".mp4")).string();
        ASSERT_EQ(WritePacketsToMp4(path, codecId, 320, 240, Extradata(worker), sent), 0);
        EXPECT_EQ(ReadTestMediaPackets(path).size(), sent.size());
    }
    stEncoderLinks m_links;
};

stInitCopy NvHwVEcdWorkerTest::Given(CNvHwVEcdWorker &worker)
{
    stInitCopy copy;
    copy.init.encodeConfig = &copy.config;
    EXPECT_NE(worker.Encoder(), nullptr);
    if (worker.Encoder())
        worker.Encoder()->GetInitializeParams(&copy.init);
    copy.init.encodeConfig = &copy.config;
    return copy;
}

TEST_F(NvHwVEcdWorkerTest, TheOptionTextComesFromTheSettings)
{
    EXPECT_EQ(OptionText(Settings(L"H264", 27, L"High", 25.0f, 50, 4000)),
              " -codec h264 -profile high -fps 25 -gop 50 -bitrate 4000K");
    EXPECT_EQ(OptionText(Settings(L"HEVC", 173, L"Main10", 29.97f, 90, 1500)),
              " -codec hevc -profile main10 -fps 30000/1001 -gop 90 -bitrate 1500K");
    // The codec id names the codec; a name the parser does not know stays without one.
    EXPECT_EQ(OptionText(Settings(L"H.264", 27, L"main", 30.0f, 60, 2000)),
              " -codec h264 -profile main -fps 30 -gop 60 -bitrate 2000K");
    EXPECT_EQ(OptionText(Settings(L"H.264", 0, L"main", 30.0f, 60, 2000)),
              " -codec h.264 -profile main -fps 30 -gop 60 -bitrate 2000K");
    EXPECT_EQ(OptionText(Settings(L"", 27, L"main", 30.0f, 60, 2000)), "");
    // Names of the longest configured lengths fit whole.
    const std::string longest =
        OptionText(Settings(std::wstring(16, L'X'), 0, std::wstring(32, L'P'), 120.0f, 900, 32000));
    EXPECT_NE(longest.find(std::string(32, 'p') + " -fps 120 -gop 900 -bitrate 32000K"), std::string::npos);

    EXPECT_EQ(CNvHwVEcdWorker::BufferFormatOfPixelFormat(AV_PIX_FMT_YUV420P), NV_ENC_BUFFER_FORMAT_IYUV);
    EXPECT_EQ(CNvHwVEcdWorker::BufferFormatOfPixelFormat(-1), NV_ENC_BUFFER_FORMAT_IYUV);
    EXPECT_EQ(CNvHwVEcdWorker::BufferFormatOfPixelFormat(AV_PIX_FMT_NV12), NV_ENC_BUFFER_FORMAT_NV12);
    EXPECT_EQ(CNvHwVEcdWorker::BufferFormatOfPixelFormat(AV_PIX_FMT_YUV444P), NV_ENC_BUFFER_FORMAT_YUV444);
    EXPECT_EQ(CNvHwVEcdWorker::BufferFormatOfPixelFormat(AV_PIX_FMT_P010LE), NV_ENC_BUFFER_FORMAT_YUV420_10BIT);
    EXPECT_EQ(CNvHwVEcdWorker::BufferFormatOfPixelFormat(AV_PIX_FMT_GRAY8), NV_ENC_BUFFER_FORMAT_UNDEFINED);
}

TEST_F(NvHwVEcdWorkerTest, H264RoundTripGivesThePatternBack)
{
    CFedNv worker(kEncoderId, &m_links.inputs, &m_links.consumers);
    ASSERT_EQ(Open(worker, MakeEncoderConfig(27, L"H264", 320, 240, 25.0f, 10, 1500, L"High")), 0);
    const stInitCopy given = Given(worker);
    EXPECT_TRUE(IsSameGuid(given.init.encodeGUID, NV_ENC_CODEC_H264_GUID));
    EXPECT_TRUE(IsSameGuid(given.config.profileGUID, NV_ENC_H264_PROFILE_HIGH_GUID));
    EXPECT_EQ(given.init.frameRateNum, 25u);
    EXPECT_EQ(given.config.gopLength, 10u);
    EXPECT_EQ(given.config.encodeCodecConfig.h264Config.idrPeriod, 10u);
    EXPECT_EQ(given.config.encodeCodecConfig.h264Config.repeatSPSPPS, 1u);
    EXPECT_EQ(given.config.rcParams.averageBitRate, 1500000u);
    const std::vector<uint8_t> header = Extradata(worker);
    ASSERT_GT(header.size(), 5u);
    EXPECT_EQ(header[4] & 0x1F, 7);
    EXPECT_EQ(header[5], 100); // High

    std::vector<FramePackage> sent = Encode(worker, 40);
    EXPECT_EQ(sent.size(), 37u); // the ring keeps three back, and the flush at the end is not sent
    EXPECT_EQ(worker.FramesSubmitted(), 40);
    CheckStream(AV_CODEC_ID_H264, worker, sent, 10, "nvenc_h264_roundtrip");
    FreeAll(sent);
}

// The configuration's "input's rate" (-2, neither an output nor a global rate set) encodes at the
// input's rate, as the FFmpeg encode worker does.
TEST_F(NvHwVEcdWorkerTest, WithoutAConfiguredRateTheInputsRateIsUsed)
{
    CFedNv worker(kEncoderId, &m_links.inputs, &m_links.consumers);
    ASSERT_EQ(Open(worker, MakeEncoderConfig(27, L"H264", 320, 240, -2.0f, 10, 1500, L"High", L"Live")), 0);
    ASSERT_NE(worker.OptionParser(), nullptr);
    const stInitCopy given = Given(worker);
    EXPECT_EQ(given.init.frameRateNum, 25u);
    EXPECT_EQ(given.init.frameRateDen, 1u);
    EXPECT_EQ(given.config.rcParams.vbvBufferSize, 1500000u / 25u);
    EXPECT_FLOAT_EQ(worker.GetOutputParameters().frameRate, 25.0f);
    std::vector<FramePackage> sent = Encode(worker, 20);
    EXPECT_EQ(sent.size(), 17u);
    CheckStream(AV_CODEC_ID_H264, worker, sent, 0, "nvenc_h264_input_rate");
    FreeAll(sent);
}

TEST_F(NvHwVEcdWorkerTest, TheLivePresetIsConstantRateWithoutBFramesAndRefreshesIntra)
{
    CFedNv worker(kEncoderId, &m_links.inputs, &m_links.consumers);
    ASSERT_EQ(Open(worker, MakeEncoderConfig(27, L"H264", 320, 240, 25.0f, 50, 2000, L"High", L"Live")), 0);
    const stInitCopy given = Given(worker);
    EXPECT_EQ(given.init.tuningInfo, NV_ENC_TUNING_INFO_LOW_LATENCY);
    EXPECT_EQ(given.config.rcParams.rateControlMode, NV_ENC_PARAMS_RC_CBR);
    EXPECT_EQ(given.config.rcParams.vbvBufferSize, 2000000u / 25u);
    EXPECT_EQ(given.config.gopLength, NVENC_INFINITE_GOPLENGTH);
    EXPECT_EQ(given.config.frameIntervalP, 1);
    EXPECT_EQ(given.config.rcParams.enableLookahead, 0u);
    EXPECT_EQ(given.config.rcParams.enableAQ, 1u);
    EXPECT_EQ(given.config.rcParams.multiPass, NV_ENC_TWO_PASS_FULL_RESOLUTION);
    const NV_ENC_CONFIG_H264 &h264 = given.config.encodeCodecConfig.h264Config;
    EXPECT_EQ(h264.enableIntraRefresh, 1u);
    EXPECT_EQ(h264.intraRefreshPeriod, 90u);
    EXPECT_EQ(h264.intraRefreshCnt, 30u);
    EXPECT_EQ(h264.enableLTR, 1u);
    EXPECT_EQ(h264.ltrNumFrames, static_cast<uint32_t>(kNvEncStandInLtrFrames));
    EXPECT_EQ(h264.useBFramesAsRef, NV_ENC_BFRAME_REF_MODE_DISABLED);
    EXPECT_EQ(worker.Encoder()->EncoderBufferCount(), 4);

    std::vector<FramePackage> sent = Encode(worker, 20);
    EXPECT_EQ(sent.size(), 17u);
    for (size_t i = 1; i < sent.size(); ++i)
        EXPECT_EQ(sent[i].pts - sent[i - 1].pts, kFrameUs) << "no reordering without B pictures";
    CheckStream(AV_CODEC_ID_H264, worker, sent, 0, "nvenc_h264_live");
    FreeAll(sent);
}

TEST_F(NvHwVEcdWorkerTest, TheRecordPresetUsesBFramesAndLookaheadAndKeepsDtsBeforePts)
{
    CFedNv worker(kEncoderId, &m_links.inputs, &m_links.consumers);
    ASSERT_EQ(Open(worker, MakeEncoderConfig(27, L"H264", 320, 240, 25.0f, 50, 2000, L"High", L"Record")), 0);
    const stInitCopy given = Given(worker);
    EXPECT_EQ(given.init.tuningInfo, NV_ENC_TUNING_INFO_HIGH_QUALITY);
    EXPECT_EQ(given.config.rcParams.rateControlMode, NV_ENC_PARAMS_RC_VBR);
    EXPECT_EQ(given.config.rcParams.vbvBufferSize, 8000000u);
    EXPECT_EQ(given.config.frameIntervalP, 3);
    EXPECT_EQ(given.config.rcParams.enableLookahead, 1u);
    EXPECT_EQ(given.config.rcParams.lookaheadDepth, 16);
    EXPECT_EQ(given.config.gopLength, 60u);
    EXPECT_EQ(given.config.rcParams.multiPass, NV_ENC_MULTI_PASS_DISABLED);
    EXPECT_EQ(given.config.encodeCodecConfig.h264Config.useBFramesAsRef, NV_ENC_BFRAME_REF_MODE_MIDDLE);
    EXPECT_EQ(given.config.encodeCodecConfig.h264Config.enableLTR, 0u);
    EXPECT_EQ(worker.Encoder()->EncoderBufferCount(), 22);

    std::vector<FramePackage> sent = Encode(worker, 60);
    EXPECT_EQ(sent.size(), 39u);
    bool reordered = false;
    for (size_t i = 1; i < sent.size(); ++i)
        reordered = reordered || sent[i].pts < sent[i - 1].pts;
    EXPECT_TRUE(reordered) << "B pictures come after the picture they precede";
    CheckStream(AV_CODEC_ID_H264, worker, sent, 0, "nvenc_h264_record");
    FreeAll(sent);
}

// The recording preset holds pictures for its look-ahead and B pictures (the session's ring is 22
// deep). The worker's own thread, stopped once it took every picture, drains the session and hands
// every picture to the consumer, with its own stamp, before it ends.
TEST_F(NvHwVEcdWorkerTest, AStopSendsEveryPictureTakenBeforeTheThreadEnds)
{
    constexpr int32_t kPictures = 60;
    auto worker = std::make_shared<CFedNv>(kEncoderId, &m_links.inputs, &m_links.consumers);
    ASSERT_EQ(Open(*worker, MakeEncoderConfig(27, L"H264", 320, 240, 25.0f, 50, 2000, L"High", L"Record")), 0);
    std::set<int64_t> fed;
    ASSERT_EQ(FeedThenStop(*worker, kPictures, 320, 240, fed), 0);
    std::vector<FramePackage> sent = m_links.TakeSent();
    const stPackagesFreer freer{sent};
    EXPECT_TRUE(EveryPictureOnce(sent, fed));
    CheckStream(AV_CODEC_ID_H264, *worker, sent, 0, "nvenc_h264_stopped");
}

// The recording preset's B pictures across a stall of 0.6 s inside their group, then pictures the
// session refuses: the decode stamps hold as a writer needs them and do not drift.
TEST_F(NvHwVEcdWorkerTest, DecodeStampsHoldAcrossAStallInsideAGroupAndRefusedPictures)
{
    bool spanned = false;
    // One of three places in a row falls inside a group of P B B.
    for (int32_t stallAfter = 60; stallAfter < 63; ++stallAfter) {
        CFedNv worker(kEncoderId, &m_links.inputs, &m_links.consumers);
        ASSERT_EQ(Open(worker, MakeEncoderConfig(27, L"H264", 320, 240, 25.0f, 250, 2000, L"High", L"Record")), 0);
        stStalledFeed feed = stStalledFeed::Around(stallAfter, [](int32_t n) {
            FramePackage cut = MakePatternPackage(320, 240, n, kFrameUs);
            cut.width = 0; // says nothing of its size and holds only the luma plane
            cut.height = 0;
            cut.nLength = 320 * 240;
            return cut;
        });
        feed.Fill(worker.feed, 320, 240);
        std::vector<FramePackage> sent = Encode(worker, 0);
        const stPackagesFreer freer{sent};
        ASSERT_GT(sent.size(), 150u);
        spanned = CheckStampsAcrossStall(sent, feed, Given(worker).config.frameIntervalP - 1, kFrameUs) || spanned;
        CTempDir folder;
        EXPECT_EQ(WritePacketsToMp4((folder.Path() / "stall.mp4").string(), AV_CODEC_ID_H264, 320, 240,
                                    Extradata(worker), sent),
                  0);
    }
    EXPECT_TRUE(spanned) << "no group of B pictures spanned the stall";
}

TEST_F(NvHwVEcdWorkerTest, APresetNameMustMatchExactly)
{
    CNvHwVEcdWorker worker(kEncoderId, &m_links.inputs, &m_links.consumers);
    ASSERT_EQ(Open(worker, MakeEncoderConfig(27, L"H264", 320, 240, 25.0f, 50, 2000, L"High", L"live")), 0);
    const stInitCopy given = Given(worker);
    EXPECT_EQ(given.config.rcParams.rateControlMode, NV_ENC_PARAMS_RC_CONSTQP);
    EXPECT_EQ(given.config.gopLength, 50u);
    EXPECT_EQ(given.config.frameIntervalP, 1);
    EXPECT_EQ(worker.Presets().size(), 2u);
}

TEST_F(NvHwVEcdWorkerTest, HevcRoundTripThroughTheSoftwareSession)
{
    if (!avcodec_find_encoder_by_name("libx265"))
        GTEST_SKIP() << "no libx265 in this libavcodec";
    CFedNv worker(kEncoderId, &m_links.inputs, &m_links.consumers);
    ASSERT_EQ(Open(worker, MakeEncoderConfig(173, L"HEVC", 320, 240, 25.0f, 10, 1500, L"Main")), 0);
    EXPECT_TRUE(IsSameGuid(Given(worker).config.profileGUID, NV_ENC_HEVC_PROFILE_MAIN_GUID));
    // The sequence header holds the parameter sets VPS, SPS and PPS, each behind a start code, and
    // no SEI.
    const std::vector<uint8_t> header = Extradata(worker);
    std::vector<int32_t> types;
    for (size_t i = 0; i + 4 < header.size(); ++i) {
        if (header[i] == 0 && header[i + 1] == 0 && header[i + 2] == 0 && header[i + 3] == 1)
            types.push_back((header[i + 4] >> 1) & 0x3F);
    }
    EXPECT_EQ(types, (std::vector<int32_t>{32, 33, 34}));
    ASSERT_GT(header.size(), 4u);
    EXPECT_EQ(std::vector<uint8_t>(header.begin(), header.begin() + 4), (std::vector<uint8_t>{0, 0, 0, 1}));
    std::vector<FramePackage> sent = Encode(worker, 30);
    EXPECT_EQ(sent.size(), 27u);
    CheckStream(AV_CODEC_ID_HEVC, worker, sent, 10, "nvenc_hevc_roundtrip");
    FreeAll(sent);
}

TEST_F(NvHwVEcdWorkerTest, APictureOfAnotherSizeIsScaledAShortOneRefused)
{
    CLogCapture log;
    CFedNv worker(kEncoderId, &m_links.inputs, &m_links.consumers);
    ASSERT_EQ(Open(worker, MakeEncoderConfig(27, L"H264", 320, 240, 25.0f, 10, 1500, L"High")), 0);
    for (int32_t n = 0; n < 10; ++n)
        worker.feed.push_back(MakePatternPackage(640, 480, n, kFrameUs));
    FramePackage cut = MakePatternPackage(320, 240, 10, kFrameUs);
    cut.width = 0; // says nothing of its size and holds only the luma plane
    cut.height = 0;
    cut.nLength = 320 * 240;
    worker.feed.push_back(cut);
    std::vector<FramePackage> sent = Encode(worker, 0);
    EXPECT_TRUE(log.Contains(L"Picture of 320x240 with 76800 bytes refused.", 3));
    EXPECT_EQ(worker.FramesSubmitted(), 10);
    stDecoded decoded;
    ASSERT_TRUE(DecodePackets(AV_CODEC_ID_H264, Extradata(worker), sent, decoded));
    ASSERT_EQ(decoded.pictures.size(), sent.size());
    EXPECT_EQ(decoded.width, 320);
    EXPECT_GT(PsnrI420(decoded.pictures.front(), MakePattern(320, 240, 0), 320, 240), 24.0);
    FreeAll(sent);
}

// A decoder's status pictures (1280x720) ahead of its stream's first pictures (640x360): each is
// scaled to the encoder's size, encoded, and decodes back to its own content.
TEST_F(NvHwVEcdWorkerTest, PicturesOfAnotherSizeAreScaledToTheEncodersSize)
{
    CLogCapture log;
    CFedNv worker(kEncoderId, &m_links.inputs, &m_links.consumers);
    ASSERT_EQ(Open(worker, MakeEncoderConfig(27, L"H264", kStreamWidth, kStreamHeight, 25.0f, 25, 2000, L"High"),
                   kStreamWidth, kStreamHeight),
              0);
    FillStatusSizedThenStreamPictures(worker.feed, 8, 80);
    std::vector<FramePackage> sent = Encode(worker, 0);
    const stPackagesFreer freer{sent};
    EXPECT_FALSE(log.Contains(L"refused", 3));
    EXPECT_EQ(worker.FramesSubmitted(), 80);
    stDecoded decoded;
    ASSERT_TRUE(DecodePackets(AV_CODEC_ID_H264, Extradata(worker), sent, decoded));
    CheckStatusSizedPicturesEncoded(decoded, 8, kPsnrFloor);
}

TEST_F(NvHwVEcdWorkerTest, FailuresBecomeCodesNotExceptions)
{
    CLogCapture log;
    {
        CNvHwVEcdWorker worker(kEncoderId, &m_links.inputs, &m_links.consumers);
        DevInjectFault(EDevFault::Context, 1);
        EXPECT_EQ(Open(worker, MakeEncoderConfig(27, L"H264", 320, 240, 25.0f, 10, 1500)), TYX_NVENC_ERR_NO_CONTEXT);
        EXPECT_TRUE(log.Contains(L"VEncWorker[WID=134283264] GPU Context creating failed!", 3));
    }
    {
        // A profile of another codec: the option parser refuses it.
        CNvHwVEcdWorker worker(kEncoderId, &m_links.inputs, &m_links.consumers);
        EXPECT_EQ(Open(worker, MakeEncoderConfig(27, L"H264", 320, 240, 25.0f, 10, 1500, L"main10")),
                  TYX_NVENC_ERR_OPTION_TEXT);
        EXPECT_TRUE(log.Contains(L"Incorrect parameter: main10", 3));
        EXPECT_FALSE(worker.IsEncoderReady());
        EXPECT_EQ(worker.WorkingFunc(), 8u);
    }
    {
        // 3 000 000 kbit/s does not fit the encoder's 32-bit rate.
        CNvHwVEcdWorker worker(kEncoderId, &m_links.inputs, &m_links.consumers);
        EXPECT_EQ(Open(worker, MakeEncoderConfig(27, L"H264", 320, 240, 25.0f, 10, 3000000)), TYX_NVENC_ERR_OPTION_TEXT);
        EXPECT_TRUE(log.Contains(L"-bitrate 3000000K) refused", 3));
    }
    {
        NvEncStandInSetReportedVersion(0x10);
        CNvHwVEcdWorker worker(kEncoderId, &m_links.inputs, &m_links.consumers);
        EXPECT_EQ(Open(worker, MakeEncoderConfig(27, L"H264", 320, 240, 25.0f, 10, 1500)), TYX_NVENC_ERR_NO_SESSION);
        EXPECT_TRUE(log.Contains(L"Encoder creating failed! NvEncoder::LoadNvEncApi : Current Driver Version", 3));
        NvEncStandInSetReportedVersion(0);
    }
    EXPECT_EQ(DevAllocationCounts().contextHandles, 0);
}

} // namespace
