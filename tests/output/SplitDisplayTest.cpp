// The two outputs of one split worker, each in a window of its own on Xvfb, named after the output.

#include "output/DisplayTestSupport.h"
#include "output/OutputTestSupport.h"

#include "core/TYXWorkerConfig.h"
#include "output/RVDOServer.h"
#include "vproc/VideoSplitWorker.h"

#include <gtest/gtest.h>

namespace {

constexpr uint32_t kWorkerId = 0x04020000;
constexpr uint32_t kInput = 0x02010001;

class CShownSplit : public CVideoSplitWorker
{
public:
    using CVideoSplitWorker::CVideoSplitWorker;
    std::shared_ptr<CRVDOServer> Display(int32_t outputStreamId) { return GetRvdoServer(outputStreamId); }
};

stVideoMidProcWorkerConfig TwoWindowSplit()
{
    stVideoMidProcWorkerConfig config;
    config.Name = L"VmpVSplitter";
    config.WorkerId = static_cast<int32_t>(kWorkerId);
    config.MPType = TYX_MP_SPLIT;
    config.SingleInput.VideoSource = static_cast<int32_t>(kInput);
    for (int16_t number = 1; number <= 2; ++number) {
        stSplitOutputConfig output;
        output.StreamId = static_cast<int32_t>(kWorkerId) + number;
        output.RegionLeft = static_cast<int16_t>((number - 1) * 320);
        output.RegionWidth = 320;
        output.RegionHeight = 360;
        output.Alias = L"Half" + std::to_wstring(number);
        output.DirectOutputSettings.DirectOutput = 1;
        output.DirectOutputSettings.outputOn = TYX_DISPLAY_WINDOW;
        output.DirectOutputSettings.WindowWidth = 320;
        output.DirectOutputSettings.WindowHeight = 360;
        config.SingleInput.Outputs[number] = output;
    }
    config.BuildIOItems();
    return config;
}

using SplitDisplayTest = CXvfbTest;

TEST_F(SplitDisplayTest, EachOutputShowsInAWindowNamedAfterIt)
{
    CTYXWorker::InputLinkMap inputs;
    stWorkerInputLink link;
    link.CreateQueue();
    link.paketKind = TYX_PKT_KIND_RAW_VIDEO;
    inputs[kInput] = link;
    auto split = std::make_shared<CShownSplit>(kWorkerId, &inputs, nullptr);
    const stVideoMidProcWorkerConfig config = TwoWindowSplit();
    ASSERT_EQ(split->CopyInConfiguration(&config), 0);
    stStreamParams params;
    params.width = 640;
    params.height = 360;
    split->SetInputParameters(params, kInput);
    ASSERT_EQ(split->Initialize(1, 0), 0);
    ASSERT_GT(split->StartWorkingThread(0, 0), 0);
    split->ResumeWorkingThread();
    const auto shown = [&](int32_t number) {
        const std::shared_ptr<CRVDOServer> display = split->Display(static_cast<int32_t>(kWorkerId) + number);
        return display && display->IsActive() && display->WindowId() != 0;
    };
    ASSERT_TRUE(WaitUntil([&] { return shown(1) && shown(2); })) << "both outputs are shown at once";
    for (int32_t number = 1; number <= 2; ++number) {
        const std::shared_ptr<CRVDOServer> display = split->Display(static_cast<int32_t>(kWorkerId) + number);
        const std::string name = "Half" + std::to_string(number);
        EXPECT_EQ(display->Name(), std::wstring(name.begin(), name.end()));
        EXPECT_EQ(WindowTitle(m_xvfb.Name(), display->WindowId()), name);
    }
    split->WaitThreadExit(5000);
    split->unInitialize();
    CCsLock lock(*link.queueLock);
    for (FramePackage &package : *link.queue)
        FreeFramePackage(package);
    link.queue->clear();
}

} // namespace
