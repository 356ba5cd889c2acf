#include "config/GTYXConfigXml.h"

#include "config/ConfigTestFiles.h"
#include "host/GlobalVars.h"
#include "config/StreamCfgText.h"

#include <gtest/gtest.h>

namespace {

// Decoder D1's and D2's pictures (see TwoDecodedSources).
constexpr int32_t D1_OUT = 0x02010001;
constexpr int32_t D2_OUT = 0x02020001;

class MidProcLoaderTest : public CConfigFileTest
{
protected:
    // Loads sources and decoders (load order 1 and 2), then the mid-processor section.
    int32_t LoadMidProcs(int count, const std::string &items)
    {
        m_path = Write("StreamCfg.xml",
                       Document(TwoDecodedSources() + Section("VideoMidProcessors", "MProcCount", count, items)));
        EXPECT_EQ(LoadMSReadersConfigXml(m_path), 2);
        EXPECT_EQ(LoadVideoDecodersConfigXml(m_path), 2);
        return LoadVMPsConfigXml(m_path);
    }

    static const stVideoMidProcWorkerConfig &MidProc(const wchar_t *name) { return CTYXGVMS::VMPConfigs().at(name); }
    static bool Has(const wchar_t *name) { return CTYXGVMS::VMPConfigs().count(name) == 1; }

    std::wstring m_path;
};

std::string Inputs(int count, std::initializer_list<std::pair<int, const char *>> inputs)
{
    std::string keys = Key("RVSInCount", std::to_string(count));
    for (const auto &[number, text] : inputs)
        keys += NumberedKey("IRVS", number, text);
    return keys;
}

std::string Regions(std::initializer_list<int> inputs)
{
    std::string keys;
    int region = 1;
    for (int input : inputs)
        keys += NumberedKey("RgnVs", region++, std::to_string(input));
    return keys;
}

// A stand-alone mux of D1.
std::string SimpleMux(const std::string &name, int id)
{
    return Item(name, id, Key("MPType", "VMux") + Inputs(1, {{1, "VideoDecoders.D1.VideoOutput"}}) +
                              Key("MuxLayout", "StandAlone") + Regions({1}));
}

std::string ChildWindow(int id, const std::string &keys)
{
    return NumberedKey("ChildWindow", id, keys);
}

std::string SplitOutput(int id, const std::string &keys)
{
    return NumberedKey("Output", id, keys);
}

std::string Region(int left, int top, int width, int height)
{
    return Key("RegionLeft", std::to_string(left)) + Key("RegionTop", std::to_string(top)) +
           Key("RegionWidth", std::to_string(width)) + Key("RegionHeight", std::to_string(height));
}

TEST_F(MidProcLoaderTest, MuxWithPictureInPicture)
{
    CTYXGVMS::GeneralSettings().GlobalFramerate = 25.0f;
    const int32_t result = LoadMidProcs(
        1, Item("Pip", 1,
                Key("MPType", "vmux") + Key("PushAtBegin", "True") +
                    Inputs(3, {{1, "VideoDecoders.D1.VideoOutput"},
                               {2, "VideoDecoders.D2.VideoOutput"},
                               {3, "MediaSources.S1.VideoOutput"}}) +
                    Key("IRVSSIFRequired", "1, 3,9,x,,0") + Key("MuxLayout", "pip-2-on-1") + Regions({3, 1, 2}) +
                    ChildWindow(1, Key("posBase", "RBCorner") + Key("xShift", "16") +
                                       Key("yShift", "-16") + Key("Width", "320") + Key("Height", "180")) +
                    ChildWindow(2, Key("posBase", "center") + Key("xShift", "0") + Key("yShift", "0") +
                                       Key("Width", "160") + Key("Height", "90")) +
                    ChildWindow(3, Key("xShift", "1") + Key("yShift", "1") + Key("Width", "1") + Key("Height", "1")) +
                    Key("OutputWidth", "1280") + Key("OutputHeight", "720") + Key("DirectOutput", "True") +
                    Key("outputOn", "SpecifyWindow") + Key("IPGNum", "300")));
    EXPECT_EQ(result, 1);
    const stVideoMidProcWorkerConfig &pip = MidProc(L"Pip");
    EXPECT_EQ(pip.WorkerId, 0x04010000);
    EXPECT_EQ(pip.LoadSeq, 3);
    EXPECT_EQ(pip.MPType, 1);
    EXPECT_EQ(pip.PushAtBegin, 0); // never read for mid-processors
    const stVMuxConfig &mux = pip.MuxSettings;
    EXPECT_EQ(mux.MuxLayout, 3);
    ASSERT_EQ(mux.MuxInputs.size(), 3u);
    EXPECT_EQ(mux.MuxInputs.at(1), D1_OUT);
    EXPECT_EQ(mux.MuxInputs.at(3), 0x01010001);
    EXPECT_EQ(mux.MuxInputNames.at(D2_OUT), L"VideoDecoders.D2.VideoOutput");
    EXPECT_EQ(mux.SifInputs, (std::set<int32_t>{D1_OUT, 0x01010001}));
    EXPECT_EQ(mux.InputRegions, (std::map<int32_t, int16_t>{{0x01010001, 1}, {D1_OUT, 2}, {D2_OUT, 3}}));
    // A layout of three windows has two child windows; a third element is not read.
    ASSERT_EQ(mux.ChildWindows.size(), 2u);
    EXPECT_EQ(mux.ChildWindows[0].posBase, 6);
    EXPECT_EQ(mux.ChildWindows[0].yShift, -16);
    EXPECT_EQ(mux.ChildWindows[1].posBase, 0); // "Center" is matched letter for letter
    EXPECT_EQ(mux.OutputWidth, 1280);
    EXPECT_EQ(pip.OutputHeight, 720);
    EXPECT_EQ(pip.OutputFramerate, 25.0f);
    EXPECT_EQ(pip.DirectOutputSettings.outputOn, 2);
    EXPECT_EQ(mux.IPGNum, 255); // held to its byte, not wrapped
    EXPECT_EQ(mux.CylinderHeight, 6);
}

TEST_F(MidProcLoaderTest, OutputPictureSize)
{
    CTYXGVMS::GeneralSettings().GlobalFramerate = 0.0f;
    const std::string source = Key("VideoSource", "VideoDecoders.D1.VideoOutput");
    EXPECT_EQ(LoadMidProcs(4, Item("Zero", 1, Key("MPType", "VUnify") + source + Key("OutputWidth", "0") +
                                                  Key("OutputHeight", "720") + Key("OutputFramerate", "5")) +
                                  Item("Narrow", 2, Key("MPType", "VUnify") + source + Key("OutputWidth", "200") +
                                                        Key("OutputHeight", "1080")) +
                                  Item("Hd", 3, Key("MPType", "VUnify") + source + Key("OutputWidth", "1280") +
                                                    Key("OutputHeight", "720")) +
                                  Item("Absent", 4, Key("MPType", "VUnify") + source)),
              4);
    EXPECT_EQ(MidProc(L"Zero").OutputWidth, 1920);
    EXPECT_EQ(MidProc(L"Zero").OutputHeight, 1080);
    EXPECT_EQ(MidProc(L"Zero").OutputFramerate, 30.0f);
    EXPECT_EQ(MidProc(L"Narrow").OutputWidth, 320);
    EXPECT_EQ(MidProc(L"Narrow").OutputHeight, 180);
    EXPECT_EQ(MidProc(L"Hd").MuxSettings.OutputWidth, 1280);
    EXPECT_EQ(MidProc(L"Hd").OutputHeight, 720);
    EXPECT_EQ(MidProc(L"Absent").OutputWidth, 1920);

    const stVideoMidProcWorkerConfig &unify = MidProc(L"Hd");
    EXPECT_EQ(unify.SingleInput.VideoSource, D1_OUT);
    EXPECT_EQ(unify.UnifySource, D1_OUT);
    EXPECT_EQ(unify.UnifySourceName, L"VideoDecoders.D1.VideoOutput");
}

TEST_F(MidProcLoaderTest, MuxWithAMissingInputIsDroppedAloneAndTheSectionFails)
{
    const int32_t result = LoadMidProcs(
        3, Item("Broken", 1, Key("MPType", "VMux") +
                                 Inputs(4, {{1, "VideoDecoders.D1.VideoOutput"},
                                            {2, "VideoDecoders.D2.VideoOutput"},
                                            {4, "MediaSources.S1.VideoOutput"}}) +
                                 Key("MuxLayout", "PIP-1-On-1") + Regions({1, 2})) +
               Item("Matrix", 2, Key("MPType", "VMtx") +
                                     Inputs(4, {{1, "VideoDecoders.D1.VideoOutput"},
                                                {2, "VideoDecoders.D2.VideoOutput"}}) +
                                     Key("RVOutCount", "2") + NumberedKey("VODftVI", 1, "4") +
                                     NumberedKey("VODftVI", 2, "2")) +
               SimpleMux("After", 3));
    EXPECT_EQ(result, -1);
    EXPECT_FALSE(Has(L"Broken"));
    // The matrix keeps what it read; a default input checks against the configured count only.
    const stVideoMidProcWorkerConfig &matrix = MidProc(L"Matrix");
    EXPECT_EQ(matrix.MatrixInputs, (std::map<int16_t, int32_t>{{1, D1_OUT}, {2, D2_OUT}}));
    EXPECT_EQ(matrix.MatrixOutputs, (std::map<int16_t, int16_t>{{1, 4}, {2, 2}}));
    // An earlier faulty item costs a later mux nothing.
    EXPECT_TRUE(Has(L"After"));
}

TEST_F(MidProcLoaderTest, InputFaults)
{
    const int32_t result = LoadMidProcs(
        5, Item("Twice", 1, Key("MPType", "VMtx") +
                                Inputs(3, {{1, "VideoDecoders.D1.VideoOutput"},
                                           {2, "videodecoders.d1.VIDEOOUTPUT"},
                                           {3, "VideoDecoders.D2.VideoOutput"}}) +
                                Key("RVOutCount", "1") + NumberedKey("VODftVI", 1, "1")) +
               Item("Unknown", 2, Key("MPType", "VMtx") +
                                      Inputs(2, {{1, "VideoDecoders.Nobody.VideoOutput"},
                                                 {2, "VideoDecoders.D2.VideoOutput"}}) +
                                      Key("RVOutCount", "1") + NumberedKey("VODftVI", 1, "2")) +
               Item("NoCount", 3, Key("MPType", "VMtx") + NumberedKey("IRVS", 1, "VideoDecoders.D1.VideoOutput") +
                                      Key("RVOutCount", "1") + NumberedKey("VODftVI", 1, "1")) +
               Item("NoOutputs", 4, Key("MPType", "VMtx") + Inputs(1, {{1, "VideoDecoders.D1.VideoOutput"}})) +
               Item("BadRegion", 5, Key("MPType", "VMux") + Inputs(1, {{1, "VideoDecoders.D1.VideoOutput"}}) +
                                        Key("MuxLayout", "PIP-1-On-1") + Regions({1, 7})));
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(m_log.Contains(L"Configuration:Duplicated video source name Name(videodecoders.d1.VIDEOOUTPUT) found in MidProc(Twice), please correct it and restart.", 3));
    EXPECT_EQ(MidProc(L"Twice").MatrixInputs.size(), 1u);
    EXPECT_TRUE(MidProc(L"Unknown").MatrixInputs.empty()); // reading stopped at the first
    EXPECT_EQ(MidProc(L"Unknown").MatrixOutputs.size(), 1u);
    EXPECT_FALSE(Has(L"NoCount"));
    EXPECT_FALSE(Has(L"NoOutputs"));
    EXPECT_FALSE(Has(L"BadRegion"));
    for (const wchar_t *line : {
             L"Configuration:MidProc(No=2, Name=Unknown) IRVS[1](VideoDecoders.Nobody.VideoOutput) names no worker Nobody "
             L"among the VideoDecoders configured before it, later inputs are not read.",
             L"Configuration:MidProc(No=3, Name=NoCount) RVSInCount is missing or empty, Skip it!",
             L"Configuration:MidProc(No=4, Name=NoOutputs) RVOutCount is missing or empty, Skip it!",
             L"Configuration:MidProc(No=5, Name=BadRegion) RgnVs[2](7) names no input of the mux, Skip it!"})
        EXPECT_EQ(m_log.Count(line, 3), 1) << std::wstring(line);
}

TEST_F(MidProcLoaderTest, ChildWindowFaultKeepsTheMuxAndEarlierWindows)
{
    const int32_t result = LoadMidProcs(
        1, Item("Pip", 1, Key("MPType", "VMux") +
                              Inputs(3, {{1, "VideoDecoders.D1.VideoOutput"},
                                         {2, "VideoDecoders.D2.VideoOutput"},
                                         {3, "MediaSources.S2.VideoOutput"}}) +
                              Key("MuxLayout", "PIP-4-On-1") + Regions({1, 2, 3, 2, 3}) +
                              ChildWindow(1, Key("xShift", "1") + Key("yShift", "1") + Key("Width", "100") +
                                                 Key("Height", "100")) +
                              ChildWindow(3, Key("xShift", "1") + Key("yShift", "1") + Key("Width", "100")) +
                              ChildWindow(4, Key("xShift", "1") + Key("yShift", "1") + Key("Width", "100") +
                                                 Key("Height", "100")) +
                              Key("CylinderHeight", "0") + Key("IPGNum", "-3")));
    EXPECT_EQ(result, -1);
    const stVMuxConfig &mux = MidProc(L"Pip").MuxSettings;
    EXPECT_EQ(mux.ChildWindows.size(), 1u); // 2 is absent, 3 is faulty and stops the reading
    EXPECT_EQ(mux.InputRegions.size(), 3u); // a region repeating an input keeps the first
    EXPECT_EQ(mux.IPGNum, 1);
    EXPECT_EQ(mux.CylinderHeight, 6);
}

TEST_F(MidProcLoaderTest, SplitterOutputs)
{
    const int32_t result = LoadMidProcs(
        1, Item("Split", 1,
                Key("MPType", "VSplt") + Key("VideoSource", "VideoDecoders.D2.VideoOutput") + Key("RVOutCount", "3") +
                    SplitOutput(1, Key("Alias", "Left") + Region(0, 0, 960, 1080) + Key("RVTP", "True") +
                                       Key("DirectOutput", "True") + Key("outputOn", "NewWindow") +
                                       Key("WindowWidth", "480")) +
                    SplitOutput(2, Key("Alias", "Right") + Key("RegionLeft", "960") + Key("RegionTop", "0") +
                                       Key("RegionWidth", "960")) +
                    SplitOutput(3, Key("Alias", "Never") + Region(0, 0, 10, 10))));
    EXPECT_EQ(result, -1);
    const stVideoMidProcWorkerConfig &split = MidProc(L"Split");
    EXPECT_EQ(split.SingleInput.VideoSource, D2_OUT);
    ASSERT_EQ(split.SingleInput.Outputs.size(), 1u);
    const stSplitOutputConfig &left = split.SingleInput.Outputs.at(1);
    EXPECT_EQ(left.StreamId, 0x04010001);
    EXPECT_EQ(left.RegionWidth, 960);
    EXPECT_EQ(left.RegionHeight, 1080);
    EXPECT_EQ(left.RVTP, 1);
    EXPECT_EQ(left.DirectOutputSettings.WindowWidth, 480);
}

// Split outputs and child windows are read below the item that holds them: a second item of the
// same name and number, after a first that was refused, keeps its own.
TEST_F(MidProcLoaderTest, NestedElementsComeFromTheItemsOwnElement)
{
    const std::string first = Item("Split", 1, Key("MPType", "VSplt") + Key("RVOutCount", "1") +
                                                   SplitOutput(1, Key("Alias", "Wrong") + Region(1, 1, 1, 1)));
    const std::string second =
        Item("Split", 1, Key("MPType", "VSplt") + Key("VideoSource", "VideoDecoders.D1.VideoOutput") +
                             Key("RVOutCount", "1") + SplitOutput(1, Key("Alias", "Right") + Region(0, 0, 640, 360)));
    const std::string pipFirst = Item("Pip", 2, Key("MPType", "VMux") + Key("RVSInCount", "0") +
                                                    ChildWindow(1, Key("xShift", "9") + Key("yShift", "9") +
                                                                       Key("Width", "9") + Key("Height", "9")));
    const std::string pipSecond =
        Item("Pip", 2, Key("MPType", "VMux") +
                           Inputs(2, {{1, "VideoDecoders.D1.VideoOutput"}, {2, "VideoDecoders.D2.VideoOutput"}}) +
                           Key("MuxLayout", "PIP-1-On-1") + Regions({1, 2}) +
                           ChildWindow(1, Key("xShift", "16") + Key("yShift", "16") + Key("Width", "320") +
                                              Key("Height", "180")));
    EXPECT_EQ(LoadMidProcs(2, first + second + pipFirst + pipSecond), 2);
    const stSplitOutputConfig &output = MidProc(L"Split").SingleInput.Outputs.at(1);
    EXPECT_EQ(output.Alias, L"Right");
    EXPECT_EQ(output.RegionWidth, 640);
    ASSERT_EQ(MidProc(L"Pip").MuxSettings.ChildWindows.size(), 1u);
    EXPECT_EQ(MidProc(L"Pip").MuxSettings.ChildWindows[0].Width, 320);
    EXPECT_TRUE(m_log.Contains(L"Configuration:MidProc(No=1, Name=Split) VideoSource is missing or empty, Skip it!", 3));
    EXPECT_TRUE(m_log.Contains(L"Configuration:MidProc(No=2, Name=Pip) RVSInCount(0) is below 1, Skip it!", 3));
}

// Number 520 would make the id 0x06080000, an encoder's; the output size refuses what its 16-bit
// field cannot hold instead of wrapping 65536 to 0.
TEST_F(MidProcLoaderTest, NumbersAndSizesBeyondTheirRangeAreRefused)
{
    const std::string source = Key("VideoSource", "VideoDecoders.D1.VideoOutput");
    EXPECT_EQ(LoadMidProcs(600, Item("Last", 511, Key("MPType", "VUnify") + source) +
                                    Item("Encoderish", 520, Key("MPType", "VUnify") + source) +
                                    Item("Wide", 3, Key("MPType", "VUnify") + source + Key("OutputWidth", "65536") +
                                                        Key("OutputHeight", "720"))),
              2);
    EXPECT_EQ(MidProc(L"Last").WorkerId, 0x05FF0000);
    EXPECT_FALSE(Has(L"Encoderish"));
    EXPECT_TRUE(m_log.Contains(L"Configuration:MidProc(No=520, Name=Encoderish) id(520) is above 511, the highest "
                               L"number its section can give, Skip it!", 3));
    EXPECT_EQ(MidProc(L"Wide").OutputWidth, 1920);
    EXPECT_EQ(MidProc(L"Wide").OutputHeight, 1080);
    EXPECT_TRUE(m_log.Contains(L"Configuration:MidProc(No=3, Name=Wide) OutputWidth(65536) does not fit its field "
                               L"(-32768..32767), 1920 x 1080 is used.", 3));
}

// An input must be a stream that its producer sends: a reference without a role names the
// worker itself, and an audio stream is no picture to compose.
TEST_F(MidProcLoaderTest, InputsMustBeVideoStreams)
{
    const int32_t result = LoadMidProcs(
        4, Item("Bare", 1, Key("MPType", "VMux") + Inputs(1, {{1, "VideoDecoders.D1"}}) + Key("MuxLayout", "StandAlone") +
                               Regions({1})) +
               Item("Sound", 2, Key("MPType", "VUnify") + Key("VideoSource", "MediaSources.S1.AudioOutput")) +
               Item("Later", 3, Key("MPType", "VMtx") +
                                    Inputs(2, {{1, "VideoDecoders.D1.VideoOutput"}, {2, "VideoDecoders.D1.ToDownstream"}}) +
                                    Key("RVOutCount", "1") + NumberedKey("VODftVI", 1, "1")) +
               SimpleMux("Good", 4));
    EXPECT_EQ(result, -1);
    EXPECT_FALSE(Has(L"Bare"));
    EXPECT_FALSE(Has(L"Sound"));
    EXPECT_EQ(MidProc(L"Later").MatrixInputs.size(), 1u);
    EXPECT_TRUE(Has(L"Good"));
    for (const wchar_t *line : {
             L"Configuration:MidProc(No=1, Name=Bare) IRVS[1](VideoDecoders.D1) names the worker D1 itself, not one of "
             L"its output streams (add a role such as VideoOutput), Skip it!",
             L"Configuration:MidProc(No=2, Name=Sound) VideoSource(MediaSources.S1.AudioOutput) names a stream that is "
             L"no video, Skip it!",
             L"Configuration:MidProc(No=3, Name=Later) IRVS[2](VideoDecoders.D1.ToDownstream) names the worker D1 itself",
         })
        EXPECT_EQ(m_log.Count(line, 3), 1) << std::wstring(line);
    EXPECT_EQ(m_log.Count(L"Configuration:", 3), 3);
}

TEST_F(MidProcLoaderTest, LevelsFollowTheFeedingOrder)
{
    const auto path = m_dir.File("StreamCfg.xml");
    WriteBytes(path, Document(TwoDecodedSources() +
                              Section("AudioDecoders", "ADCDCount", 1,
                                      Item("A1", 1, Key("AudioSource", "MediaSources.S1.AudioOutput"))) +
                              Section("VideoMidProcessors", "MProcCount", 4,
                                      Item("Late", 1, Key("MPType", "VUnify") +
                                                          Key("VideoSource", "VideoMidProcessors.A.VideoOutput")) +
                                          SimpleMux("A", 2) +
                                          Item("B", 3, Key("MPType", "VUnify") +
                                                           Key("VideoSource", "VideoMidProcessors.A.VideoOutput")) +
                                          Item("C", 4, Key("MPType", "VSplt") +
                                                           Key("VideoSource", "VideoMidProcessors.B.VideoOutput") +
                                                           Key("RVOutCount", "1") +
                                                           SplitOutput(1, Region(0, 0, 64, 64))))));
    const std::wstring file = WidePath(path);
    EXPECT_EQ(LoadWorkersConfigXml(file.c_str()), 2 + 2 + 1 + 3);
    EXPECT_FALSE(Has(L"Late")); // names one that comes after it
    EXPECT_EQ(MidProc(L"A").LoadSeq, 4);
    EXPECT_EQ(MidProc(L"B").LoadSeq, 5);
    EXPECT_EQ(MidProc(L"C").LoadSeq, 6);
    EXPECT_EQ(CTYXGVMS::VmpLevelCount(), 3);
    EXPECT_EQ(CTYXGVMS::LoadSeqCounter(), 6);
}

TEST_F(MidProcLoaderTest, AllDroppedAndReload)
{
    EXPECT_EQ(LoadMidProcs(3, Item("Odd", 1, Key("MPType", "VMix") + Key("VideoSource", "VideoDecoders.D1.VideoOutput")) +
                                  Item("None", 2, Key("VideoSource", "VideoDecoders.D1.VideoOutput")) +
                                  SimpleMux("Out", 4)),
              0);
    EXPECT_TRUE(CTYXGVMS::VMPConfigs().empty());
    EXPECT_EQ(CTYXGVMS::VmpLevelCount(), -2); // 1 - n with n = 3
    EXPECT_TRUE(m_log.Contains(L"Configuration:MidProc(No=1, Name=Odd) MPType(VMix) is no mid-processor type "
                               L"(VMux, VMtx, VSplt, VUnify), Skip it!", 3));
    EXPECT_TRUE(m_log.Contains(L"Configuration:MidProc(No=2, Name=None) MPType is missing or empty, Skip it!", 3));
    EXPECT_TRUE(m_log.Contains(L"Configuration:MidProc(No=4, Name=Out) id(4) is above MProcCount(3), Skip it!", 3));
    EXPECT_EQ(m_log.Count(L"Configuration:", 3), 3);

    // The section starts from an empty registry on every load, and a repeated name is refused.
    EXPECT_EQ(LoadMidProcs(2, SimpleMux("M", 1) + SimpleMux("m", 2)), 1);
    EXPECT_TRUE(m_log.Contains(L"Configuration:MidProc(No=2, Name=m) configured duplicated!, Skip it!", 3));
    EXPECT_EQ(CTYXGVMS::VMPConfigs().size(), 1u);
}

} // namespace
