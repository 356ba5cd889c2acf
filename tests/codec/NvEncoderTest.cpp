// The NVENC session on the software stand-in: plane layout, the buffer ring and its delay,
// refusals before initialisation, time stamps and the sequence header.

#include "codec/NvEncStandIn.h"
#include "codec/NvEncoderCuda.h"
#include "codec/NvEncoderInitParam.h"

#include "EncodeTestSupport.h"

#include "core/TYXUtils.h"
#include "platform/GpuDevice.h"

#include "support/LeakCheck.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// The driver is never what these tests are about: on a GPU machine they run on the stand-in too.
const bool kStandInForced = [] { return ::setenv("TYX_NV_STANDIN", "1", 1) == 0; }();

struct stContext
{
    stContext() { EXPECT_EQ(DevRetainContextHandle(0, &handle), GPU_SUCCESS); }
    ~stContext() { DevReleaseContextHandle(handle); }
    GpuContext handle = nullptr;
};

struct stInit
{
    stInit()
    {
        init.encodeConfig = &config;
    }
    NV_ENC_INITIALIZE_PARAMS init{};
    NV_ENC_CONFIG config{};
};

template <typename Body>
NVENCException Thrown(Body body)
{
    try {
        body();
    } catch (const NVENCException &error) {
        return error;
    }
    return NVENCException("nothing thrown", NV_ENC_SUCCESS);
}

void FillNextInput(NvEncoderCuda &encoder, int32_t n)
{
    const stNvEncInputFrame *input = encoder.GetNextInputFrame();
    ASSERT_NE(input, nullptr);
    const uint32_t width = encoder.GetEncodeWidth();
    const uint32_t height = encoder.GetEncodeHeight();
    const std::vector<uint8_t> picture = MakePattern(static_cast<int32_t>(width), static_cast<int32_t>(height), n);
    ASSERT_EQ(CTYXUtils::CopyToDeviceFrame(0, picture.data(), 0, input->inputPtr, input->pitch, width, height,
                                           TYX_MEMORY_HOST, input->bufferFormat, input->chromaOffsets,
                                           input->numChromaPlanes),
              0);
}

class NvEncoderTest : public CLeakCheckedTest
{
protected:
    void SetUp() override
    {
        CLeakCheckedTest::SetUp();
        ASSERT_TRUE(kStandInForced);
    }
    void TearDown() override
    {
        NvEncStandInSetReportedVersion(0);
        CLeakCheckedTest::TearDown();
    }
    stContext m_context;
};

TEST_F(NvEncoderTest, PlaneLayoutOfTheBufferFormats)
{
    EXPECT_EQ(NvEncoder::GetChromaSubPlaneOffsets(NV_ENC_BUFFER_FORMAT_IYUV, 1920, 1080),
              (std::vector<uint32_t>{1920 * 1080, 1920 * 1080 + 960 * 540}));
    EXPECT_EQ(NvEncoder::GetChromaSubPlaneOffsets(NV_ENC_BUFFER_FORMAT_NV12, 2048, 1080),
              (std::vector<uint32_t>{2048 * 1080}));
    EXPECT_EQ(NvEncoder::GetWidthInBytes(NV_ENC_BUFFER_FORMAT_YUV444_10BIT, 1280), 2560u);
    EXPECT_EQ(NvEncoder::GetWidthInBytes(NV_ENC_BUFFER_FORMAT_ARGB, 100), 400u);
    EXPECT_EQ(NvEncoder::GetNumChromaPlanes(NV_ENC_BUFFER_FORMAT_ARGB), 0u);
    EXPECT_EQ(NvEncoder::GetChromaPitch(NV_ENC_BUFFER_FORMAT_YV12, 1921), 961u);
    EXPECT_EQ(NvEncoder::GetChromaHeight(NV_ENC_BUFFER_FORMAT_YUV444, 1080), 1080u);
    const NVENCException error = Thrown([] { NvEncoder::GetWidthInBytes(NV_ENC_BUFFER_FORMAT_UNDEFINED, 64); });
    EXPECT_EQ(error.getErrorCode(), NV_ENC_ERR_INVALID_PARAM);
    EXPECT_EQ(std::string(error.what()).rfind("NvEncoder::GetWidthInBytes : Invalid Buffer format at NvEncoder:", 0), 0u)
        << error.what();
}

TEST_F(NvEncoderTest, TheRingHoldsPictureIntervalPlusLookaheadPlusThreeAndDelaysPacketsByItsSizeLessOne)
{
    NvEncoderCuda encoder(m_context.handle, 320, 240, NV_ENC_BUFFER_FORMAT_IYUV);
    stInit params;
    encoder.CreateDefaultEncoderParams(&params.init, NV_ENC_CODEC_H264_GUID, NV_ENC_PRESET_P3_GUID,
                                       NV_ENC_TUNING_INFO_HIGH_QUALITY);
    EXPECT_EQ(params.init.frameRateNum, 30u);
    EXPECT_EQ(params.init.frameRateDen, 1u);
    EXPECT_EQ(params.config.gopLength, NVENC_INFINITE_GOPLENGTH);
    EXPECT_EQ(params.config.frameIntervalP, 1);
    EXPECT_EQ(params.config.rcParams.rateControlMode, NV_ENC_PARAMS_RC_CONSTQP);
    EXPECT_EQ(params.config.encodeCodecConfig.h264Config.idrPeriod, NVENC_INFINITE_GOPLENGTH);
    encoder.CreateEncoder(&params.init);
    EXPECT_EQ(encoder.EncoderBufferCount(), 4);
    EXPECT_EQ(encoder.OutputDelay(), 3);

    std::vector<stNvEncPacket> packets;
    std::vector<uint64_t> stamps;
    for (int32_t n = 0; n < 6; ++n) {
        FillNextInput(encoder, n);
        NV_ENC_PIC_PARAMS picture{};
        picture.inputTimeStamp = 1000 + n * 40;
        picture.inputDuration = 40;
        encoder.EncodeFrame(packets, &picture);
        EXPECT_EQ(packets.size(), n < 3 ? 0u : 1u) << "picture " << n;
        for (const stNvEncPacket &packet : packets) {
            EXPECT_GT(packet.size, 0u);
            EXPECT_EQ(packet.outputDuration, 40u);
            stamps.push_back(packet.outputTimeStamp);
        }
    }
    encoder.EndEncode(packets);
    EXPECT_EQ(packets.size(), 3u);
    for (const stNvEncPacket &packet : packets)
        stamps.push_back(packet.outputTimeStamp);
    EXPECT_EQ(stamps, (std::vector<uint64_t>{1000, 1040, 1080, 1120, 1160, 1200}));

    std::vector<uint8_t> header;
    encoder.GetSequenceParams(header);
    ASSERT_GT(header.size(), 5u);
    EXPECT_EQ(std::vector<uint8_t>(header.begin(), header.begin() + 4), (std::vector<uint8_t>{0, 0, 0, 1}));
    EXPECT_EQ(header[4] & 0x1F, 7);
}

TEST_F(NvEncoderTest, AnInputBufferThatCannotBeAllocatedIsAGenericFailure)
{
    NvEncoderCuda encoder(m_context.handle, 320, 240, NV_ENC_BUFFER_FORMAT_IYUV);
    stInit params;
    encoder.CreateDefaultEncoderParams(&params.init, NV_ENC_CODEC_H264_GUID, NV_ENC_PRESET_P3_GUID,
                                       NV_ENC_TUNING_INFO_HIGH_QUALITY);
    const int64_t before = DevAllocationCounts().deviceBlocks;
    DevInjectFault(EDevFault::Malloc, 1, 1); // the second of the ring's buffers
    const NVENCException error = Thrown([&] { encoder.CreateEncoder(&params.init); });
    DevInjectFault(EDevFault::Malloc, 0);
    EXPECT_EQ(error.getErrorCode(), NV_ENC_ERR_GENERIC);
    EXPECT_NE(std::string(error.what()).find("NvEncoderCuda::AllocateInputBuffers"), std::string::npos);
    EXPECT_EQ(DevAllocationCounts().deviceBlocks, before) << "the buffer made before the failure is freed";
}

TEST_F(NvEncoderTest, LookaheadAndBFramesWidenTheRingAndEndEncodeRightAwayGivesNothing)
{
    NvEncoderCuda encoder(m_context.handle, 320, 240, NV_ENC_BUFFER_FORMAT_IYUV);
    stInit params;
    encoder.CreateDefaultEncoderParams(&params.init, NV_ENC_CODEC_H264_GUID, NV_ENC_PRESET_P3_GUID,
                                       NV_ENC_TUNING_INFO_HIGH_QUALITY);
    params.config.frameIntervalP = 3;
    params.config.rcParams.enableLookahead = 1;
    params.config.rcParams.lookaheadDepth = 16;
    encoder.CreateEncoder(&params.init);
    EXPECT_EQ(encoder.EncoderBufferCount(), 22);
    std::vector<stNvEncPacket> packets;
    encoder.EndEncode(packets);
    EXPECT_TRUE(packets.empty());
}

TEST_F(NvEncoderTest, UnusableParametersAreRefusedBeforeTheEncoderIsInitialised)
{
    {
        NvEncoderCuda encoder(m_context.handle, 320, 240, NV_ENC_BUFFER_FORMAT_YUV420_10BIT);
        stInit params;
        encoder.CreateDefaultEncoderParams(&params.init, NV_ENC_CODEC_H264_GUID, NV_ENC_PRESET_P3_GUID,
                                           NV_ENC_TUNING_INFO_HIGH_QUALITY);
        const NVENCException error = Thrown([&] { encoder.CreateEncoder(&params.init); });
        EXPECT_EQ(error.getErrorCode(), NV_ENC_ERR_INVALID_PARAM);
        EXPECT_NE(std::string(error.what()).find("NvEncoder::CreateEncoder : 10-bit format isn't supported by H264 encoder at NvEncoder:"),
                  std::string::npos);
        EXPECT_FALSE(encoder.IsInitialized());
        EXPECT_EQ(encoder.GetNextInputFrame(), nullptr);
    }
    {
        NvEncoderCuda encoder(m_context.handle, 320, 240, NV_ENC_BUFFER_FORMAT_YUV420_10BIT);
        stInit params;
        encoder.CreateDefaultEncoderParams(&params.init, NV_ENC_CODEC_HEVC_GUID, NV_ENC_PRESET_P3_GUID,
                                           NV_ENC_TUNING_INFO_HIGH_QUALITY);
        EXPECT_EQ(params.config.encodeCodecConfig.hevcConfig.pixelBitDepthMinus8, 2u);
        params.config.encodeCodecConfig.hevcConfig.pixelBitDepthMinus8 = 0;
        EXPECT_NE(std::string(Thrown([&] { encoder.CreateEncoder(&params.init); }).what()).find("Invalid PixelBitdepth"),
                  std::string::npos);
    }
    NvEncoderCuda encoder(m_context.handle, 320, 240, NV_ENC_BUFFER_FORMAT_IYUV);
    stInit params;
    encoder.CreateDefaultEncoderParams(&params.init, NV_ENC_CODEC_H264_GUID, NV_ENC_PRESET_P3_GUID,
                                       NV_ENC_TUNING_INFO_HIGH_QUALITY);
    params.init.encodeGUID = NvEncoderInitParam("-codec av1").EncodeGuid();
#if !TYX_NVENC_HAS_AV1
    EXPECT_NE(std::string(Thrown([&] { encoder.CreateEncoder(&params.init); }).what()).find("Invalid codec guid"),
              std::string::npos);
#endif
    params.init.encodeGUID = NV_ENC_CODEC_H264_GUID;
    params.init.encodeHeight = 0;
    EXPECT_NE(std::string(Thrown([&] { encoder.CreateEncoder(&params.init); }).what())
                  .find("Invalid encoder width and height"),
              std::string::npos);
    std::vector<stNvEncPacket> packets;
    EXPECT_EQ(Thrown([&] { encoder.EncodeFrame(packets); }).getErrorCode(), NV_ENC_ERR_NO_ENCODE_DEVICE);
    EXPECT_EQ(Thrown([&] { encoder.EndEncode(packets); }).getErrorCode(), NV_ENC_ERR_ENCODER_NOT_INITIALIZED);
    EXPECT_EQ(Thrown([&] { encoder.GetInitializeParams(nullptr); }).getErrorCode(), NV_ENC_ERR_INVALID_PTR);
}

TEST_F(NvEncoderTest, ADriverOlderThanTheHeadersAndAMissingContextAreRefused)
{
    NvEncStandInSetReportedVersion(0x10); // API 1.0
    const NVENCException old = Thrown([&] { NvEncoderCuda encoder(m_context.handle, 320, 240, NV_ENC_BUFFER_FORMAT_IYUV); });
    EXPECT_EQ(old.getErrorCode(), NV_ENC_ERR_INVALID_VERSION);
    EXPECT_NE(std::string(old.what()).find("Current Driver Version does not support this NvEncodeAPI version, please upgrade driver"),
              std::string::npos);
    NvEncStandInSetReportedVersion(0);
    const NVENCException none = Thrown([] { NvEncoderCuda encoder(nullptr, 320, 240, NV_ENC_BUFFER_FORMAT_IYUV); });
    EXPECT_NE(none.getErrorCode(), NV_ENC_SUCCESS);
}

} // namespace
