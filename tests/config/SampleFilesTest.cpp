#include "config/ConfigXmlDocument.h"
#include "config/GTYXConfigXml.h"

#include "config/ConfigTestFiles.h"
#include "host/GlobalVars.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

namespace {

std::wstring Sample(const char *name)
{
    return WidePath(SourceDir() / "samples" / name);
}

class SampleFilesTest : public ::testing::Test
{
protected:
    void SetUp() override { CTYXGVMS::ResetForTests(); }
    void TearDown() override { CTYXGVMS::ResetForTests(); }
    CLogCapture m_log;
};

// The start-up order of the main run over the bundled files.
TEST_F(SampleFilesTest, SystemSettingsLoadAsConfigured)
{
    stTYXGeneralSettings &settings = CTYXGVMS::GeneralSettings();
    InitGeneralSettings(settings);
    ASSERT_EQ(LoadGeneralCfgXml(Sample("SysConfig.xml"), settings, true), 0);
    EXPECT_EQ(LoadRAVIODevicesCfgXml(Sample("SysConfig.xml")), 3);
    EXPECT_EQ(LoadMoxConfigXml(Sample("SysConfig.xml"), CTYXGVMS::MoxConfig()), 0);
    ASSERT_EQ(LoadGeneralCfgXml(Sample("StreamCfg.xml"), settings, false), 0);

    EXPECT_EQ(settings.ServiceName, L"TYXService");
    EXPECT_EQ(settings.GlobalTyxId, 1);
    EXPECT_EQ(settings.DebugLevel, 5);
    EXPECT_EQ(settings.DebuglogLife, 30);
    EXPECT_EQ(settings.DebuglogSizeLimit, 8192);
    EXPECT_TRUE(settings.ShowProgress);
    EXPECT_EQ(settings.TimeWaitingDpdc, 5000);
    ASSERT_EQ(settings.GPUs.size(), 1u);
    EXPECT_EQ(settings.GPUs.at(1).DeviceName, L"NVIDIA H100");
    EXPECT_EQ(settings.GPUs.at(1).VendorId, 0x10DE);
    EXPECT_EQ(settings.GPUs.at(1).GpuType, 2);
    EXPECT_EQ(settings.MTRTD, 1000);
    EXPECT_EQ(settings.MTIFD, 500);
    EXPECT_EQ(CTYXGVMS::FixedVideoInDevices().at(1), L"/dev/video0");
    EXPECT_EQ(CTYXGVMS::FixedAudioOutDevices().at(1), L"default");
    EXPECT_FALSE(CTYXGVMS::MoxConfig().MOXInLocal);
    EXPECT_FALSE(CTYXGVMS::MoxConfig().UseFpgAudio);

    EXPECT_EQ(settings.CustomerName, L"Demo");
    EXPECT_EQ(settings.Location, L"Studio 1");
    EXPECT_EQ(settings.ErrMsgColor, 4);
    EXPECT_EQ(settings.InfoMsgColor, 16);
    EXPECT_EQ(settings.MsgHeight, 32);
    EXPECT_EQ(settings.RecordWriter, L"Rec1");
    EXPECT_EQ(settings.GlobalFramerate, 25.0f);
    EXPECT_EQ(settings.GlobalSamplerate, 48000);
    EXPECT_TRUE(m_log.Lines().empty() || !m_log.Contains(L"failed", 2));
}

TEST_F(SampleFilesTest, RemoteControlSampleReads)
{
    CConfigXmlDocument document;
    ASSERT_EQ(document.Load(Sample("RcmConfig.xml")), 0);
    stConfigValue value;
    ASSERT_EQ(document.GetNodeValue(L"/config/RcmGeneral", L"HttpListenPort", 2, value), 0);
    EXPECT_EQ(value.integer, 8080);
    std::vector<ConfigValueMap> users;
    stReadElementFlags flags;
    flags.ReadId = 1;
    ASSERT_EQ(document.ReadElementList(L"/config/RcmUsers", users, nullptr, flags), 1);
    EXPECT_EQ(users[0].at(L"username").text, L"admin");
}

} // namespace
