// The NVDEC decode worker (on the stand-in where no driver opens) against the software worker:
// the same streams give the same pictures; codec refusals, the flag map and size changes.

#include "codec/DecodeTestSupport.h"
#include "codec/FpgVDcdWorker.h"
#include "codec/NvHwVDcdWorker.h"
#include "host/GlobalVars.h"
#include "platform/GpuDevice.h"

#include "support/LeakCheck.h"
#include "support/LogCapture.h"

extern "C" {
#include <libavcodec/codec_id.h>
}

#include <gtest/gtest.h>

#include <map>

namespace {

std::shared_ptr<CTYXVDecWorker> MakeNv(uint32_t id, const CTYXWorker::InputLinkMap *inputs,
                                       const CTYXWorker::ConsumerLinkMap *consumers)
{
    return std::make_shared<NvHwVDecoder>(id, inputs, consumers);
}

std::shared_ptr<CTYXVDecWorker> MakeFpg(uint32_t id, const CTYXWorker::InputLinkMap *inputs,
                                        const CTYXWorker::ConsumerLinkMap *consumers)
{
    return std::make_shared<CFpgVDcdWorker>(id, inputs, consumers);
}

class NvHwVDecoderTest : public CLeakCheckedTest
{
protected:
    void SetUp() override
    {
        CLeakCheckedTest::SetUp();
        CTYXGVMS::ResetForTests();
    }
    void TearDown() override
    {
        CTYXGVMS::ResetForTests();
        CLeakCheckedTest::TearDown();
    }
    // Runs the stream through a worker; its pictures by pts.
    static std::map<int64_t, stPicture> Decode(const CDecodeHarness::Factory &factory, const stCodedStream &stream,
                                               size_t expected, std::vector<FramePackage> *keep = nullptr)
    {
        CDecodeHarness harness(factory);
        EXPECT_TRUE(harness.Configure(stream.params));
        EXPECT_TRUE(harness.Start());
        for (const stCodedPacket &packet : stream.packets)
            harness.Feed(packet);
        std::vector<FramePackage> frames = harness.TakeAtLeast(expected);
        EXPECT_GE(frames.size(), expected);
        std::map<int64_t, stPicture> pictures;
        for (const FramePackage &frame : frames)
            pictures[frame.pts] = ReadPicture(frame);
        if (keep)
            *keep = frames;
        else
            FreePackages(frames);
        return pictures;
    }
    static void ExpectSamePictures(const std::map<int64_t, stPicture> &nv, const std::map<int64_t, stPicture> &fpg)
    {
        int compared = 0;
        for (const auto &[pts, picture] : nv) {
            const auto other = fpg.find(pts);
            if (other == fpg.end())
                continue;
            EXPECT_EQ(picture.width, other->second.width);
            EXPECT_TRUE(picture.bytes == other->second.bytes) << "picture of pts " << pts;
            ++compared;
        }
        EXPECT_GE(compared, static_cast<int>(nv.size()) - 2);
    }
};

} // namespace

TEST_F(NvHwVDecoderTest, H264PicturesEqualTheSoftwareWorkers)
{
    stTestStreamSpec spec;
    spec.frames = 16;
    spec.gop = 8;
    stCodedStream stream;
    ASSERT_TRUE(EncodeTestStream(spec, stream));
    std::vector<FramePackage> frames;
    const auto nv = Decode(MakeNv, stream, 15, &frames);
    ASSERT_FALSE(frames.empty());
    const FramePackage &first = frames.front();
    EXPECT_EQ(first.pts, spec.firstPts);
    EXPECT_EQ(first.flags & TYX_PKT_FLAG_KEY, TYX_PKT_FLAG_KEY) << "the key packet's flags follow its picture";
    EXPECT_EQ(frames[1].flags, 0);
    EXPECT_EQ(first.dts, TYX_NOPTS_VALUE);
    EXPECT_EQ(first.kind, TYX_PKT_KIND_RAW_VIDEO);
    EXPECT_EQ(first.inDevice, 1);
    EXPECT_EQ(first.width, 320);
    EXPECT_EQ(first.pitch, 320);
    EXPECT_EQ(first.nLength, 320 * 240 * 3 / 2);
    SaveI420AsPng("vdec_nvdec_first", ReadPicture(first));
    FreePackages(frames);
    ExpectSamePictures(nv, Decode(MakeFpg, stream, 15));
}

TEST_F(NvHwVDecoderTest, HevcPicturesEqualTheSoftwareWorkers)
{
    stTestStreamSpec spec;
    spec.encoder = "libx265";
    spec.frames = 10;
    spec.gop = 5;
    stCodedStream stream;
    if (!EncodeTestStream(spec, stream))
        GTEST_SKIP() << "no libx265 in this libavcodec";
    ExpectSamePictures(Decode(MakeNv, stream, 8), Decode(MakeFpg, stream, 8));
}

TEST_F(NvHwVDecoderTest, AStreamThatGrowsIsFollowedWithANewSession)
{
    stTestStreamSpec small;
    small.frames = 6;
    small.gop = 6;
    stTestStreamSpec large = small;
    large.width = 640;
    large.height = 360;
    large.seed = 2;
    large.firstPts = small.firstPts + 6 * 40000;
    stCodedStream stream;
    ASSERT_TRUE(EncodeTestStream(small, stream));
    stCodedStream second;
    ASSERT_TRUE(EncodeTestStream(large, second));
    stream.packets.insert(stream.packets.end(), second.packets.begin(), second.packets.end());
    CLogCapture log;
    const auto nv = Decode(MakeNv, stream, 11);
    ASSERT_FALSE(nv.empty());
    EXPECT_EQ(nv.rbegin()->second.width, 640);
    EXPECT_EQ(nv.rbegin()->second.height, 360);
    EXPECT_TRUE(log.Contains(L"Picture size grew: decoder opened again for it."));
    ExpectSamePictures(nv, Decode(MakeFpg, stream, 11));
}

TEST_F(NvHwVDecoderTest, CodecsWithoutAnNvdecMappingAreRefused)
{
    EXPECT_EQ(NvHwVDecoder::MapCodecId(AV_CODEC_ID_H264), 4);
    EXPECT_EQ(NvHwVDecoder::MapCodecId(AV_CODEC_ID_HEVC), 8);
    EXPECT_EQ(NvHwVDecoder::MapCodecId(AV_CODEC_ID_VP9), 10);
    EXPECT_EQ(NvHwVDecoder::MapCodecId(AV_CODEC_ID_RAWVIDEO), 0x49595556);
    EXPECT_EQ(NvHwVDecoder::MapCodecId(AV_CODEC_ID_AV1), 12);
    CLogCapture log;
    NvHwVDecoder worker(CDecodeHarness::kWorkerId, nullptr, nullptr);
    EXPECT_EQ(worker.InitializeDecoder(AV_CODEC_ID_MPEG1VIDEO), -1);
    EXPECT_TRUE(log.Contains(L"Decoders not initialized for unknown codecID(0)!", 3));
    EXPECT_EQ(worker.InitializeDecoder(AV_CODEC_ID_RAWVIDEO), -1);
    EXPECT_EQ(worker.InitializeDecoder(AV_CODEC_ID_PNG), -1);
    if (DevBackend() != EGpuBackend::Cuda) {
        EXPECT_EQ(worker.ListDecoderCaps(), -1) << "no CUDA device to list";
    }
}

TEST_F(NvHwVDecoderTest, FlagMapKeepsBetween150And300Entries)
{
    stTestStreamSpec spec;
    spec.frames = 1;
    stCodedStream stream;
    ASSERT_TRUE(EncodeTestStream(spec, stream));
    NvHwVDecoder worker(CDecodeHarness::kWorkerId, nullptr, nullptr);
    worker.SetInputParameters(stream.params, static_cast<uint32_t>(-1));
    ASSERT_EQ(worker.Initialize(1, 0), 0);
    ASSERT_TRUE(worker.IsDecoderReady());
    std::vector<FramePackage> frames;
    // Packets that complete no picture: nothing comes out, their flags are kept all the same.
    stCodedPacket nothing;
    nothing.data.assign(32, 0x00);
    for (int i = 0; i < 300; ++i) {
        nothing.pts = 1000 + i;
        FramePackage package = MakeCodedPackage(nothing);
        EXPECT_EQ(worker.DecodeFrame(package, frames), 0);
        EXPECT_TRUE(frames.empty());
        FreeFramePackage(package);
    }
    EXPECT_EQ(worker.FlagMapSize(), 300u);
    nothing.pts = 5000;
    FramePackage one = MakeCodedPackage(nothing);
    worker.DecodeFrame(one, frames);
    FreeFramePackage(one);
    EXPECT_EQ(worker.FlagMapSize(), 150u) << "trimmed from the smallest pts";
    worker.unInitialize();
}
