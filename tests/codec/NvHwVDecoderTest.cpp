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

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <set>

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

// The stand-in session's picture decode, failing for the pictures from g_failFrom to g_failTo (counted
// from 1; 0 fails none). The call carries no context of its own, hence the file's counters.
std::atomic<int32_t> g_pictures{0};
std::atomic<int32_t> g_failFrom{0};
std::atomic<int32_t> g_failTo{0};

CUresult CUDAAPI FailingDecodePicture(CUvideodecoder decoder, CUVIDPICPARAMS *picture)
{
    const int32_t n = ++g_pictures;
    if (g_failFrom > 0 && n >= g_failFrom && n <= g_failTo)
        return CUDA_ERROR_UNKNOWN;
    return NvDecStandInApi().cuvidDecodePicture(decoder, picture);
}

const stNvDecApi &FailingApi()
{
    static const stNvDecApi api = [] {
        stNvDecApi failing = NvDecStandInApi();
        failing.cuvidDecodePicture = FailingDecodePicture;
        return failing;
    }();
    return api;
}

// The NVDEC worker on the failing session, telling the pts of every package handed to the decoder.
class CWatchedNvDecoder : public NvHwVDecoder
{
public:
    CWatchedNvDecoder(uint32_t id, const InputLinkMap *inputs, const ConsumerLinkMap *consumers)
        : NvHwVDecoder(id, inputs, consumers, FailingApi())
    {
    }
    int32_t DecodeFrame(FramePackage &package, std::vector<FramePackage> &frames) override
    {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_handed.push_back(package.pts);
        }
        return NvHwVDecoder::DecodeFrame(package, frames);
    }
    std::vector<int64_t> Handed() const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_handed;
    }

private:
    mutable std::mutex m_lock;
    std::vector<int64_t> m_handed;
};

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

namespace {

std::shared_ptr<CTYXVDecWorker> MakeWatched(uint32_t id, const CTYXWorker::InputLinkMap *inputs,
                                            const CTYXWorker::ConsumerLinkMap *consumers)
{
    return std::make_shared<CWatchedNvDecoder>(id, inputs, consumers);
}

struct stFailingPictures
{
    stFailingPictures(int32_t from, int32_t to)
    {
        g_pictures = 0;
        g_failFrom = from;
        g_failTo = to;
    }
    ~stFailingPictures() { g_failFrom = 0; }
};

} // namespace

// A caught decoder failure closes the decoder; the one opened again starts at the next key frame,
// never at the packets between, whose references are gone.
TEST_F(NvHwVDecoderTest, AfterADecoderFailureDecodingStartsAgainAtTheNextKeyFrame)
{
    stTestStreamSpec spec;
    spec.frames = 20;
    spec.gop = 5;
    stCodedStream stream;
    ASSERT_TRUE(EncodeTestStream(spec, stream));
    const stFailingPictures failing(3, 3);
    CLogCapture log;
    CTestTicks ticks; // no default pictures while the test waits
    CDecodeHarness harness(MakeWatched);
    harness.UseTicks(ticks);
    ASSERT_TRUE(harness.Configure(stream.params));
    ASSERT_TRUE(harness.Start());
    for (const stCodedPacket &packet : stream.packets)
        harness.Feed(packet);
    auto &worker = static_cast<CWatchedNvDecoder &>(harness.Worker());
    const int64_t secondKey = stream.packets[5].pts;
    const int64_t last = stream.packets.back().pts;
    ASSERT_TRUE(PollUntil([&] { return !worker.Handed().empty() && worker.Handed().back() == last; }));
    harness.Stop();
    std::vector<FramePackage> frames = harness.Take();

    ASSERT_TRUE(log.Contains(L"Decoding failed:", 3));
    const std::vector<int64_t> handed = worker.Handed();
    const auto failed = std::find(handed.begin(), handed.end(), stream.packets[2].pts);
    ASSERT_NE(failed, handed.end());
    for (auto pts = failed + 1; pts != handed.end(); ++pts)
        EXPECT_GE(*pts, secondKey) << "a packet between the failure and the next key frame was decoded";
    EXPECT_TRUE(log.Contains(L"Key frame received (pts=" + std::to_wstring(secondKey), 6));
    EXPECT_TRUE(log.Contains(L"Decoder closed after a failure (1 in a row)", 4));
    std::set<int64_t> out;
    for (const FramePackage &frame : frames)
        out.insert(frame.pts);
    for (size_t n = 5; n + 1 < stream.packets.size(); ++n)
        EXPECT_EQ(out.count(stream.packets[n].pts), 1u) << "picture " << n;
    FreePackages(frames);
}

// A stream that fails on every key frame does not write a block of reopen lines for each.
TEST_F(NvHwVDecoderTest, TheReopenLinesOfAStreamThatKeepsFailingArePaced)
{
    stTestStreamSpec spec;
    spec.frames = 60;
    spec.gop = 1;
    stCodedStream stream;
    ASSERT_TRUE(EncodeTestStream(spec, stream));
    const stFailingPictures failing(1, 1000);
    CLogCapture log;
    CTestTicks ticks;
    CDecodeHarness harness(MakeWatched);
    harness.UseTicks(ticks);
    ASSERT_TRUE(harness.Configure(stream.params));
    ASSERT_TRUE(harness.Start());
    for (const stCodedPacket &packet : stream.packets)
        harness.Feed(packet);
    auto &worker = static_cast<CWatchedNvDecoder &>(harness.Worker());
    ASSERT_TRUE(PollUntil([&] { return worker.Handed().size() >= stream.packets.size(); }));
    harness.Stop();
    std::vector<FramePackage> frames = harness.Take();
    EXPECT_TRUE(frames.empty());
    FreePackages(frames);
    EXPECT_EQ(g_pictures.load(), 60);
    // The first two rounds are logged in full, then one in a hundred.
    EXPECT_EQ(log.Count(L"Decoding failed:", 3), 2);
    EXPECT_EQ(log.Count(L"Decoders initialized with codecID", 5), 2);
    EXPECT_EQ(log.Count(L"Video frame(pts=", 3), 2);
    EXPECT_LE(log.Count(L"Key frame received", 6), 2);
    EXPECT_EQ(log.Count(L"Decoder closed after a failure", 4), 2);
}
