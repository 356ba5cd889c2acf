#include "vproc/OsgItem.h"

#include <gtest/gtest.h>

namespace {

TEST(OsgItemTest, Keywords)
{
    EXPECT_EQ(ParseGmtType(L"circle"), GMT_CIRCLE);
    EXPECT_EQ(ParseGmtType(L"CIRCLE"), GMT_CIRCLE);
    EXPECT_EQ(ParseGmtType(L"CIRCLEX"), GMT_INVALID);
    EXPECT_EQ(ParseGmtType(L"ab"), GMT_INVALID);
    EXPECT_EQ(ParseGmtType(L"ARC"), GMT_ARC);
    EXPECT_EQ(ParseGmtType(L"ARCH"), GMT_ARCH);
    EXPECT_EQ(ParseGmtType(L"SECTOR"), GMT_SECTOR);
    EXPECT_EQ(ParseGmtType(L"Straight-Line"), GMT_STRAIGHT_LINE);
    EXPECT_EQ(ParseGmtType(L"pyramid"), GMT_PYRAMID);
    EXPECT_EQ(ParseGmtType(std::wstring(33, L'A')), GMT_INVALID);

    EXPECT_EQ(ParseOsgKind(L"geometry"), OSG_KIND_GEOMETRY);
    EXPECT_EQ(ParseOsgKind(L"Picture"), OSG_KIND_PICTURE);
    EXPECT_EQ(ParseOsgKind(L"ANIMATE"), OSG_KIND_ANIMATE);
    EXPECT_EQ(ParseOsgKind(L"Geo"), OSG_KIND_NONE);
    EXPECT_EQ(ParseOsgKind(std::wstring(17, L'G')), OSG_KIND_NONE);

    EXPECT_EQ(ParseOsgTarget(L"videooutput"), OSG_TARGET_OUTPUT);
    EXPECT_EQ(ParseOsgTarget(L"AudioInput"), OSG_TARGET_INPUT);
    EXPECT_EQ(ParseOsgTarget(L"ToRendering"), OSG_TARGET_RENDERING);
    EXPECT_EQ(ParseOsgTarget(L"ToDownstream"), OSG_TARGET_DOWNSTREAM);
    EXPECT_EQ(ParseOsgTarget(L"xyz"), OSG_TARGET_NONE);
    EXPECT_EQ(ParseOsgTarget(L"ab"), OSG_TARGET_NONE);

    EXPECT_EQ(ParseOsgColor(L"yellow"), 8);
    EXPECT_EQ(ParseOsgColor(L"White"), 16);
    EXPECT_EQ(ParseOsgColor(L"Purple"), 0);
    EXPECT_EQ(ParseOsgLineStyle(L"dashdot"), OSG_LINE_DASHDOT);
    EXPECT_EQ(ParseOsgLineStyle(L"Dashed"), OSG_LINE_DASHED);
    EXPECT_EQ(ParseOsgLineStyle(L"Solid"), OSG_LINE_SOLID);
}

TEST(OsgItemTest, FigureRecords)
{
    std::vector<uint8_t> record;
    EXPECT_EQ(ParseOsgGeometry(GMT_STRAIGHT_LINE, {{L"StartX", L"1"}, {L"StartY", L"2"}, {L"EndX", L"3"}}, record), -2);
    EXPECT_EQ(ParseOsgGeometry(GMT_STRAIGHT_LINE,
                               {{L"StartX", L"1"}, {L"StartY", L"-2"}, {L"EndX", L"30abc"}, {L"EndY", L"4"}, {L"Colour", L"x"}},
                               record),
              8);
    stOsgGeometry geometry;
    geometry.params = record;
    stOsgLineParams line;
    ASSERT_TRUE(GetOsgParams(geometry, line));
    EXPECT_EQ(line.StartY, -2);
    EXPECT_EQ(line.EndX, 30); // decimal prefix, like _wtoi
    EXPECT_EQ(ParseOsgGeometry(GMT_STRAIGHT_LINE, {{L"StartX", L"1"}, {L"StartY", L"2"}, {L"EndX", L"3"}, {L"endy", L"4"}},
                               record),
              -4); // names are compared exactly
    EXPECT_TRUE(record.empty());

    EXPECT_EQ(ParseOsgGeometry(GMT_CIRCLE, {{L"CentreX", L"10"}, {L"CentreY", L"20"}, {L"Radius", L"70000"}}, record), 6);
    geometry.params = record;
    stOsgCircleParams circle;
    ASSERT_TRUE(GetOsgParams(geometry, circle));
    EXPECT_EQ(circle.Radius, static_cast<int16_t>(70000)); // kept in 16 bits
    EXPECT_EQ(ParseOsgGeometry(GMT_ELLIPSE,
                               {{L"CentreX", L"1"}, {L"CentreY", L"1"}, {L"MajorSemiaxis", L"5"}, {L"MinorSemiaxis", L"3"}},
                               record),
              8);
    EXPECT_EQ(ParseOsgGeometry(GMT_SECTOR,
                               {{L"CentreX", L"1"}, {L"CentreY", L"1"}, {L"Radius", L"5"}, {L"RadianStart", L"0.5"},
                                {L"RadianEnd", L"1.25"}},
                               record),
              16);
    geometry.params = record;
    stOsgArcParams arc;
    ASSERT_TRUE(GetOsgParams(geometry, arc));
    EXPECT_FLOAT_EQ(arc.RadianEnd, 1.25f);
    OsgNamedValues triangle;
    for (const wchar_t *name : {L"Vertex1X", L"Vertex1Y", L"Vertex2X", L"Vertex2Y", L"Vertex3X", L"Vertex3Y"})
        triangle[name] = L"7";
    EXPECT_EQ(ParseOsgGeometry(GMT_TRIANGLE, triangle, record), 12);
    EXPECT_EQ(ParseOsgGeometry(GMT_RECTANGLE, {{L"StartX", L"1"}, {L"StartY", L"1"}, {L"Width", L"5"}, {L"Height", L"3"}},
                               record),
              8);
    EXPECT_EQ(ParseOsgGeometry(GMT_CIRCLE, {}, record), -1);
    EXPECT_EQ(ParseOsgGeometry(GMT_PYRAMID, {{L"A", L"1"}}, record), -2);
    EXPECT_EQ(ParseOsgGeometry(GMT_INVALID, {{L"A", L"1"}}, record), -2);
}

TEST(OsgItemTest, PolygonsAreBoundedBeforeAnythingIsSized)
{
    OsgNamedValues values = {{L"VertexNum", L"4"}};
    for (int i = 1; i <= 4; ++i) {
        values[L"Vertex" + std::to_wstring(i) + L"X"] = std::to_wstring(i * 10);
        values[L"Vertex" + std::to_wstring(i) + L"Y"] = std::to_wstring(i);
    }
    std::vector<uint8_t> record;
    EXPECT_EQ(ParseOsgGeometry(GMT_POLYGON, values, record), 2 + 4 * 4);
    stOsgGeometry geometry;
    geometry.params = record;
    stOsgPolygonParams polygon;
    ASSERT_TRUE(GetOsgPolygon(geometry, polygon));
    EXPECT_EQ(polygon.VertexNum, 4);
    EXPECT_EQ(polygon.X[3], 40);
    EXPECT_EQ(polygon.Y[2], 3);

    values.erase(L"Vertex4Y");
    EXPECT_EQ(ParseOsgGeometry(GMT_POLYGON, values, record), -8);
    values[L"Vertex4Y"] = L"4";
    for (const wchar_t *count : {L"3", L"17", L"2000000000", L"-5"}) {
        values[L"VertexNum"] = count;
        EXPECT_EQ(ParseOsgGeometry(GMT_POLYGON, values, record), -8) << count;
        EXPECT_TRUE(record.empty());
    }
}

TEST(OsgItemTest, CurveRecords)
{
    std::vector<uint8_t> record;
    EXPECT_EQ(ParseOsgGeometry(GMT_LINEAR, {{L"K", L"2.5"}, {L"B", L"-1"}}, record), 8);
    stOsgGeometry geometry;
    geometry.params = record;
    stOsgLinearParams linear;
    ASSERT_TRUE(GetOsgParams(geometry, linear));
    EXPECT_FLOAT_EQ(linear.K, 2.5f);
    EXPECT_FLOAT_EQ(linear.B, -1.0f);
    EXPECT_EQ(ParseOsgGeometry(GMT_LINEAR, {{L"K", L"2"}, {L"X", L"1"}}, record), -4);
    EXPECT_EQ(ParseOsgGeometry(GMT_POWER, {{L"A", L"2"}}, record), 4);
    EXPECT_EQ(ParseOsgGeometry(GMT_PARABOLA, {{L"A", L"1"}, {L"B", L"1"}, {L"C", L"1"}}, record), 12);
    EXPECT_EQ(ParseOsgGeometry(GMT_CUBIC, {{L"A", L"1"}, {L"B", L"1"}, {L"C", L"1"}, {L"D", L"1"}}, record), 16);
    EXPECT_EQ(ParseOsgGeometry(GMT_SINUSOID,
                               {{L"A", L"1"}, {L"K", L"1"}, {L"W", L"1"}, {L"T", L"1"}, {L"Q", L"1"}, {L"D", L"1"}}, record),
              24);
    for (int32_t shape : {GMT_SQRT, GMT_EXPONENTIAL_E, GMT_LOGARITHM_E}) {
        EXPECT_EQ(ParseOsgGeometry(shape, {{L"A", L"1"}}, record), 0);
        EXPECT_TRUE(record.empty());
    }
    // The trigonometric curves read A and K.
    EXPECT_EQ(ParseOsgGeometry(GMT_TANGENT, {{L"A", L"3"}, {L"K", L"0.5"}}, record), 8);
    geometry.params = record;
    stOsgTrigParams trig;
    ASSERT_TRUE(GetOsgParams(geometry, trig));
    EXPECT_FLOAT_EQ(trig.K, 0.5f);
    EXPECT_EQ(ParseOsgGeometry(GMT_ARCCOT, {{L"P", L"3"}, {L"Q", L"0.5"}}, record), -4);
}

TEST(OsgItemTest, AnimateDefaults)
{
    stOsgAnimate item;
    item.sourceKind = OSG_SOURCE_PREPARED;
    item.source.path = "x.mov";
    item.frames.resize(2);
    InitOsgAnimateItem(item);
    EXPECT_EQ(item.sourceKind, OSG_SOURCE_FILE);
    EXPECT_TRUE(item.source.path.empty());
    EXPECT_TRUE(item.frames.empty());
}

} // namespace
