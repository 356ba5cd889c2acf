// The NVDEC session on the stand-in (or the driver where one is present): sequence callbacks,
// sizes, display order, end of stream, reconfiguration and the capability refusals.

#include "codec/DecodeTestSupport.h"
#include "codec/NvDecoder.h"
#include "platform/GpuDevice.h"

#include "support/LeakCheck.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

constexpr uint32_t kPacketFlags = CUVID_PKT_ENDOFPICTURE | CUVID_PKT_TIMESTAMP;

// A frame taken from the decoder, copied to the host.
struct stTakenFrame
{
    int64_t pts = 0;
    std::vector<uint8_t> bytes;
};

class NvDecoderTest : public CLeakCheckedTest
{
protected:
    void SetUp() override
    {
        CLeakCheckedTest::SetUp();
        ASSERT_EQ(DevRetainContextHandle(0, &m_context), GPU_SUCCESS);
    }
    void TearDown() override
    {
        DevReleaseContextHandle(m_context);
        CLeakCheckedTest::TearDown();
    }
    static stCodedStream Encode(const stTestStreamSpec &spec)
    {
        stCodedStream stream;
        EXPECT_TRUE(EncodeTestStream(spec, stream));
        return stream;
    }
    void TakeAll(NvDecoder &decoder, int32_t count, std::vector<stTakenFrame> &out)
    {
        for (int32_t i = 0; i < count; ++i) {
            stTakenFrame frame;
            uint8_t *data = decoder.TakeDecodedFrame(&frame.pts);
            ASSERT_NE(data, nullptr);
            frame.bytes.resize(static_cast<size_t>(decoder.DecodedFrameSize()));
            DevMemcpy(frame.bytes.data(), data, frame.bytes.size(), EGpuCopyKind::DeviceToHost);
            out.push_back(std::move(frame));
        }
        int64_t none = 0;
        EXPECT_EQ(decoder.TakeDecodedFrame(&none), nullptr);
    }
    std::vector<stTakenFrame> DecodeAll(NvDecoder &decoder, const std::vector<stCodedPacket> &packets, bool flush)
    {
        std::vector<stTakenFrame> frames;
        for (const stCodedPacket &packet : packets) {
            const int32_t count = decoder.Decode(packet.data.data(), static_cast<int32_t>(packet.data.size()),
                                                 kPacketFlags, packet.pts);
            TakeAll(decoder, count, frames);
        }
        if (flush)
            TakeAll(decoder, decoder.Decode(nullptr, 0), frames);
        return frames;
    }
    CUcontext Context() const { return static_cast<CUcontext>(m_context); }

private:
    GpuContext m_context = nullptr;
};

// I420 to NV12, as the decoder's surfaces hold it.
std::vector<uint8_t> ToNv12(const stPicture &picture)
{
    const size_t luma = static_cast<size_t>(picture.width) * picture.height;
    const size_t quarter = luma / 4;
    std::vector<uint8_t> nv12(picture.bytes.begin(), picture.bytes.begin() + static_cast<long>(luma));
    nv12.resize(luma + 2 * quarter);
    for (size_t i = 0; i < quarter; ++i) {
        nv12[luma + 2 * i] = picture.bytes[luma + i];
        nv12[luma + 2 * i + 1] = picture.bytes[luma + quarter + i];
    }
    return nv12;
}

// Capability answers of a smaller GPU.
unsigned g_maxSize = 8192;
unsigned g_maxMacroblocks = 8192 * 8192 / 256;
unsigned char g_supported = 1;

CUresult CUDAAPI SmallGpuCaps(CUVIDDECODECAPS *caps)
{
    const CUresult rc = NvDecStandInApi().cuvidGetDecoderCaps(caps);
    caps->bIsSupported = g_supported;
    caps->nMaxWidth = g_maxSize;
    caps->nMaxHeight = g_maxSize;
    caps->nMaxMBCount = g_maxMacroblocks;
    return rc;
}

std::string RefusalOf(const stNvDecApi &api, CUcontext context, const stCodedStream &stream)
{
    NvDecoder decoder(context, true, cudaVideoCodec_H264, api);
    try {
        for (const stCodedPacket &packet : stream.packets)
            decoder.Decode(packet.data.data(), static_cast<int32_t>(packet.data.size()), kPacketFlags, packet.pts);
    } catch (const NVDECException &error) {
        EXPECT_EQ(error.getErrorCode(), static_cast<CUresult>(801));
        return error.what();
    }
    return {};
}

} // namespace

TEST_F(NvDecoderTest, H264FramesComeOutInDisplayOrderAsNv12OfTheStream)
{
    stTestStreamSpec spec;
    spec.frames = 12;
    spec.bFrames = 2;
    spec.gop = 12;
    const stCodedStream stream = Encode(spec);
    std::map<int64_t, std::vector<uint8_t>> reference;
    for (const stPicture &picture : ReferenceDecode(stream.packets, stream.params))
        reference[picture.pts] = ToNv12(picture);

    NvDecoder decoder(Context(), true, cudaVideoCodec_H264);
    EXPECT_FALSE(decoder.HasSequence());
    const std::vector<stTakenFrame> frames = DecodeAll(decoder, stream.packets, true);
    ASSERT_EQ(frames.size(), stream.packets.size()) << "the end of the stream hands out what the parser held";
    EXPECT_EQ(decoder.DecodedWidth(), 320);
    EXPECT_EQ(decoder.DecodedHeight(), 240);
    EXPECT_EQ(decoder.DecodedFrameSize(), 320 * 240 * 3 / 2);
    EXPECT_EQ(decoder.DecodedBitDepth(), 8);
    EXPECT_EQ(decoder.SurfaceFormat(), cudaVideoSurfaceFormat_NV12);
    EXPECT_EQ(decoder.DeviceFramePitch(), 320);
    int64_t previous = INT64_MIN;
    for (const stTakenFrame &frame : frames) {
        EXPECT_GT(frame.pts, previous);
        previous = frame.pts;
        ASSERT_EQ(reference.count(frame.pts), 1u);
        EXPECT_TRUE(frame.bytes == reference[frame.pts]) << "frame of pts " << frame.pts;
    }
    EXPECT_GE(decoder.FrameBufferCount(), 1);
}

TEST_F(NvDecoderTest, CodedSizeAboveTheDisplayAreaGivesFramesOfTheDisplayArea)
{
    stTestStreamSpec spec;
    spec.width = 1920;
    spec.height = 1080;
    spec.frames = 2;
    const stCodedStream stream = Encode(spec);
    NvDecoder decoder(Context(), true, cudaVideoCodec_H264);
    const std::vector<stTakenFrame> frames = DecodeAll(decoder, stream.packets, true);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(decoder.DecodedWidth(), 1920);
    EXPECT_EQ(decoder.DecodedHeight(), 1080);
    EXPECT_EQ(decoder.DecodedFrameSize(), 1920 * 1080 * 3 / 2);
    const std::vector<stPicture> reference = ReferenceDecode(stream.packets, stream.params);
    EXPECT_TRUE(frames.front().bytes == ToNv12(reference.front()));
}

TEST_F(NvDecoderTest, AStreamGrowingBeyondItsFirstSizeIsRefusedAndAShrinkingOneKeepsTheFirstSize)
{
    stTestStreamSpec small;
    small.frames = 4;
    stTestStreamSpec large = small;
    large.width = 640;
    large.height = 360;
    large.firstPts = small.firstPts + 1000000;
    stCodedStream growing = Encode(small);
    const stCodedStream second = Encode(large);
    growing.packets.insert(growing.packets.end(), second.packets.begin(), second.packets.end());
    const std::string refusal = RefusalOf(NvDecApi(), Context(), growing);
    EXPECT_EQ(refusal.rfind("NvDecoder::ReconfigureDecoder : Reconfigure Not supported when width/height > "
                            "maxwidth/maxheight at NvDecoder:",
                            0),
              0u)
        << refusal;

    stCodedStream shrinking = Encode(large);
    const stCodedStream tail = Encode(small);
    shrinking.packets.insert(shrinking.packets.end(), tail.packets.begin(), tail.packets.end());
    NvDecoder decoder(Context(), true, cudaVideoCodec_H264);
    const std::vector<stTakenFrame> frames = DecodeAll(decoder, shrinking.packets, true);
    EXPECT_EQ(frames.size(), shrinking.packets.size());
    EXPECT_EQ(decoder.DecodedWidth(), 640) << "the decoder scales the new size to the first";
    EXPECT_EQ(decoder.DecodedHeight(), 360);
    for (const stTakenFrame &frame : frames)
        EXPECT_EQ(frame.bytes.size(), 640u * 360 * 3 / 2);
}

TEST_F(NvDecoderTest, ALargerDisplayAreaOfTheSameCodedSizeGetsLargerFrameBuffers)
{
    stTestStreamSpec cropped;
    cropped.height = 232; // coded 240: only the display area differs
    cropped.frames = 3;
    stTestStreamSpec full = cropped;
    full.height = 240;
    full.firstPts = cropped.firstPts + 1000000;
    stCodedStream stream = Encode(cropped);
    const stCodedStream second = Encode(full);
    stream.packets.insert(stream.packets.end(), second.packets.begin(), second.packets.end());
    NvDecoder decoder(Context(), true, cudaVideoCodec_H264);
    const std::vector<stTakenFrame> frames = DecodeAll(decoder, stream.packets, true);
    ASSERT_EQ(frames.size(), 6u);
    EXPECT_EQ(frames.front().bytes.size(), 320u * 232 * 3 / 2);
    EXPECT_EQ(decoder.DecodedHeight(), 240);
    const std::vector<stPicture> reference = ReferenceDecode(second.packets, second.params);
    EXPECT_TRUE(frames.back().bytes == ToNv12(reference.back())) << "the grown frame is whole";
}

TEST_F(NvDecoderTest, CapabilityRefusalsCarryTheirTexts)
{
    stTestStreamSpec spec;
    spec.frames = 1;
    const stCodedStream stream = Encode(spec);
    stNvDecApi api = NvDecStandInApi();
    api.cuvidGetDecoderCaps = SmallGpuCaps;

    g_supported = 0;
    EXPECT_NE(RefusalOf(api, Context(), stream).find("NvDecoder::HandleVideoSequence : Codec not supported on this GPU"),
              std::string::npos);
    g_supported = 1;
    g_maxSize = 256;
    EXPECT_NE(RefusalOf(api, Context(), stream)
                  .find("\nResolution          : 320x240\nMax Supported (wxh) : 256x256\nResolution not supported on this GPU"),
              std::string::npos);
    g_maxSize = 8192;
    g_maxMacroblocks = 100;
    EXPECT_NE(RefusalOf(api, Context(), stream)
                  .find("\nMBCount             : 300\nMax Supported mbcnt : 100\nMBCount not supported on this GPU"),
              std::string::npos);
    g_maxMacroblocks = 8192 * 8192 / 256;
}

TEST_F(NvDecoderTest, FramesNotTakenBeforeTheNextDecodeAreGone)
{
    stTestStreamSpec spec;
    spec.frames = 3;
    const stCodedStream stream = Encode(spec);
    NvDecoder decoder(Context(), true, cudaVideoCodec_H264);
    for (const stCodedPacket &packet : stream.packets)
        EXPECT_EQ(decoder.Decode(packet.data.data(), static_cast<int32_t>(packet.data.size()), kPacketFlags, packet.pts),
                  1);
    int64_t pts = 0;
    ASSERT_NE(decoder.TakeDecodedFrame(&pts), nullptr);
    EXPECT_EQ(pts, stream.packets.back().pts) << "only the last call's frame is there";
    EXPECT_EQ(decoder.FrameBufferCount(), 1);
}
