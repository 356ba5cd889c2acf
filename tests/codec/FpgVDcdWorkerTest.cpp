// The software decode worker on real H.264 and HEVC streams: pictures equal a plain libavcodec
// decode of the same packets (after the same conversion), sizes that change mid-stream are followed,
// corrupt and misplaced packets never stop the worker.

#include "codec/DecodeTestSupport.h"
#include "codec/FpgVDcdWorker.h"
#include "host/GlobalVars.h"

#include "support/LeakCheck.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <map>

namespace {

std::shared_ptr<CTYXVDecWorker> MakeFpg(uint32_t id, const CTYXWorker::InputLinkMap *inputs,
                                        const CTYXWorker::ConsumerLinkMap *consumers)
{
    return std::make_shared<CFpgVDcdWorker>(id, inputs, consumers);
}

class FpgVDcdWorkerTest : public CLeakCheckedTest
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
    static stCodedStream Encode(const stTestStreamSpec &spec)
    {
        stCodedStream stream;
        EXPECT_TRUE(EncodeTestStream(spec, stream)) << spec.encoder;
        return stream;
    }
};

// Every frame is a device I420 picture that equals the reference picture of its pts; the number
// compared.
int ExpectFramesMatch(const std::vector<FramePackage> &frames, const std::vector<stPicture> &reference)
{
    std::map<int64_t, const stPicture *> byPts;
    for (const stPicture &picture : reference)
        byPts[picture.pts] = &picture;
    int compared = 0;
    int64_t previous = INT64_MIN;
    for (const FramePackage &frame : frames) {
        EXPECT_EQ(frame.kind, TYX_PKT_KIND_RAW_VIDEO);
        EXPECT_EQ(frame.mediaType, TYX_MEDIA_VIDEO);
        EXPECT_EQ(frame.inDevice, 1);
        EXPECT_GT(frame.pts, previous) << "pictures leave in display order";
        previous = frame.pts;
        const auto found = byPts.find(frame.pts);
        if (found == byPts.end()) {
            ADD_FAILURE() << "no reference picture with pts " << frame.pts;
            continue;
        }
        const stPicture picture = ReadPicture(frame);
        EXPECT_EQ(picture.width, found->second->width);
        EXPECT_EQ(picture.height, found->second->height);
        EXPECT_EQ(frame.nLength, picture.width * picture.height * 3 / 2);
        EXPECT_TRUE(picture.bytes == found->second->bytes) << "picture of pts " << frame.pts << " differs";
        ++compared;
    }
    return compared;
}

void FeedAll(CDecodeHarness &harness, const std::vector<stCodedPacket> &packets)
{
    for (const stCodedPacket &packet : packets)
        harness.Feed(packet);
}

} // namespace

TEST_F(FpgVDcdWorkerTest, H264WithBFramesDecodesLikePlainLibavcodec)
{
    stTestStreamSpec spec;
    spec.frames = 24;
    spec.gop = 12;
    spec.bFrames = 2;
    const stCodedStream stream = Encode(spec);
    const std::vector<stPicture> reference = ReferenceDecode(stream.packets, stream.params);
    ASSERT_EQ(reference.size(), stream.packets.size());

    CDecodeHarness harness(MakeFpg);
    ASSERT_TRUE(harness.Configure(stream.params));
    ASSERT_TRUE(harness.Start());
    FeedAll(harness, stream.packets);
    // The decoder keeps its reorder delay: the last pictures wait for packets that never come.
    std::vector<FramePackage> frames = harness.TakeAtLeast(reference.size() - 3);
    EXPECT_GE(ExpectFramesMatch(frames, reference), static_cast<int>(reference.size()) - 3);
    EXPECT_FALSE(static_cast<CFpgVDcdWorker &>(harness.Worker()).IsConverting());
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.front().pts, spec.firstPts);
    SaveI420AsPng("vdec_h264_first", ReadPicture(frames.front()));
    FreePackages(frames);
}

TEST_F(FpgVDcdWorkerTest, HevcDecodesLikePlainLibavcodec)
{
    stTestStreamSpec spec;
    spec.encoder = "libx265";
    spec.frames = 12;
    spec.gop = 6;
    stCodedStream stream;
    if (!EncodeTestStream(spec, stream))
        GTEST_SKIP() << "no libx265 in this libavcodec";
    const std::vector<stPicture> reference = ReferenceDecode(stream.packets, stream.params);
    CDecodeHarness harness(MakeFpg);
    ASSERT_TRUE(harness.Configure(stream.params));
    ASSERT_TRUE(harness.Start());
    FeedAll(harness, stream.packets);
    std::vector<FramePackage> frames = harness.TakeAtLeast(reference.size() - 4);
    EXPECT_GE(ExpectFramesMatch(frames, reference), static_cast<int>(reference.size()) - 4);
    FreePackages(frames);
}

TEST_F(FpgVDcdWorkerTest, ParameterSetsInTheExtradataOnlyAreEnough)
{
    stTestStreamSpec spec;
    spec.globalHeader = true;
    spec.frames = 10;
    const stCodedStream stream = Encode(spec);
    ASSERT_GT(stream.params.extradataSize, 0);
    CLogCapture log;
    CDecodeHarness harness(MakeFpg);
    ASSERT_TRUE(harness.Configure(stream.params));
    EXPECT_TRUE(log.Contains(L"SPS/PPS:Size=[")) << "the extradata is logged byte by byte";
    ASSERT_TRUE(harness.Start());
    FeedAll(harness, stream.packets);
    std::vector<FramePackage> frames = harness.TakeAtLeast(stream.packets.size() - 1);
    EXPECT_GE(ExpectFramesMatch(frames, ReferenceDecode(stream.packets, stream.params)),
              static_cast<int>(stream.packets.size()) - 1);
    FreePackages(frames);
}

TEST_F(FpgVDcdWorkerTest, PacketsBeforeTheFirstKeyFrameAreDroppedAndLogged)
{
    stTestStreamSpec spec;
    spec.frames = 12;
    const stCodedStream stream = Encode(spec);
    CLogCapture log;
    CDecodeHarness harness(MakeFpg);
    ASSERT_TRUE(harness.Configure(stream.params));
    ASSERT_TRUE(harness.Start());
    for (size_t i = 3; i < 6; ++i) {
        stCodedPacket early = stream.packets[i];
        early.pts -= 10000000; // ten seconds before the stream
        harness.Feed(early);
    }
    FeedAll(harness, stream.packets);
    std::vector<FramePackage> frames = harness.TakeAtLeast(stream.packets.size() - 1);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.front().pts, spec.firstPts);
    EXPECT_EQ(log.Count(L"before 1st Key frame received discarded", 7), 3);
    EXPECT_EQ(log.Count(L"Key frame received (pts="), 1);
    FreePackages(frames);
}

TEST_F(FpgVDcdWorkerTest, SizeChangeMidStreamIsFollowed)
{
    stTestStreamSpec small;
    small.frames = 10;
    stTestStreamSpec large = small;
    large.width = 640;
    large.height = 360;
    large.seed = 1;
    large.firstPts = small.firstPts + small.frames * 40000;
    stCodedStream stream = Encode(small);
    const stCodedStream second = Encode(large);
    stream.packets.insert(stream.packets.end(), second.packets.begin(), second.packets.end());
    const std::vector<stPicture> reference = ReferenceDecode(stream.packets, stream.params);

    CDecodeHarness harness(MakeFpg);
    int callbacks = 0;
    stStreamParams announced;
    harness.Worker().SetOutputParamsCallback([&](CTYXWorker *, uint32_t streamId, const stStreamParams *params) {
        EXPECT_EQ(streamId, CDecodeHarness::kWorkerId + 1);
        announced = *params;
        ++callbacks;
    });
    ASSERT_TRUE(harness.Configure(stream.params));
    ASSERT_TRUE(harness.Start());
    FeedAll(harness, stream.packets);
    std::vector<FramePackage> frames = harness.TakeAtLeast(reference.size() - 1);
    EXPECT_GE(ExpectFramesMatch(frames, reference), static_cast<int>(reference.size()) - 1);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.front().width, 320);
    EXPECT_EQ(frames.back().width, 640);
    EXPECT_EQ(frames.back().height, 360);
    SaveI420AsPng("vdec_after_size_change", ReadPicture(frames.back()));
    harness.Stop();
    EXPECT_EQ(announced.width, 640);
    EXPECT_EQ(announced.height, 360);
    EXPECT_EQ(harness.Worker().GetOutputParameters().width, 640);
    EXPECT_GE(callbacks, 1);
    EXPECT_LE(callbacks, 2) << "one announcement per new size";
    FreePackages(frames);
}

TEST_F(FpgVDcdWorkerTest, CorruptPacketsNeverStopTheWorker)
{
    stTestStreamSpec spec;
    spec.frames = 30;
    spec.gop = 10;
    stCodedStream stream = Encode(spec);
    const std::vector<stPicture> clean = ReferenceDecode(stream.packets, stream.params);
    std::vector<stCodedPacket> damaged = stream.packets;
    for (size_t i = 0; i < damaged[12].data.size(); ++i)
        damaged[12].data[i] = static_cast<uint8_t>(i * 131 + 7);
    damaged[15].data.resize(damaged[15].data.size() / 2);
    stCodedPacket garbage;
    garbage.data.assign(5000, 0xFF);
    garbage.pts = damaged[16].pts + 1;
    damaged.insert(damaged.begin() + 17, garbage);

    CDecodeHarness harness(MakeFpg);
    ASSERT_TRUE(harness.Configure(stream.params));
    ASSERT_TRUE(harness.Start());
    FeedAll(harness, damaged);
    const int64_t thirdGop = stream.packets[20].pts;
    std::vector<FramePackage> frames;
    ASSERT_TRUE(PollUntil([&] {
        for (const FramePackage &frame : harness.Take())
            frames.push_back(frame);
        return !frames.empty() && frames.back().pts >= stream.packets[28].pts;
    })) << "the worker went on after the damage";
    // From the next key frame on, every picture is the clean one.
    std::vector<FramePackage> afterDamage;
    for (const FramePackage &frame : frames) {
        if (frame.pts >= thirdGop)
            afterDamage.push_back(frame);
    }
    EXPECT_GE(ExpectFramesMatch(afterDamage, clean), 9);
    FreePackages(frames);
}

TEST_F(FpgVDcdWorkerTest, FixedOutputSizeIsScaledBicubically)
{
    stTestStreamSpec spec;
    spec.frames = 8;
    const stCodedStream stream = Encode(spec);
    CDecodeHarness harness(MakeFpg);
    harness.Config().BuildIOItems();
    ASSERT_EQ(harness.Worker().CopyInConfiguration(&harness.Config()), 0);
    stStreamParams fixed = harness.Worker().GetOutputParameters();
    fixed.followFrameSize = 0;
    fixed.width = 160;
    fixed.height = 120;
    harness.Worker().SetOutputParameters(fixed, static_cast<uint32_t>(-1));
    harness.Worker().SetInputParameters(stream.params, static_cast<uint32_t>(-1));
    ASSERT_EQ(harness.Worker().Initialize(1, 0), 0);
    ASSERT_TRUE(harness.Start());
    FeedAll(harness, stream.packets);
    std::vector<FramePackage> frames = harness.TakeAtLeast(stream.packets.size() - 1);
    EXPECT_GE(ExpectFramesMatch(frames, ReferenceDecode(stream.packets, stream.params, 160, 120)),
              static_cast<int>(stream.packets.size()) - 1);
    EXPECT_TRUE(static_cast<CFpgVDcdWorker &>(harness.Worker()).IsConverting());
    FreePackages(frames);
}

TEST_F(FpgVDcdWorkerTest, DecoderOpenFailuresReturnTheirCodes)
{
    stTestStreamSpec spec;
    spec.frames = 2;
    stCodedStream stream = Encode(spec);
    CLogCapture log;
    CFpgVDcdWorker worker(CDecodeHarness::kWorkerId, nullptr, nullptr);
    stStreamParams unknown = stream.params;
    unknown.codecId = 0;
    worker.SetInputParameters(unknown, static_cast<uint32_t>(-1));
    EXPECT_EQ(worker.Initialize(1, 0), 0) << "a decoder that cannot open is retried by the loop";
    EXPECT_FALSE(worker.IsDecoderReady());
    EXPECT_TRUE(log.Contains(L"Decoders not initialized for unknown codecID[0]."));
    EXPECT_EQ(worker.InitializeDecoder(0), CFpgVDcdWorker::kErrCodecId);
    EXPECT_EQ(worker.InitializeDecoder(70000), CFpgVDcdWorker::kErrCodecId);

    stStreamParams bare = stream.params;
    bare.SetCodecParameters(nullptr);
    worker.SetInputParameters(bare, static_cast<uint32_t>(-1));
    EXPECT_EQ(worker.InitializeDecoder(AV_CODEC_ID_H264), CFpgVDcdWorker::kErrCodecParams);
    EXPECT_TRUE(log.Contains(L"There no valid codecpar in input-pams!"));
    worker.SetInputParameters(stream.params, static_cast<uint32_t>(-1));
    EXPECT_EQ(worker.InitializeDecoder(AV_CODEC_ID_H264), 0);
}

TEST_F(FpgVDcdWorkerTest, AnEmptyPackageDrainsAndDecodingGoesOnAfterwards)
{
    stTestStreamSpec spec;
    spec.frames = 12;
    spec.bFrames = 2;
    spec.gop = 12;
    const stCodedStream stream = Encode(spec);
    CFpgVDcdWorker worker(CDecodeHarness::kWorkerId, nullptr, nullptr);
    worker.SetInputParameters(stream.params, static_cast<uint32_t>(-1));
    ASSERT_EQ(worker.Initialize(1, 0), 0);
    ASSERT_TRUE(worker.IsDecoderReady());
    std::vector<FramePackage> all;
    std::vector<FramePackage> out;
    int32_t received = 0;
    for (const stCodedPacket &packet : stream.packets) {
        FramePackage package = MakeCodedPackage(packet);
        received += worker.DecodeFrame(package, out);
        all.insert(all.end(), out.begin(), out.end());
        FreeFramePackage(package);
    }
    EXPECT_LT(received, static_cast<int32_t>(stream.packets.size())) << "B-frames keep pictures back";
    FramePackage drain;
    received += worker.DecodeFrame(drain, out);
    all.insert(all.end(), out.begin(), out.end());
    EXPECT_EQ(received, static_cast<int32_t>(stream.packets.size()));
    ASSERT_EQ(all.size(), stream.packets.size());
    EXPECT_EQ(all.front().flags & TYX_PKT_FLAG_KEY, TYX_PKT_FLAG_KEY) << "the IDR picture is a key frame";
    EXPECT_EQ(all[1].flags & TYX_PKT_FLAG_KEY, 0);

    FramePackage again = MakeCodedPackage(stream.packets.front());
    EXPECT_GE(worker.DecodeFrame(again, out), 0) << "a drained decoder takes packets again";
    FreeFramePackage(again);
    FreePackages(out);
    FreePackages(all);
    stDecodedFrameInfo info;
    ASSERT_EQ(worker.GetDecodedFrameInfo(info), 0);
    EXPECT_EQ(info.width, 320);
    EXPECT_EQ(info.height, 240);
    EXPECT_EQ(info.pitch, 320);
    EXPECT_EQ(info.semiPlanar, 0);
}
