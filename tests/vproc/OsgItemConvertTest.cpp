#include "vproc/OsgItemConvert.h"

#include "core/TYXUtils.h"

#include "ClipFiles.h"

#include <gtest/gtest.h>

namespace {

stTYXOSGConfig Geometry(const std::wstring &shape, std::map<std::wstring, std::wstring> parameters)
{
    stTYXOSGConfig config;
    config.Role = L"VideoOutput";
    config.OSGType = L"Geometry";
    config.GmtType = shape;
    config.Parameters = std::move(parameters);
    return config;
}

TEST(OsgItemConvertTest, Geometries)
{
    stTYXOSGConfig config = Geometry(L"circle", {{L"CentreX", L"5000"}, {L"CentreY", L"5000"}, {L"Radius", L"100"}});
    config.CordOrgPos = L"RATIO";
    config.lineColor = L"Red";
    config.Transparent = 0;
    config.weight = 0x103;
    config.lineType = L"Dashed";
    stOsgItem item;
    ASSERT_EQ(ConvertOsgItemConfig(config, item), 0);
    EXPECT_EQ(item.kind, OSG_KIND_GEOMETRY);
    EXPECT_EQ(item.target, OSG_TARGET_OUTPUT);
    const auto &geometry = std::get<stOsgGeometry>(item.record);
    EXPECT_EQ(geometry.shape, GMT_CIRCLE);
    EXPECT_EQ(geometry.ratio, 1);
    EXPECT_EQ(geometry.lineColor, 4);
    EXPECT_EQ(geometry.hollow, 0);
    EXPECT_EQ(geometry.lineWidth, 3);
    EXPECT_EQ(geometry.lineStyle, OSG_LINE_DASHED);
    EXPECT_EQ(geometry.params.size(), 6u);

    config = Geometry(L"Linear", {{L"K", L"1"}, {L"B", L"2"}});
    config.CordOrgPos = L"LBCorner";
    config.XRangeL = -10;
    config.XRangeR = 30;
    stOsgItem curve;
    ASSERT_EQ(ConvertOsgItemConfig(config, curve), 0);
    EXPECT_EQ(std::get<stOsgGeometry>(curve.record).origin, 8);
    EXPECT_EQ(std::get<stOsgGeometry>(curve.record).xRangeLeft, -10);

    stOsgItem other;
    EXPECT_EQ(ConvertOsgItemConfig(Geometry(L"CIRCLEX", {}), other), -1);
    EXPECT_EQ(ConvertOsgItemConfig(Geometry(L"circle", {{L"CentreX", L"1"}, {L"CentreY", L"1"}}), other), -1);
    ASSERT_EQ(ConvertOsgItemConfig(Geometry(L"PYRAMID", {}), other), 0);
    EXPECT_TRUE(std::get<stOsgGeometry>(other.record).params.empty());
    ASSERT_EQ(ConvertOsgItemConfig(Geometry(L"SQRT", {}), other), 0);
    stTYXOSGConfig text = Geometry(L"circle", {});
    text.OSGType = L"Text";
    EXPECT_EQ(ConvertOsgItemConfig(text, other), -1);
}

TEST(OsgItemConvertTest, PicturesAndClips)
{
    CTempDir dir;
    const std::string picturePath = WriteTestFile(dir, "logo.png", MakePng(20, 10));

    stTYXOSGConfig config;
    config.Role = L"ToRendering";
    config.OSGType = L"PICTURE";
    config.SourceFile = StringToWString(picturePath);
    config.CordOrgPos = L"RBCorner";
    config.PosX = 4;
    config.ShowTime = 9;
    stOsgItem item;
    ASSERT_EQ(ConvertOsgItemConfig(config, item), 0);
    EXPECT_EQ(item.target, OSG_TARGET_RENDERING);
    const auto &picture = std::get<stOsgPicture>(item.record);
    EXPECT_EQ(picture.width, 20);
    EXPECT_TRUE(picture.image);
    EXPECT_EQ(picture.placement.origin, 6);
    EXPECT_EQ(picture.placement.offsetX, 4);
    EXPECT_EQ(picture.placement.duration, 9);

    stOsgItem failed;
    config.SourceFile = StringToWString(dir.File("missing.png").string());
    EXPECT_EQ(ConvertOsgItemConfig(config, failed), -2);
    config.SourceFile = std::wstring(260, L'a');
    EXPECT_EQ(ConvertOsgItemConfig(config, failed), -2);

    const std::vector<uint8_t> bytes = MakeClip(32, 16, 6, true);
    const std::string clipPath = WriteTestFile(dir, "clip.mov", bytes);
    stTYXOSGConfig clipConfig;
    clipConfig.OSGType = L"ANIMATE";
    clipConfig.SourceFile = StringToWString(clipPath);
    clipConfig.FromFrame = 2;
    clipConfig.ToFrame = 5;
    clipConfig.Repeat = 0;
    stOsgItem clipItem;
    ASSERT_EQ(ConvertOsgItemConfig(clipConfig, clipItem), 0);
    const auto &clip = std::get<stOsgAnimate>(clipItem.record);
    EXPECT_EQ(clip.frames.size(), 4u);
    EXPECT_FALSE(clip.loop);

    clipConfig.SourceKind = OSG_SOURCE_MEMORY; // no address yet
    EXPECT_EQ(ConvertOsgItemConfig(clipConfig, failed), -2);
    clipConfig.SourceAddress = bytes.data();
    clipConfig.SourceSize = bytes.size();
    ASSERT_EQ(ConvertOsgItemConfig(clipConfig, clipItem), 0);
    EXPECT_EQ(std::get<stOsgAnimate>(clipItem.record).frames.size(), 4u);

    clipConfig.SourceKind = OSG_SOURCE_PREPARED; // the built-in clip
    clipConfig.FromFrame = 1;
    clipConfig.ToFrame = 2;
    clipConfig.Resize = 0.1f;
    ASSERT_EQ(ConvertOsgItemConfig(clipConfig, clipItem), 0);
    EXPECT_EQ(std::get<stOsgAnimate>(clipItem.record).width, 128);
}

} // namespace
