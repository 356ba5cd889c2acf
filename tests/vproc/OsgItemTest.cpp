#include "vproc/OsgItem.h"

#include <gtest/gtest.h>

namespace {

// Case-insensitive, within the length limits of each vocabulary.
TEST(OsgItemTest, Keywords)
{
    const struct
    {
        int32_t (*parse)(const std::wstring &);
        std::wstring keyword;
        int32_t code;
    } cases[] = {
        {ParseGmtType, L"circle", GMT_CIRCLE},           {ParseGmtType, L"CIRCLEX", GMT_INVALID},
        {ParseGmtType, L"ab", GMT_INVALID},              {ParseGmtType, L"ARC", GMT_ARC},
        {ParseGmtType, L"ARCH", GMT_ARCH},               {ParseGmtType, L"Straight-Line", GMT_STRAIGHT_LINE},
        {ParseGmtType, L"pyramid", GMT_PYRAMID},         {ParseGmtType, std::wstring(33, L'A'), GMT_INVALID},
        {ParseOsgKind, L"geometry", OSG_KIND_GEOMETRY},  {ParseOsgKind, L"Picture", OSG_KIND_PICTURE},
        {ParseOsgKind, L"ANIMATE", OSG_KIND_ANIMATE},    {ParseOsgKind, L"Geo", OSG_KIND_NONE},
        {ParseOsgKind, std::wstring(17, L'G'), OSG_KIND_NONE},
        {ParseOsgTarget, L"videooutput", OSG_TARGET_OUTPUT}, {ParseOsgTarget, L"AudioInput", OSG_TARGET_INPUT},
        {ParseOsgTarget, L"ToRendering", OSG_TARGET_RENDERING}, {ParseOsgTarget, L"ToDownstream", OSG_TARGET_DOWNSTREAM},
        {ParseOsgTarget, L"xyz", OSG_TARGET_NONE},       {ParseOsgColor, L"yellow", 8},
        {ParseOsgColor, L"White", 16},                   {ParseOsgColor, L"Purple", 0},
        {ParseOsgLineStyle, L"dashdot", OSG_LINE_DASHDOT}, {ParseOsgLineStyle, L"Dashed", OSG_LINE_DASHED},
        {ParseOsgLineStyle, L"Solid", OSG_LINE_SOLID},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.parse(c.keyword), c.code) << std::string(c.keyword.begin(), c.keyword.end());
}

// Each shape reads its own names into a record of its size.
TEST(OsgItemTest, RecordsOfEveryShape)
{
    const struct
    {
        int32_t shape;
        std::vector<const wchar_t *> names;
        int32_t size;
    } cases[] = {
        {GMT_STRAIGHT_LINE, {L"StartX", L"StartY", L"EndX", L"EndY"}, 8},
        {GMT_CIRCLE, {L"CentreX", L"CentreY", L"Radius"}, 6},
        {GMT_ELLIPSE, {L"CentreX", L"CentreY", L"MajorSemiaxis", L"MinorSemiaxis"}, 8},
        {GMT_SECTOR, {L"CentreX", L"CentreY", L"Radius", L"RadianStart", L"RadianEnd"}, 16},
        {GMT_TRIANGLE, {L"Vertex1X", L"Vertex1Y", L"Vertex2X", L"Vertex2Y", L"Vertex3X", L"Vertex3Y"}, 12},
        {GMT_RECTANGLE, {L"StartX", L"StartY", L"Width", L"Height"}, 8},
        {GMT_LINEAR, {L"K", L"B"}, 8},
        {GMT_POWER, {L"A"}, 4},
        {GMT_PARABOLA, {L"A", L"B", L"C"}, 12},
        {GMT_CUBIC, {L"A", L"B", L"C", L"D"}, 16},
        {GMT_SINUSOID, {L"A", L"K", L"W", L"T", L"Q", L"D"}, 24},
        {GMT_ARCCOT, {L"A", L"K"}, 8},
    };
    for (const auto &c : cases) {
        OsgNamedValues values;
        for (const wchar_t *name : c.names)
            values[name] = L"1";
        std::vector<uint8_t> record;
        EXPECT_EQ(ParseOsgGeometry(c.shape, values, record), c.size) << c.shape;
        EXPECT_EQ(record.size(), static_cast<size_t>(c.size)) << c.shape;
    }
    for (int32_t shape : {GMT_SQRT, GMT_EXPONENTIAL_E, GMT_LOGARITHM_E}) {
        std::vector<uint8_t> record = {1};
        EXPECT_EQ(ParseOsgGeometry(shape, {{L"A", L"1"}}, record), 0);
        EXPECT_TRUE(record.empty());
    }
}

TEST(OsgItemTest, ValuesAndRefusals)
{
    std::vector<uint8_t> record;
    ASSERT_EQ(ParseOsgGeometry(GMT_STRAIGHT_LINE,
                               {{L"StartX", L"1"}, {L"StartY", L"-2"}, {L"EndX", L"30abc"}, {L"EndY", L"4"}, {L"Colour", L"x"}},
                               record),
              8);
    stOsgGeometry geometry;
    geometry.params = record;
    stOsgLineParams line;
    ASSERT_TRUE(GetOsgParams(geometry, line));
    EXPECT_EQ(line.StartY, -2);
    EXPECT_EQ(line.EndX, 30); // decimal prefix, like _wtoi
    ASSERT_EQ(ParseOsgGeometry(GMT_CIRCLE, {{L"CentreX", L"10"}, {L"CentreY", L"20"}, {L"Radius", L"70000"}}, record), 6);
    geometry.params = record;
    stOsgCircleParams circle;
    ASSERT_TRUE(GetOsgParams(geometry, circle));
    EXPECT_EQ(circle.Radius, static_cast<int16_t>(70000)); // kept in 16 bits
    ASSERT_EQ(ParseOsgGeometry(GMT_TANGENT, {{L"A", L"3"}, {L"K", L"0.5"}}, record), 8);
    geometry.params = record;
    stOsgTrigParams trig;
    ASSERT_TRUE(GetOsgParams(geometry, trig));
    EXPECT_FLOAT_EQ(trig.K, 0.5f);

    EXPECT_EQ(ParseOsgGeometry(GMT_STRAIGHT_LINE, {{L"StartX", L"1"}, {L"StartY", L"2"}, {L"EndX", L"3"}}, record), -2);
    EXPECT_EQ(ParseOsgGeometry(GMT_STRAIGHT_LINE, {{L"StartX", L"1"}, {L"StartY", L"2"}, {L"EndX", L"3"}, {L"endy", L"4"}},
                               record),
              -4); // names are compared exactly
    EXPECT_TRUE(record.empty());
    EXPECT_EQ(ParseOsgGeometry(GMT_LINEAR, {{L"K", L"2"}, {L"X", L"1"}}, record), -4);
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

} // namespace
