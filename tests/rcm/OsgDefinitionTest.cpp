#include "rcm/OsgDefinition.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Pads a definition to the shortest accepted length with an item that carries no pairs.
std::string Padded(std::string text, size_t length = OSG_DEFINITION_MIN_LENGTH)
{
    if (text.size() + 3 <= length)
        text += "zz:" + std::string(length - text.size() - 3, 'p');
    return text;
}

template <typename T>
T Params(const stOsgGeometry &geometry)
{
    T record{};
    EXPECT_TRUE(GetOsgParams(geometry, record));
    return record;
}

TEST(OsgDefinitionTest, LengthBoundsFailTheWholeString)
{
    std::vector<stOsgGeometry> items;
    const std::string item = "a:gmtTp=8,Rds=5,;";
    EXPECT_EQ(-1, ParseOsgDefinition(Padded(item, 55), items));
    EXPECT_EQ(1, ParseOsgDefinition(Padded(item, 56), items));
    EXPECT_EQ(1, ParseOsgDefinition(Padded(item, 1023), items));
    EXPECT_EQ(-1, ParseOsgDefinition(Padded(item, 1024), items));
    EXPECT_TRUE(items.empty());
}

TEST(OsgDefinitionTest, ItemsComeInNameOrderAndTheFirstOfADuplicateWins)
{
    std::vector<stOsgGeometry> items;
    ASSERT_EQ(2, ParseOsgDefinition(Padded("b:gmtTp=8,Rds=7,;a:gmtTp=1,StrtX=3,;b:gmtTp=36,;"), items));
    EXPECT_EQ(GMT_STRAIGHT_LINE, items[0].shape);
    EXPECT_EQ(GMT_CIRCLE, items[1].shape);
    EXPECT_EQ(7, Params<stOsgCircleParams>(items[1]).Radius);
}

TEST(OsgDefinitionTest, ItemKeysAndDefaults)
{
    std::vector<stOsgGeometry> items;
    ASSERT_EQ(1, ParseOsgDefinition(Padded("a:gmtTp=1,;"), items));
    const stOsgGeometry &d = items[0];
    EXPECT_EQ(0, d.ratio);
    EXPECT_EQ(1, d.lineWidth);
    EXPECT_EQ(8, d.lineColor);
    EXPECT_EQ(0, d.lineStyle);
    EXPECT_EQ(2, d.dashUnit);
    EXPECT_EQ(1, d.hollow);
    EXPECT_EQ(16, d.fillColor);
    EXPECT_EQ(8, d.origin);
    EXPECT_EQ(0, d.xRangeLeft);

    const std::string all = "a:Unit=1,wght=3,lnClr=4,lnTp=2,SpcLn=5,Trsprt=7,flClr=1,gmtTp=8,CrdOPs=2,AddPam=131082,;";
    ASSERT_EQ(1, ParseOsgDefinition(Padded(all), items));
    const stOsgGeometry &g = items[0];
    EXPECT_EQ(1, g.ratio);
    EXPECT_EQ(3, g.lineWidth);
    EXPECT_EQ(4, g.lineColor);
    EXPECT_EQ(2, g.lineStyle);
    EXPECT_EQ(5, g.dashUnit);
    EXPECT_EQ(1, g.hollow); // any non-zero number
    EXPECT_EQ(1, g.fillColor);
    EXPECT_EQ(2, g.origin);
    EXPECT_EQ(10, g.originX); // 131082 = 2 << 16 | 10
    EXPECT_EQ(2, g.originY);
}

TEST(OsgDefinitionTest, ShapeCodeMissingOrUnknownFailsTheString)
{
    std::vector<stOsgGeometry> items;
    EXPECT_EQ(-255, ParseOsgDefinition(Padded("a:gmtTp=8,;b:wght=2,;"), items));
    EXPECT_EQ(-255, ParseOsgDefinition(Padded("a:gmtTp=53,;"), items));
    EXPECT_EQ(-255, ParseOsgDefinition(Padded("a:gmtTp=abc,;"), items));
    EXPECT_EQ(-255, ParseOsgDefinition(Padded("a:gmtTp=128,;"), items)); // solids are not drawn
    EXPECT_TRUE(items.empty());
}

TEST(OsgDefinitionTest, MalformedTextEndsItemsOrPairsAndKeepsWhatWasRead)
{
    std::vector<stOsgGeometry> items;
    // The only pair lacks its "," before ";": its value would run into the next item.
    EXPECT_EQ(0, ParseOsgDefinition(Padded("a:gmtTp=1;"), items));
    EXPECT_EQ(-255, ParseOsgDefinition(Padded("a:gmtTp=1;b:x=2,;"), items)); // b stands alone
    EXPECT_EQ(1, ParseOsgDefinition(Padded("a:gmtTp=8;b:gmtTp=1,;"), items));
    EXPECT_EQ(GMT_STRAIGHT_LINE, items[0].shape);
    // A key of 16 characters ends the pairs; the pairs before it stay.
    ASSERT_EQ(1, ParseOsgDefinition(Padded("a:gmtTp=8,Rds=3,abcdefghijklmnop=1,CntrX=9,;"), items));
    EXPECT_EQ(-264, Params<stOsgCircleParams>(items[0]).CentreX);
    EXPECT_EQ(3, Params<stOsgCircleParams>(items[0]).Radius);
    // A value of 16 characters, an empty value, a name of 16 characters, no ":" at all.
    EXPECT_EQ(0, ParseOsgDefinition(Padded("a:gmtTp=1234567890123456,;"), items));
    EXPECT_EQ(0, ParseOsgDefinition(Padded("a:gmtTp=,;"), items));
    EXPECT_EQ(0, ParseOsgDefinition(Padded("abcdefghijklmnop:gmtTp=8,;"), items));
    EXPECT_EQ(0, ParseOsgDefinition(std::string(100, 'x'), items));
    // Stray "," and "=" are stepped over.
    ASSERT_EQ(1, ParseOsgDefinition(Padded("a:,=gmtTp=8,Rds=4,;"), items));
    EXPECT_EQ(4, Params<stOsgCircleParams>(items[0]).Radius);
}

TEST(OsgDefinitionTest, NumbersAreBoundedToTheirFields)
{
    std::vector<stOsgGeometry> items;
    ASSERT_EQ(1, ParseOsgDefinition(Padded("a:gmtTp=8,wght=99999,Rds=99999999999,CntrX=-99999,CntrY=12ab,;"), items));
    EXPECT_EQ(255, items[0].lineWidth);
    const auto circle = Params<stOsgCircleParams>(items[0]);
    EXPECT_EQ(INT16_MAX, circle.Radius);
    EXPECT_EQ(INT16_MIN, circle.CentreX);
    EXPECT_EQ(12, circle.CentreY);
    ASSERT_EQ(1, ParseOsgDefinition(Padded("a:gmtTp=50,K=nan,B=1e99,;"), items));
    const auto linear = Params<stOsgLinearParams>(items[0]);
    EXPECT_FLOAT_EQ(1.0f, linear.K);
    EXPECT_FLOAT_EQ(0.0f, linear.B);
}

TEST(OsgDefinitionTest, FigureRecords)
{
    std::vector<stOsgGeometry> items;
    ASSERT_EQ(1, ParseOsgDefinition(Padded("a:gmtTp=1,StrtX=5,;"), items));
    const auto line = Params<stOsgLineParams>(items[0]);
    EXPECT_EQ(5, line.StartX);
    EXPECT_EQ(-256, line.StartY);
    EXPECT_EQ(-262, line.EndX);
    EXPECT_EQ(-258, line.EndY);

    ASSERT_EQ(1, ParseOsgDefinition(Padded("a:gmtTp=20,Rds=9,RStrt=2,REnd=7,;"), items));
    const auto arc = Params<stOsgArcParams>(items[0]);
    EXPECT_EQ(-264, arc.CentreX);
    EXPECT_EQ(9, arc.Radius);
    EXPECT_FLOAT_EQ(2.0f, arc.RadianStart);
    EXPECT_FLOAT_EQ(7.0f, arc.RadianEnd);
    ASSERT_EQ(1, ParseOsgDefinition(Padded("a:gmtTp=24,RStrt=1.9,;"), items));
    EXPECT_FLOAT_EQ(1.0f, Params<stOsgArcParams>(items[0]).RadianStart); // read as an integer

    ASSERT_EQ(1, ParseOsgDefinition(Padded("a:gmtTp=36,Wdth=40,Hght=30,;"), items));
    const auto rect = Params<stOsgRectangleParams>(items[0]);
    EXPECT_EQ(-264, rect.StartX);
    EXPECT_EQ(40, rect.Width);
    EXPECT_EQ(30, rect.Height);

    ASSERT_EQ(1, ParseOsgDefinition(Padded("a:gmtTp=32,Vrtx3Y=6,;"), items));
    EXPECT_EQ(6, Params<stOsgTriangleParams>(items[0]).Vertex3Y);
    EXPECT_EQ(0, Params<stOsgTriangleParams>(items[0]).Vertex1X);
}

TEST(OsgDefinitionTest, PolygonsCarryVerticesOnlyForFourToSixteen)
{
    std::vector<stOsgGeometry> items;
    stOsgPolygonParams polygon;
    ASSERT_EQ(1, ParseOsgDefinition(Padded("a:gmtTp=40,VrtxNum=3,VX1=1,VY1=2,;"), items));
    EXPECT_FALSE(GetOsgPolygon(items[0], polygon));
    ASSERT_EQ(1, ParseOsgDefinition(Padded("a:gmtTp=40,VrtxNum=17,;"), items));
    EXPECT_FALSE(GetOsgPolygon(items[0], polygon));

    ASSERT_EQ(1, ParseOsgDefinition(Padded("a:gmtTp=40,VrtxNum=4,VX1=1,VY1=2,VX4=7,VY4=8,VX5=9,;"), items));
    ASSERT_TRUE(GetOsgPolygon(items[0], polygon));
    EXPECT_EQ(4, polygon.VertexNum);
    EXPECT_EQ(1, polygon.X[0]);
    EXPECT_EQ(2, polygon.Y[0]);
    EXPECT_EQ(0, polygon.X[1]);
    EXPECT_EQ(7, polygon.X[3]);
    EXPECT_EQ(8, polygon.Y[3]);
    EXPECT_EQ(2u + 4 * 4, items[0].params.size());

    // Without a count the default 5 reads five vertices.
    ASSERT_EQ(1, ParseOsgDefinition(Padded("a:gmtTp=40,VX5=3,;"), items));
    ASSERT_TRUE(GetOsgPolygon(items[0], polygon));
    EXPECT_EQ(5, polygon.VertexNum);
    EXPECT_EQ(3, polygon.X[4]);

    std::string sixteen = "a:gmtTp=40,VrtxNum=16,";
    for (int i = 1; i <= 16; ++i)
        sixteen += "VX" + std::to_string(i) + "=" + std::to_string(i) + ",";
    sixteen += ";";
    ASSERT_EQ(1, ParseOsgDefinition(Padded(sixteen), items));
    ASSERT_TRUE(GetOsgPolygon(items[0], polygon));
    EXPECT_EQ(16, polygon.X[15]);
}

TEST(OsgDefinitionTest, CurveRecords)
{
    std::vector<stOsgGeometry> items;
    ASSERT_EQ(1, ParseOsgDefinition(Padded("a:gmtTp=54,B=2.5,;"), items));
    const auto parabola = Params<stOsgParabolaParams>(items[0]);
    EXPECT_FLOAT_EQ(1.0f, parabola.A);
    EXPECT_FLOAT_EQ(2.5f, parabola.B);
    EXPECT_FLOAT_EQ(0.0f, parabola.C);

    ASSERT_EQ(1, ParseOsgDefinition(Padded("a:gmtTp=55,D=-1,;"), items));
    EXPECT_FLOAT_EQ(-1.0f, Params<stOsgCubicParams>(items[0]).D);
    ASSERT_EQ(1, ParseOsgDefinition(Padded("a:gmtTp=58,;"), items));
    EXPECT_FLOAT_EQ(1.0f, Params<stOsgPowerParams>(items[0]).A);

    // Omega and theta in GBK (as the clients send them) and in UTF-8.
    ASSERT_EQ(1, ParseOsgDefinition(Padded("a:gmtTp=60,A=2,\xA6\xD8=3,\xA6\xC8=4,D=5,;"), items));
    auto wave = Params<stOsgWaveParams>(items[0]);
    EXPECT_FLOAT_EQ(2.0f, wave.A);
    EXPECT_FLOAT_EQ(1.0f, wave.K);
    EXPECT_FLOAT_EQ(3.0f, wave.W);
    EXPECT_FLOAT_EQ(0.0f, wave.T);
    EXPECT_FLOAT_EQ(4.0f, wave.Q);
    EXPECT_FLOAT_EQ(5.0f, wave.D);
    ASSERT_EQ(1, ParseOsgDefinition(Padded("a:gmtTp=64,\xCF\x89=6,\xCE\xB8=7,;"), items));
    wave = Params<stOsgWaveParams>(items[0]);
    EXPECT_FLOAT_EQ(6.0f, wave.W);
    EXPECT_FLOAT_EQ(7.0f, wave.Q);

    ASSERT_EQ(1, ParseOsgDefinition(Padded("a:gmtTp=88,A=3,;"), items));
    EXPECT_TRUE(items[0].params.empty());
}

} // namespace
