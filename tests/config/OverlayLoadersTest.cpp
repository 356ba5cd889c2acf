#include "config/GTYXConfigXml.h"

#include "config/ConfigTestFiles.h"
#include "host/GlobalVars.h"
#include "config/StreamCfgText.h"
#include "core/TYXUtils.h"

#include <gtest/gtest.h>

namespace {

// On-screen texts and graphics, loaded after a pipeline of two sources, their decoders, a mux of
// both and an encoder.
class OverlayLoadersTest : public CConfigFileTest
{
protected:
    void SetUp() override
    {
        CConfigFileTest::SetUp();
        Write("logo.png", "not really a picture, but readable");
    }

    std::wstring WritePipeline(const std::string &overlays)
    {
        const std::string workers =
            TwoDecodedSources() +
            Section("VideoMidProcessors", "MProcCount", 1,
                    Item("Mux", 1, Key("MPType", "VMux") + Key("RVSInCount", "1") +
                                       NumberedKey("IRVS", 1, "VideoDecoders.D1.VideoOutput") +
                                       Key("MuxLayout", "StandAlone") + NumberedKey("RgnVs", 1, "1"))) +
            Section("VideoEncoders", "VECDCount", 1,
                    Item("Enc", 1, Key("VCodec", "H264") + Key("VideoSource", "VideoMidProcessors.Mux.VideoOutput")));
        const std::wstring path = Write("StreamCfg.xml", Document(workers + overlays));
        EXPECT_EQ(LoadWorkersConfigXml(path.c_str()), 6);
        return path;
    }

    int32_t LoadOsds(int count, const std::string &items)
    {
        return LoadOSDConfigXml(WritePipeline(Section("OSDs", "OSDCount", count, items)));
    }
    int32_t LoadOsgs(int count, const std::string &items)
    {
        return LoadOSGConfigXml(WritePipeline(Section("OSGs", "OSGCount", count, items)));
    }

    static const stTYXOSDConfig &Osd(int16_t number) { return CTYXGVMS::OSDConfigs().at(number); }
    static const stTYXOSGConfig &Osg(int16_t number) { return CTYXGVMS::OSGConfigs().at(number); }
};

std::string OsdItem(int id, const std::string &drawOn, const std::string &keys)
{
    return Item("OSD", id, Key("DrawOn", drawOn) + keys);
}

std::string OsgItem(int id, const std::string &drawOn, const std::string &keys)
{
    return Item("OSG", id, Key("DrawOn", drawOn) + keys);
}

TEST_F(OverlayLoadersTest, TextOwnersAndTargets)
{
    EXPECT_EQ(LoadOsds(6, OsdItem(1, "VideoDecoders.d1.VideoOutput", Key("OsdType", "Datetime")) +
                              OsdItem(2, "VideoDecoders.D2.ToRendering", Key("OsdType", "Time")) +
                              OsdItem(3, "VideoMidProcessors.Mux.VideoInput", "") +
                              OsdItem(4, "VideoMidProcessors.Mux.ToDownstream", "") +
                              OsdItem(5, "MediaSources.S1.VideoOutput.ById.2", "") +
                              OsdItem(6, "VideoDecoders.D1", "")),
              6);
    const stTYXOSDConfig &decoder = Osd(1);
    EXPECT_EQ(decoder.Alias, L"d1"); // as written
    EXPECT_EQ(decoder.DrawTarget, 4);
    EXPECT_EQ(decoder.OwnerStreamId, 0x02010001u);
    EXPECT_EQ(decoder.OwnerWorkerId, 0x02010000u);
    EXPECT_EQ(decoder.OsdType, 4);
    EXPECT_EQ(Osd(2).DrawTarget, 16);
    EXPECT_EQ(Osd(2).OwnerWorkerId, 0x02020000u);
    EXPECT_EQ(Osd(3).DrawTarget, 2);
    EXPECT_EQ(Osd(3).OwnerStreamId, 0x04010000u); // an input role names the worker itself
    EXPECT_EQ(Osd(4).DrawTarget, 8);
    EXPECT_EQ(Osd(4).OwnerWorkerId, 0x04010000u);
    EXPECT_EQ(Osd(5).OwnerStreamId, 0x01010002u);
    EXPECT_EQ(Osd(5).OwnerWorkerId, 0x01010000u);
    EXPECT_EQ(Osd(6).DrawTarget, 0);
    EXPECT_EQ(Osd(6).OwnerStreamId, 0x02010000u);
}

TEST_F(OverlayLoadersTest, TextsWithoutAnOwnerAreSkipped)
{
    EXPECT_EQ(LoadOsds(8, OsdItem(1, "VideoDecoders.Nobody.VideoOutput", "") +
                              OsdItem(2, "MediaSources.S1.VideoOutput.ById.9", "") +
                              OsdItem(3, "VideoDecoders.D1.VideoInput.ByName.X", "") +
                              OsdItem(4, "Nowhere.D1.VideoOutput", "") + OsdItem(5, "MediaSources.S1.VideoInput", "") +
                              Item("OSD", 6, Key("OsdType", "Time")) + OsdItem(0, "VideoDecoders.D1.VideoOutput", "") +
                              OsdItem(9, "VideoDecoders.D1.VideoOutput", "") + OsdItem(7, "VideoDecoders.D1.VideoOutput", "") +
                              OsdItem(7, "VideoDecoders.D2.VideoOutput", "")),
              1);
    // Never an owner made of a failed look-up, and a line for every text left out.
    EXPECT_EQ(Osd(7).OwnerWorkerId, 0x02010000u);
    for (const wchar_t *line : {
             L"Configuration:OSD(No=1) DrawOn(VideoDecoders.Nobody.VideoOutput) names no worker Nobody among the configured VideoDecoders, Skip it!",
             L"Configuration:OSD(No=2) DrawOn(MediaSources.S1.VideoOutput.ById.9) names no output stream of S1, Skip it!",
             L"Configuration:OSD(No=3) DrawOn(VideoDecoders.D1.VideoInput.ByName.X) names no output stream of D1, Skip it!",
             L"Configuration:OSD(No=4) DrawOn(Nowhere.D1.VideoOutput) names no section it knows",
             L"Configuration:OSD(No=5) DrawOn(MediaSources.S1.VideoInput) names a role that its section does not have, Skip it!",
             L"Configuration:OSD(No=6) DrawOn is missing or empty, Skip it!",
             L"Configuration:OSD(No=0) id(0) is outside 1..32767, Skip it!",
             L"Configuration:OSD(No=9) id(9) is above OSDCount(8), Skip it!",
             L"Configuration:OSD(No=7) configured duplicated!, Skip it!"})
        EXPECT_EQ(m_log.Count(line, 3), 1) << std::wstring(line);
    EXPECT_EQ(m_log.Count(L"Configuration", 2) + m_log.Count(L"Configuration", 3), 9);
}

// A writer's id ends in 04: clearing the low bits of it would name no worker at all.
TEST_F(OverlayLoadersTest, TextsOnAWriterBelongToTheWriter)
{
    const std::string workers =
        TwoDecodedSources() +
        Section("MediaWriters", "MWCount", 32767,
                Item("Rec", 1, Key("MWType", "FILE") + Key("RootFolder", "/srv/records") +
                                   Key("VideoStreams", "MediaSources.S1.VideoOutput")) +
                    Item("Top", 32767, Key("MWType", "FILE") + Key("RootFolder", "/srv/records") +
                                           Key("VideoStreams", "MediaSources.S2.VideoOutput")));
    const std::wstring path =
        Write("StreamCfg.xml", Document(workers + Section("OSDs", "OSDCount", 2,
                                                          OsdItem(1, "MediaWriters.Rec.VideoInput", "") +
                                                              OsdItem(2, "MediaWriters.Top", ""))));
    ASSERT_EQ(LoadWorkersConfigXml(path.c_str()), 6);
    EXPECT_EQ(LoadOSDConfigXml(path), 2);
    EXPECT_EQ(Osd(1).OwnerWorkerId, 0x10010004u);
    EXPECT_EQ(Osd(1).OwnerStreamId, 0x10010004u);
    EXPECT_EQ(Osd(1).DrawTarget, 2);
    EXPECT_EQ(Osd(2).OwnerWorkerId, 0x8FFF0004u);
}

TEST_F(OverlayLoadersTest, TextKeys)
{
    EXPECT_EQ(LoadOsds(5, OsdItem(1, "VideoDecoders.D1.VideoOutput",
                              Key("OsdType", "StaticText") + Key("Content", "Studio one") + Key("PosBase", "ltcorner") +
                                  Key("XShift", "-20") + Key("YShift", "40") + Key("TextColor", "red") +
                                  Key("TextHeight", "10")) +
                              OsdItem(2, "VideoDecoders.D1.VideoOutput",
                                  Key("OsdType", "Time") + Key("Content", "ignored") + Key("TextHeight", "300") +
                                      Key("PosBase", "Center")) +
                              OsdItem(3, "VideoDecoders.D1.VideoOutput",
                                  Key("OsdType", "time") + Key("TextHeight", "200") + Key("PosBase", "center") +
                                      Key("TextColor", "Pink")) +
                              OsdItem(4, "VideoDecoders.D1.VideoOutput", "") +
                              OsdItem(5, "VideoDecoders.D1.VideoOutput", Key("TextHeight", "-1"))),
              5);
    EXPECT_EQ(Osd(1).OsdType, 6);
    EXPECT_EQ(Osd(1).Content, L"Studio one");
    EXPECT_EQ(Osd(1).PosBase, 2);
    EXPECT_EQ(Osd(1).XShift, -20);
    EXPECT_EQ(Osd(1).YShift, 40);
    EXPECT_EQ(Osd(1).TextColor, 4);
    EXPECT_EQ(Osd(1).TextHeight, 16);
    EXPECT_EQ(Osd(2).OsdType, 1);
    EXPECT_TRUE(Osd(2).Content.empty());
    EXPECT_EQ(Osd(2).TextHeight, 44); // the low byte of 300
    EXPECT_EQ(Osd(2).PosBase, 1);
    EXPECT_EQ(Osd(3).OsdType, 0);     // "Time" is matched letter for letter
    EXPECT_EQ(Osd(3).TextHeight, 128);
    EXPECT_EQ(Osd(3).PosBase, 0);
    EXPECT_EQ(Osd(3).TextColor, 0);
    EXPECT_EQ(Osd(4).TextHeight, 8);
    EXPECT_EQ(Osd(4).TextColor, 16);
    EXPECT_EQ(Osd(4).OsdType, 0);
    EXPECT_EQ(Osd(5).TextHeight, 128); // 255
}

TEST_F(OverlayLoadersTest, RegistryIsRefilledOnEveryLoad)
{
    EXPECT_EQ(LoadOsds(2, OsdItem(1, "VideoDecoders.D1.VideoOutput", "") + OsdItem(2, "VideoDecoders.D2.VideoOutput", "")), 2);
    EXPECT_EQ(LoadOsds(1, OsdItem(1, "VideoDecoders.D2.VideoOutput", "")), 1);
    EXPECT_EQ(Osd(1).OwnerWorkerId, 0x02020000u);
    EXPECT_EQ(LoadOsds(0, OsdItem(1, "VideoDecoders.D2.VideoOutput", "")), 0);
    EXPECT_TRUE(CTYXGVMS::OSDConfigs().empty());
    EXPECT_LT(LoadOSDConfigXml(WidePath(m_dir.File("missing.xml"))), 0);
}

TEST_F(OverlayLoadersTest, GeometryItems)
{
    const std::string target = "VideoMidProcessors.Mux.VideoOutput";
    EXPECT_EQ(LoadOsgs(5, OsgItem(1, target,
                              Key("OSGType", "geometry") + Key("GmtType", "CIRCLE") + Key("CordOrgPos", "specify") +
                                  Key("CntrCrdX", "960") + Key("CntrCrdY", "540") + Key("weight", "260") +
                                  Key("Transparent", "False") + Key("GmtNeedPrmtrs", "True") +
                                  Key("Parameters", Key("CentreX", "100") + Key("CentreY", "50") +
                                                        Key("Radius", "20") + NumberedKey("Vertex", 2, "7"))) +
                              OsgItem(2, target,
                                  Key("OSGType", "Geometry") + Key("GmtType", "RECTANGLE") + Key("CordOrgPos", "Center") +
                                      Key("CntrCrdX", "960") + Key("GmtNeedPrmtrs", "False") +
                                      Key("Parameters", Key("StartX", "1"))) +
                              OsgItem(3, target, Key("OSGType", "Geometry") + Key("lineColor", "Red")) +
                              OsgItem(4, target, Key("OSGType", "Sparkle") + Key("GmtType", "CIRCLE")) +
                              OsgItem(5, target, Key("GmtType", "CIRCLE"))),
              4);
    const stTYXOSGConfig &circle = Osg(1);
    EXPECT_EQ(circle.OwnerStreamId, 0x04010001u);
    EXPECT_EQ(circle.DrawTarget, 4);
    EXPECT_EQ(circle.GmtType, L"CIRCLE");
    EXPECT_EQ(circle.CntrCrdX, 960); // "specify" in any case reads the centre
    EXPECT_EQ(circle.CntrCrdY, 540);
    EXPECT_EQ(circle.weight, 4); // the low byte
    EXPECT_EQ(circle.Transparent, 0);
    EXPECT_EQ(circle.Parameters, (std::map<std::wstring, std::wstring>{
                                     {L"CentreX", L"100"}, {L"CentreY", L"50"}, {L"Radius", L"20"}, {L"Vertex[2]", L"7"}}));
    const stTYXOSGConfig &rectangle = Osg(2);
    EXPECT_EQ(rectangle.CntrCrdX, 0); // only a "Specify" origin reads the centre
    EXPECT_TRUE(rectangle.Parameters.empty());
    EXPECT_EQ(rectangle.weight, 1);
    EXPECT_EQ(rectangle.Transparent, 1);
    EXPECT_FALSE(CTYXGVMS::OSGConfigs().count(3)); // a geometry needs its shape
    EXPECT_TRUE(Osg(4).GmtType.empty());           // unknown kinds read nothing more
    EXPECT_TRUE(Osg(5).OSGType.empty());
}

TEST_F(OverlayLoadersTest, PictureAndAnimationFiles)
{
    const std::string target = "VideoDecoders.D1.VideoOutput";
    const std::string logo = WStringToString(WidePath(m_dir.File("logo.png")));
    CTYXGVMS::ProgramFolder() = WidePath(m_dir.Path());
    EXPECT_EQ(LoadOsgs(5, OsgItem(1, target,
                              Key("OSGType", "PICTURE") + Key("SourceFile", logo) + Key("PosX", "-8") +
                                  Key("Resize", "0.5") + Key("FromFrame", "4") + Key("Repeat", "False")) +
                              OsgItem(2, target,
                                  Key("OSGType", "animate") + Key("SourceFile", "logo.png") + Key("FromFrame", "2") +
                                      Key("ToFrame", "9") + Key("Repeat", "False")) +
                              OsgItem(3, target, Key("OSGType", "PICTURE") + Key("SourceFile", "/nowhere/logo.png")) +
                              OsgItem(4, target, Key("OSGType", "ANIMATE")) +
                              OsgItem(5, target, Key("OSGType", "ANIMATE") + Key("SourceFile", "missing.gif"))),
              2);
    const stTYXOSGConfig &picture = Osg(1);
    EXPECT_EQ(picture.SourceFile, StringToWString(logo));
    EXPECT_EQ(picture.SourceFileOk, 1);
    EXPECT_EQ(picture.PosX, -8);
    EXPECT_EQ(picture.Resize, 0.5f);
    EXPECT_EQ(picture.FromFrame, 0); // frames and looping belong to animations
    EXPECT_EQ(picture.Repeat, 1);
    const stTYXOSGConfig &animation = Osg(2);
    EXPECT_EQ(animation.SourceFile, WidePath(m_dir.File("logo.png"))); // from the program folder
    EXPECT_EQ(animation.FromFrame, 2);
    EXPECT_EQ(animation.ToFrame, 9);
    EXPECT_EQ(animation.Repeat, 0);
    EXPECT_EQ(animation.Resize, 1.0f);
    EXPECT_EQ(animation.SourceKind, OSG_SOURCE_FILE);
    EXPECT_TRUE(m_log.Contains(L"Configuration: Configured OSG Graphic file(/nowhere/logo.png) is inaccessible, please checking it!", 2));
    EXPECT_TRUE(m_log.Contains(L"Configuration: Configured OSG Graphic file(" + WidePath(m_dir.File("missing.gif")) +
                                   L") is inaccessible, please checking it!", 2));
    EXPECT_EQ(m_log.Count(L"is inaccessible", 2), 2); // a missing key is no file to check
}

} // namespace
