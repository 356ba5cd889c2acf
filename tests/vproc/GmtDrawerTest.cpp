#include "vproc/GmtDrawer.h"
#include "vproc/OsdWriter.h"

#include "OverlayTestFrame.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <set>
#include <utility>

namespace {

constexpr uint8_t kBackground = 16;
const stColorYuv kRed = InitOsgColor(OsgColorCodeToRgb(OSD_COLOR_RED));
const stColorYuv kWhite = InitOsgColor(OsgColorCodeToRgb(OSD_COLOR_WHITE));
const stColorYuv kGreen = InitOsgColor(OsgColorCodeToRgb(OSD_COLOR_GREEN));

stOsgDrawStyle Style(bool hollow = true)
{
    stOsgDrawStyle style;
    style.lineColor = kRed;
    style.hollow = hollow ? 1 : 0;
    style.fillColor = kGreen;
    return style;
}

// Draws on a device copy of a dark picture of that size.
struct stDrawn
{
    COverlayTestFrame frame;
    int32_t result = 0;
};

stDrawn Draw(int32_t width, int32_t height, const std::function<int32_t(const stVideoFrameInfo &)> &draw)
{
    stDrawn drawn{COverlayTestFrame(width, height, {kBackground, 128, 128}), 0};
    drawn.frame.OnDevice([&](uint8_t *data) { drawn.result = draw(drawn.frame.Info(data, true)); });
    EXPECT_TRUE(drawn.frame.GuardIntact());
    return drawn;
}

// Draws one figure, outlined or filled, in the test style.
template <typename Figure>
stDrawn DrawFigure(int32_t width, int32_t height,
                   int32_t (*draw)(const stVideoFrameInfo &, const stOsgDrawStyle *, const Figure *),
                   const Figure &figure, bool hollow = true)
{
    const stOsgDrawStyle style = Style(hollow);
    return Draw(width, height, [&](const stVideoFrameInfo &f) { return draw(f, &style, &figure); });
}

// Every pixel whose luma is not the background.
std::set<std::pair<int32_t, int32_t>> Lit(const COverlayTestFrame &frame)
{
    std::set<std::pair<int32_t, int32_t>> lit;
    for (int32_t y = 0; y < frame.Height(); ++y) {
        for (int32_t x = 0; x < frame.Width(); ++x) {
            if (frame.Y(x, y) != kBackground)
                lit.emplace(x, y);
        }
    }
    return lit;
}

int32_t Lines(const stVideoFrameInfo &frame, std::vector<stLineSegment> segments, std::vector<stOsgDrawStyle> styles = {})
{
    if (styles.empty())
        styles.assign(segments.size(), Style());
    return DrawLinesOnFrame(frame, styles.data(), segments.data(), static_cast<int32_t>(segments.size()));
}

TEST(GmtDrawerTest, StraightLinesOfEveryDirection)
{
    stOsgDrawStyle white = Style();
    white.lineColor = kWhite;
    const stDrawn d = Draw(64, 32, [&](const stVideoFrameInfo &f) {
        return Lines(f, {{10, 5, 20, 5}, {7, 12, 7, 3}, {30, 0, 39, 9}, {40, 19, 49, 10}}, {Style(), white, Style(), Style()});
    });
    EXPECT_EQ(d.result, 0);
    const auto lit = Lit(d.frame);
    for (int32_t x = 10; x <= 20; ++x)
        EXPECT_EQ(d.frame.Y(x, 5), kRed.y) << x;
    EXPECT_EQ(d.frame.Y(9, 5), kBackground);
    EXPECT_EQ(d.frame.Y(21, 5), kBackground);
    for (int32_t y = 3; y <= 12; ++y)
        EXPECT_EQ(d.frame.Y(7, y), kWhite.y) << y; // ends ordered, its own style's colour
    // Oblique: row = slope x (x - startX) + startY, slope (dy + 1) / (dx + 1).
    for (int32_t x = 30; x <= 39; ++x)
        EXPECT_EQ(d.frame.Y(x, x - 30), kRed.y) << x;
    for (int32_t x = 40; x <= 49; ++x) {
        const int32_t row = static_cast<int32_t>(-0.8f * static_cast<float>(x - 40) + 19.0f);
        EXPECT_EQ(d.frame.Y(x, row), kRed.y) << x;
    }
    EXPECT_EQ(lit.size(), 11u + 10u + 10u + 10u);
    // Chroma of a lit horizontal run takes the line colour.
    EXPECT_EQ(d.frame.U(6, 2), kRed.u);
    EXPECT_EQ(d.frame.V(6, 2), kRed.v);
}

TEST(GmtDrawerTest, LinesReachingPastTheRightEdgeAreNotDrawn)
{
    const stDrawn d = Draw(128, 16, [](const stVideoFrameInfo &f) {
        return Lines(f, {{100, 2, 99, 2}, {120, 8, 128, 8}, {120, 10, 130, 14}});
    });
    EXPECT_EQ(d.frame.Y(99, 2), kRed.y);
    EXPECT_EQ(d.frame.Y(100, 2), kRed.y);
    const auto lit = Lit(d.frame);
    EXPECT_EQ(lit.size(), 2u);
    const stOsgDrawStyle style = Style();
    const stVideoFrameInfo none;
    EXPECT_EQ(DrawLinesOnFrame(d.frame.Info(nullptr, true), &style, nullptr, 1), -1);
    EXPECT_EQ(DrawLinesOnFrame(none, &style, nullptr, 0), -1);
}

// More segments than a grid has rows go in several launches. (Every other column, so that no two
// segments share a chroma sample.)
TEST(GmtDrawerTest, VeryLongSegmentListsAreAllDrawn)
{
    std::vector<stLineSegment> segments;
    for (uint32_t i = 0; i < 70000; ++i) {
        const auto x = static_cast<uint16_t>(i % 350 * 2);
        const auto y = static_cast<uint16_t>(i / 350 * 2);
        segments.push_back({x, y, x, static_cast<uint16_t>(y + 1)});
    }
    const stDrawn d = Draw(700, 400, [&](const stVideoFrameInfo &f) { return Lines(f, segments); });
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(Lit(d.frame).size(), 140000u);
}

TEST(GmtDrawerTest, RectanglesFilledAndHollow)
{
    const stRectangleInfo rect{4, 4, 10, 6};
    const stDrawn filled = DrawFigure(32, 16, &DrawRectangelOnFrame, rect, false);
    for (int32_t y = 3; y <= 10; ++y) {
        for (int32_t x = 3; x <= 14; ++x) {
            const bool border = (y == 4 || y == 9 || x == 4 || x == 13) && y >= 4 && y <= 9 && x >= 4 && x <= 13;
            const bool inside = x > 4 && x < 13 && y > 4 && y < 9;
            const uint8_t expected = border ? kRed.y : (inside ? kGreen.y : kBackground);
            EXPECT_EQ(filled.frame.Y(x, y), expected) << x << "," << y;
        }
    }
    EXPECT_EQ(filled.frame.U(4, 3), kGreen.u); // interior chroma (rows 6, 7; columns 8, 9)

    const stDrawn hollow = DrawFigure(32, 16, &DrawRectangelOnFrame, rect);
    EXPECT_EQ(hollow.frame.Y(8, 6), kBackground);
    EXPECT_EQ(hollow.frame.Y(8, 4), kRed.y);

    // Two pixels wide: no interior to fill, only the border.
    const stRectangleInfo thin{4, 4, 2, 6};
    const stDrawn narrow = DrawFigure(32, 16, &DrawRectangelOnFrame, thin, false);
    for (const auto &p : Lit(narrow.frame))
        EXPECT_EQ(narrow.frame.Y(p.first, p.second), kRed.y);
    EXPECT_EQ(DrawRectangelOnFrame(narrow.frame.Info(nullptr, true), nullptr, &thin), -1);
}

TEST(GmtDrawerTest, FilledTriangle)
{
    const stTriangleInfo triangle{10, 10, 30, 10, 20, 30};
    const stDrawn d = DrawFigure(48, 40, &DrawTrianglelOnFrame, triangle, false);
    EXPECT_EQ(d.frame.Y(20, 15), kGreen.y);
    EXPECT_EQ(d.frame.Y(20, 10), kRed.y); // the top edge is a border line
    EXPECT_EQ(d.frame.Y(12, 25), kBackground);
    EXPECT_EQ(d.frame.Y(20, 31), kBackground);
    EXPECT_EQ(d.frame.Y(5, 5), kBackground);
    EXPECT_EQ(d.frame.U(10, 8), kGreen.u);
}

TEST(GmtDrawerTest, PolygonNeedsFourVertices)
{
    const uint16_t xs[] = {4, 20, 20, 4};
    const uint16_t ys[] = {4, 4, 12, 12};
    stPolygonInfo polygon{3, xs, ys};
    const stDrawn refused = DrawFigure(32, 16, &DrawPolygonOnFrame, polygon);
    EXPECT_EQ(refused.result, -1);
    EXPECT_TRUE(Lit(refused.frame).empty());
    polygon.vertexNum = 4;
    const stDrawn square = DrawFigure(32, 16, &DrawPolygonOnFrame, polygon);
    EXPECT_EQ(square.result, 0);
    EXPECT_EQ(square.frame.Y(12, 4), kRed.y);
    EXPECT_EQ(square.frame.Y(4, 8), kRed.y);  // the closing edge, last vertex back to the first
    EXPECT_EQ(square.frame.Y(20, 8), kRed.y);
    EXPECT_EQ(square.frame.Y(12, 8), kBackground);
    EXPECT_EQ(Lit(square.frame).size(), 2u * 17 + 2u * 7);
}

TEST(GmtDrawerTest, CirclesOutlinedFilledAndCutAtTheEdge)
{
    const stCircleInfo circle{32, 24, 8};
    const stDrawn outline = DrawFigure(64, 48, &DrawCircleOnFrame, circle);
    EXPECT_EQ(outline.frame.Y(24, 24), kRed.y);
    EXPECT_EQ(outline.frame.Y(40, 24), kRed.y);
    EXPECT_EQ(outline.frame.Y(32, 16), kRed.y); // top row: a single point
    EXPECT_EQ(outline.frame.Y(32, 32), kRed.y);
    EXPECT_EQ(outline.frame.Y(32, 24), kBackground);
    EXPECT_EQ(outline.frame.Y(32, 15), kBackground);
    EXPECT_EQ(outline.frame.Y(23, 24), kBackground);
    EXPECT_EQ(outline.frame.U(12, 12), kRed.u);
    // One point per row on each side: 17 rows, the top and bottom ones single.
    EXPECT_EQ(Lit(outline.frame).size(), 2u * 17 - 2);

    const stDrawn filled = DrawFigure(64, 48, &DrawCircleOnFrame, circle, false);
    EXPECT_EQ(filled.frame.Y(32, 24), kGreen.y);
    EXPECT_EQ(filled.frame.U(16, 12), kGreen.u);
    EXPECT_EQ(filled.frame.Y(24, 24), kRed.y);

    // Centre near the left edge: the visible part is drawn, nothing wraps into the row above.
    const stCircleInfo edge{2, 24, 8};
    const stDrawn cut = DrawFigure(64, 48, &DrawCircleOnFrame, edge, false);
    EXPECT_EQ(cut.frame.Y(10, 24), kRed.y);
    EXPECT_EQ(cut.frame.Y(0, 24), kGreen.y);
    for (int32_t y = 0; y < 48; ++y)
        EXPECT_EQ(cut.frame.Y(63, y), kBackground) << y;

    const stCircleInfo dot{5, 5, 0};
    const stDrawn single = DrawFigure(16, 16, &DrawCircleOnFrame, dot);
    EXPECT_EQ(Lit(single.frame), (std::set<std::pair<int32_t, int32_t>>{{5, 5}}));
}

TEST(GmtDrawerTest, Ellipse)
{
    const stEllipseInfo ellipse{32, 24, 10, 5};
    const stDrawn d = DrawFigure(64, 48, &DrawEllipseOnFrame, ellipse);
    EXPECT_EQ(d.frame.Y(22, 24), kRed.y);
    EXPECT_EQ(d.frame.Y(42, 24), kRed.y);
    EXPECT_EQ(d.frame.Y(32, 19), kRed.y);
    EXPECT_EQ(d.frame.Y(32, 29), kRed.y);
    EXPECT_EQ(d.frame.Y(32, 18), kBackground);
    EXPECT_EQ(d.frame.Y(32, 24), kBackground);
}

TEST(GmtDrawerTest, ArcChordAndSector)
{
    const stArcInfo quarter{32, 24, 10, 0.0f, 3.14159265f / 2};
    const stDrawn arc = DrawFigure(64, 48, &DrawArcOnFrame, quarter);
    EXPECT_EQ(arc.frame.Y(42, 24), kRed.y); // angle 0
    EXPECT_EQ(arc.frame.Y(32, 14), kRed.y); // angle pi/2
    EXPECT_EQ(arc.frame.Y(22, 24), kBackground); // angle pi: not on the arc
    EXPECT_EQ(arc.frame.Y(32, 34), kBackground);
    for (const auto &p : Lit(arc.frame)) {
        EXPECT_GE(p.first, 32);
        EXPECT_LE(p.second, 24);
    }
    const stDrawn chord = DrawFigure(64, 48, &DrawChordOnFrame, quarter);
    EXPECT_EQ(chord.frame.Y(37, 19), kRed.y); // on the chord from (32, 14) to (42, 24)
    EXPECT_EQ(chord.frame.Y(36, 24), kBackground);
    const stDrawn sector = DrawFigure(64, 48, &DrawSectorOnFrame, quarter);
    EXPECT_EQ(sector.frame.Y(36, 24), kRed.y); // the radius to angle 0
    EXPECT_EQ(sector.frame.Y(32, 20), kRed.y); // the radius to angle pi/2
    EXPECT_EQ(sector.frame.Y(37, 19), kBackground);

    // The arc runs counter-clockwise from start to end, also across angle 0.
    const stArcInfo across{32, 24, 10, -3.14159265f / 4, 3.14159265f / 4};
    const stDrawn wrapped = DrawFigure(64, 48, &DrawArcOnFrame, across);
    EXPECT_EQ(wrapped.frame.Y(42, 24), kRed.y);
    EXPECT_EQ(wrapped.frame.Y(32, 14), kBackground);
    const stArcInfo empty{32, 24, 0, 0.0f, 6.3f};
    const stDrawn none = DrawFigure(64, 48, &DrawArcOnFrame, empty);
    EXPECT_TRUE(Lit(none.frame).empty());
}

stDrawn Curve(int32_t code, std::vector<float> coef, int16_t left, int16_t right, uint16_t originX, uint16_t originY,
              int32_t size = 200)
{
    stCurveParams params;
    for (size_t i = 0; i < coef.size(); ++i)
        params.coef[i] = coef[i];
    params.xLeft = left;
    params.xRight = right;
    params.originX = originX;
    params.originY = originY;
    return Draw(size, size, [&](const stVideoFrameInfo &f) {
        const stOsgDrawStyle style = Style();
        return DrawFctCurveOnFrame(f, code, &params, &style);
    });
}

TEST(GmtDrawerTest, LinearCurves)
{
    const stDrawn steep = Curve(50, {2.0f, 0.0f}, -20, 20, 100, 100);
    EXPECT_EQ(steep.frame.Y(110, 80), kRed.y); // x 10, y 20
    EXPECT_EQ(Lit(steep.frame).size(), 41u);   // one point per column

    // K = 0: one horizontal segment at row originY - B over the range.
    const stDrawn flat = Curve(50, {0.0f, 10.0f}, -20, 20, 50, 50);
    for (int32_t x = 30; x <= 70; ++x)
        EXPECT_EQ(flat.frame.Y(x, 40), kRed.y) << x;
    EXPECT_EQ(Lit(flat.frame).size(), 41u);

    // A range far wider than the frame: only the columns and rows inside it are drawn, none of the
    // columns left of the frame wraps into the row above.
    const stDrawn wide = Curve(50, {1.0f, 0.0f}, -500, 500, 100, 100);
    std::set<std::pair<int32_t, int32_t>> expected;
    for (int32_t fx = 1; fx < 200; ++fx)
        expected.emplace(fx, 200 - fx);
    EXPECT_EQ(Lit(wide.frame), expected);

    const stDrawn nan = Curve(50, {std::nanf(""), 0.0f}, -50, 50, 100, 100);
    EXPECT_TRUE(Lit(nan.frame).empty());
    const stDrawn unknown = Curve(51, {1.0f, 0.0f}, -50, 50, 100, 100);
    EXPECT_TRUE(Lit(unknown.frame).empty());
}

// Lit rows of each column, lowest and highest; columns without any are absent.
std::map<int32_t, std::pair<int32_t, int32_t>> ColumnRuns(const COverlayTestFrame &frame)
{
    std::map<int32_t, std::pair<int32_t, int32_t>> runs;
    for (const auto &[x, y] : Lit(frame)) {
        auto [it, added] = runs.try_emplace(x, y, y);
        it->second.first = std::min(it->second.first, y);
        it->second.second = std::max(it->second.second, y);
    }
    return runs;
}

// Tangent and cotangent run as unbroken branches up to the frame's edges near each pole, and no
// column is joined across a pole.
TEST(GmtDrawerTest, TangentBranchesAreUnbrokenAndStopAtThePoles)
{
    // y = 50 tan(0.05 x): poles at x = +-31.4; y = 50 / tan(0.05 x): a pole at x = 0.
    for (const int32_t code : {68, 72}) {
        SCOPED_TRACE(code);
        const stDrawn d = Curve(code, {50.0f, 0.05f}, -60, 60, 100, 100);
        const auto lit = Lit(d.frame);
        const auto runs = ColumnRuns(d.frame);
        for (const auto &[x, run] : runs) {
            for (int32_t y = run.first; y <= run.second; ++y)
                ASSERT_TRUE(lit.count({x, y})) << "gap in column " << x << " at row " << y;
        }
        for (auto a = runs.begin(), b = std::next(a); b != runs.end(); ++a, ++b) {
            const bool touch = a->second.first <= b->second.second + 1 && b->second.first <= a->second.second + 1;
            EXPECT_TRUE(b->first != a->first + 1 || touch) << "columns " << a->first << " and " << b->first;
        }
        // Towards the pole the branch leaves at one edge and the next one comes in at the other;
        // every column keeps to its own branch's side of the origin.
        const int32_t pole = code == 68 ? 131 : 100; // the last column of the branch left of the pole
        const auto left = runs.upper_bound(pole);
        ASSERT_NE(left, runs.begin());
        ASSERT_NE(left, runs.end());
        const auto &beforePole = std::prev(left)->second;
        const auto &afterPole = left->second;
        if (code == 68) {
            EXPECT_EQ(beforePole.first, 0);
            EXPECT_EQ(afterPole.second, 199);
        } else {
            EXPECT_EQ(beforePole.second, 199);
            EXPECT_EQ(afterPole.first, 0);
        }
        // Tangent: x 0..31 upwards, 32..60 downwards; cotangent: x -30..-1 downwards, 1..30 upwards.
        const int32_t from = code == 68 ? 100 : 70;
        const int32_t to = code == 68 ? 160 : 130;
        for (int32_t x = from; x <= to; ++x) {
            const auto run = runs.find(x);
            if (run == runs.end())
                continue;
            const bool upper = code == 68 ? x <= pole : x > pole;
            EXPECT_TRUE(upper ? run->second.second <= 100 : run->second.first >= 100) << "column " << x;
        }
    }
}

TEST(GmtDrawerTest, OtherCurves)
{
    // Sinusoid A 10, K 0.1: y = 10 sin(0.1 x), rounded before the row.
    const stDrawn wave = Curve(60, {10.0f, 0.1f, 0.0f, 0.0f, 0.0f, 0.0f}, -50, 50, 100, 100);
    EXPECT_EQ(wave.frame.Y(100, 100), kRed.y);
    EXPECT_EQ(wave.frame.Y(116, 90), kRed.y);
    EXPECT_EQ(Lit(wave.frame).size(), 101u);
    const stDrawn cosine = Curve(64, {10.0f, 0.1f, 0.0f, 0.0f, 0.0f, 5.0f}, 0, 0, 100, 100);
    EXPECT_EQ(cosine.frame.Y(100, 85), kRed.y);

    // Square root from x = 0 even when the range starts left of it.
    const stDrawn root = Curve(53, {}, -10, 16, 20, 100);
    EXPECT_EQ(root.frame.Y(20, 100), kRed.y);
    EXPECT_EQ(root.frame.Y(36, 96), kRed.y);
    EXPECT_EQ(Lit(root.frame).size(), 17u);

    const stDrawn parabola = Curve(54, {0.5f, 0.0f, 1.0f}, -3, 3, 100, 100);
    EXPECT_EQ(parabola.frame.Y(103, 94), kRed.y); // 0.5 x 9 + 1 = 5.5, rounded to 6

    // Logarithms, tangents and poles: values that are not finite are skipped.
    for (int32_t code : {58, 59, 68, 72, 80, 84, 88, 92, 52, 56, 57, 55}) {
        const stDrawn d = Curve(code, {2.0f, 1.0f, 1.0f, 1.0f}, -100, 100, 100, 100);
        for (const auto &p : Lit(d.frame)) {
            ASSERT_GE(p.first, 0);
            ASSERT_LT(p.second, 200);
        }
    }
    const stDrawn ln = Curve(59, {}, -5, 5, 100, 100);
    EXPECT_EQ(ln.frame.Y(101, 100), kRed.y); // ln 1 = 0
    EXPECT_EQ(Lit(ln.frame).size(), 5u);     // x 1..5 only
}

} // namespace
