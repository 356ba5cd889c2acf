#include "config/GTYXConfigXml.h"

#include "config/ConfigTestFiles.h"
#include "host/GlobalVars.h"

#include <gtest/gtest.h>

namespace {

// A studio file written the way operators write them, with fourteen kinds of mistake: it loads
// everything valid, and the log has exactly one line per mistake, naming the item, the key and
// the reason.
class OperatorFileTest : public CConfigFileTest
{
protected:
    void SetUp() override
    {
        CConfigFileTest::SetUp();
        const std::wstring path = WidePath(SourceDir() / "tests" / "config" / "files" / "StreamCfgWithMistakes.xml");
        // The order of the main run.
        ASSERT_EQ(LoadGeneralCfgXml(path, CTYXGVMS::GeneralSettings(), false), 0);
        CTYXWorker::SetProcessScreenOutput(true);
        testing::internal::CaptureStdout();
        m_total = LoadWorkersConfigXml(path.c_str());
        m_printed = testing::internal::GetCapturedStdout();
        CTYXWorker::SetProcessScreenOutput(false);
        m_osds = LoadOSDConfigXml(path);
        m_osgs = LoadOSGConfigXml(path);
    }

    int32_t m_total = 0;
    int32_t m_osds = 0;
    int32_t m_osgs = 0;
    std::string m_printed;
};

TEST_F(OperatorFileTest, EveryValidItemLoads)
{
    EXPECT_EQ(m_total, 5 + 5 + 1 + 1 + 2);
    EXPECT_NE(m_printed.find("media source readers configurations...[5] loaded.\n"), std::string::npos) << m_printed;
    const auto &sources = CTYXGVMS::MSReaderConfigs();
    for (const wchar_t *name : {L"Cam1", L"Cam2", L"Cam3", L"Cam4", L"大厅"})
        EXPECT_EQ(sources.count(name), 1u) << std::wstring(name);
    EXPECT_EQ(sources.at(L"Cam4").AuthPwd, L"studio-2024");
    EXPECT_EQ(CTYXGVMS::VideoDecoderConfigs().size(), 5u);
    EXPECT_EQ(CTYXGVMS::VideoDecoderConfigs().at(L"DecLobby").VideoSource, 0x01050001);
    const stVideoMidProcWorkerConfig &quad = CTYXGVMS::VMPConfigs().at(L"Quad");
    EXPECT_EQ(quad.MuxSettings.MuxInputs.size(), 4u);
    EXPECT_EQ(CTYXGVMS::VMPConfigs().size(), 1u);
    EXPECT_EQ(CTYXGVMS::VideoEncoderConfigs().at(L"Enc1").VideoSource, 0x04010001);
    const auto &writers = CTYXGVMS::MWriterConfigs();
    ASSERT_EQ(writers.size(), 2u);
    EXPECT_EQ(writers.at(L"Rec1").RecordSettings->SubFolderDate, 0);
    EXPECT_EQ(writers.at(L"Live1").InputItems.size(), 2u);
    // The text of an unknown type is kept as the loaders have it, drawing nothing.
    EXPECT_EQ(m_osds, 2);
    EXPECT_EQ(CTYXGVMS::OSDConfigs().at(2).OsdType, 0);
    EXPECT_EQ(m_osgs, 1);
    EXPECT_EQ(CTYXGVMS::GeneralSettings().CustomerName, L"演播室");
}

TEST_F(OperatorFileTest, EachMistakeGivesOneLine)
{
    const wchar_t *mistakes[] = {
        L"Configuration:MWreader(No=300, Name=Cam5) id(300) is above 255, the highest number its section can give, Skip it!",
        L"Configuration:MWreader No(6) was configed as unkown media type(RSTP), Skip it!",
        L"Configuration:MWreader(No=7, Name=Promo) MSFullPath is missing or empty, Skip it!",
        L"Configuration:MWreader(No=8, Name=Cam8) AuthPwd is out of its length bounds (8..33 characters), Skip it!",
        L"Configuration:MWreader(No=9, Name=Cam9) STRMCOUNT(99999) does not fit its field (-32768..32767), Skip it!",
        L"Configuration:Decoder(No=6, Name=DecSound) VideoSource(MediaSources.Cam1.AudioOutput) names a stream that "
        L"is no video, Skip it!",
        L"Configuration:Decoder(No=7, Name=DecBare) VideoSource(MediaSources.Cam2) names the worker Cam2 itself, not "
        L"one of its output streams (add a role such as VideoOutput), Skip it!",
        L"Configuration:Decoder(No=8, Name=dec1) configured duplicated!, Skip it!",
        L"Configuration:MidProc(No=2, Name=Lobby) MuxLayout(standalone) is no layout it knows (StandAlone is written "
        L"with that letter case), Skip it!",
        L"Configuration:Encoder(No=2, Name=Enc2) VCodec(x264) is no codec it knows (H264, HEVC and their other names), Skip it!",
        L"Configuration:MWriter(No=1, Name=Rec1) SubFolderDate(1) is neither true nor false, read as false.",
        L"Configuration:MWriter(No=3, Name=Rec2) RootFolder is missing or empty, Skip it!",
        L"Configuration:OSD(No=2) OsdType(Clock) is no text type (Time, Date, Datetime, StaticText, DynamicText), "
        L"nothing is drawn.",
        L"Configuration:OSG(No=2) GmtType is missing or empty, Skip it!",
    };
    for (const wchar_t *line : mistakes)
        EXPECT_EQ(m_log.Count(line), 1) << std::wstring(line);
    // Nothing else at the levels an operator reads.
    size_t lines = 0;
    for (const CLogCapture::stLine &line : m_log.Lines())
        lines += line.level <= 3 ? 1 : 0;
    EXPECT_EQ(lines, std::size(mistakes));
}

} // namespace
