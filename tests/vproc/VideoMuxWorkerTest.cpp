// The mux worker and its mid-processing base: configuration, the pipeline of threads on real
// decoded pictures, status windows, run-time changes, and device memory back where it started.

#include "MuxTestRig.h"
#include "PictureTestUtils.h"
#include "PipWindow.h"

#include "config/GTYXConfigXml.h"
#include "core/TYXUtils.h"
#include "host/GlobalVars.h"
#include "vproc/OsdWriter.h"
#include "support/LeakCheck.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <tuple>

#include <algorithm>
#include <map>

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kQuad = 4;       // "4Divide-Equ"
constexpr int kStandAlone = 1;
constexpr int kNine = 9;       // "9-Divided-Equ"
// Where the clocks the tests move start: any day will do.
constexpr int64_t kStart = 1'800'000'000'000'000;

// Pictures of four sources of different sizes and rates, decoded once for the suite.
struct stClips
{
    std::vector<stDecodedPicture> cif25;   // 352 x 288 at 25 fps
    std::vector<stDecodedPicture> qvga30;  // 320 x 240 at 30 fps
    std::vector<stDecodedPicture> nhd30;   // 640 x 360 at 30 fps: already the window's size
    std::vector<stDecodedPicture> hd30;    // 1280 x 720 at 30 fps
};

class VideoMuxWorkerTest : public CLeakCheckedTest
{
protected:
    static void SetUpTestSuite()
    {
        s_folder = new CTempDir();
        s_clips = new stClips();
        s_clips->cif25 = DecodeTestClip(s_folder->Path(), "cif25", 352, 288, 25, 2);
        s_clips->qvga30 = DecodeTestClip(s_folder->Path(), "qvga30", 320, 240, 30, 2);
        s_clips->nhd30 = DecodeTestClip(s_folder->Path(), "nhd30", 640, 360, 30, 2);
        s_clips->hd30 = DecodeTestClip(s_folder->Path(), "hd30", 1280, 720, 30, 2);
    }
    static void TearDownTestSuite()
    {
        delete s_clips;
        delete s_folder;
    }
    void SetUp() override
    {
        CLeakCheckedTest::SetUp();
        CTYXGVMS::ResetForTests();
        ASSERT_FALSE(s_clips->hd30.empty());
    }
    void TearDown() override
    {
        CTYXGVMS::ResetForTests();
        CLeakCheckedTest::TearDown();
    }
    static const stDecodedPicture &Picture(int input, int index = 0)
    {
        switch (input) {
        case 1: return s_clips->cif25[static_cast<size_t>(index)];
        case 2: return s_clips->qvga30[static_cast<size_t>(index)];
        case 3: return s_clips->nhd30[static_cast<size_t>(index)];
        default: return s_clips->hd30[static_cast<size_t>(index)];
        }
    }
    static std::vector<FramePackage> FourPackages(int index = 0, int64_t pts = GetCurrentTimeUs())
    {
        std::vector<FramePackage> packages;
        for (int n = 1; n <= 4; ++n)
            packages.push_back(DevicePackageOf(Picture(n, index), pts));
        return packages;
    }

    static CTempDir *s_folder;
    static stClips *s_clips;
};

CTempDir *VideoMuxWorkerTest::s_folder = nullptr;
stClips *VideoMuxWorkerTest::s_clips = nullptr;

// Share of the window's luma samples that are not the background.
double LitShare(const std::vector<uint8_t> &window, int width, int height, uint8_t background)
{
    int lit = 0;
    for (int i = 0; i < width * height; ++i)
        lit += std::abs(static_cast<int>(window[static_cast<size_t>(i)]) - background) > 24 ? 1 : 0;
    return static_cast<double>(lit) / (width * height);
}

// ---- configuration and set-up ----

TEST_F(VideoMuxWorkerTest, RefusesBadConfigurationWithItsCodes)
{
    CLogCapture log;
    {
        CMuxRig rig(2, kQuad);
        EXPECT_EQ(rig.Mux().CopyInConfiguration(nullptr), -1);
    }
    {
        CMuxRig rig(2, kQuad, 319, 180);
        EXPECT_EQ(rig.Mux().CopyInConfiguration(&rig.Config()), TYX_MUX_ERR_SIZE);
        EXPECT_TRUE(log.Contains(L"invalid output frame size(W=319, H=180)", 3));
    }
    {
        CMuxRig rig(2, kQuad, 640, 360);
        EXPECT_EQ(rig.Mux().CopyInConfiguration(&rig.Config()), 0) << "the configuration takes 320 x 180 and up";
        EXPECT_EQ(rig.Mux().Initialize(1, 0), TYX_MUX_ERR_SIZE) << "the mux needs 1280 x 720";
        EXPECT_TRUE(log.Contains(L"invalid mux-output frame size(W=640, H=360)", 3));
        rig.Mux().unInitialize();
    }
    {
        CMuxRig rig(2, 7);
        EXPECT_EQ(rig.Mux().CopyInConfiguration(&rig.Config()), 0);
        EXPECT_LT(rig.Mux().Initialize(1, 0), 0) << "a layout id the geometry refuses";
        EXPECT_EQ(rig.Mux().GetInterProcThreadCount(), 0u);
        rig.Mux().unInitialize();
    }
    {
        CMuxRig rig(2, kQuad);
        EXPECT_EQ(rig.Mux().CopyInConfiguration(&rig.Config()), 0);
        DevInjectFault(EDevFault::Context, 1);
        EXPECT_EQ(rig.Mux().Initialize(1, 0), TYX_MP_ERR_CONTEXT);
        rig.Mux().unInitialize();
    }
}

// The bundled sample shows its second clip 32 pixels in from the bottom right corner.
TEST_F(VideoMuxWorkerTest, TheSampleChildWindowLiesItsOffsetInFromItsCorner)
{
    const std::filesystem::path samples = SourceDir() / "samples";
    CTYXGVMS::ProgramFolder() = samples.wstring();
    ASSERT_GT(LoadWorkersConfigXml((samples / "StreamCfg.xml").wstring().c_str()), 0);
    const stVMuxConfig sample = CTYXGVMS::VMPConfigs().at(L"Mux1").MuxSettings;
    ASSERT_EQ(sample.ChildWindows.size(), 1u);
    CMuxRig rig(2, sample.MuxLayout, sample.OutputWidth, sample.OutputHeight);
    rig.Config().MuxSettings.ChildWindows = sample.ChildWindows;
    ASSERT_EQ(rig.Start(false), 0);
    stMuxRegion child;
    ASSERT_TRUE(rig.Mux().Muxer().GetRegion(1, child));
    EXPECT_EQ(child.width, 384);
    EXPECT_EQ(child.height, 216);
    EXPECT_EQ(child.left, 1280 - 384 - 32);
    EXPECT_EQ(child.top, 720 - 216 - 32);
}

// The mux runs at its configured rate and tells its consumers so. The negotiation at start-up gives
// its default (30) whenever readers are configured: taken over a configured 25, it put the mux of
// 25 fps inputs and a 25 fps encoder at 30 groups a second. An encoder told another rate than the
// pictures leave at would stamp more pictures a second than its time base holds apart, and the
// writer would throw coded pictures away.
// A 29.97 source (negotiated or configured) keeps its rate: at 29 the mux would leave out a picture
// a second.
TEST_F(VideoMuxWorkerTest, TheMuxRunsAtItsConfiguredRateAndSaysSo)
{
    constexpr float kNtsc = 30000.0f / 1001.0f;
    for (const auto &[negotiated, configured, paced, duration] :
         {std::tuple{30.0f, 25.0f, 25.0f, 40000}, std::tuple{0.0f, 25.0f, 25.0f, 40000},
          std::tuple{25.0f, 30.0f, 30.0f, 33333}, std::tuple{kNtsc, -2.0f, kNtsc, 33366},
          std::tuple{30.0f, 29.97f, kNtsc, 33366}, std::tuple{0.0f, -2.0f, 30.0f, 33333}}) {
        CMuxRig rig(1, kStandAlone);
        CTYXGVMS::NegotiatedInputFrameRate() = negotiated;
        rig.Config().OutputFramerate = configured;
        ASSERT_EQ(rig.Start(), 0);
        EXPECT_FLOAT_EQ(rig.Mux().GetOutputParameters().frameRate, paced) << negotiated << " " << configured;
        ASSERT_GE(rig.WaitOutputs(1), 1u);
        EXPECT_EQ(rig.Outputs().front().duration, duration) << negotiated << " " << configured;
        EXPECT_EQ(rig.Mux().GetFrameDuration(), duration);
        rig.Stop();
    }
}

TEST_F(VideoMuxWorkerTest, LayoutSettingsAreCheckedAndKept)
{
    CMuxRig rig(2, kQuad);
    CVideoMuxWorker &mux = rig.Mux();
    const std::map<int32_t, int16_t> regions{{static_cast<int32_t>(InputId(1)), 1}};
    EXPECT_EQ(mux.SetMuxLayout(0, regions, nullptr, 2, 9), -1);
    EXPECT_EQ(mux.SetMuxLayout(22, regions, nullptr, 2, 9), -1);
    EXPECT_EQ(mux.SetMuxLayout(kQuad, regions, nullptr, 9, 5), kQuad);
    EXPECT_EQ(mux.GetThreadsPerInput(), 1) << "9 threads per input are refused";
    EXPECT_EQ(mux.GetRingLength(), 9) << "a ring of 5 falls back to 9";
    EXPECT_EQ(mux.SetMuxLayout(kQuad, regions, nullptr, 8, 30), 0) << "the same type changes no map";
    EXPECT_EQ(mux.GetThreadsPerInput(), 8);
    EXPECT_EQ(mux.GetRingLength(), 30);
}

TEST_F(VideoMuxWorkerTest, BaseKeepsStatesWritersAndTheCleanQueue)
{
    CMuxRig rig(2, kQuad);
    CVideoMuxWorker &mux = rig.Mux();
    EXPECT_EQ(mux.PushDvcMem2Clean(nullptr), -1);
    EXPECT_EQ(mux.GetDvcMemCleanQueueLength(), 0);
    ASSERT_EQ(rig.Start(), 0);
    EXPECT_TRUE(mux.HasStatusOsdWriter(static_cast<int32_t>(InputId(1))));
    EXPECT_TRUE(mux.HasStatusOsdWriter(static_cast<int32_t>(InputId(2))));
    stMPInputState state;
    EXPECT_TRUE(mux.GetInputState(static_cast<int32_t>(InputId(1)), state));

    const stWorkerInputLink added = mux.AddInputStream(InputId(3), 0);
    ASSERT_TRUE(added.HasQueue());
    EXPECT_EQ(added.required, 1);
    EXPECT_TRUE(mux.GetInputState(static_cast<int32_t>(InputId(3)), state)) << "an added input gets its state";
    EXPECT_FALSE(mux.HasStatusOsdWriter(static_cast<int32_t>(InputId(3)))) << "but no status writer";
    EXPECT_FALSE(mux.AddInputStream(InputId(3), 0).HasQueue()) << "an input is added once";
    EXPECT_FALSE(mux.AddInputStream(0, 0).HasQueue());

    // Pictures dropped by the time-critical threads wait here; a stop frees whatever is left.
    for (int i = 0; i < 3; ++i) {
        FramePackage picture;
        picture.inDevice = 1;
        ASSERT_GT(AllocFramePackageData(picture, 4096), 0);
        EXPECT_GE(mux.PushDvcMem2Clean(picture.pData), 1);
    }
    EXPECT_EQ(mux.RemoveInputStream(0, nullptr, 0), -1);
    stWorkerInputLink removed;
    EXPECT_EQ(mux.RemoveInputStream(InputId(3), &removed, 0), 2) << "input 3 shows in no window";
    EXPECT_TRUE(removed.HasQueue());
    EXPECT_EQ(mux.RemoveInputStream(InputId(3), nullptr, 0), TYX_MUX_ERR_NO_LINK);
    rig.Stop();
    EXPECT_EQ(mux.GetDvcMemCleanQueueLength(), 0);
}

TEST_F(VideoMuxWorkerTest, StatusTextHeightIsBroughtToWhatTheWriterDraws)
{
    CMuxRig rig(1, kQuad);
    CLogCapture log;
    rig.Mux().CopyInColorSettings(0, 4, 16, 8);
    rig.Mux().CopyInColorSettings(0, 4, 16, 30);
    EXPECT_TRUE(log.Contains(L"status text height 30 cannot be drawn, 28 is used.", 3));
    ASSERT_EQ(rig.Start(), 0);
    rig.FeedStatus(1, TYX_SRC_CONNECTING);
    ASSERT_GE(rig.WaitOutputs(1), 1u);
    EXPECT_FALSE(log.Contains(L"adding failed")) << "every status text is accepted by the writer";
}

// ---- the pipeline ----

// The four pictures are queued together before the clock reaches the next group's slot, so that the
// group holds all four whatever the machine's speed; the groups after it repeat them (the inputs'
// last pictures) one output frame duration apart on the program clock.
TEST_F(VideoMuxWorkerTest, FourInputsOfMixedSizesAreComposedAsTheComposerWould)
{
    CMuxRig rig(4, kQuad);
    rig.UseSteppedClock(kStart);
    ASSERT_EQ(rig.Start(), 0);
    const std::vector<uint8_t> reference =
        ReferenceComposition(kQuad, kWidth, kHeight, {&Picture(1), &Picture(2), &Picture(3), &Picture(4)});
    ASSERT_TRUE(rig.StepToNextGroup([&](int64_t due) {
        if (rig.InputsEmpty())
            rig.FeedAll(FourPackages(0, due - 20000));
    }));
    for (int i = 0; i < 65; ++i)
        ASSERT_TRUE(rig.StepToNextGroup()) << i;
    ASSERT_GE(rig.WaitOutputs(66), 66u);
    const std::vector<FramePackage> &outputs = rig.Outputs();
    EXPECT_EQ(outputs[0].width, kWidth);
    EXPECT_EQ(outputs[0].height, kHeight);
    EXPECT_EQ(outputs[0].nLength, kWidth * kHeight * 3 / 2);
    const std::vector<uint8_t> first = DownloadPackage(outputs[0]);
    SavePictureAsPng(first, kWidth, kHeight, "mux_four_inputs");
    ExpectSameI420(first, reference, kWidth, kHeight);
    ExpectSameI420(DownloadPackage(outputs[30]), reference, kWidth, kHeight);
    int remainders = 0;
    for (size_t i = 1; i < outputs.size(); ++i) {
        const int64_t step = outputs[i].pts - outputs[i - 1].pts;
        EXPECT_TRUE(step == 33333 || step == 33343) << "output " << i << " came " << step << " us after the previous";
        remainders += step == 33343 ? 1 : 0;
        EXPECT_EQ(outputs[i].duration, 33333);
    }
    EXPECT_GE(remainders, 2) << "every 30th group takes the second's remainder";
}

TEST_F(VideoMuxWorkerTest, StatusWindowsShowTheirTexts)
{
    // Nine windows, four inputs: input 1 connecting, input 2 never delivering, input 3 pictures,
    // input 4 not placed; windows 4..9 show no input.
    CMuxRig rig(4, kNine);
    rig.Config().MuxSettings.InputRegions.erase(static_cast<int32_t>(InputId(4)));
    CLogCapture log;
    ASSERT_EQ(rig.Start(), 0);
    rig.FeedStatus(1, TYX_SRC_CONNECTING);
    rig.Feed(3, DevicePackageOf(Picture(3), GetCurrentTimeUs()));
    rig.Feed(4, DevicePackageOf(Picture(4), GetCurrentTimeUs()));
    ASSERT_TRUE(WaitFor([&] { return log.Contains(L"[MakeupPaketsGroup] Error msg(errCode=-90)", 3); }));
    // The groups already in the ring (and the one being made) went before the status.
    const size_t atStatus = rig.WaitOutputs(0) + 10;
    ASSERT_GE(rig.WaitOutputs(atStatus), atStatus);
    const std::vector<uint8_t> canvas = DownloadPackage(rig.Outputs().back());
    SavePictureAsPng(canvas, kWidth, kHeight, "mux_status_windows");
    int w = 0;
    int h = 0;
    const uint8_t black = InitOsgColor(OsgColorCodeToRgb(0)).y;
    const std::vector<uint8_t> connecting = WindowOf(canvas, kWidth, kHeight, kNine, 0, w, h);
    const double text = LitShare(connecting, w, h, black);
    EXPECT_GT(text, 0.002) << "\"Connecting...\" is drawn";
    EXPECT_LT(text, 0.2) << "on a blank window of the default colour";
    EXPECT_GT(LitShare(WindowOf(canvas, kWidth, kHeight, kNine, 1, w, h), w, h, black), 0.002) << "\"Waiting input...\"";
    EXPECT_GT(LitShare(WindowOf(canvas, kWidth, kHeight, kNine, 5, w, h), w, h, black), 0.002) << "\"Input not used.\"";
    EXPECT_TRUE(log.Contains(L"There no mapped-Input  for mux region[9]!", 3));
    EXPECT_TRUE(log.Contains(L"Input " + std::to_wstring(InputId(4)) + L" wasn't used, discard all it's packages."));
    EXPECT_TRUE(log.Contains(L"[MakeupPaketsGroup] Error msg(errCode=-90)", 3));
    stMPInputState state;
    ASSERT_TRUE(rig.Mux().GetInputState(static_cast<int32_t>(InputId(2)), state));
    EXPECT_EQ(state.statusCode, TYX_SRC_WAITING_INPUT);

    // The connecting input comes back: its window shows its picture again.
    rig.Feed(1, DevicePackageOf(Picture(1), GetCurrentTimeUs()));
    ASSERT_TRUE(WaitFor([&] { return log.Contains(L"was recovered from Error(-90)", 3); }));
    ASSERT_TRUE(rig.Mux().GetInputState(static_cast<int32_t>(InputId(1)), state));
    EXPECT_EQ(state.statusCode, 0);
}

TEST_F(VideoMuxWorkerTest, ManyScalingThreadsScaleEveryTaskOnce)
{
    CMuxRig rig(4, kQuad, kWidth, kHeight, 4);
    ASSERT_EQ(rig.Start(), 0);
    EXPECT_EQ(rig.Mux().GetInterProcThreadCount(), 16u);
    {
        CLogCapture log;
        rig.Mux().SetThreadsPriorityAffinity(0, ~uint64_t{0});
        EXPECT_TRUE(log.Contains(L"Mux-Post-Proc-Thread Affinity was set from", 7));
        EXPECT_EQ(log.Count(L"InterProc-Thread"), 16) << "each scaling thread, set or refused, is logged";
    }
    size_t from = 0;
    for (int round = 0; round < 2; ++round) {
        const std::vector<uint8_t> reference = ReferenceComposition(
            kQuad, kWidth, kHeight, {&Picture(1, round), &Picture(2, round), &Picture(3, round), &Picture(4, round)});
        from = rig.WaitForCanvas(reference, from, kTestWaitMs, [&] { rig.FeedAll(FourPackages(round)); });
        ASSERT_NE(from, SIZE_MAX) << "round " << round;
    }
}

TEST_F(VideoMuxWorkerTest, MuxWhoseInputsAllComeLaterStillComposes)
{
    CMuxRig rig(0, kStandAlone);
    CLogCapture log;
    ASSERT_EQ(rig.Start(false), 0);
    // Past the first pass, which empties every queue. A mux without inputs is a state that lasts: it
    // is logged once, not in every pass.
    ASSERT_TRUE(WaitFor([&] { return log.Contains(L"Error(-1) occured in pakets group retrieving!", 3); }));
    ASSERT_TRUE(WaitFor([&] { return log.Count(L"Start checking & received frames from input queques...") >= 10; }));
    EXPECT_EQ(log.Count(L"Error(-1) occured in pakets group retrieving!"), 1);
    EXPECT_EQ(rig.Mux().GetInterProcThreadCount(), 1u) << "threads are made for at least one input";
    const stWorkerInputLink link = rig.Mux().AddInputStream(InputId(4), 1);
    ASSERT_TRUE(link.HasQueue());
    EXPECT_EQ(rig.Mux().ChangeRegionInput(1, static_cast<int32_t>(InputId(4))), 0);
    const auto refeed = [&] {
        CCsLock lock(*link.queueLock);
        if (link.queue->empty())
            link.queue->push_back(DevicePackageOf(Picture(4), GetCurrentTimeUs()));
    };
    EXPECT_NE(rig.WaitForCanvas(Picture(4).i420, 0, kTestWaitMs, refeed), SIZE_MAX) << "the added input fills the whole canvas";
    EXPECT_TRUE(log.Contains(L"Error(-1) in pakets group retrieving ended after", 3));
    rig.Stop();
    CCsLock lock(*link.queueLock);
    for (FramePackage &package : *link.queue)
        FreeFramePackage(package);
    link.queue->clear();
}

TEST_F(VideoMuxWorkerTest, LayoutChangeWhileGroupsAreInFlight)
{
    CMuxRig rig(4, kQuad);
    ASSERT_EQ(rig.Start(), 0);
    ASSERT_NE(rig.WaitForCanvas(ReferenceComposition(kQuad, kWidth, kHeight,
                                                     {&Picture(1), &Picture(2), &Picture(3), &Picture(4)}),
                                0, kTestWaitMs, [&] { rig.FeedAll(FourPackages()); }),
              SIZE_MAX);
    const std::map<int32_t, int16_t> standalone{{static_cast<int32_t>(InputId(4)), 1}};
    EXPECT_EQ(rig.Mux().ChangeMuxLayout(kQuad, standalone, nullptr), kQuad) << "the same type changes nothing";
    EXPECT_EQ(rig.Mux().GetInputRegions().size(), 4u);
    EXPECT_EQ(rig.Mux().ChangeMuxLayout(7, standalone, nullptr), TYX_MUX_ERR_ARGUMENT);
    EXPECT_EQ(rig.Mux().ChangeMuxLayout(10, standalone, nullptr), TYX_MUX_ERR_ARGUMENT);
    EXPECT_EQ(rig.Mux().GetLayoutType(), kQuad) << "a refused type leaves the layout";
    EXPECT_EQ(rig.Mux().ChangeMuxLayout(kStandAlone, standalone, nullptr), kQuad);
    EXPECT_EQ(rig.Mux().GetWindowCount(), 1u);
    // Input 4 keeps coming: its last picture alone would turn to "Waiting input..." on a machine
    // slow enough to take 5 s over the change.
    EXPECT_NE(rig.WaitForCanvas(Picture(4).i420, rig.Outputs().size(), kTestWaitMs,
                                [&] { rig.Feed(4, DevicePackageOf(Picture(4), GetCurrentTimeUs())); }),
              SIZE_MAX)
        << "the 1280 x 720 input fills the canvas";
}

// A picture-in-picture list short of the layout's windows is taken at run time as at start-up: the
// records it has are placed, the other windows stay black.
TEST_F(VideoMuxWorkerTest, AShortPictureInPictureListIsTakenAtRunTimeAsAtStartUp)
{
    constexpr int kPipTwoOnOne = 3; // background and two windows
    const std::vector<stPipWindowInfo> one{Pip(6, -32, -32, 384, 216)};
    stMuxRegion started;
    {
        CMuxRig rig(2, kPipTwoOnOne);
        stChildWindowConfig child;
        child.posBase = 6;
        child.onLayer = 1;
        child.xShift = -32;
        child.yShift = -32;
        child.Width = 384;
        child.Height = 216;
        rig.Config().MuxSettings.ChildWindows = {child};
        ASSERT_EQ(rig.Start(false), 0);
        EXPECT_EQ(rig.Mux().GetWindowCount(), 3u);
        ASSERT_TRUE(rig.Mux().Muxer().GetRegion(1, started));
    }
    CMuxRig rig(2, kQuad);
    ASSERT_EQ(rig.Start(false), 0);
    const std::map<int32_t, int16_t> regions{{static_cast<int32_t>(InputId(1)), 1}, {static_cast<int32_t>(InputId(2)), 2}};
    const std::vector<stPipWindowInfo> none;
    EXPECT_EQ(rig.Mux().ChangeMuxLayout(kPipTwoOnOne, regions, &none), TYX_MUX_ERR_ARGUMENT)
        << "no record at all, as at start-up";
    EXPECT_EQ(rig.Mux().ChangeMuxLayout(kPipTwoOnOne, regions, &one), kQuad);
    EXPECT_EQ(rig.Mux().GetLayoutType(), kPipTwoOnOne);
    EXPECT_EQ(rig.Mux().GetWindowCount(), 3u);
    stMuxRegion changed;
    ASSERT_TRUE(rig.Mux().Muxer().GetRegion(1, changed));
    EXPECT_EQ(changed.left, started.left);
    EXPECT_EQ(changed.top, started.top);
    EXPECT_EQ(changed.width, 384);
    EXPECT_EQ(changed.height, 216);
    stMuxRegion missing;
    ASSERT_TRUE(rig.Mux().Muxer().GetRegion(2, missing));
    EXPECT_EQ(missing.width, 0) << "the window without a record stays empty";
    // A record with an anchor outside the codes leaves its window black, the layout is taken.
    const std::vector<stPipWindowInfo> unplaced{Pip(3, 0, 0, 384, 216)};
    EXPECT_EQ(rig.Mux().ChangeMuxLayout(2, regions, &unplaced), kPipTwoOnOne);
    EXPECT_EQ(rig.Mux().GetLayoutType(), 2);
    EXPECT_EQ(rig.Mux().GetWindowCount(), 2u);
}

TEST_F(VideoMuxWorkerTest, FullConsumerQueueDropsComposedPictures)
{
    CMuxRig rig(1, kStandAlone);
    ASSERT_EQ(rig.Start(), 0);
    {
        CCsLock lock(*rig.Consumer().queueLock);
        for (FramePackage &package : *rig.Consumer().queue)
            FreeFramePackage(package);
        rig.Consumer().queue->assign(FramePackageQueueLimit(TYX_PKT_KIND_RAW_VIDEO), FramePackage{});
    }
    const int32_t pushed = rig.Mux().GetFramesPushed();
    ASSERT_TRUE(WaitFor([&] { return rig.Mux().GetFramesPushed() >= pushed + 5; })) << "the mux goes on";
    CCsLock lock(*rig.Consumer().queueLock);
    EXPECT_EQ(rig.Consumer().queue->size(), FramePackageQueueLimit(TYX_PKT_KIND_RAW_VIDEO));
    rig.Consumer().queue->clear();
}

TEST_F(VideoMuxWorkerTest, StatusTextFollowsItsWindowIntoASmallerLayout)
{
    CMuxRig rig(4, kQuad);
    CLogCapture log;
    ASSERT_EQ(rig.Start(), 0);
    rig.FeedStatus(1, TYX_SRC_CONNECTING);
    ASSERT_TRUE(WaitFor([&] { return log.Contains(L"[MakeupPaketsGroup] Error msg(errCode=-90)", 3); }));
    std::map<int32_t, int16_t> regions = rig.Mux().GetInputRegions();
    ASSERT_EQ(rig.Mux().ChangeMuxLayout(16, regions, nullptr), kQuad);
    const size_t before = rig.TakeOutputs().size() + rig.Outputs().size();
    ASSERT_GE(rig.WaitOutputs(before + 12), before + 12);
    const std::vector<uint8_t> canvas = DownloadPackage(rig.Outputs().back());
    SavePictureAsPng(canvas, kWidth, kHeight, "mux_status_small_windows");
    int w = 0;
    int h = 0;
    const uint8_t black = InitOsgColor(OsgColorCodeToRgb(0)).y;
    const std::vector<uint8_t> first = WindowOf(canvas, kWidth, kHeight, 16, 0, w, h);
    EXPECT_EQ(w, kWidth / 4);
    EXPECT_GT(LitShare(first, w, h, black), 0.002) << "\"Connecting...\" placed for the small window";
}

// One input in four windows (the usual state before on-demand sources join) is one state: it is
// logged when it begins and when it ends, not for every group.
TEST_F(VideoMuxWorkerTest, WindowsWithoutInputsAreLoggedWhenTheyBeginAndWhenTheyEnd)
{
    CMuxRig rig(1, kQuad);
    rig.UseSteppedClock(kStart);
    CLogCapture log;
    ASSERT_EQ(rig.Start(), 0);
    for (int i = 0; i < 30; ++i)
        ASSERT_TRUE(rig.StepToNextGroup()) << i;
    EXPECT_EQ(log.Count(L"There is 1 input frames invsNoToFrameMap but current region num is 4!", 3), 1);
    for (int region = 2; region <= 4; ++region)
        EXPECT_EQ(log.Count(L"There no mapped-Input  for mux region[" + std::to_wstring(region) + L"]!", 3), 1) << region;
    EXPECT_EQ(log.Count(L"There no mapped-Input  for mux region[1]!"), 0);

    const std::map<int32_t, int16_t> standalone{{static_cast<int32_t>(InputId(1)), 1}};
    ASSERT_EQ(rig.Mux().ChangeMuxLayout(kStandAlone, standalone, nullptr), kQuad);
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(rig.StepToNextGroup()) << i;
    EXPECT_TRUE(log.Contains(L"1 input frames for 4 regions ended after 31 groups.", 3));
    for (int region = 2; region <= 4; ++region)
        EXPECT_TRUE(log.Contains(L"Mux region[" + std::to_wstring(region) + L"] is gone after 31 groups without an input.", 3))
            << region;
    EXPECT_EQ(log.Count(L"There is 1 input frames invsNoToFrameMap"), 1);

    // Back to four windows: the state begins again.
    ASSERT_EQ(rig.Mux().ChangeMuxLayout(kQuad, standalone, nullptr), kStandAlone);
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(rig.StepToNextGroup()) << i;
    EXPECT_EQ(log.Count(L"There is 1 input frames invsNoToFrameMap but current region num is 4!", 3), 2);
    EXPECT_EQ(log.Count(L"There no mapped-Input  for mux region[2]!", 3), 2);
}

// ---- run-time changes ----

TEST_F(VideoMuxWorkerTest, RegionAndFocusChangesExchangeWindows)
{
    CMuxRig rig(5, kQuad);
    rig.Config().MuxSettings.InputRegions.erase(static_cast<int32_t>(InputId(5)));
    ASSERT_EQ(rig.Start(), 0);
    CVideoMuxWorker &mux = rig.Mux();
    const auto id = [](int n) { return static_cast<int32_t>(InputId(n)); };
    EXPECT_EQ(mux.ChangeRegionInput(0, id(1)), TYX_MUX_ERR_ARGUMENT);
    EXPECT_EQ(mux.ChangeRegionInput(5, id(1)), TYX_MUX_ERR_ARGUMENT);
    EXPECT_EQ(mux.ChangeRegionInput(1, 0x7777), TYX_MUX_ERR_ARGUMENT) << "an input without a link";
    EXPECT_EQ(mux.ChangeRegionInput(1, id(1)), id(1)) << "already there: nothing changes";
    EXPECT_EQ(mux.ChangeRegionInput(1, id(3)), id(1));
    std::map<int32_t, int16_t> regions = mux.GetInputRegions();
    EXPECT_EQ(regions[id(3)], 1);
    EXPECT_EQ(regions[id(1)], 3) << "the two windows exchanged their inputs";
    EXPECT_EQ(mux.ChangeRegionInput(2, id(5)), id(2));
    regions = mux.GetInputRegions();
    EXPECT_EQ(regions[id(5)], 2);
    EXPECT_EQ(regions.count(id(2)), 0u) << "the replaced input leaves the windows";

    EXPECT_EQ(mux.ChangeFocusInput(0x7777), TYX_MUX_ERR_NO_LINK);
    EXPECT_EQ(mux.ChangeFocusInput(id(3)), 0) << "already in focus";
    EXPECT_EQ(mux.ChangeFocusInput(id(4)), id(3));
    regions = mux.GetInputRegions();
    EXPECT_EQ(regions[id(4)], 1);
    EXPECT_EQ(regions[id(3)], 4);
    EXPECT_EQ(mux.ChangeFocusInput(id(2)), id(4));
    regions = mux.GetInputRegions();
    EXPECT_EQ(regions[id(2)], 1);
    EXPECT_EQ(regions.count(id(4)), 0u);
}

TEST_F(VideoMuxWorkerTest, DetachFindsAReplacementOrRefuses)
{
    CMuxRig rig(4, kQuad);
    ASSERT_EQ(rig.Start(), 0);
    CVideoMuxWorker &mux = rig.Mux();
    const auto id = [](int n) { return static_cast<int32_t>(InputId(n)); };
    EXPECT_EQ(mux.DetachInput(0, 0), TYX_MUX_ERR_ARGUMENT);
    EXPECT_EQ(mux.DetachInput(0x7777, 0), TYX_MUX_ERR_NO_LINK);
    EXPECT_EQ(mux.RemoveInputStream(InputId(2), nullptr, 0), TYX_MUX_ERR_NO_FREE_INPUT)
        << "every input is shown: none can take the window";
    EXPECT_EQ(mux.GetInputLinkCount(), 4) << "the input stays";
    EXPECT_EQ(mux.DetachInput(InputId(2), 0x7777), TYX_MUX_ERR_NO_LINK);

    ASSERT_TRUE(mux.AddInputStream(InputId(5), 1).HasQueue());
    EXPECT_EQ(mux.RemoveInputStream(InputId(2), nullptr, 0), 4);
    std::map<int32_t, int16_t> regions = mux.GetInputRegions();
    EXPECT_EQ(regions[id(5)], 2) << "the unshown input takes the window";
    EXPECT_EQ(regions.count(id(2)), 0u);
    // With a replacement named, it takes the window even when every input is shown.
    EXPECT_EQ(mux.DetachInput(InputId(5), InputId(1)), 0);
    regions = mux.GetInputRegions();
    EXPECT_EQ(regions[id(1)], 2);
    EXPECT_EQ(regions.count(id(5)), 0u);
}

} // namespace
