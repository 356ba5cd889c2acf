// The encode worker base with a scripted back-end: parameters, refusals, the receive loop and the
// calculated decode time stamps.

#include "codec/VEncWorker.h"

#include "EncodeTestSupport.h"

#include "support/LeakCheck.h"
#include "support/LogCapture.h"
#include "vproc/FakeGlyphSource.h"
#include "vproc/OsdWriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <future>
#include <set>

namespace {

constexpr int64_t kFrameUs = 40000;

// Holds pictures back and gives them out in a B-frame order: I0 P3 B1 B2, I4 P7 B5 B6, ...
class CScriptedEncoder : public CTYXEncWorker
{
public:
    using CTYXEncWorker::CTYXEncWorker;
    ~CScriptedEncoder() override { UninitializeEncoder(); }

    bool IsEncoderReady() override { return open; }
    int32_t InitializeEncoder(const stVideoEncodeParams &params) override
    {
        opened = params;
        if (openResult < 0)
            return openResult;
        open = true;
        m_reorderDepth = reorder ? 1 : 0;
        return 0;
    }
    void UninitializeEncoder() override { open = false; }
    int32_t RetrieveSequenceParameters(std::unique_ptr<uint8_t[]> &header) override
    {
        header = std::make_unique<uint8_t[]>(4);
        std::memcpy(header.get(), "\0\0\1g", 4);
        return 4;
    }
    int32_t EncodeFrame(const FramePackage &package, EncodedOutputs &outputs) override
    {
        if (refused.count(package.pts) != 0)
            return -1;
        held.push_back(package.pts);
        ++encoded;
        pictures.emplace_back(package.pData, package.pData + package.nLength);
        if (onEncode)
            onEncode(package);
        if (!reorder) {
            Emit(outputs, package.pts, encoded == 1 ? TYX_PIC_TYPE_IDR : TYX_PIC_TYPE_P);
            held.clear();
            return static_cast<int32_t>(outputs.size());
        }
        if (held.size() == 4) {
            const uint16_t types[4] = {TYX_PIC_TYPE_I, TYX_PIC_TYPE_P, TYX_PIC_TYPE_B, TYX_PIC_TYPE_B};
            const int order[4] = {0, 3, 1, 2};
            for (int i = 0; i < 4; ++i)
                Emit(outputs, held[static_cast<size_t>(order[i])], types[i]);
            held.clear();
        }
        return static_cast<int32_t>(outputs.size());
    }
    void FlushEncoder(EncodedOutputs &outputs) override
    {
        ++flushes;
        if (onFlush)
            onFlush();
        for (int64_t pts : held)
            Emit(outputs, pts, TYX_PIC_TYPE_P);
        held.clear();
    }
    bool ReservedEncoderCheck(const stVideoEncodeParams &, stVideoEncodeParams &) override { return checkResult; }

    void Emit(EncodedOutputs &outputs, int64_t pts, uint16_t type)
    {
        stEncodedOutput output;
        output.pts = pts;
        output.duration = kFrameUs;
        output.pictureType = type;
        const uint8_t bytes[8] = {0, 0, 0, 1, 0x65, 1, 2, 3};
        output.size = sizeof(bytes);
        output.data = CopyEncodedBytes(bytes, output.size);
        outputs.push_back(std::move(output));
    }

    stVideoEncodeParams opened;
    std::vector<int64_t> held;
    std::set<int64_t> refused;                 // pictures of these stamps fail to encode
    std::vector<std::vector<uint8_t>> pictures; // host bytes of each picture encoded
    int32_t openResult = 0;
    bool checkResult = true;
    std::function<void()> onFlush;
    std::function<void(const FramePackage &)> onEncode;
    bool open = false;
    bool reorder = false;
    int32_t encoded = 0;
    int32_t flushes = 0;
};

using CFedScripted = CFedWorker<CScriptedEncoder>;

FramePackage HostPicture(int32_t n, uint16_t width = 64, uint16_t height = 48)
{
    return MakePatternPackage(width, height, n, kFrameUs, false);
}

int64_t HostStamp(int32_t n)
{
    FramePackage picture = HostPicture(n);
    const int64_t pts = picture.pts;
    FreeFramePackage(picture);
    return pts;
}

FramePackage EndPackage()
{
    FramePackage end;
    end.kind = TYX_PKT_KIND_RAW_VIDEO;
    return end;
}

class VEncWorkerTest : public CLeakCheckedTest
{
protected:
    void Configure(CScriptedEncoder &worker, uint16_t width = 64, uint16_t height = 48, float fps = 25.0f)
    {
        const stVideoEncodeWorkerConfig config = MakeEncoderConfig(27, L"H264", width, height, fps, 50, 4000);
        ASSERT_EQ(worker.CopyInConfiguration(&config), 0);
        worker.SetInputParameters(MakeInputParams(64, 48, 25.0f), 0);
    }
    // A reordering encoder fed the pictures of those frame numbers and run to its end: what it sent.
    // The pictures of the refused numbers fail to encode.
    std::vector<FramePackage> EncodeReordered(const std::vector<int32_t> &frames, const std::set<int32_t> &refused = {})
    {
        CFedScripted worker(kEncoderId, &m_links.inputs, &m_links.consumers);
        Configure(worker);
        worker.reorder = true;
        for (int32_t n : refused)
            worker.refused.insert(HostStamp(n));
        if (worker.Initialize(0, 0) != 0) {
            ADD_FAILURE() << "the encoder did not initialise";
            return {};
        }
        for (int32_t n : frames)
            worker.feed.push_back(HostPicture(n));
        worker.feed.push_back(EndPackage());
        EXPECT_EQ(worker.WorkingFunc(), 0u);
        return m_links.TakeSent();
    }
    // Stamps in frames from the first output's pts.
    static void ExpectStamps(const std::vector<FramePackage> &sent, const std::vector<int64_t> &pts,
                             const std::vector<int64_t> &dts)
    {
        ASSERT_EQ(sent.size(), pts.size());
        ASSERT_EQ(sent.size(), dts.size());
        const int64_t base = sent[0].pts;
        for (size_t i = 0; i < sent.size(); ++i) {
            EXPECT_EQ(sent[i].pts - base, pts[i] * kFrameUs) << i;
            EXPECT_EQ(sent[i].dts - base, dts[i] * kFrameUs) << i;
        }
        EXPECT_TRUE(DecodeStampsHold(sent));
    }
    void FreeAll(std::vector<FramePackage> &packages)
    {
        for (FramePackage &package : packages)
            FreeFramePackage(package);
    }
    stEncoderLinks m_links;
};

TEST_F(VEncWorkerTest, InitializeRefusesWhatNoEncoderCanOpen)
{
    CLogCapture log;
    {
        CScriptedEncoder worker(kEncoderId, &m_links.inputs, &m_links.consumers);
        stVideoEncodeWorkerConfig config = MakeEncoderConfig(27, L"", 64, 48, 25.0f, 50, 4000);
        ASSERT_EQ(worker.CopyInConfiguration(&config), 0);
        EXPECT_EQ(worker.Initialize(0, 0), -1);
        EXPECT_TRUE(log.Contains(L"Initializing failed for codec type not determined!", 2));
    }
    {
        CScriptedEncoder worker(kEncoderId, &m_links.inputs, &m_links.consumers);
        stVideoEncodeWorkerConfig config = MakeEncoderConfig(27, L"H264", 0, 48, 25.0f, 50, 4000);
        ASSERT_EQ(worker.CopyInConfiguration(&config), 0);
        EXPECT_EQ(worker.Initialize(0, 0), -1); // the input has no size either
        EXPECT_TRUE(log.Contains(L"Initializing failed for Output frame size not determined!", 2));
    }
    {
        CScriptedEncoder worker(kEncoderId, &m_links.inputs, &m_links.consumers);
        Configure(worker);
        worker.checkResult = false;
        EXPECT_EQ(worker.Initialize(0, 0), -1);
        EXPECT_TRUE(log.Contains(L"Initializing failed for some specified parameters not support!", 2));
        worker.checkResult = true;
        worker.openResult = -512;
        EXPECT_EQ(worker.Initialize(0, 0), -512);
        EXPECT_TRUE(log.Contains(L"Video encoder initializing failed with err=-512!", 3));
        EXPECT_FALSE(worker.IsEncoderReady());
        EXPECT_EQ(worker.WorkingFunc(), 8u);
    }
}

TEST_F(VEncWorkerTest, ParametersComeFromTheSettingsAndTheInputStream)
{
    CScriptedEncoder worker(kEncoderId, &m_links.inputs, &m_links.consumers);
    stVideoEncodeWorkerConfig config = MakeEncoderConfig(27, L"H264", 0, 0, -2.0f, 50, 4000, L"High", L"Live");
    config.Preset = L"fast";
    ASSERT_EQ(worker.CopyInConfiguration(&config), 0);
    worker.SetInputParameters(MakeInputParams(64, 48, 25.0f), 0);
    ASSERT_EQ(worker.Initialize(0, 0), 0);
    EXPECT_EQ(worker.opened.width, 64);
    EXPECT_EQ(worker.opened.height, 48);
    EXPECT_EQ(worker.opened.bitRate, 4000000);
    EXPECT_FLOAT_EQ(worker.opened.frameRate, 25.0f);
    EXPECT_EQ(worker.opened.gopSize, 50);
    EXPECT_EQ(worker.opened.pixelFormat, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(worker.opened.secondName, L"fast");
    EXPECT_EQ(worker.opened.options, L"Live");
    const stStreamParams output = worker.GetOutputParameters();
    EXPECT_EQ(output.width, 64);
    EXPECT_EQ(output.height, 48);
    EXPECT_FLOAT_EQ(output.frameRate, 25.0f);
    EXPECT_EQ(output.timeBase.num, 1);
    EXPECT_EQ(output.timeBase.den, 1000000);
    ASSERT_EQ(output.extradataSize, 4);
    EXPECT_EQ(output.extradata[3], 'g');
    // A second Initialize replaces the header copy (ASan sees a leak or a double free).
    ASSERT_EQ(worker.Initialize(0, 0), 0);
    EXPECT_EQ(worker.GetOutputParameters().extradataSize, 4);
}

TEST_F(VEncWorkerTest, ReorderedOutputsGetRisingDtsNeverAfterTheirPts)
{
    std::vector<FramePackage> sent = EncodeReordered({0, 1, 2, 3, 4, 5, 6, 7});
    ASSERT_EQ(sent.size(), 8u);
    const int64_t base = sent[0].pts;
    const int64_t expectedPts[8] = {0, 3, 1, 2, 4, 7, 5, 6};
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].pts - base, expectedPts[i] * kFrameUs) << i;
        EXPECT_LE(sent[i].dts, sent[i].pts) << i;
        if (i > 0) {
            EXPECT_EQ(sent[i].dts - sent[i - 1].dts, kFrameUs) << i;
        }
        EXPECT_EQ(sent[i].flags & TYX_PKT_FLAG_KEY, (i % 4 == 0) ? TYX_PKT_FLAG_KEY : 0) << i;
        EXPECT_EQ(sent[i].kind, TYX_PKT_KIND_CODED_VIDEO);
        EXPECT_EQ(sent[i].inDevice, 0);
        EXPECT_EQ(sent[i].width, 64);
    }
    EXPECT_EQ(sent[0].dts, base - kFrameUs);
    FreeAll(sent);
}

// Pictures that left seldom (a source or a mux that could not keep its pace) keep their stamps:
// the decode stamps follow them across the gap instead of counting one frame per output and
// falling behind, which would make the recording play shorter than the time it holds.
TEST_F(VEncWorkerTest, DecodeStampsFollowAGapInThePictureStamps)
{
    // More than half a second missing: the encoder does not fill it.
    std::vector<FramePackage> sent = EncodeReordered({0, 1, 2, 3, 20, 21, 22, 23});
    const stPackagesFreer freer{sent};
    // The n-th output decodes at the stamp of the picture handed over one place (the reordering)
    // before the n-th.
    ExpectStamps(sent, {0, 3, 1, 2, 20, 23, 21, 22}, {-1, 0, 1, 2, 3, 20, 21, 22});
}

// A stall of 0.6 s between two pictures of one reordering group: the picture coded after the first
// one past the gap is displayed before the gap, and its decode stamp must not pass its pts (a
// writer would show it late by the gap).
TEST_F(VEncWorkerTest, DecodeStampsStayBeforeTheirPtsWhenAGroupSpansAStall)
{
    std::vector<FramePackage> sent = EncodeReordered({0, 1, 2, 3, 4, 5, 21, 22});
    const stPackagesFreer freer{sent};
    ExpectStamps(sent, {0, 3, 1, 2, 4, 22, 5, 21}, {-1, 0, 1, 2, 3, 4, 5, 21});
}

// A source whose stamps went back (a camera that restarted, its reader not yet re-anchored): no
// picture reaches the encoder at or before the stamp of the one before it, so every coded picture
// decodes before its display and after the one before it, and no writer has to clamp a stamp.
TEST_F(VEncWorkerTest, PicturesStampedAtOrBeforeTheOneBeforeAreNotEncoded)
{
    for (const bool reorder : {false, true}) {
        SCOPED_TRACE(reorder ? "reordering encoder" : "encoder in display order");
        stEncoderLinks links;
        CFedScripted worker(kEncoderId, &links.inputs, &links.consumers);
        Configure(worker);
        worker.reorder = reorder;
        ASSERT_EQ(worker.Initialize(0, 0), 0);
        for (int32_t n : {0, 1, 2, 3, 4, 5, 6, 7, 2, 3, 7, 8, 9, 10, 11})
            worker.feed.push_back(HostPicture(n));
        worker.feed.push_back(EndPackage());
        EXPECT_EQ(worker.WorkingFunc(), 0u);
        std::vector<FramePackage> sent = links.TakeSent();
        const stPackagesFreer freer{sent};
        EXPECT_TRUE(DecodeStampsHold(sent));
        std::set<int64_t> shown;
        for (const FramePackage &packet : sent)
            EXPECT_TRUE(shown.insert(packet.pts).second) << "two pictures at " << packet.pts;
        EXPECT_EQ(shown.size(), 12u);
    }
}

// A picture that fails to encode never comes out: the decode stamps after it keep their place
// instead of lagging a frame more for every failure.
TEST_F(VEncWorkerTest, AFailedEncodeLeavesTheLaterDecodeStampsInPlace)
{
    std::vector<FramePackage> sent = EncodeReordered({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}, {2, 7});
    const stPackagesFreer freer{sent};
    // Handed over: 0 1 3 4 | 5 6 8 9 | 10 11 12 13; coded I P B B each.
    ExpectStamps(sent, {0, 4, 1, 3, 5, 9, 6, 8, 10, 13, 11, 12}, {-1, 0, 1, 3, 4, 5, 6, 8, 9, 10, 11, 12});
}

// A producer at the encoder's own rate that left two pictures out (a mux on a slow machine): the
// encoder repeats the picture before the gap for their time, so its output keeps the rate it
// declares and the picture after the gap is not shown before its time.
TEST_F(VEncWorkerTest, AShortGapAtTheEncodersOwnRateIsFilledWithThePictureBeforeIt)
{
    CFedScripted worker(kEncoderId, &m_links.inputs, &m_links.consumers);
    Configure(worker);
    ASSERT_EQ(worker.Initialize(0, 0), 0);
    for (int32_t n : {0, 1, 2, 5, 6})
        worker.feed.push_back(HostPicture(n));
    worker.feed.push_back(EndPackage());
    EXPECT_EQ(worker.WorkingFunc(), 0u);
    std::vector<FramePackage> sent = m_links.TakeSent();
    ASSERT_EQ(sent.size(), 7u);
    for (size_t i = 0; i < sent.size(); ++i)
        EXPECT_EQ(sent[i].pts - sent[0].pts, static_cast<int64_t>(i) * kFrameUs) << i;
    const int32_t shown[7] = {0, 1, 2, 2, 2, 5, 6};
    ASSERT_EQ(worker.pictures.size(), 7u);
    for (size_t i = 0; i < worker.pictures.size(); ++i)
        EXPECT_TRUE(worker.pictures[i] == MakePattern(64, 48, shown[i])) << "slot " << i << " shows another picture";
    FreeAll(sent);
}

// A writer expresses the stamps in the time base the encoder declares, from an origin it shares
// with the sound (which here began 13 ms before the first picture): every picture keeps its time
// there, and no two pictures meet, whatever the rate.
TEST_F(VEncWorkerTest, TheDeclaredTimeBaseKeepsEveryStampAsItIs)
{
    for (const float rate : {25.0f, 29.97f, -2.0f}) {
        stEncoderLinks links;
        CFedScripted worker(kEncoderId, &links.inputs, &links.consumers);
        const stVideoEncodeWorkerConfig config = MakeEncoderConfig(27, L"H264", 64, 48, rate, 50, 4000);
        ASSERT_EQ(worker.CopyInConfiguration(&config), 0);
        const float inputRate = rate > 0.0f ? rate : 25.0f;
        worker.SetInputParameters(MakeInputParams(64, 48, inputRate), 0);
        ASSERT_EQ(worker.Initialize(0, 0), 0);
        const double frame = 1000000.0 / inputRate;
        const int64_t origin = 1000000000;
        for (int32_t n = 0; n < 90; ++n) {
            FramePackage picture = HostPicture(n);
            picture.pts = origin + 13000 + std::llround(n * frame);
            picture.duration = std::llround(frame);
            worker.feed.push_back(picture);
        }
        worker.feed.push_back(EndPackage());
        EXPECT_EQ(worker.WorkingFunc(), 0u);
        std::vector<FramePackage> sent = links.TakeSent();
        const stPackagesFreer freer{sent};
        ASSERT_GE(sent.size(), 85u) << rate;
        const stTimeBase base = worker.GetOutputParameters().timeBase;
        ASSERT_GT(base.num, 0);
        ASSERT_GT(base.den, 0);
        const auto units = [&](int64_t us) {
            return std::llround(static_cast<double>(us - origin) * base.den / (base.num * 1000000.0));
        };
        for (size_t i = 0; i < sent.size(); ++i) {
            const double back = static_cast<double>(units(sent[i].pts)) * base.num * 1000000.0 / base.den;
            EXPECT_LE(std::fabs(back - static_cast<double>(sent[i].pts - origin)), 1000.0)
                << "picture " << i << " at " << rate << " fps";
            if (i > 0) {
                EXPECT_GT(units(sent[i].dts), units(sent[i - 1].dts)) << "picture " << i << " at " << rate << " fps";
            }
        }
    }
}

TEST_F(VEncWorkerTest, ABacklogOfFifteenIsDroppedUnencoded)
{
    CLogCapture log;
    CScriptedEncoder worker(kEncoderId, &m_links.inputs, &m_links.consumers);
    Configure(worker);
    ASSERT_EQ(worker.Initialize(0, 0), 0);
    {
        CCsLock lock(*m_links.input.queueLock);
        for (int32_t n = 0; n < 16; ++n)
            m_links.input.queue->push_back(HostPicture(n));
        m_links.input.queue->push_back(EndPackage());
    }
    EXPECT_EQ(worker.WorkingFunc(), 0u);
    // 17, 16 and 15 queued: dropped; 14 down to 2: encoded.
    EXPECT_EQ(worker.encoded, 13);
    EXPECT_EQ(worker.flushes, 1);
    EXPECT_TRUE(log.Contains(L"Encoding thread[WID=134283264] is exiting with 16 frames encoded.", 5));
    std::vector<FramePackage> sent = m_links.TakeSent();
    EXPECT_EQ(sent.size(), 13u);
    FreeAll(sent);
}

TEST_F(VEncWorkerTest, WithoutConsumerNothingIsEncodedNotEvenTheEnd)
{
    CTYXWorker::ConsumerLinkMap none;
    auto worker = std::make_shared<CFedScripted>(kEncoderId, &m_links.inputs, &none);
    Configure(*worker);
    ASSERT_EQ(worker->Initialize(0, 0), 0);
    for (int32_t n = 0; n < 3; ++n)
        worker->feed.push_back(HostPicture(n));
    worker->feed.push_back(EndPackage());
    std::promise<void> drained;
    worker->onEmpty = [&drained, once = false]() mutable {
        if (!once)
            drained.set_value();
        once = true;
    };
    ASSERT_GT(worker->StartWorkingThread(0, 0), 0);
    ASSERT_EQ(worker->ResumeWorkingThread(), 0);
    drained.get_future().wait();
    EXPECT_EQ(worker->WaitThreadExit(5000), 0);
    EXPECT_EQ(worker->encoded, 0);
    EXPECT_EQ(worker->flushes, 0);
    EXPECT_EQ(worker->received, 4);
}

TEST_F(VEncWorkerTest, StatusAndShortPicturesAreSkippedAnEmptyPackageEndsAfterAFlush)
{
    CLogCapture log;
    CFedScripted worker(kEncoderId, &m_links.inputs, &m_links.consumers);
    Configure(worker);
    worker.reorder = true; // keeps pictures back, so the flush has something
    ASSERT_EQ(worker.Initialize(0, 0), 0);
    worker.feed.push_back(HostPicture(0));
    FramePackage status;
    status.nLength = TYX_SRC_CLOSED;
    worker.feed.push_back(status);
    FramePackage cut = HostPicture(1);
    cut.nLength = 64 * 48; // says 64x48 but holds only the luma plane
    worker.feed.push_back(cut);
    worker.feed.push_back(HostPicture(2));
    worker.feed.push_back(EndPackage());
    worker.feed.push_back(HostPicture(3)); // never taken: the thread has ended
    EXPECT_EQ(worker.WorkingFunc(), 0u);
    EXPECT_TRUE(log.Contains(L"Package without picture (length=-92) skipped.", 4));
    EXPECT_TRUE(log.Contains(L"Error! The input data length(3072) < required input frame size(4608)!", 3));
    EXPECT_EQ(worker.encoded, 3) << "the time of the skipped picture is filled with a repeat of the one before";
    EXPECT_EQ(worker.flushes, 1);
    EXPECT_EQ(worker.feed.size(), 1u);
    std::vector<FramePackage> sent = m_links.TakeSent();
    EXPECT_TRUE(sent.empty()); // what the flush gave back is freed, not sent
    FreeAll(sent);
}

// A stop between two pictures: the pictures the encoder still holds back for its reordering are
// coded and reach the consumer before the thread ends, each with its own stamp, in decode order.
TEST_F(VEncWorkerTest, AStopSendsThePicturesTheEncoderStillHolds)
{
    CLogCapture log;
    CFedScripted worker(kEncoderId, &m_links.inputs, &m_links.consumers);
    Configure(worker);
    worker.reorder = true;
    ASSERT_EQ(worker.Initialize(0, 0), 0);
    for (int32_t n = 0; n < 7; ++n)
        worker.feed.push_back(HostPicture(n));
    worker.onEmpty = [&worker] { worker.RequestThreadExit(); }; // all seven taken
    EXPECT_EQ(worker.WorkingFunc(), 0u);
    EXPECT_EQ(worker.flushes, 1);
    std::vector<FramePackage> sent = m_links.TakeSent();
    const stPackagesFreer freer{sent};
    // The group 4 5 6 was held: it comes after the first group, in the order the flush gives it.
    ExpectStamps(sent, {0, 3, 1, 2, 4, 5, 6}, {-1, 0, 1, 2, 3, 4, 5});
    EXPECT_EQ(worker.EncodedCount(), 7);
    EXPECT_TRUE(log.Contains(L"3 coded pictures the encoder held sent at the stop.", 6));
    EXPECT_TRUE(log.Contains(L"Encoding thread[WID=134283264] is exiting with 7 frames encoded.", 5));
}

// The exit event seen while a pass sends its outputs, in a pass that doubles its picture (25 fps
// taken, 30 fps coded): the output at hand and the rest of the pass are still coded and sent. The
// closing line is left out, as for every exit seen there.
TEST_F(VEncWorkerTest, AStopInTheMiddleOfAPassStillSendsEveryPictureTaken)
{
    CLogCapture log;
    CFedScripted worker(kEncoderId, &m_links.inputs, &m_links.consumers);
    Configure(worker, 64, 48, 30.0f);
    ASSERT_EQ(worker.Initialize(0, 0), 0);
    for (int32_t n = 0; n < 12; ++n)
        worker.feed.push_back(HostPicture(n));
    std::vector<int64_t> committed;
    worker.onEncode = [&](const FramePackage &package) {
        committed.push_back(package.pts);
        // The eighth picture taken is the nearest to the ninth and tenth slots of 30 fps.
        if (committed.size() == 9)
            worker.RequestThreadExit();
    };
    EXPECT_EQ(worker.WorkingFunc(), 0u);
    EXPECT_EQ(worker.flushes, 1);
    EXPECT_EQ(worker.feed.size(), 4u) << "no picture is taken after the stop";
    ASSERT_EQ(committed.size(), 10u) << "the pass goes on to its end";
    EXPECT_NEAR(static_cast<double>(committed[9] - committed[8]), 33333.0, 1.0) << "one 30 fps slot apart";
    std::vector<FramePackage> sent = m_links.TakeSent();
    const stPackagesFreer freer{sent};
    std::vector<int64_t> sentPts;
    for (const FramePackage &packet : sent)
        sentPts.push_back(packet.pts);
    EXPECT_EQ(sentPts, committed);
    EXPECT_TRUE(DecodeStampsHold(sent));
    EXPECT_TRUE(log.Contains(L"Received exit signal, exiting...", 6));
    EXPECT_FALSE(log.Contains(L"is exiting with", 5));
}

TEST_F(VEncWorkerTest, ATextAddedWhileEncodingIsDrawnFromTheNextPicture)
{
    CFedScripted worker(kEncoderId, &m_links.inputs, &m_links.consumers);
    Configure(worker);
    auto writer = std::make_shared<COsdWriter>(false, std::make_shared<CFakeGlyphSource>());
    ASSERT_NE(worker.SetOsdWriter(writer, TYX_OVERLAY_INPUT, 0), nullptr);
    ASSERT_EQ(worker.Initialize(0, 0), 0);
    std::vector<bool> untouched;
    worker.onEncode = [&](const FramePackage &package) {
        const std::vector<uint8_t> pattern = MakePattern(64, 48, static_cast<int32_t>(untouched.size()));
        untouched.push_back(std::equal(pattern.begin(), pattern.end(), package.pData));
        if (untouched.size() == 1) {
            // As a remote command would, between two pictures.
            EXPECT_EQ(writer->AddOsd(1, OSD_CONTENT_STATIC_TEXT, ArialFont(), OSD_COLOR_RED, OSD_POS_CENTER, 0, 0,
                                     false),
                      1);
            writer->SetOsdText(1, L"LIVE");
        }
    };
    for (int32_t n = 0; n < 3; ++n)
        worker.feed.push_back(HostPicture(n));
    worker.feed.push_back(EndPackage());
    EXPECT_EQ(worker.WorkingFunc(), 0u);
    EXPECT_EQ(untouched, (std::vector<bool>{true, false, false}));
    std::vector<FramePackage> sent = m_links.TakeSent();
    FreeAll(sent);
}

TEST_F(VEncWorkerTest, TwentyFiveFramesASecondAreDuplicatedToThirty)
{
    CFedScripted worker(kEncoderId, &m_links.inputs, &m_links.consumers);
    Configure(worker, 64, 48, 30.0f);
    ASSERT_EQ(worker.Initialize(0, 0), 0);
    for (int32_t n = 0; n < 50; ++n)
        worker.feed.push_back(HostPicture(n));
    worker.feed.push_back(EndPackage());
    EXPECT_EQ(worker.WorkingFunc(), 0u);
    // Two seconds of input: 60 pictures at 30 fps, give or take the grid's edges.
    EXPECT_GE(worker.encoded, 58);
    EXPECT_LE(worker.encoded, 61);
    std::vector<FramePackage> sent = m_links.TakeSent();
    EXPECT_EQ(static_cast<int32_t>(sent.size()), worker.encoded);
    for (size_t i = 1; i < sent.size(); ++i)
        EXPECT_GT(sent[i].pts, sent[i - 1].pts);
    FreeAll(sent);
}

TEST_F(VEncWorkerTest, TheThreadRunsOnItsOwnAndEndsAtTheEndOfInput)
{
    auto worker = std::make_shared<CFedScripted>(kEncoderId, &m_links.inputs, &m_links.consumers);
    Configure(*worker);
    ASSERT_EQ(worker->Initialize(0, 0), 0);
    for (int32_t n = 0; n < 5; ++n)
        worker->feed.push_back(HostPicture(n));
    worker->feed.push_back(EndPackage());
    std::promise<void> flushed;
    worker->onFlush = [&flushed] { flushed.set_value(); };
    ASSERT_GT(worker->StartWorkingThread(0, 0), 0);
    ASSERT_EQ(worker->ResumeWorkingThread(), 0);
    flushed.get_future().wait(); // the thread ends by itself right after its flush
    EXPECT_EQ(worker->WaitThreadExit(10000), 0);
    std::vector<FramePackage> sent = m_links.TakeSent();
    EXPECT_EQ(sent.size(), 5u);
    FreeAll(sent);
}

} // namespace
