// The matrix, split and unify workers on real decoded pictures, with their consumers' queues.

#include "DecodedPictures.h"
#include "MuxTestRig.h"
#include "PictureTestUtils.h"

#include "core/TYXUtils.h"
#include "core/TYXWorkerConfig.h"
#include "host/GlobalVars.h"
#include "support/LeakCheck.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "vproc/VideoMatrixWorker.h"
#include "vproc/VideoSplitWorker.h"
#include "vproc/VideoUnifyWorker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

constexpr uint32_t kWorkerId = 0x04020000;

// Links a worker's inputs and output streams to queues the test owns, and runs its thread.
class CWorkerRig
{
public:
    explicit CWorkerRig(const std::vector<uint32_t> &inputs)
    {
        for (uint32_t id : inputs) {
            stWorkerInputLink link;
            link.CreateQueue();
            link.paketKind = TYX_PKT_KIND_RAW_VIDEO;
            m_links[id] = link;
        }
    }
    ~CWorkerRig()
    {
        Stop();
        for (auto &[id, link] : m_consumers)
            Drain(link);
        for (auto &[id, link] : m_links)
            Drain(link);
    }
    const CTYXWorker::InputLinkMap *Links() const { return &m_links; }
    void Attach(const std::shared_ptr<CTYXWorker> &worker) { m_worker = worker; }
    int32_t Consume(uint32_t outputStreamId, uint32_t consumerId)
    {
        stWorkerConsumerLink &link = m_consumers[consumerId];
        link.CreateQueue();
        link.consumerId = consumerId;
        link.paketKind = TYX_PKT_KIND_RAW_VIDEO;
        return m_worker->SetConsumerLink(outputStreamId, consumerId, &link);
    }
    bool Run()
    {
        if (m_worker->StartWorkingThread(0, 0) <= 0)
            return false;
        m_worker->ResumeWorkingThread();
        m_running = true;
        return true;
    }
    void Stop()
    {
        if (m_worker && m_running)
            m_worker->WaitThreadExit(5000);
        m_running = false;
        if (m_worker)
            m_worker->unInitialize();
    }
    void Feed(uint32_t input, FramePackage package)
    {
        stWorkerInputLink &link = m_links[input];
        CCsLock lock(*link.queueLock);
        link.queue->push_back(package);
    }
    size_t Queued(uint32_t consumerId)
    {
        stWorkerConsumerLink &link = m_consumers[consumerId];
        CCsLock lock(*link.queueLock);
        return link.queue->size();
    }
    std::vector<FramePackage> Take(uint32_t consumerId, size_t count, int timeoutMs = kTestWaitMs)
    {
        WaitFor([&] { return Queued(consumerId) >= count; }, timeoutMs);
        std::vector<FramePackage> taken;
        stWorkerConsumerLink &link = m_consumers[consumerId];
        CCsLock lock(*link.queueLock);
        taken.assign(link.queue->begin(), link.queue->end());
        link.queue->clear();
        return taken;
    }
    static void Free(std::vector<FramePackage> &packages)
    {
        for (FramePackage &package : packages)
            FreeFramePackage(package);
        packages.clear();
    }

private:
    static void Drain(stWorkerLink &link)
    {
        if (!link.HasQueue())
            return;
        CCsLock lock(*link.queueLock);
        for (FramePackage &package : *link.queue)
            FreeFramePackage(package);
        link.queue->clear();
    }

    CTYXWorker::InputLinkMap m_links;
    std::map<uint32_t, stWorkerConsumerLink> m_consumers;
    std::shared_ptr<CTYXWorker> m_worker;
    bool m_running = false;
};

class RoutingWorkersTest : public CLeakCheckedTest
{
protected:
    static void SetUpTestSuite()
    {
        s_folder = new CTempDir();
        s_pictures = new std::vector<stDecodedPicture>(DecodeTestClip(s_folder->Path(), "split640", 640, 360, 30, 2));
    }
    static void TearDownTestSuite()
    {
        delete s_pictures;
        delete s_folder;
    }
    void SetUp() override
    {
        CLeakCheckedTest::SetUp();
        CTYXGVMS::ResetForTests();
        ASSERT_EQ(s_pictures->size(), 2u);
    }
    void TearDown() override
    {
        CTYXGVMS::ResetForTests();
        CLeakCheckedTest::TearDown();
    }
    static const stDecodedPicture &Picture(int index = 0) { return (*s_pictures)[static_cast<size_t>(index)]; }

    static CTempDir *s_folder;
    static std::vector<stDecodedPicture> *s_pictures;
};

CTempDir *RoutingWorkersTest::s_folder = nullptr;
std::vector<stDecodedPicture> *RoutingWorkersTest::s_pictures = nullptr;

// ---- the matrix ----

TEST(VVMatrix, OutputsAreNumberedAndCounted)
{
    CVVMatrix matrix;
    EXPECT_EQ(matrix.SetInputInfo(0, {}), -1);
    EXPECT_EQ(matrix.SetInputInfo(11, {}), 1);
    EXPECT_EQ(matrix.SetInputInfo(12, {}), 2);
    EXPECT_EQ(matrix.SetInputInfo(11, {640, 360}), 0) << "a known input is updated";
    stVVMatrixInputInfo info;
    ASSERT_TRUE(matrix.GetInputInfo(11, info));
    EXPECT_EQ(info.width, 640);
    EXPECT_EQ(matrix.SetOutputInput(-1, 11), 0) << "the lowest free number";
    EXPECT_EQ(matrix.SetOutputInput(-1, 11), 1);
    EXPECT_EQ(matrix.SetOutputInput(1, 12), 0) << "an output that exists keeps its input";
    EXPECT_EQ(matrix.CopyOutputMap()[1], 11);
    EXPECT_EQ(matrix.SetOutputInput(5, -3), 5);
    EXPECT_EQ(matrix.CopyOutputMap()[5], 0) << "no input";
    EXPECT_EQ(matrix.UsageOf(11), 2);
    EXPECT_EQ(matrix.UsageOf(12), 0);
}

TEST(VVMatrix, DetachMovesOutputsToAFreeInputOrRefuses)
{
    CVVMatrix matrix;
    for (int32_t id : {11, 12, 13})
        matrix.SetInputInfo(id, {});
    for (int16_t o : {1, 2, 3})
        matrix.SetOutputInput(o, 11);
    matrix.SetOutputInput(4, 12);
    EXPECT_EQ(matrix.DetachInput(0, 0), -1);
    EXPECT_EQ(matrix.DetachInput(11, 11), -1) << "an input cannot replace itself";
    EXPECT_EQ(matrix.DetachInput(11, 99), TYX_VVM_ERR_NO_INPUT);
    EXPECT_EQ(matrix.DetachInput(11, 0), 3) << "the three outputs take the first input nobody carries";
    EXPECT_EQ(matrix.UsageOf(13), 3);
    EXPECT_FALSE(matrix.HasInput(11));
    for (int16_t o : {1, 2, 3})
        EXPECT_EQ(matrix.CopyOutputMap()[o], 13);
    EXPECT_EQ(matrix.DetachInput(13, 0), TYX_VVM_ERR_NO_FREE_INPUT) << "every input is carried";
    EXPECT_EQ(matrix.CopyOutputMap()[1], 13) << "and nothing changed";
    matrix.SetInputInfo(14, {});
    EXPECT_EQ(matrix.DetachInput(14, 0), 0) << "an input no output carries only leaves";
    EXPECT_FALSE(matrix.HasInput(14));
}

TEST(VVMatrix, ConcurrentChangesDoNotDeadlock)
{
    CVVMatrix matrix;
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i)
            matrix.SetOutputInput(-1, 100 + i % 7);
        stop = true;
    });
    int32_t id = 100;
    while (!stop) {
        matrix.SetInputInfo(id, {});
        matrix.SetInputInfo(id + 1, {});
        (void)matrix.DetachInput(id, 0);
        id += 2;
    }
    writer.join();
    SUCCEED();
}

TEST_F(RoutingWorkersTest, MatrixRoutesEveryPackageToEveryOutputCarryingIt)
{
    const uint32_t in1 = 0x02010001;
    const uint32_t in2 = 0x02020001;
    CWorkerRig rig({in1, in2});
    auto matrix = std::make_shared<CVideoMatrixWorker>(kWorkerId, rig.Links(), nullptr);
    rig.Attach(matrix);
    stVideoMidProcWorkerConfig config;
    config.Name = L"VMtxTest";
    config.WorkerId = static_cast<int32_t>(kWorkerId);
    config.MPType = TYX_MP_MATRIX;
    config.MatrixInputs = {{1, static_cast<int32_t>(in1)}, {2, static_cast<int32_t>(in2)}};
    config.MatrixOutputs = {{1, 1}, {2, 1}, {3, 2}, {0, 1}, {4, 9}};
    config.BuildIOItems();
    EXPECT_EQ(matrix->CopyInConfiguration(nullptr), -1);
    ASSERT_EQ(matrix->CopyInConfiguration(&config), 0);
    const std::map<int16_t, int32_t> outputs = matrix->Matrix().CopyOutputMap();
    EXPECT_EQ(outputs.size(), 3u) << "output 0 and an output naming no input are left out";
    EXPECT_EQ(matrix->DetachInput(0x7777, 0), TYX_MATRIX_ERR_NO_LINK);
    EXPECT_EQ(matrix->DetachInput(in1, 0x7777), TYX_MATRIX_ERR_NO_LINK);
    ASSERT_EQ(rig.Consume(kWorkerId + 1, 0x06010000), 0);
    ASSERT_EQ(rig.Consume(kWorkerId + 2, 0x06020000), 0);
    ASSERT_EQ(matrix->Initialize(1, 0), 0);
    CLogCapture log;
    ASSERT_TRUE(rig.Run());
    rig.Feed(in1, DevicePackageOf(Picture(0), 1000));
    rig.Feed(in1, DevicePackageOf(Picture(1), 2000));
    FramePackage status;
    status.nLength = TYX_SRC_CONNECTING;
    rig.Feed(in1, status);
    rig.Feed(in2, DevicePackageOf(Picture(0), 3000)); // carried by output 3, which has no consumer
    std::vector<FramePackage> first = rig.Take(0x06010000, 3);
    std::vector<FramePackage> second = rig.Take(0x06020000, 3);
    ASSERT_EQ(first.size(), 3u);
    ASSERT_EQ(second.size(), 3u);
    EXPECT_EQ(DownloadPackage(first[0]), Picture(0).i420);
    EXPECT_EQ(DownloadPackage(second[1]), Picture(1).i420);
    EXPECT_NE(first[0].pData, second[0].pData) << "each consumer has its own copy";
    EXPECT_EQ(first[2].nLength, TYX_SRC_CONNECTING) << "status packages are routed too";
    EXPECT_TRUE(WaitFor([&] { return log.Contains(L"Invalid Frame package!", 3); }));
    ASSERT_TRUE(WaitFor([&] { return matrix->GetInputStatistics(in2)[in2].packetsIn == 1; }));
    EXPECT_EQ(matrix->GetInputStatistics(in1)[in1].packetsIn, 3) << "counted once, whatever the outputs";
    EXPECT_EQ(matrix->GetInputStatistics(in1)[in1].dataPacketsIn, 2);
    CWorkerRig::Free(first);
    CWorkerRig::Free(second);
}

// ---- the split worker ----

stVideoMidProcWorkerConfig SplitConfig(const std::vector<std::array<int16_t, 4>> &regions)
{
    stVideoMidProcWorkerConfig config;
    config.Name = L"VmpVSplitter";
    config.WorkerId = static_cast<int32_t>(kWorkerId);
    config.MPType = TYX_MP_SPLIT;
    config.SingleInput.VideoSource = 0x02010001;
    int16_t number = 1;
    for (const auto &region : regions) {
        stSplitOutputConfig output;
        output.StreamId = static_cast<int32_t>(kWorkerId) + number;
        output.RegionLeft = region[0];
        output.RegionTop = region[1];
        output.RegionWidth = region[2];
        output.RegionHeight = region[3];
        output.Alias = L"Part" + std::to_wstring(number);
        config.SingleInput.Outputs[number++] = output;
    }
    config.BuildIOItems();
    return config;
}

TEST_F(RoutingWorkersTest, SplitCutsEachPictureIntoItsOutputs)
{
    const uint32_t input = 0x02010001;
    CWorkerRig rig({input});
    auto split = std::make_shared<CVideoSplitWorker>(kWorkerId, rig.Links(), nullptr);
    rig.Attach(split);
    CLogCapture log;
    const stVideoMidProcWorkerConfig config = SplitConfig({{0, 0, 320, 180}, {328, 180, 312, 180}, {480, 300, 320, 180}});
    ASSERT_EQ(split->CopyInConfiguration(&config), 0);
    EXPECT_EQ(split->SplitList()[1].left, 320) << "cut to the 16-pixel grid";
    EXPECT_EQ(split->SplitList()[1].width, 304);
    EXPECT_TRUE(log.Contains(L"cut to (L=320, W=304)", 3));
    EXPECT_EQ(split->Initialize(1, 0), -1) << "the input size is not known yet";
    stStreamParams params;
    params.width = 640;
    params.height = 360;
    split->SetInputParameters(params, input);
    ASSERT_EQ(split->Initialize(1, 0), 0);
    for (int n = 1; n <= 3; ++n)
        ASSERT_EQ(rig.Consume(kWorkerId + static_cast<uint32_t>(n), 0x06000000u + static_cast<uint32_t>(n)), 0);
    ASSERT_TRUE(rig.Run());
    rig.Feed(input, DevicePackageOf(Picture(0), 5000));
    std::vector<FramePackage> top = rig.Take(0x06000001, 1);
    std::vector<FramePackage> middle = rig.Take(0x06000002, 1);
    ASSERT_EQ(top.size(), 1u);
    ASSERT_EQ(middle.size(), 1u);
    EXPECT_EQ(top[0].pts, 5000);
    ExpectSameI420(DownloadPackage(top[0]), CropI420(Picture(0).i420, 640, 360, 0, 0, 320, 180), 320, 180);
    ExpectSameI420(DownloadPackage(middle[0]), CropI420(Picture(0).i420, 640, 360, 320, 180, 304, 180), 304, 180);
    SavePictureAsPng(DownloadPackage(middle[0]), 304, 180, "split_middle");
    EXPECT_TRUE(WaitFor([&] { return log.Contains(L"with partially output[2] got!", 3); }))
        << "the output past the right edge is skipped";
    EXPECT_EQ(rig.Queued(0x06000003), 0u);
    CWorkerRig::Free(top);
    CWorkerRig::Free(middle);
}

TEST_F(RoutingWorkersTest, SplitWithEveryOutputOutsideDropsThePictures)
{
    const uint32_t input = 0x02010001;
    CWorkerRig rig({input});
    auto split = std::make_shared<CVideoSplitWorker>(kWorkerId, rig.Links(), nullptr);
    rig.Attach(split);
    const stVideoMidProcWorkerConfig config = SplitConfig({{640, 0, 320, 180}});
    ASSERT_EQ(split->CopyInConfiguration(&config), 0);
    stStreamParams params;
    params.width = 640;
    params.height = 360;
    split->SetInputParameters(params, input);
    ASSERT_EQ(split->Initialize(1, 0), 0);
    ASSERT_EQ(rig.Consume(kWorkerId + 1, 0x06000001), 0);
    CLogCapture log;
    ASSERT_TRUE(rig.Run());
    FramePackage status;
    status.nLength = TYX_SRC_CLOSED;
    rig.Feed(input, status); // taken off the queue, so the pictures behind it still come
    rig.Feed(input, DevicePackageOf(Picture(0), 5000));
    EXPECT_TRUE(WaitFor([&] { return log.Contains(L"without any output got, discard the frame!", 3); }));
    EXPECT_EQ(rig.Queued(0x06000001), 0u);
}

// ---- the unify worker ----

stVideoMidProcWorkerConfig UnifyConfig(uint16_t width, uint16_t height, float rate = 0.0f)
{
    stVideoMidProcWorkerConfig config;
    config.Name = L"VUnifyTest";
    config.WorkerId = static_cast<int32_t>(kWorkerId);
    config.MPType = TYX_MP_UNIFY;
    config.SingleInput.VideoSource = 0x02010001;
    config.OutputWidth = width;
    config.OutputHeight = height;
    config.OutputFramerate = rate;
    config.BuildIOItems();
    return config;
}

TEST_F(RoutingWorkersTest, UnifyChecksItsSize)
{
    CWorkerRig rig({0x02010001});
    auto unify = std::make_shared<CVideoUnifyWorker>(kWorkerId, rig.Links(), nullptr);
    EXPECT_EQ(unify->CopyInConfiguration(nullptr), -1);
    stVideoMidProcWorkerConfig config = UnifyConfig(319, 180);
    EXPECT_EQ(unify->CopyInConfiguration(&config), -10);
    config = UnifyConfig(320, 179);
    EXPECT_EQ(unify->CopyInConfiguration(&config), -10);
    config = UnifyConfig(320, 180);
    EXPECT_EQ(unify->CopyInConfiguration(&config), 0);
    config = UnifyConfig(321, 181);
    EXPECT_EQ(unify->CopyInConfiguration(&config), 0);
    EXPECT_EQ(unify->OutputWidth(), 320) << "odd sizes are cut to even ones";
    EXPECT_EQ(unify->OutputHeight(), 180);
}

TEST_F(RoutingWorkersTest, UnifyScalesOrPassesThroughEveryPicture)
{
    const uint32_t input = 0x02010001;
    CWorkerRig rig({input});
    auto unify = std::make_shared<CVideoUnifyWorker>(kWorkerId, rig.Links(), nullptr);
    rig.Attach(unify);
    const stVideoMidProcWorkerConfig config = UnifyConfig(320, 180);
    ASSERT_EQ(unify->CopyInConfiguration(&config), 0);
    ASSERT_EQ(unify->Initialize(1, 0), 0);
    ASSERT_EQ(rig.Consume(kWorkerId + 1, 0x06000001), 0);
    ASSERT_TRUE(rig.Run());
    FramePackage status;
    status.nLength = TYX_SRC_CONNECTING;
    rig.Feed(input, status);
    rig.Feed(input, DevicePackageOf(Picture(0), 1000));
    const std::vector<uint8_t> small = CropI420(Picture(1).i420, 640, 360, 0, 0, 320, 180);
    stDecodedPicture atSize{320, 180, small};
    rig.Feed(input, DevicePackageOf(atSize, 2000));
    std::vector<FramePackage> outputs = rig.Take(0x06000001, 2);
    ASSERT_EQ(outputs.size(), 2u) << "no frame rate configured: one output per picture";
    EXPECT_EQ(outputs[0].width, 320);
    EXPECT_EQ(outputs[0].height, 180);
    uint8_t *expected = nullptr;
    FramePackage source = DevicePackageOf(Picture(0), 0);
    ASSERT_EQ(CTYXUtils::ScaleFrameGPU(0, source.pData, 640, 360, 0, true, &expected, 320, 180, true), 320 * 180 * 3 / 2);
    std::vector<uint8_t> reference(320 * 180 * 3 / 2);
    DevMemcpy(reference.data(), expected, reference.size(), EGpuCopyKind::DeviceToHost);
    ReleaseFramePackageData(expected, true);
    FreeFramePackage(source);
    ExpectSameI420(DownloadPackage(outputs[0]), reference, 320, 180);
    EXPECT_EQ(DownloadPackage(outputs[1]), small) << "a picture at the output size passes unscaled";
    EXPECT_EQ(outputs[1].pts, 2000);
    CWorkerRig::Free(outputs);
}

TEST_F(RoutingWorkersTest, UnifyBringsTheInputToItsFrameRate)
{
    const uint32_t input = 0x02010001;
    CWorkerRig rig({input});
    auto unify = std::make_shared<CVideoUnifyWorker>(kWorkerId, rig.Links(), nullptr);
    rig.Attach(unify);
    const stVideoMidProcWorkerConfig config = UnifyConfig(320, 180, 50.0f);
    ASSERT_EQ(unify->CopyInConfiguration(&config), 0);
    stStreamParams params;
    params.width = 320;
    params.height = 180;
    params.frameRate = 25.0f;
    unify->SetInputParameters(params, input);
    ASSERT_EQ(unify->Initialize(1, 0), 0);
    ASSERT_EQ(rig.Consume(kWorkerId + 1, 0x06000001), 0);
    ASSERT_TRUE(rig.Run());
    const stDecodedPicture small{320, 180, CropI420(Picture(0).i420, 640, 360, 0, 0, 320, 180)};
    for (int i = 0; i < 4; ++i) {
        FramePackage package = DevicePackageOf(small, 1000000 + i * 40000);
        package.duration = 40000;
        rig.Feed(input, package);
    }
    std::vector<FramePackage> outputs = rig.Take(0x06000001, 6);
    ASSERT_GE(outputs.size(), 6u) << "25 fps in, 50 fps out: each picture twice";
    for (size_t i = 1; i < outputs.size(); ++i)
        EXPECT_EQ(outputs[i].pts - outputs[i - 1].pts, 20000);
    for (const FramePackage &output : outputs)
        EXPECT_EQ(DownloadPackage(output), small.i420);
    CWorkerRig::Free(outputs);
}

} // namespace
