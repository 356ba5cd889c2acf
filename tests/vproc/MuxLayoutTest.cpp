#include "vproc/VideoMux.h"

#include "PipWindow.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct stRect
{
    int left;
    int top;
    int width;
    int height;
    bool operator==(const stRect &) const = default;
};

std::ostream &operator<<(std::ostream &out, const stRect &r)
{
    return out << "(L=" << r.left << ", T=" << r.top << ", W=" << r.width << ", H=" << r.height << ")";
}

stRect RectOf(const stMuxRegion &region)
{
    return {region.left, region.top, region.width, region.height};
}

int Cut16(int value)
{
    return value - value % 16;
}

int Cut4(int value)
{
    return value - value % 4;
}

// Cell width D, cell height E and block top T worked out by hand for each grid and canvas.
struct stGridCase
{
    int id;
    int rows;
    int columns;
    int cellWidth;
    int cellHeight;
    int blockTop;
};

constexpr stGridCase kGrids1080[] = {
    {4, 2, 2, 960, 540, 0},    {9, 3, 3, 640, 360, 0},    {11, 1, 4, 480, 270, 405}, {12, 2, 3, 640, 360, 180},
    {13, 2, 4, 480, 270, 270}, {14, 3, 4, 480, 270, 135}, {15, 2, 6, 320, 180, 360}, {16, 4, 4, 480, 270, 0},
    {17, 2, 8, 240, 135, 405}, {18, 3, 8, 240, 135, 337}, {19, 4, 6, 320, 180, 180}, {20, 2, 12, 160, 90, 450},
    {21, 4, 8, 240, 135, 270},
};

constexpr stGridCase kGrids720[] = {
    {4, 2, 2, 640, 360, 0},    {9, 3, 3, 426, 239, 1},    {11, 1, 4, 320, 180, 270}, {12, 2, 3, 426, 239, 121},
    {13, 2, 4, 320, 180, 180}, {14, 3, 4, 320, 180, 90},  {15, 2, 6, 213, 119, 241}, {16, 4, 4, 320, 180, 0},
    {17, 2, 8, 160, 90, 270},  {18, 3, 8, 160, 90, 225},  {19, 4, 6, 213, 119, 122}, {20, 2, 12, 106, 59, 301},
    {21, 4, 8, 160, 90, 180},
};

stMuxLayout Build(CVideoMuxer &muxer, int id, int width, int height, int &result,
                  std::vector<stPipWindowInfo> *pip = nullptr)
{
    stMuxLayout layout;
    layout.canvasWidth = static_cast<uint16_t>(width);
    layout.canvasHeight = static_cast<uint16_t>(height);
    result = muxer.BuildLayoutRegions(id, layout, pip);
    return layout;
}

void CheckGrids(const stGridCase *cases, size_t count, int width, int height)
{
    for (size_t c = 0; c < count; ++c) {
        const stGridCase &g = cases[c];
        SCOPED_TRACE(testing::Message() << "layout " << g.id << " on " << width << "x" << height);
        CVideoMuxer muxer;
        int result = 0;
        const stMuxLayout layout = Build(muxer, g.id, width, height, result);
        ASSERT_EQ(result, g.rows * g.columns);
        ASSERT_EQ(layout.windowCount, g.rows * g.columns);
        ASSERT_EQ(layout.regions.size(), static_cast<size_t>(g.rows * g.columns));
        EXPECT_EQ(muxer.CurrentLayout(), g.id);
        for (int i = 0; i < g.rows; ++i) {
            for (int j = 0; j < g.columns; ++j) {
                const stMuxRegion &region = layout.regions[static_cast<size_t>(i * g.columns + j)];
                const stRect expected{Cut16(j * g.cellWidth), Cut4(g.blockTop + i * g.cellHeight), Cut16(g.cellWidth),
                                      Cut4(g.cellHeight)};
                EXPECT_EQ(RectOf(region), expected) << "window " << i * g.columns + j;
                EXPECT_EQ(region.kind, 1);
            }
        }
    }
}

TEST(MuxLayoutTest, GridsFollowTheCellRulesOnBothCanvases)
{
    CheckGrids(kGrids1080, std::size(kGrids1080), 1920, 1080);
    CheckGrids(kGrids720, std::size(kGrids720), 1280, 720);
}

TEST(MuxLayoutTest, OneLargeWithSmallWindows)
{
    CVideoMuxer muxer;
    int result = 0;
    const std::vector<stRect> five1080 = {{0, 0, 1280, 720},     {1280, 0, 640, 360}, {1280, 360, 640, 360},
                                          {1280, 720, 640, 360}, {640, 720, 640, 360}, {0, 720, 640, 360}};
    const std::vector<stRect> five720 = {{0, 0, 848, 480},     {848, 0, 416, 240}, {848, 240, 416, 240},
                                         {848, 480, 416, 240}, {416, 480, 416, 240}, {0, 480, 416, 240}};
    const std::vector<stRect> seven1080 = {{0, 0, 1440, 808},    {1440, 0, 480, 268},   {1440, 268, 480, 268},
                                           {1440, 540, 480, 268}, {1440, 808, 480, 268}, {960, 808, 480, 268},
                                           {480, 808, 480, 268},  {0, 808, 480, 268}};
    const std::vector<stRect> seven720 = {{0, 0, 960, 540},    {960, 0, 320, 180},   {960, 180, 320, 180},
                                          {960, 360, 320, 180}, {960, 540, 320, 180}, {640, 540, 320, 180},
                                          {320, 540, 320, 180}, {0, 540, 320, 180}};
    const struct
    {
        int id;
        int width;
        int height;
        const std::vector<stRect> *expected;
    } cases[] = {{6, 1920, 1080, &five1080}, {6, 1280, 720, &five720}, {8, 1920, 1080, &seven1080},
                 {8, 1280, 720, &seven720}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "layout " << c.id << " on " << c.width << "x" << c.height);
        const stMuxLayout layout = Build(muxer, c.id, c.width, c.height, result);
        ASSERT_EQ(result, static_cast<int>(c.expected->size()));
        for (size_t i = 0; i < c.expected->size(); ++i) {
            EXPECT_EQ(RectOf(layout.regions[i]), (*c.expected)[i]) << "window " << i;
            EXPECT_EQ(layout.regions[i].kind, 1);
        }
    }
}

TEST(MuxLayoutTest, StandAloneAndIdsThatAreNoLayouts)
{
    CVideoMuxer muxer;
    int result = 0;
    const stMuxLayout one = Build(muxer, 1, 1280, 720, result);
    ASSERT_EQ(result, 1);
    EXPECT_EQ(one.regions[0].kind, 0);
    EXPECT_EQ(RectOf(one.regions[0]), (stRect{0, 0, 1280, 720}));
    for (int id : {0, 7, 10, 22, -3}) {
        const stMuxLayout none = Build(muxer, id, 1280, 720, result);
        EXPECT_EQ(result, -1) << id;
        EXPECT_EQ(none.windowCount, 0);
        EXPECT_EQ(muxer.CurrentLayout(), 1) << "a refused id is not recorded";
    }
    Build(muxer, 9, 0, 720, result);
    EXPECT_EQ(result, -1) << "no canvas, no layout";
}

TEST(MuxLayoutTest, WindowsOfEveryLayoutStayInsideAlignedAndApart)
{
    for (int width : {1280, 1366, 1920, 2560, 3840}) {
        for (int height : {720, 768, 1080, 1440, 2160}) {
            for (int id = 1; id <= 21; ++id) {
                CVideoMuxer muxer;
                int result = 0;
                const stMuxLayout layout = Build(muxer, id, width, height, result);
                if (id == 2 || id == 3 || id == 5 || id == 7 || id == 10) {
                    EXPECT_LT(result, 0);
                    continue;
                }
                ASSERT_GT(result, 0) << id;
                for (size_t i = 0; i < layout.regions.size(); ++i) {
                    const stMuxRegion &a = layout.regions[i];
                    EXPECT_LE(a.left + a.width, width);
                    EXPECT_LE(a.top + a.height, height);
                    EXPECT_EQ(a.left % 16 + a.width % 16 + a.top % 4 + a.height % 4, 0);
                    for (size_t k = i + 1; k < layout.regions.size(); ++k) {
                        const stMuxRegion &b = layout.regions[k];
                        const bool apart = a.left + a.width <= b.left || b.left + b.width <= a.left ||
                                           a.top + a.height <= b.top || b.top + b.height <= a.top;
                        EXPECT_TRUE(apart) << "layout " << id << " windows " << i << " and " << k;
                    }
                }
            }
        }
    }
}

TEST(MuxLayoutTest, PictureInPicturePlacesByAnchor)
{
    CVideoMuxer muxer;
    std::vector<stPipWindowInfo> list = {Pip(1, 10, -10, 640, 360, 0), Pip(2, -5, 40, 320, 180, 200),
                                         Pip(4, 30, 20, 480, 270), Pip(6, -20, -20, 480, 270)};
    int result = 0;
    const stMuxLayout layout = Build(muxer, 5, 1920, 1080, result, &list);
    ASSERT_EQ(result, 5);
    EXPECT_EQ(muxer.CurrentLayout(), 5);
    EXPECT_EQ(layout.regions[0].kind, 0);
    EXPECT_EQ(RectOf(layout.regions[0]), (stRect{0, 0, 1920, 1080}));
    EXPECT_EQ(RectOf(layout.regions[1]), (stRect{640, 348, 640, 360})); // (650, 350) cut
    EXPECT_EQ(layout.regions[1].kind, 1) << "kind 0 is taken as 1";
    EXPECT_EQ(RectOf(layout.regions[2]), (stRect{0, 40, 320, 180})); // x < 0 forced to 0
    EXPECT_EQ(layout.regions[2].kind, 16) << "kinds above 16 are taken as 16";
    EXPECT_EQ(RectOf(layout.regions[3]), (stRect{1440, 20, 480, 268})); // x > 0 forced to 0 at the right
    EXPECT_EQ(RectOf(layout.regions[4]), (stRect{1408, 788, 480, 268}));
}

TEST(MuxLayoutTest, PictureInPictureOffsetsBeyondHalfTheCanvasAreStoredAsZero)
{
    CVideoMuxer muxer;
    std::vector<stPipWindowInfo> list = {Pip(8, 1000, -600, 320, 180)};
    int result = 0;
    const stMuxLayout layout = Build(muxer, 2, 1920, 1080, result, &list);
    ASSERT_EQ(result, 2);
    EXPECT_EQ(list[0].x, 0);
    EXPECT_EQ(list[0].y, 0);
    EXPECT_EQ(RectOf(layout.regions[1]), (stRect{0, 900, 320, 180}));
}

TEST(MuxLayoutTest, PictureInPictureFaults)
{
    CVideoMuxer muxer;
    int result = 0;
    Build(muxer, 3, 1920, 1080, result, nullptr);
    EXPECT_EQ(result, -2);

    // A short list places what it has; the missing window is empty, and the layout is current.
    std::vector<stPipWindowInfo> shortList = {Pip(2, 0, 0, 320, 180)};
    stMuxLayout layout = Build(muxer, 3, 1920, 1080, result, &shortList);
    EXPECT_EQ(result, -4);
    ASSERT_EQ(layout.regions.size(), 3u);
    EXPECT_EQ(layout.windowCount, 3);
    EXPECT_EQ(RectOf(layout.regions[0]), (stRect{0, 0, 1920, 1080}));
    EXPECT_EQ(RectOf(layout.regions[1]), (stRect{0, 0, 320, 180}));
    EXPECT_EQ(RectOf(layout.regions[2]), (stRect{0, 0, 0, 0}));
    EXPECT_EQ(muxer.CurrentLayout(), 3);

    std::vector<stPipWindowInfo> badAnchor = {Pip(2, 0, 0, 320, 180), Pip(3, 0, 0, 320, 180), Pip(2, 0, 0, 320, 180),
                                              Pip(2, 0, 0, 320, 180)};
    layout = Build(muxer, 5, 1920, 1080, result, &badAnchor);
    EXPECT_EQ(result, -2);
    EXPECT_EQ(muxer.CurrentLayout(), 5);
    EXPECT_EQ(RectOf(layout.regions[1]), (stRect{0, 0, 320, 180}));
    for (size_t i = 2; i < 5; ++i)
        EXPECT_EQ(RectOf(layout.regions[i]), (stRect{0, 0, 0, 0})) << i;
}

// A window hanging off the canvas keeps its own (aligned) size; it starts where it comes onto the
// canvas, and the crop says which part of its picture shows there.
TEST(MuxLayoutTest, PictureInPictureWindowsHangingOffTheCanvasAreCropped)
{
    CVideoMuxer muxer;
    // Wider than the canvas at the centre (left -40, cut to -32); past the right and bottom edges
    // from the left top; above the top from the centre; larger than the canvas at the right bottom
    // (3000 cut to 2992, so its left -1080 + 8 is cut to -1072).
    std::vector<stPipWindowInfo> list = {Pip(1, 0, 0, 2000, 300), Pip(2, 900, 500, 1600, 1000),
                                         Pip(1, 0, -540, 400, 400), Pip(6, 0, 0, 3000, 3000)};
    int result = 0;
    const stMuxLayout layout = Build(muxer, 5, 1920, 1080, result, &list);
    ASSERT_EQ(result, 5);
    const struct
    {
        stRect rect;
        int cropLeft;
        int cropTop;
    } expected[] = {{{0, 388, 2000, 300}, 32, 0},
                    {{896, 500, 1600, 1000}, 0, 0},
                    {{752, 0, 400, 400}, 0, 200},
                    {{0, 0, 2992, 3000}, 1072, 1920}};
    for (size_t i = 0; i < 4; ++i) {
        const stMuxRegion &region = layout.regions[i + 1];
        EXPECT_EQ(RectOf(region), expected[i].rect) << "window " << i + 1;
        EXPECT_EQ(region.cropLeft, expected[i].cropLeft) << "window " << i + 1;
        EXPECT_EQ(region.cropTop, expected[i].cropTop) << "window " << i + 1;
    }

    // Nothing of it on the canvas: an empty window.
    std::vector<stPipWindowInfo> gone = {Pip(2, 0, 0, 8, 180)};
    const stMuxLayout none = Build(muxer, 2, 1920, 1080, result, &gone);
    EXPECT_EQ(RectOf(none.regions[1]), (stRect{0, 0, 0, 0}));
}

} // namespace
