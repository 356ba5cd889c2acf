#include "vproc/VideoMux.h"

#include "PictureTestUtils.h"
#include "PipWindow.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
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
    return {width, height, NoiseI420(width, height, seed)};
}

// Fills the slots and composes as the mux worker does: region and slot maps shared, every slot
// exclusively, then the canvas exclusively. Returns DoMuxing's result.
int32_t Compose(CVideoMuxer &muxer, const std::vector<stWindowPicture> &pictures, uint8_t *target = nullptr)
{
    std::vector<CDvcBuffer> blocks;
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
        blocks.push_back(DeviceCopy(pictures[i].bytes));
        slot->picture = blocks.back().Get();
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

// What the canvas must hold: black, with every fitting picture in its window, in window order; a
// window hanging off the canvas shows the part of its picture that lies on the canvas.
std::vector<uint8_t> ExpectedCanvas(CVideoMuxer &muxer, const std::vector<stWindowPicture> &pictures)
{
    const int W = muxer.CanvasWidth();
    const int H = muxer.CanvasHeight();
    std::vector<uint8_t> canvas = SolidI420(W, H, 0, 128, 128);
    for (size_t i = 0; i < muxer.WindowCount() && i < pictures.size(); ++i) {
        stMuxRegion r;
        EXPECT_TRUE(muxer.GetRegion(static_cast<uint16_t>(i), r));
        const stWindowPicture &p = pictures[i];
        if (p.bytes.empty() || p.width != r.width || p.height != r.height)
            continue;
        const int w = std::min(p.width - r.cropLeft, W - r.left);
        const int h = std::min(p.height - r.cropTop, H - r.top);
        PasteI420(canvas, W, H, CropI420(p.bytes, p.width, p.height, r.cropLeft, r.cropTop, w, h), r.left, r.top, w, h);
    }
    return canvas;
}

std::vector<uint8_t> DownloadCanvas(const CVideoMuxer &muxer)
{
    std::vector<uint8_t> canvas(static_cast<size_t>(muxer.CanvasSize()));
    EXPECT_EQ(DevMemcpy(canvas.data(), muxer.DeviceCanvas(), canvas.size(), EGpuCopyKind::DeviceToHost), GPU_SUCCESS);
    return canvas;
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
    ExpectSameI420(DownloadCanvas(muxer), ExpectedCanvas(muxer, pictures), 1280, 720);
    EXPECT_EQ(log.Count(L"Mux region[7] left black: input picture(W=426, H=239, len=152934) does not fit the region(W=416, H=236)!", 3), 1);

    ASSERT_EQ(Compose(muxer, pictures), 0);
    EXPECT_EQ(log.Count(L"Mux region[7] left black"), 1) << "a lasting misfit is logged once";
}

// The background window is copied whole, the small one over it; into a given target.
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
    const CDvcBuffer target = DeviceCopy(std::vector<uint8_t>(static_cast<size_t>(muxer.CanvasSize()), 0xEE));
    ASSERT_EQ(Compose(muxer, pictures, target.Get()), 0);
    ExpectSameI420(Download(target), ExpectedCanvas(muxer, pictures), 1280, 720);
}

// Windows pushed off the canvas keep their size: the mux scales the input to the whole window and
// the canvas shows the part of it that lies on the canvas, not the whole input squeezed.
TEST(VideoMuxTest, WindowsHangingOffTheCanvasShowTheirVisiblePartUnscaled)
{
    CVideoMuxer muxer;
    // Centred and pushed up and left to (-160, -120); from the left top to (592, 300), past the
    // right and bottom edges.
    std::vector<stPipWindowInfo> pip = {Pip(1, -480, -300, 640, 360), Pip(2, 600, 300, 960, 480)};
    ASSERT_EQ(muxer.SetLayout(3, 1280, 720, L"PIP-2-On-1", &pip), 1280 * 720 * 3 / 2);
    stMuxRegion upLeft;
    stMuxRegion downRight;
    ASSERT_TRUE(muxer.GetRegion(1, upLeft));
    ASSERT_TRUE(muxer.GetRegion(2, downRight));
    EXPECT_EQ(upLeft.width, 640);
    EXPECT_EQ(upLeft.height, 360);
    EXPECT_EQ(upLeft.left, 0);
    EXPECT_EQ(upLeft.top, 0);
    EXPECT_EQ(upLeft.cropLeft, 160);
    EXPECT_EQ(upLeft.cropTop, 120);
    EXPECT_EQ(downRight.width, 960);
    EXPECT_EQ(downRight.height, 480);
    EXPECT_EQ(downRight.left, 592);
    EXPECT_EQ(downRight.top, 300);

    const std::vector<stWindowPicture> pictures = {MakeWindowPicture(1280, 720, 1), MakeWindowPicture(640, 360, 2),
                                                   MakeWindowPicture(960, 480, 3)};
    ASSERT_EQ(Compose(muxer, pictures), 0);
    const std::vector<uint8_t> canvas = DownloadCanvas(muxer);
    ExpectSameI420(canvas, ExpectedCanvas(muxer, pictures), 1280, 720);
    // The canvas's first sample is the window's sample (160, 120), its chroma (80, 60).
    EXPECT_EQ(I420At(canvas, 1280, 720, EPlane::Y, 0, 0), I420At(pictures[1].bytes, 640, 360, EPlane::Y, 160, 120));
    EXPECT_EQ(I420At(canvas, 1280, 720, EPlane::V, 0, 0), I420At(pictures[1].bytes, 640, 360, EPlane::V, 80, 60));
}

// A record that cannot be placed costs its own window only: the mux starts, the background and
// the other windows show, and the layout counts as the current one.
TEST(VideoMuxTest, FaultyPictureInPictureRecordsLeaveTheirWindowsBlack)
{
    CVideoMuxer muxer;
    std::vector<stPipWindowInfo> shortList = {Pip(2, 32, 32, 320, 180), Pip(4, 0, 0, 320, 180)};
    ASSERT_EQ(muxer.SetLayout(5, 1280, 720, L"PIP-4-On-1", &shortList), 1280 * 720 * 3 / 2);
    EXPECT_EQ(muxer.CurrentLayout(), 5);
    ASSERT_EQ(muxer.WindowCount(), 5u);
    std::vector<stWindowPicture> pictures = {MakeWindowPicture(1280, 720, 7), MakeWindowPicture(320, 180, 8),
                                             MakeWindowPicture(320, 180, 9)};
    ASSERT_EQ(Compose(muxer, pictures), 0);
    ExpectSameI420(DownloadCanvas(muxer), ExpectedCanvas(muxer, pictures), 1280, 720);
    stMuxRegion missing;
    ASSERT_TRUE(muxer.GetRegion(3, missing));
    EXPECT_EQ(missing.width, 0);

    // An unknown anchor: that window and the ones after it stay black.
    std::vector<stPipWindowInfo> badAnchor = {Pip(3, 0, 0, 320, 180), Pip(2, 0, 0, 320, 180)};
    CVideoMuxer second;
    ASSERT_EQ(second.SetLayout(3, 1280, 720, L"PIP-2-On-1", &badAnchor), 1280 * 720 * 3 / 2);
    EXPECT_EQ(second.CurrentLayout(), 3);
    stMuxRegion region;
    ASSERT_TRUE(second.GetRegion(0, region));
    EXPECT_EQ(region.width, 1280) << "the background still shows";
    ASSERT_TRUE(second.GetRegion(2, region));
    EXPECT_EQ(region.width, 0);
    pictures = {MakeWindowPicture(1280, 720, 10)};
    ASSERT_EQ(Compose(second, pictures), 0);
    ExpectSameI420(DownloadCanvas(second), ExpectedCanvas(second, pictures), 1280, 720);
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
        EXPECT_EQ(muxer.ChangeLayout(22, nullptr), -1);
        EXPECT_EQ(muxer.ChangeLayout(7, nullptr), -1);
        EXPECT_EQ(muxer.ChangeLayout(3, nullptr), -2);
        std::vector<stPipWindowInfo> empty;
        EXPECT_EQ(muxer.ChangeLayout(3, &empty), -4);
        EXPECT_EQ(muxer.WindowCount(), 16u);
        EXPECT_EQ(muxer.CurrentLayout(), 16);
        // A short list is taken, its missing window black.
        std::vector<stPipWindowInfo> shortList = {Pip(2, 0, 0, 320, 180)};
        EXPECT_EQ(muxer.ChangeLayout(3, &shortList), 1920 * 1080 * 3 / 2);
        EXPECT_EQ(muxer.WindowCount(), 3u);
        EXPECT_EQ(muxer.CurrentLayout(), 3);

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
    EXPECT_EQ(muxer.SetLayout(10, 1920, 1080, L"", nullptr), -1);
    EXPECT_EQ(muxer.SetLayout(5, 1920, 1080, L"", nullptr), -2);
    std::vector<stPipWindowInfo> none;
    EXPECT_EQ(muxer.SetLayout(5, 1920, 1080, L"", &none), -4);
    EXPECT_EQ(muxer.DeviceCanvas(), nullptr);
    EXPECT_EQ(muxer.Initialize(stMuxLayout{}), -1);

    CLogCapture log;
    DevInjectFault(EDevFault::Malloc, 1);
    EXPECT_EQ(muxer.SetLayout(1, 1920, 1080, L"", nullptr), -2);
    EXPECT_TRUE(log.Contains(L"Failed(Err=2) while alloc cuda memory!", 2));
    EXPECT_EQ(muxer.DoMuxing(nullptr), -1) << "no canvas to compose into";
}

} // namespace
