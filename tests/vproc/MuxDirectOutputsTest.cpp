// A mux whose output has an odd size, on its frame pipe and in a window on Xvfb: both get the
// pictures the composer makes, in the one I420 layout of the system.

#include "DecodedPictures.h"
#include "MuxTestRig.h"
#include "PictureTestUtils.h"

#include "core/I420Layout.h"
#include "core/TYXUtils.h"
#include "host/GlobalVars.h"
#include "output/DisplayTestSupport.h"
#include "output/FramePipeClient.h"
#include "output/OutputTestSupport.h"
#include "output/RVDOServer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr int kWidth = 1281;
constexpr int kHeight = 721;
constexpr int kStandAlone = 1;
constexpr int kQuad = 4; // "4Divide-Equ"
constexpr int kInputWidth = 352;
constexpr int kInputHeight = 288;
constexpr int kMessageWaitMs = 60000;

// One colour per input (Y, U, V), none of them the black of the canvas.
const stColorYuv kColours[] = {{81, 90, 240}, {145, 54, 34}, {41, 240, 110}, {210, 16, 146}};

class CShownMux : public CVideoMuxWorker
{
public:
    using CVideoMuxWorker::CVideoMuxWorker;
    std::shared_ptr<CRVDOServer> Display() { return GetRvdoServer(0); }
};

std::string LayoutName(int layout)
{
    return layout == kStandAlone ? "standalone" : "quad";
}

// True when every sample of the picture is the colour.
bool IsSolid(const std::vector<uint8_t> &picture, int width, int height, const stColorYuv &colour)
{
    for (EPlane plane : {EPlane::Y, EPlane::U, EPlane::V}) {
        const bool luma = plane == EPlane::Y;
        const uint8_t value = luma ? colour.y : (plane == EPlane::U ? colour.u : colour.v);
        const auto rows = static_cast<int>(luma ? height : I420ChromaHeight(height));
        const auto columns = static_cast<int>(luma ? width : I420ChromaWidth(width));
        for (int y = 0; y < rows; ++y) {
            for (int x = 0; x < columns; ++x) {
                if (I420At(picture, width, height, plane, x, y) != value)
                    return false;
            }
        }
    }
    return true;
}

// The window shows the BGRA picture (of kWidth x kHeight) fitted to its own size: compared on a
// grid of points that lie inside areas of one colour, so that the fitting does not count.
bool ShowsPicture(const std::vector<uint8_t> &screen, int width, int height, const std::vector<uint8_t> &picture)
{
    if (width < 2 || height < 2 || screen.size() < static_cast<size_t>(width) * height * 4)
        return false;
    constexpr int kMargin = 4;
    int compared = 0;
    for (int y = kMargin; y < kHeight - kMargin; y += 37) {
        for (int x = kMargin; x < kWidth - kMargin; x += 37) {
            const stBgr centre = PixelAt(picture, kWidth, x, y);
            if (!NearColor(PixelAt(picture, kWidth, x - kMargin, y - kMargin), centre, 0) ||
                !NearColor(PixelAt(picture, kWidth, x + kMargin, y + kMargin), centre, 0))
                continue;
            const int sx = x * width / kWidth;
            const int sy = y * height / kHeight;
            if (!NearColor(PixelAt(screen, width, sx, sy), centre, 6))
                return false;
            ++compared;
        }
    }
    return compared > 100;
}

class MuxDirectOutputsTest : public CXvfbTest, public testing::WithParamInterface<int>
{
protected:
    void SetUp() override
    {
        CXvfbTest::SetUp();
        CTYXGVMS::ResetForTests();
    }
    void TearDown() override
    {
        CTYXGVMS::ResetForTests();
        CXvfbTest::TearDown();
    }

    CRuntimeFolderScope m_folder;
};

TEST_P(MuxDirectOutputsTest, AnOddSizedOutputReachesThePipeAndTheWindowAsComposed)
{
    if (IsSkipped())
        return;
    const int layout = GetParam();
    const std::string name = LayoutName(layout);
    CShownMux *mux = nullptr;
    CMuxRig rig(4, layout, kWidth, kHeight, 1, [&mux](uint32_t id, const CTYXWorker::InputLinkMap *inputs) {
        auto made = std::make_shared<CShownMux>(id, inputs, nullptr);
        mux = made.get();
        return made;
    });
    rig.Config().RVTP = 1;
    stDirectOutputConfig &window = rig.Config().DirectOutputSettings;
    window.DirectOutput = 1;
    window.outputOn = TYX_DISPLAY_WINDOW;
    window.WindowWidth = kWidth;
    window.WindowHeight = kHeight;
    ASSERT_EQ(rig.Start(), 0);

    // Inputs of another size than their windows, so that each is scaled first.
    std::vector<stDecodedPicture> inputs;
    for (const stColorYuv &c : kColours)
        inputs.push_back({kInputWidth, kInputHeight, SolidI420(kInputWidth, kInputHeight, c.y, c.u, c.v)});
    std::vector<const stDecodedPicture *> shown;
    for (const stDecodedPicture &input : inputs)
        shown.push_back(&input);
    const std::vector<uint8_t> expected = ReferenceComposition(layout, kWidth, kHeight, shown);
    ASSERT_EQ(expected.size(), static_cast<size_t>(I420Size(kWidth, kHeight)));
    SavePictureAsPng(expected, kWidth, kHeight, "mux_odd_composer_" + name);
    const auto feed = [&] {
        if (!rig.InputsEmpty())
            return;
        std::vector<FramePackage> packages;
        const int64_t now = GetCurrentTimeUs();
        for (const stDecodedPicture &input : inputs)
            packages.push_back(DevicePackageOf(input, now));
        rig.FeedAll(std::move(packages));
    };

    CFramePipeClient client;
    ASSERT_TRUE(WaitUntil([&] { return client.Connect(m_folder.Path() + "/RVTP_VMuxTest"); }));
    stFrameMessage message;
    ASSERT_TRUE(client.ReadMessage(message, kMessageWaitMs));
    EXPECT_EQ(message.width, kWidth);
    EXPECT_EQ(message.height, kHeight);
    ASSERT_EQ(message.data.size(), expected.size()) << "the pipe's pictures have the layout of the composer's";
    ASSERT_TRUE(WaitUntil([&] {
        feed();
        rig.TakeOutputs();
        return client.ReadMessage(message, kMessageWaitMs) && message.data == expected;
    })) << "the composed picture reaches the pipe";
    SaveBgraAsPng("artifacts/mux_odd_pipe_" + name + ".png", I420ToBgra(message.data, kWidth, kHeight), kWidth,
                  kHeight);
    // Each window holds its input's colour, to its last chroma sample.
    for (int i = 0; i < (layout == kStandAlone ? 1 : 4); ++i) {
        int w = 0;
        int h = 0;
        const std::vector<uint8_t> part = WindowOf(message.data, kWidth, kHeight, layout, i, w, h);
        EXPECT_TRUE(IsSolid(part, w, h, kColours[i])) << "window " << i << " of " << w << " x " << h;
    }

    ASSERT_NE(mux, nullptr);
    const std::shared_ptr<CRVDOServer> display = mux->Display();
    ASSERT_TRUE(display);
    const std::vector<uint8_t> picture = I420ToBgra(expected, kWidth, kHeight);
    int width = 0;
    int height = 0;
    std::vector<uint8_t> screen;
    EXPECT_TRUE(WaitUntil([&] {
        feed();
        rig.TakeOutputs();
        if (display->WindowId() == 0 || display->FramesShown() == 0)
            return false;
        screen = m_xvfb.Grab(display->WindowId(), width, height);
        return ShowsPicture(screen, width, height, picture);
    }, kMessageWaitMs)) << display->FramesShown() << " pictures shown";
    SaveScreenshot(m_xvfb, display->WindowId(), "mux_odd_window_" + name);
    client.Close();
    rig.Stop();
}

INSTANTIATE_TEST_SUITE_P(Layouts, MuxDirectOutputsTest, testing::Values(kStandAlone, kQuad),
                         [](const testing::TestParamInfo<int> &info) { return LayoutName(info.param); });

} // namespace
