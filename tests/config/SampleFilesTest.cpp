#include "config/ConfigXmlDocument.h"
#include "config/GTYXConfigXml.h"

#include "config/ConfigTestFiles.h"
#include "core/TYXUtils.h"
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
    ASSERT_EQ(LoadGeneralCfgXml(Sample("StreamCfgFull.xml"), settings, false), 0);

    // One value of each part of the files: each reached its record, none fell back to a default.
    EXPECT_EQ(settings.DebugLevel, 4);
    // A sample left running for days keeps its log: its level is one without a size limit.
    EXPECT_EQ(DebugLogSizeLimitTable().count(settings.DebugLevel), 0u)
        << "the log stops at level " << int{settings.DebugLevel} << "'s size limit";
    ASSERT_EQ(settings.GPUs.size(), 1u);
    EXPECT_EQ(settings.GPUs.at(1).VendorId, 0x10DE);
    EXPECT_EQ(settings.MTRTD, 1000);
    EXPECT_EQ(CTYXGVMS::FixedVideoInDevices().at(1), L"/dev/video0");
    EXPECT_EQ(settings.ErrMsgColor, 4);
    EXPECT_EQ(settings.GlobalFramerate, 25.0f);
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
    // No user ships with the sample: the first run makes one with a password of its own.
    EXPECT_LE(document.ReadElementList(L"/config/RcmUsers", users, nullptr, flags), 0);
    EXPECT_TRUE(users.empty());
}

// The bundled "StreamCfgFull.xml" holds every kind of worker and overlay; it loads whole, in the
// order of the main run, with nothing refused.
class BundledSectionsTest : public CConfigFileTest
{
protected:
    void SetUp() override
    {
        CConfigFileTest::SetUp();
        CTYXGVMS::ProgramFolder() = WidePath(SourceDir() / "samples");
        m_path = Sample("StreamCfgFull.xml");
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
    // ... and each section's references resolve to the producers loaded before it.
    EXPECT_EQ(CTYXGVMS::VideoDecoderConfigs().at(L"Dec2").VideoSource, 0x01020001);
    EXPECT_EQ(CTYXGVMS::AudioDecoderConfigs().at(L"ADec1").AudioSource, 0x01010002);
    const auto &vmps = CTYXGVMS::VMPConfigs();
    EXPECT_EQ(vmps.at(L"Mux1").LoadSeq, 4);
    EXPECT_EQ(vmps.at(L"Splt1").LoadSeq, 5);
    EXPECT_EQ(vmps.at(L"Splt1").SingleInput.VideoSource, 0x04010001);
    EXPECT_EQ(CTYXGVMS::VmpLevelCount(), 2);
    EXPECT_EQ(CTYXGVMS::VideoEncoderConfigs().at(L"Enc2").VideoSource, 0x04040001);
    EXPECT_EQ(CTYXGVMS::VideoEncoderConfigs().at(L"Enc2").LoadSeq, 6);
    EXPECT_EQ(CTYXGVMS::AudioEncoderConfigs().at(L"AEnc1").AudioSource, 0x0A010001);
    const auto &writers = CTYXGVMS::MWriterConfigs();
    EXPECT_EQ(writers.at(L"Rec1").LoadSeq, 8);
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
    EXPECT_EQ(cam1.LoadSeq, 1);
    ASSERT_EQ(cam1.Streams.size(), 2u);
    EXPECT_EQ(cam1.Streams.at(2).StreamId, 0x01010002);
    EXPECT_EQ(cam1.Streams.at(2).MediaType, 1);
    ASSERT_EQ(cam1.OutputItems.size(), 2u);
    EXPECT_EQ(cam1.OutputItems[1].Id, 0x01010002);
    EXPECT_EQ(cam1.OutputItems[1].Kind, 8);

    const stMediaSourceReadWorkerConfig &cam2 = CTYXGVMS::MSReaderConfigs().at(L"Cam2");

    // The registry answers by stream id as well as by worker id, and a writer by its own id,
    // whose low byte is not a stream number.
    EXPECT_EQ(CTYXGVMS::GetWorkerConfigById(0x01020002), &cam2);
    EXPECT_EQ(CTYXGVMS::GetWorkerConfigById(0x01020000), &cam2);
    EXPECT_EQ(CTYXGVMS::GetWorkerConfigById(0x01030001), nullptr);
    const stTYXWorkerConfig *writer = CTYXGVMS::GetWorkerConfigById(0x10010004);
    ASSERT_NE(writer, nullptr);
    EXPECT_EQ(writer->WorkerId, 0x10010004);
}

TEST_F(BundledSectionsTest, OverlaysLoadAfterTheWorkers)
{
    EXPECT_EQ(LoadOSDConfigXml(m_path), 2);
    EXPECT_EQ(LoadOSGConfigXml(m_path), 3);
    EXPECT_EQ(m_log.Count(L"Configuration", 2) + m_log.Count(L"Configuration", 3), 0);
    const auto &osds = CTYXGVMS::OSDConfigs();
    EXPECT_EQ(osds.at(1).OwnerStreamId, 0x04010001u);
    EXPECT_EQ(osds.at(2).OwnerWorkerId, 0x02010000u);
    const auto &osgs = CTYXGVMS::OSGConfigs();
    EXPECT_EQ(osgs.at(1).Parameters.size(), 4u);
    EXPECT_EQ(osgs.at(2).OwnerWorkerId, 0x04040000u);
    EXPECT_EQ(osgs.at(2).SourceFile, WidePath(SourceDir() / "samples" / "media" / "logo.png"));
    // The load order of the workers is theirs alone.
    EXPECT_EQ(CTYXGVMS::LoadSeqCounter(), 8);
}

} // namespace
