#include "config/ConfigXmlDocument.h"
#include "config/GTYXConfigXml.h"

#include "config/ConfigTestFiles.h"
#include "host/GlobalVars.h"

#include <gtest/gtest.h>

namespace {

std::wstring Sample(const char *name)
{
    return WidePath(SourceDir() / "samples" / name);
}

using SampleFilesTest = CConfigFileTest;

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

// The bundled "StreamCfg.xml" holds every kind of worker and overlay; it loads whole, in the
// order of the main run, with nothing refused.
class BundledSectionsTest : public CConfigFileTest
{
protected:
    void SetUp() override
    {
        CConfigFileTest::SetUp();
        CTYXGVMS::ProgramFolder() = WidePath(SourceDir() / "samples");
        m_path = Sample("StreamCfg.xml");
        CTYXWorker::SetProcessScreenOutput(true);
        testing::internal::CaptureStdout();
        m_total = LoadWorkersConfigXml(m_path.c_str());
        m_printed = testing::internal::GetCapturedStdout();
        CTYXWorker::SetProcessScreenOutput(false);
    }

    std::wstring m_path;
    int32_t m_total = 0;
    std::string m_printed;
};

TEST_F(BundledSectionsTest, EveryWorkerSectionLoads)
{
    EXPECT_EQ(m_total, 2 + 2 + 1 + 4 + 2 + 1 + 3);
    for (const char *line : {"video decoders configurations...[2] loaded.\n", "audio decoders configurations...[1] loaded.\n",
                             "video-mid-processors configurations...[4] loaded.\n",
                             "video encoders configurations...[2] loaded.\n", "audio encoders configurations...[1] loaded.\n",
                             "media writers configurations...[3] loaded.\n"})
        EXPECT_NE(m_printed.find(line), std::string::npos) << line;
    EXPECT_EQ(m_log.Count(L"Configuration", 2) + m_log.Count(L"Configuration", 3), 0);

    // Load order: sources 1, video decoders 2, audio decoders 3, mid-processors 4 and 5 (the
    // splitter takes the mux's picture), encoders 6, audio encoders 7, writers 8.
    EXPECT_EQ(CTYXGVMS::VideoDecoderConfigs().at(L"Dec2").VideoSource, 0x01020001);
    EXPECT_EQ(CTYXGVMS::AudioDecoderConfigs().at(L"ADec1").AudioSource, 0x01010002);
    const auto &vmps = CTYXGVMS::VMPConfigs();
    EXPECT_EQ(vmps.at(L"Mux1").LoadSeq, 4);
    EXPECT_EQ(vmps.at(L"Mux1").MuxSettings.ChildWindows.size(), 1u);
    EXPECT_EQ(vmps.at(L"Mux1").MuxSettings.IPGNum, 2);
    EXPECT_EQ(vmps.at(L"Mtx1").OutputItems.size(), 2u);
    EXPECT_EQ(vmps.at(L"Splt1").LoadSeq, 5);
    EXPECT_EQ(vmps.at(L"Splt1").SingleInput.VideoSource, 0x04010001);
    EXPECT_EQ(vmps.at(L"Splt1").SingleInput.Outputs.at(2).RegionLeft, 640);
    EXPECT_EQ(vmps.at(L"Unf1").OutputWidth, 1280);
    EXPECT_EQ(CTYXGVMS::VmpLevelCount(), 2);
    EXPECT_EQ(CTYXGVMS::VideoEncoderConfigs().at(L"Enc2").VideoSource, 0x04040001);
    EXPECT_EQ(CTYXGVMS::VideoEncoderConfigs().at(L"Enc2").Profile, L"high");
    EXPECT_EQ(CTYXGVMS::VideoEncoderConfigs().at(L"Enc2").LoadSeq, 6);
    EXPECT_EQ(CTYXGVMS::AudioEncoderConfigs().at(L"AEnc1").AudioSource, 0x0A010001);
    const auto &writers = CTYXGVMS::MWriterConfigs();
    EXPECT_EQ(writers.at(L"Rec1").RecordSettings->RootFolder, L"records");
    EXPECT_EQ(writers.at(L"Rec1").RecordSettings->SegmentLength, 10);
    EXPECT_EQ(writers.at(L"Rec1").LoadSeq, 8);
    EXPECT_EQ(writers.at(L"Live1").outputURL, L"rtmp://127.0.0.1/live/studio1");
    EXPECT_EQ(writers.at(L"Live1").InputItems.size(), 2u);
    EXPECT_EQ(writers.at(L"Rtsp1").VideoStreams.begin()->first, 0x06020001);
    EXPECT_EQ(CTYXGVMS::LoadSeqCounter(), 8);
}

TEST_F(BundledSectionsTest, SourcesLoadFirstWithTheirStreams)
{
    EXPECT_EQ(m_printed.rfind("\t\t Loading media source readers configurations...[2] loaded.\n"
                              "\t\t Loading video decoders configurations...", 0), 0u);
    ASSERT_EQ(CTYXGVMS::MSReaderConfigs().size(), 2u);
    const stMediaSourceReadWorkerConfig &cam1 = CTYXGVMS::MSReaderConfigs().at(L"Cam1");
    EXPECT_EQ(cam1.No, 1);
    EXPECT_EQ(cam1.WorkerId, 0x01010000);
    EXPECT_EQ(cam1.LoadSeq, 1);
    EXPECT_EQ(cam1.DisplayName, L"Camera one");
    EXPECT_EQ(cam1.MSTYPE, 1);
    EXPECT_EQ(cam1.MRType, 1);
    EXPECT_EQ(cam1.MSFullPath, L"media/source1.mp4");
    EXPECT_EQ(cam1.Repeat, 1);
    EXPECT_EQ(cam1.UseNTP, 0);
    ASSERT_EQ(cam1.Streams.size(), 2u);
    EXPECT_EQ(cam1.Streams.at(1).StreamId, 0x01010001);
    EXPECT_EQ(cam1.Streams.at(1).MediaType, 0);
    EXPECT_EQ(cam1.Streams.at(1).avStrmId, 0);
    EXPECT_EQ(cam1.Streams.at(1).StrmAlias, L"Cam1Video");
    EXPECT_EQ(cam1.Streams.at(2).StreamId, 0x01010002);
    EXPECT_EQ(cam1.Streams.at(2).MediaType, 1);
    EXPECT_EQ(cam1.Streams.at(2).EstmtDly, 150);
    ASSERT_EQ(cam1.OutputItems.size(), 2u);
    EXPECT_EQ(cam1.OutputItems[1].Id, 0x01010002);
    EXPECT_EQ(cam1.OutputItems[1].Kind, 8);

    const stMediaSourceReadWorkerConfig &cam2 = CTYXGVMS::MSReaderConfigs().at(L"Cam2");
    EXPECT_EQ(cam2.WorkerId, 0x01020000);
    EXPECT_EQ(cam2.Streams.at(1).EstmtDly, 300); // absent
    EXPECT_EQ(cam2.Streams.at(2).EstmtDly, 150);

    // The registry answers by stream id as well as by worker id, never for a writer id.
    EXPECT_EQ(CTYXGVMS::GetWorkerConfigById(0x01020002), &cam2);
    EXPECT_EQ(CTYXGVMS::GetWorkerConfigById(0x01020000), &cam2);
    EXPECT_EQ(CTYXGVMS::GetWorkerConfigById(0x01030001), nullptr);
    EXPECT_EQ(CTYXGVMS::GetWorkerConfigById(0x10010004), nullptr);
}

TEST_F(BundledSectionsTest, OverlaysLoadAfterTheWorkers)
{
    EXPECT_EQ(LoadOSDConfigXml(m_path), 2);
    EXPECT_EQ(LoadOSGConfigXml(m_path), 3);
    EXPECT_EQ(m_log.Count(L"Configuration", 2) + m_log.Count(L"Configuration", 3), 0);
    const auto &osds = CTYXGVMS::OSDConfigs();
    EXPECT_EQ(osds.at(1).OwnerStreamId, 0x04010001u);
    EXPECT_EQ(osds.at(1).OsdType, 4);
    EXPECT_EQ(osds.at(2).OwnerWorkerId, 0x02010000u);
    EXPECT_EQ(osds.at(2).Content, L"Camera one");
    const auto &osgs = CTYXGVMS::OSGConfigs();
    EXPECT_EQ(osgs.at(1).Parameters.size(), 4u);
    EXPECT_EQ(osgs.at(2).OwnerWorkerId, 0x04040000u);
    EXPECT_EQ(osgs.at(2).CntrCrdX, 1200);
    EXPECT_EQ(osgs.at(2).SourceFile, WidePath(SourceDir() / "samples" / "media" / "logo.png"));
    EXPECT_EQ(osgs.at(3).ToFrame, 8);
    // The load order of the workers is theirs alone.
    EXPECT_EQ(CTYXGVMS::LoadSeqCounter(), 8);
}

} // namespace
