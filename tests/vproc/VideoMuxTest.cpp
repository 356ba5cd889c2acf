#include "vproc/VideoMux.h"

#include "PictureTestUtils.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

// The picture a test gives one window: its own size, which may differ from the window's.
struct stWindowPicture
{
    int width = 0;
    int height = 0;
    std::vector<uint8_t> bytes;
};

stWindowPicture MakeWindowPicture(int width, int height, uint32_t seed)
{
    return {width, height, MakeI420(width, height, [seed](EPlane plane, int x, int y) {
                return NoiseAt(seed * 3 + static_cast<uint32_t>(plane), x, y);
            })};
}

// Fills the slots and composes as the mux worker does: region and slot maps shared, every slot
// exclusively, then the canvas exclusively. Returns DoMuxing's result.
int32_t Compose(CVideoMuxer &muxer, const std::vector<stWindowPicture> &pictures, uint8_t *target = nullptr)
{
    std::vector<std::unique_ptr<CDeviceBlock>> blocks;
    CReadLockGuard regions(muxer.RegionLock());
    CReadLockGuard slots(muxer.SlotLock());
    std::vector<stMuxInputSlot *> held;
    for (size_t i = 0; i < muxer.WindowCount(); ++i) {
        stMuxInputSlot *slot = muxer.FindSlot(static_cast<uint16_t>(i));
        EXPECT_NE(slot, nullptr);
        slot->lock->LockWrite();
        held.push_back(slot);
        slot->picture = nullptr;
        slot->length = 0;
        if (i >= pictures.size() || pictures[i].bytes.empty())
            continue;
        blocks.push_back(std::make_unique<CDeviceBlock>(pictures[i].bytes.size()));
        blocks.back()->Upload(pictures[i].bytes);
        slot->picture = blocks.back()->Data();
        slot->length = static_cast<int32_t>(pictures[i].bytes.size());
        slot->inDevice = 1;
        slot->width = static_cast<uint16_t>(pictures[i].width);
        slot->height = static_cast<uint16_t>(pictures[i].height);
    }
    int32_t result = 0;
    {
        CWriteLockGuard canvas(muxer.CanvasLock());
        result = muxer.DoMuxing(target);
    }
    for (stMuxInputSlot *slot : held) {
        slot->picture = nullptr;
        slot->lock->UnlockWrite();
    }
    return result;
}

// What the canvas must hold: black, with every fitting picture copied sample by sample into its
// window, in window order.
std::vector<uint8_t> ExpectedCanvas(CVideoMuxer &muxer, const std::vector<stWindowPicture> &pictures)
{
    const int W = muxer.CanvasWidth();
    const int H = muxer.CanvasHeight();
    std::vector<uint8_t> canvas(static_cast<size_t>(W) * H * 3 / 2, 128);
    std::fill(canvas.begin(), canvas.begin() + static_cast<ptrdiff_t>(W) * H, 0);
    for (size_t i = 0; i < muxer.WindowCount() && i < pictures.size(); ++i) {
        stMuxRegion r;
        EXPECT_TRUE(muxer.GetRegion(static_cast<uint16_t>(i), r));
        const stWindowPicture &p = pictures[i];
        if (p.bytes.empty() || p.width != r.width || p.height != r.height)
            continue;
        for (int y = 0; y < r.height; ++y) {
            for (int x = 0; x < r.width; ++x)
                canvas[static_cast<size_t>(r.top + y) * W + r.left + x] = I420At(p.bytes, p.width, p.height, EPlane::Y, x, y);
        }
        for (int y = 0; y < r.height / 2; ++y) {
            for (int x = 0; x < r.width / 2; ++x) {
                const size_t at = static_cast<size_t>(r.top / 2 + y) * (W / 2) + r.left / 2 + x;
                canvas[static_cast<size_t>(W) * H + at] = I420At(p.bytes, p.width, p.height, EPlane::U, x, y);
                canvas[static_cast<size_t>(W) * H * 5 / 4 + at] = I420At(p.bytes, p.width, p.height, EPlane::V, x, y);
            }
        }
    }
    return canvas;
}

std::vector<uint8_t> DownloadCanvas(const CVideoMuxer &muxer)
{
    std::vector<uint8_t> canvas(static_cast<size_t>(muxer.CanvasSize()));
    EXPECT_EQ(DevMemcpy(canvas.data(), muxer.DeviceCanvas(), canvas.size(), EGpuCopyKind::DeviceToHost), GPU_SUCCESS);
    return canvas;
}

// Compares two canvases and names the first few differing samples with their plane and position.
void ExpectSameCanvas(const std::vector<uint8_t> &actual, const std::vector<uint8_t> &expected, int W, int H)
{
    ASSERT_EQ(actual.size(), expected.size());
    int reported = 0;
    for (size_t i = 0; i < actual.size() && reported < 8; ++i) {
        if (actual[i] == expected[i])
            continue;
        ++reported;
        const size_t luma = static_cast<size_t>(W) * H;
        const char *plane = i < luma ? "Y" : i < luma * 5 / 4 ? "U" : "V";
        const size_t offset = i < luma ? i : i < luma * 5 / 4 ? i - luma : i - luma * 5 / 4;
        const size_t pitch = i < luma ? static_cast<size_t>(W) : static_cast<size_t>(W) / 2;
        ADD_FAILURE() << plane << " at (" << offset % pitch << ", " << offset / pitch << "): " << int(actual[i])
                      << " instead of " << int(expected[i]);
    }
}

TEST(VideoMuxTest, NineWindowsAreComposedSampleBySample)
{
    CVideoMuxer muxer;
    ASSERT_EQ(muxer.SetLayout(9, 1280, 720, L"9-Divided-Equ", nullptr), 1280 * 720 * 3 / 2);
    ASSERT_EQ(muxer.WindowCount(), 9u);
    std::vector<stWindowPicture> pictures;
    for (uint32_t i = 0; i < 9; ++i)
        pictures.push_back(MakeWindowPicture(416, 236, i + 1));
    pictures[4] = {};                              // no picture: black
    pictures[7] = MakeWindowPicture(426, 239, 99); // not the window's size: black, not read past its end
    CLogCapture log;
    ASSERT_EQ(Compose(muxer, pictures), 0);
    EXPECT_TRUE(muxer.MuxedOnDevice());
    ExpectSameCanvas(DownloadCanvas(muxer), ExpectedCanvas(muxer, pictures), 1280, 720);
    EXPECT_TRUE(log.Contains(L"Begin frames muxing by GPU...", 7));
    EXPECT_TRUE(log.Contains(L"Finish frames muxing by GPU...", 7));
    EXPECT_EQ(log.Count(L"Mux region[7] left black: input picture(W=426, H=239, len=152721) does not fit the region(W=416, H=236)!", 3), 1);

    ASSERT_EQ(Compose(muxer, pictures), 0);
    EXPECT_EQ(log.Count(L"Mux region[7] left black"), 1) << "a lasting misfit is logged once";
}

TEST(VideoMuxTest, PictureInPictureLiesOverTheBackground)
{
    CVideoMuxer muxer;
    std::vector<stPipWindowInfo> pip(1);
    pip[0].anchor = 6;
    pip[0].width = 320;
    pip[0].height = 180;
    pip[0].x = -32;
    pip[0].y = -16;
    ASSERT_GT(muxer.SetLayout(2, 1280, 720, L"PIP-1-On-1", &pip), 0);
    const std::vector<stWindowPicture> pictures = {MakeWindowPicture(1280, 720, 5), MakeWindowPicture(320, 180, 6)};
    ASSERT_EQ(Compose(muxer, pictures), 0);
    ExpectSameCanvas(DownloadCanvas(muxer), ExpectedCanvas(muxer, pictures), 1280, 720);
    stMuxRegion window;
    ASSERT_TRUE(muxer.GetRegion(1, window));
    EXPECT_EQ(window.left, 928);
    EXPECT_EQ(window.top, 524);
}

TEST(VideoMuxTest, ComposesIntoAGivenTarget)
{
    CVideoMuxer muxer;
    ASSERT_GT(muxer.SetLayout(4, 1280, 720, L"4Divide-Equ", nullptr), 0);
    const std::vector<stWindowPicture> pictures = {MakeWindowPicture(640, 360, 1), MakeWindowPicture(640, 360, 2),
                                                   MakeWindowPicture(640, 360, 3), MakeWindowPicture(640, 360, 4)};
    CDeviceBlock target(static_cast<size_t>(muxer.CanvasSize()));
    ASSERT_EQ(Compose(muxer, pictures, target.Data()), 0);
    ExpectSameCanvas(target.Download(), ExpectedCanvas(muxer, pictures), 1280, 720);
}

TEST(VideoMuxTest, LayoutChangesKeepOrReplaceTheCanvas)
{
    const int64_t before = DevAllocationCounts().deviceBlocks;
    {
        CVideoMuxer muxer;
        ASSERT_EQ(muxer.SetLayout(9, 1920, 1080, L"", nullptr), 1920 * 1080 * 3 / 2);
        uint8_t *canvas = muxer.DeviceCanvas();
        ASSERT_NE(canvas, nullptr);

        EXPECT_EQ(muxer.ChangeLayout(16, nullptr), 1920 * 1080 * 3 / 2);
        EXPECT_EQ(muxer.DeviceCanvas(), canvas) << "same canvas size keeps the canvas";
        EXPECT_EQ(muxer.WindowCount(), 16u);
        EXPECT_EQ(muxer.CurrentLayout(), 16);
        stMuxRegion region;
        ASSERT_TRUE(muxer.GetRegion(15, region));
        EXPECT_EQ(region.left, 1440);
        EXPECT_FALSE(muxer.GetRegion(16, region));

        // Refused layouts leave the composer as it was.
        EXPECT_EQ(muxer.ChangeLayout(7, nullptr), -1);
        EXPECT_EQ(muxer.ChangeLayout(22, nullptr), -1);
        std::vector<stPipWindowInfo> shortList(1);
        shortList[0].anchor = 2;
        EXPECT_EQ(muxer.ChangeLayout(3, &shortList), -4);
        EXPECT_EQ(muxer.WindowCount(), 16u);
        EXPECT_EQ(muxer.CurrentLayout(), 16);

        stMuxLayout smaller;
        smaller.canvasWidth = 1280;
        smaller.canvasHeight = 720;
        ASSERT_EQ(muxer.BuildLayoutRegions(4, smaller, nullptr), 4);
        EXPECT_EQ(muxer.Reinitialize(smaller), 1280 * 720 * 3 / 2);
        EXPECT_EQ(muxer.CanvasWidth(), 1280);
        EXPECT_EQ(DevAllocationCounts().deviceBlocks, before + 1);
    }
    EXPECT_EQ(DevAllocationCounts().deviceBlocks, before) << "the composer frees its canvas";
}

TEST(VideoMuxTest, RefusedSetLayouts)
{
    CVideoMuxer muxer;
    EXPECT_EQ(muxer.SetLayout(0, 1920, 1080, L"", nullptr), -1);
    EXPECT_EQ(muxer.SetLayout(10, 1920, 1080, L"", nullptr), -1);
    EXPECT_EQ(muxer.SetLayout(5, 1920, 1080, L"", nullptr), -2);
    std::vector<stPipWindowInfo> empty;
    EXPECT_EQ(muxer.SetLayout(5, 1920, 1080, L"", &empty), -4);
    std::vector<stPipWindowInfo> two(2);
    two[0].anchor = 2;
    two[1].anchor = 2;
    EXPECT_EQ(muxer.SetLayout(5, 1920, 1080, L"", &two), -4) << "a list short of the windows is refused";
    EXPECT_EQ(muxer.DeviceCanvas(), nullptr);
    EXPECT_EQ(muxer.Initialize(stMuxLayout{}), -1);

    CLogCapture log;
    DevInjectFault(EDevFault::Malloc, 1);
    EXPECT_EQ(muxer.SetLayout(1, 1920, 1080, L"", nullptr), -2);
    EXPECT_TRUE(log.Contains(L"Failed(Err=2) while alloc cuda memory!", 2));
    EXPECT_EQ(muxer.DoMuxing(nullptr), -1) << "no canvas to compose into";
}

} // namespace
