#include "vproc/OSGdrawer.h"
#include "vproc/OsdWriter.h"

#include "OverlayTestFrame.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <latch>
#include <thread>

namespace {

constexpr int32_t kWidth = 64;
constexpr int32_t kHeight = 32;

stOsgPicture Picture(uint8_t grey, int32_t origin = OSD_POS_LEFT_TOP)
{
    stOsgPicture picture;
    picture.sourcePath = "picture.png";
    picture.width = 4;
    picture.height = 4;
    picture.rowLength = 16;
    picture.image = SolidImage(4, 4, {grey, grey, grey, 255});
    picture.placement.origin = origin;
    return picture;
}

// A clip of `count` 4 x 4 frames, frame i of grey 50 + 50 i, each shown 40 ms.
stOsgAnimate Clip(int32_t count, bool loop)
{
    stOsgAnimate clip;
    clip.loop = loop;
    clip.width = clip.height = 4;
    clip.placement.origin = OSD_POS_LEFT_TOP;
    clip.placement.offsetX = 20;
    for (int32_t i = 0; i < count; ++i) {
        stAnimateFrame frame;
        const auto grey = static_cast<uint8_t>(50 + 50 * i);
        frame.picture = SolidImage(4, 4, {grey, grey, grey, 255});
        frame.width = frame.height = 4;
        frame.length = 64;
        frame.durationMs = 40;
        clip.frames.push_back(std::move(frame));
    }
    return clip;
}

// A white figure or curve with its parameter record.
template <typename Params>
stOsgGeometry Geometry(int32_t shape, const Params &params)
{
    stOsgGeometry geometry;
    geometry.shape = shape;
    geometry.lineColor = OSD_COLOR_WHITE;
    geometry.params.resize(sizeof(params));
    std::memcpy(geometry.params.data(), &params, sizeof(params));
    return geometry;
}

stOsgGeometry Circle(int16_t cx, int16_t cy, int16_t radius, uint8_t ratio = 0)
{
    stOsgGeometry geometry = Geometry(GMT_CIRCLE, stOsgCircleParams{cx, cy, radius});
    geometry.ratio = ratio;
    return geometry;
}

// y = b from x 0 to 10, the origin at the bottom left.
stOsgGeometry FlatLine(float b)
{
    stOsgGeometry geometry = Geometry(GMT_LINEAR, stOsgLinearParams{0.0f, b});
    geometry.origin = OSD_POS_LEFT_BOTTOM;
    geometry.xRangeRight = 10;
    return geometry;
}

struct OsgDrawerTest : ::testing::Test
{
    std::atomic<uint64_t> tick{1000};
    COsgDrawer drawer{[this] { return tick.load(); }};

    void SetUp() override { drawer.SetFrameSize(kWidth, kHeight, 0, 0); }

    // One frame on a device copy of a dark picture; the result of ProcessFrame.
    int32_t Frame(COverlayTestFrame &frame, int64_t timeUs = 0)
    {
        int32_t result = 0;
        frame.OnDevice([&](uint8_t *data) { result = drawer.ProcessFrame(data, frame.Bytes(), timeUs, true); });
        EXPECT_TRUE(frame.GuardIntact());
        return result;
    }
    int32_t Frame(int64_t timeUs = 0)
    {
        COverlayTestFrame frame(kWidth, kHeight);
        return Frame(frame, timeUs);
    }
};

TEST_F(OsgDrawerTest, ItemsAreKeptByIdAcrossKinds)
{
    EXPECT_EQ(drawer.SetFrameSize(-1, 4, 0, 0), -1);
    EXPECT_EQ(drawer.ProcessFrame(nullptr, 0, 0, true), -1);
    EXPECT_EQ(Frame(), 0);
    EXPECT_EQ(drawer.AddGeometry(1, Circle(10, 10, 3)), 1);
    EXPECT_EQ(drawer.AddGeometry(2, Circle(20, 10, 3)), 2);
    stOsgGeometry other = Circle(30, 10, 9);
    EXPECT_EQ(drawer.AddGeometry(1, other), -1);
    stOsgPicture picture = Picture(200);
    EXPECT_EQ(drawer.AddPicture(5, std::move(picture)), 1);
    EXPECT_TRUE(picture.sourcePath.empty());
    stOsgPicture duplicate = Picture(100);
    EXPECT_EQ(drawer.AddPicture(5, std::move(duplicate)), -1);
    EXPECT_TRUE(duplicate.image); // refused: still the caller's
    EXPECT_EQ(drawer.AddAnimate(7, Clip(2, true)), 1);

    EXPECT_EQ(drawer.Remove(5), 3); // a picture: the geometries stay
    EXPECT_EQ(drawer.GetGeometryCount(), 2);
    EXPECT_EQ(drawer.Remove(5), -1);
    EXPECT_EQ(drawer.Remove(1), 2);

    // A copy holds deep copies of the geometries only.
    auto copy = drawer.Create();
    EXPECT_EQ(copy->GetGeometryCount(), 1);
    EXPECT_EQ(copy->GetAnimateCount(), 0);
    EXPECT_EQ(copy->Remove(2), 0);
    EXPECT_EQ(drawer.GetGeometryCount(), 1);
}

TEST(OsgDrawerPlacementTest, ByOriginCode)
{
    stOsgPlacement placement;
    placement.offsetX = 10;
    placement.offsetY = 10;
    int32_t x = -7, y = -7;
    COsgDrawer::CalculateGraphicPos(OSD_POS_RIGHT_BOTTOM, placement, 100, 50, 1920, 1080, x, y);
    EXPECT_EQ(x, 1809);
    EXPECT_EQ(y, 1019);
    placement.offsetX = -10; // corners take the offsets' absolute values, the centre their signs
    COsgDrawer::CalculateGraphicPos(OSD_POS_RIGHT_TOP, placement, 100, 50, 1920, 1080, x, y);
    EXPECT_EQ(x, 1809);
    EXPECT_EQ(y, 10);
    COsgDrawer::CalculateGraphicPos(OSD_POS_CENTER, placement, 100, 50, 1920, 1080, x, y);
    EXPECT_EQ(x, 960 - 10 - 50 - 1);
    EXPECT_EQ(y, 540 + 10 - 25 - 1);
    COsgDrawer::CalculateGraphicPos(OSD_POS_LEFT_BOTTOM, placement, 100, 50, 1920, 1080, x, y);
    EXPECT_EQ(x, 10);
    EXPECT_EQ(y, 1019);
    x = y = -7;
    COsgDrawer::CalculateGraphicPos(13, placement, 100, 50, 1920, 1080, x, y);
    COsgDrawer::CalculateGraphicPos(OSD_POS_LEFT_TOP, placement, 100, 50, 0, 1080, x, y);
    EXPECT_EQ(x, -7);
    EXPECT_EQ(y, -7);
}

TEST_F(OsgDrawerTest, PicturesWaitForTheirDelayFromTheFirstFrameAndExpire)
{
    EXPECT_EQ(drawer.AddGeometry(1, Circle(50, 20, 2)), 1);
    EXPECT_EQ(Frame(), 1); // the drawer's first frame at tick 1000
    stOsgPicture picture = Picture(200);
    picture.placement.startDelay = 5;
    picture.placement.duration = 2;
    tick = 3000; // added later: the delay still counts from the first frame
    drawer.AddPicture(9, std::move(picture));
    tick = 5999;
    COverlayTestFrame early(kWidth, kHeight);
    EXPECT_EQ(Frame(early), 1);
    EXPECT_EQ(early.Y(1, 1), 16);
    tick = 6000;
    COverlayTestFrame due(kWidth, kHeight);
    EXPECT_EQ(Frame(due), 2);
    EXPECT_EQ(due.Y(1, 1), 200);
    tick = 8000;
    EXPECT_EQ(Frame(), 2);
    tick = 8001;
    EXPECT_EQ(Frame(), 1);
    tick = 9000;
    EXPECT_EQ(Frame(), 1); // gone for good
}

TEST_F(OsgDrawerTest, ClipsAdvanceByFrameTimeAndStopOrLoop)
{
    drawer.AddAnimate(1, Clip(3, false));
    const auto shown = [&](int64_t timeUs) {
        COverlayTestFrame frame(kWidth, kHeight);
        Frame(frame, timeUs);
        return frame.Y(21, 1);
    };
    EXPECT_EQ(shown(0), 50);
    EXPECT_EQ(shown(10000), 50); // calls do not advance it, time does
    EXPECT_EQ(shown(39999), 50);
    EXPECT_EQ(shown(40000), 100);
    EXPECT_EQ(shown(80000), 150); // the last frame becomes current
    EXPECT_EQ(shown(200000), 16); // and a clip without loop stays away
    EXPECT_EQ(drawer.GetAnimateFrameIndex(1), 2);

    drawer.Remove(1);
    drawer.AddAnimate(2, Clip(3, true));
    EXPECT_EQ(shown(0), 50);
    EXPECT_EQ(shown(40000), 100);
    EXPECT_EQ(shown(80000), 150);
    EXPECT_EQ(shown(120000), 50); // wraps
}

TEST_F(OsgDrawerTest, HostFramesAreDrawnLikeDeviceFrames)
{
    drawer.AddGeometry(1, Circle(30, 15, 6));
    drawer.AddPicture(2, Picture(220, OSD_POS_RIGHT_BOTTOM));
    COverlayTestFrame onDevice(kWidth, kHeight);
    EXPECT_EQ(Frame(onDevice), 2);
    COverlayTestFrame onHost(kWidth, kHeight);
    EXPECT_EQ(drawer.ProcessFrame(onHost.Data(), onHost.Bytes(), 0, false), 2);
    EXPECT_EQ(onHost.Picture(), onDevice.Picture());
    EXPECT_EQ(onHost.Y(kWidth - 2, kHeight - 2), 220);
    EXPECT_TRUE(onHost.GuardIntact());
    // A buffer smaller than the frame size is not drawn into.
    COverlayTestFrame small(kWidth, kHeight / 2);
    drawer.ProcessFrame(small.Data(), small.Bytes(), 0, false);
    EXPECT_EQ(small.Picture(), COverlayTestFrame(kWidth, kHeight / 2).Picture());
}

TEST_F(OsgDrawerTest, RatioCoordinatesAreTenThousandthsOfTheFrame)
{
    drawer.AddGeometry(1, Circle(5000, 5000, 1000, 1));
    COverlayTestFrame frame(kWidth, kHeight);
    Frame(frame);
    const uint8_t white = InitOsgColor(OsgColorCodeToRgb(OSD_COLOR_WHITE)).y;
    EXPECT_EQ(frame.Y(32 - 6, 16), white); // centre (32, 16), radius 6
    EXPECT_EQ(frame.Y(32 + 6, 16), white);
}

TEST_F(OsgDrawerTest, BadItemsAreLeftOutAndLaterGroupsStillDraw)
{
    stOsgGeometry polygon;
    polygon.shape = GMT_POLYGON;
    polygon.params = {3, 0, 1, 0, 2, 0, 3, 0, 1, 0, 2, 0, 3, 0}; // three vertices
    drawer.AddGeometry(1, polygon);
    stOsgGeometry noRecord;
    noRecord.shape = GMT_CIRCLE;
    drawer.AddGeometry(2, noRecord);
    drawer.AddGeometry(3, FlatLine(5.0f)); // a curve, above the polygons
    CLogCapture log;
    COverlayTestFrame frame(kWidth, kHeight);
    EXPECT_EQ(Frame(frame), 1);
    Frame();
    EXPECT_EQ(log.Count(L"OSG item(1) is a polygon without 4 to 16 vertices, it is not drawn.", 3), 1);
    EXPECT_EQ(log.Count(L"OSG item(2) has no parameters, it is not drawn.", 3), 1);
    const uint8_t white = InitOsgColor(OsgColorCodeToRgb(OSD_COLOR_WHITE)).y;
    EXPECT_EQ(frame.Y(5, kHeight - 1 - 5), white); // origin bottom-left, y = 5

    // A solid cannot be drawn: its group and those above it are left out, lower ones are drawn.
    stOsgGeometry pyramid;
    pyramid.shape = GMT_PYRAMID;
    COverlayTestFrame target(kWidth, kHeight);
    target.OnDevice([&](uint8_t *data) {
        const OsgGeometryList list = {{4, pyramid}, {5, Circle(10, 10, 3)}};
        EXPECT_EQ(drawer.DrawGeometries(target.Info(data, true), list), -255);
    });
    EXPECT_EQ(target.Y(7, 10), white);
}

// Remote commands add and remove items while the frame thread draws.
TEST_F(OsgDrawerTest, AddAndRemoveWhileDrawing)
{
    constexpr int kRounds = 150;
    std::latch start(2);
    std::thread frames([&] {
        COverlayTestFrame frame(kWidth, kHeight);
        start.arrive_and_wait();
        for (int i = 0; i < kRounds; ++i) {
            drawer.ProcessFrame(frame.Data(), frame.Bytes(), i * 20000, false);
            ASSERT_TRUE(frame.GuardIntact());
        }
    });
    std::thread commands([&] {
        start.arrive_and_wait();
        for (int i = 0; i < kRounds; ++i) {
            const uint32_t id = static_cast<uint32_t>(i % 10);
            drawer.Remove(id);
            if (i % 3 == 0)
                drawer.AddGeometry(id, Circle(static_cast<int16_t>(i % kWidth), 10, 5));
            else if (i % 3 == 1)
                drawer.AddPicture(id, Picture(static_cast<uint8_t>(i)));
            else
                drawer.AddAnimate(id, Clip(2, true));
        }
    });
    frames.join();
    commands.join();
    EXPECT_LE(drawer.GetGeometryCount() + drawer.GetPictureCount() + drawer.GetAnimateCount(), 10);
}

} // namespace
