// The video worker base: record choice, the server operations, the monitor owners, the clock and
// the status texts.

#include "vproc/RVProcWorker.h"

#include "core/TYXUtils.h"
#include "host/GlobalVars.h"
#include "output/RVDOServer.h"
#include "output/RVTPServer.h"
#include "vproc/OSGdrawer.h"
#include "vproc/OsdWriter.h"

#include "support/LeakCheck.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <future>

namespace {

constexpr uint32_t kWorkerId = 0x02010000;

class CTestVideoWorker : public CRVProcWorker
{
public:
    explicit CTestVideoWorker(bool perOutput = false, const std::wstring &name = L"VdcdCam1")
        : CRVProcWorker(kWorkerId, nullptr, nullptr, 4, perOutput, perOutput)
    {
        m_name = name;
    }
    uint32_t WorkingFunc() override { return 0; }

    using CRVProcWorker::AddInputSlot;
    using CRVProcWorker::AddOutputRecord;
    using CRVProcWorker::SetDisplayOutputName;
    using CRVProcWorker::CreateStatusOsdWriter;
    using CRVProcWorker::DrawStatusOnFrame;
    using CRVProcWorker::GetRvdoServer;
    using CRVProcWorker::GetRvtpServer;
    using CRVProcWorker::PushFrameToDirectOutputs;
    using CRVProcWorker::SetPipeOutputName;
    void SetTimeOsd(bool on) { m_timeOsdOn = on ? 1 : 0; }
    uint8_t InputTypes() const { return GetInputStreamTypes(); }
};

stDirectOutputConfig DisplaySettings(int32_t type, int16_t monitor = 0, const std::wstring &text1 = {},
                                     const std::wstring &text2 = {})
{
    stDirectOutputConfig settings;
    settings.DirectOutput = 1;
    settings.outputOn = type;
    settings.OutputDeviceNo = monitor;
    settings.WindowWidth = 640;
    settings.WindowHeight = 360;
    settings.WindowName = text1;
    settings.WindowClassName = text2;
    return settings;
}

class RVProcWorkerTest : public CLeakCheckedTest
{
protected:
    void SetUp() override
    {
        CLeakCheckedTest::SetUp();
        CTYXGVMS::ResetForTests();
        ::setenv("RUNTIME_DIRECTORY", m_folder.Path().c_str(), 1);
        ::unsetenv("DISPLAY");
    }
    void TearDown() override
    {
        ::unsetenv("RUNTIME_DIRECTORY");
        CTYXGVMS::ResetForTests();
        CLeakCheckedTest::TearDown();
    }
    CTempDir m_folder;
};

TEST_F(RVProcWorkerTest, StatusTextsAndItemNumbersStartAsTheTableHasThem)
{
    CTestVideoWorker worker;
    EXPECT_EQ(worker.InputTypes() & 0x01, 0x01);
    const std::shared_ptr<COsdWriter> writer = worker.CreateStatusOsdWriter(OSD_POS_CENTER);
    const struct
    {
        uint16_t number;
        const wchar_t *text;
    } expected[] = {{101, L"Connecting..."},     {102, L"Closed. Re-connect later."},
                    {103, L"Waiting input..."},  {104, L"Standby."},
                    {105, L"Connecting failed! Retry later..."}, {106, L"Video reading failed!"},
                    {107, L"video waiting timed out!"},          {108, L"Decoding error!"},
                    {109, L"Input not used."}};
    ASSERT_EQ(writer->GetOsdCount(), 9);
    for (const auto &item : expected) {
        stOsdItem osd;
        ASSERT_TRUE(writer->GetOsdItem(item.number, osd));
        EXPECT_EQ(osd.contentKind, OSD_CONTENT_STATIC_TEXT);
        EXPECT_EQ(osd.pendingText.empty() ? osd.text : osd.pendingText, item.text);
    }
}

TEST_F(RVProcWorkerTest, AStatusCodeShowsOnlyItsOwnTextOnThePicture)
{
    CLogCapture log;
    CTestVideoWorker worker;
    const std::shared_ptr<COsdWriter> writer = worker.CreateStatusOsdWriter(OSD_POS_CENTER);
    FramePackage frame;
    frame.width = 640;
    frame.height = 360;
    stColorYuv grey{16, 128, 128};
    ASSERT_GT(CreateBlankVideoFramePackage(frame, grey), 0);
    const std::vector<uint8_t> blank(frame.pData, frame.pData + frame.nLength);

    EXPECT_EQ(worker.DrawStatusOnFrame(*writer, frame, -92), 0);
    stOsdItem shown;
    stOsdItem hidden;
    ASSERT_TRUE(writer->GetOsdItem(102, shown));
    ASSERT_TRUE(writer->GetOsdItem(101, hidden));
    EXPECT_TRUE(shown.visible);
    EXPECT_FALSE(hidden.visible);
    EXPECT_EQ(shown.text, L"Closed. Re-connect later.");
    EXPECT_NE(std::vector<uint8_t>(frame.pData, frame.pData + frame.nLength), blank);

    FreeFramePackage(frame);
    frame.width = 640;
    frame.height = 360;
    ASSERT_GT(CreateBlankVideoFramePackage(frame, grey), 0);
    EXPECT_EQ(worker.DrawStatusOnFrame(*writer, frame, -555), 1);
    EXPECT_TRUE(log.Contains(L"But relevant OSD not found!", 3));
    EXPECT_EQ(std::vector<uint8_t>(frame.pData, frame.pData + frame.nLength), blank);
    FreeFramePackage(frame);
}

TEST_F(RVProcWorkerTest, ServerOperationsChooseTheirRecordByTheStreamId)
{
    CTestVideoWorker single;
    EXPECT_EQ(single.StartRvtpServer(1920, 0, 0), TYX_RVP_ERR_SIZE);
    EXPECT_EQ(single.StartRvtpServer(0, 1080, 0), TYX_RVP_ERR_SIZE);
    EXPECT_EQ(single.StartRvtpServer(641, -360, 0), TYX_RVP_ERR_SIZE);
    EXPECT_EQ(single.StartRvdoServer(70000, 1080, 0), TYX_RVP_ERR_SIZE);
    EXPECT_EQ(single.GetRvtpServer(0), nullptr);
    EXPECT_EQ(single.StopRvtpServer(true, 77), TYX_RVP_ERR_SERVER); // the id is ignored: one record

    CTestVideoWorker perOutput(true);
    EXPECT_EQ(perOutput.StartRvtpServer(640, 360, 0), TYX_RVP_ERR_RECORD);
    EXPECT_EQ(perOutput.StartRvtpServer(640, 360, kWorkerId + 1), TYX_RVP_ERR_RECORD);
    EXPECT_EQ(perOutput.StopRvdoServer(false, kWorkerId + 1), TYX_RVP_ERR_RECORD);
    EXPECT_FALSE(perOutput.EnableDirectOutput(DisplaySettings(TYX_DISPLAY_WINDOW), kWorkerId + 1));
    EXPECT_EQ(perOutput.FindOverlaySlot(TYX_OVERLAY_OUTPUT, -1), nullptr);
    ASSERT_TRUE(perOutput.AddOutputRecord(kWorkerId + 1, L"Out1"));
    EXPECT_FALSE(perOutput.AddOutputRecord(kWorkerId + 1));
    EXPECT_EQ(perOutput.StopRvtpServer(false, kWorkerId + 1), TYX_RVP_ERR_SERVER);
    EXPECT_NE(perOutput.FindOverlaySlot(TYX_OVERLAY_FRAME_PIPE, kWorkerId + 1), nullptr);
}

TEST_F(RVProcWorkerTest, OverlaySlotsAreFoundByTarget)
{
    CTestVideoWorker worker;
    auto writer = std::make_shared<COsdWriter>();
    auto drawer = std::make_shared<COsgDrawer>();
    ASSERT_NE(worker.SetOsdWriter(writer, TYX_OVERLAY_OUTPUT2, 123), nullptr);
    ASSERT_NE(worker.SetOsgDrawer(drawer, TYX_OVERLAY_INPUT, 0), nullptr);
    EXPECT_EQ(worker.GetOsdWriter(TYX_OVERLAY_OUTPUT2, 0), writer);
    EXPECT_EQ(worker.GetOsdWriter(TYX_OVERLAY_OUTPUT, 0), nullptr);
    EXPECT_EQ(worker.GetOsgDrawer(TYX_OVERLAY_INPUT, 5), drawer);
    EXPECT_EQ(worker.SetOsdWriter(writer, 64, 0), nullptr);
    EXPECT_EQ(worker.GetOsdWriter(64, 0), nullptr);
    EXPECT_EQ(worker.CopyOverlaySlot(TYX_OVERLAY_OUTPUT2, 0)->osdOn, 1);
    worker.SetOsdWriter(nullptr, TYX_OVERLAY_OUTPUT2, 0);
    EXPECT_EQ(worker.CopyOverlaySlot(TYX_OVERLAY_OUTPUT2, 0)->osdOn, 0);

    CTestVideoWorker perInput(true);
    EXPECT_EQ(perInput.SetOsdWriter(writer, TYX_OVERLAY_INPUT, 0), nullptr);
    ASSERT_TRUE(perInput.AddInputSlot(0x01010001));
    EXPECT_NE(perInput.SetOsdWriter(writer, TYX_OVERLAY_INPUT, 0x01010001), nullptr);
    EXPECT_EQ(perInput.GetOsdWriter(TYX_OVERLAY_INPUT, 0x01010001), writer);
}

TEST_F(RVProcWorkerTest, TheFramePipeStartsOnceAndStopsWithTheWorker)
{
    CLogCapture log;
    CTestVideoWorker worker;
    worker.SetPipeOutputName(L"Cam1", 0);
    ASSERT_EQ(worker.StartRvtpServer(640, 360, 0), 0);
    const std::shared_ptr<CRVTPServer> server = worker.GetRvtpServer(0);
    ASSERT_NE(server, nullptr);
    EXPECT_TRUE(server->IsThreadRunning());
    EXPECT_TRUE(log.Contains(L"[WID=33619968]RVTP server(Cam1) initialized.", 6));
    EXPECT_TRUE(log.Contains(L"RVTP server(Cam1) started with ThreadId=", 6));
    const int32_t tid = server->ThreadId();
    EXPECT_EQ(worker.StartRvtpServer(640, 360, 0), 0);
    EXPECT_EQ(worker.GetRvtpServer(0), server);
    EXPECT_EQ(server->ThreadId(), tid);

    const std::string path = server->SocketPath();
    EXPECT_TRUE(std::filesystem::exists(path));
    worker.unInitialize();
    EXPECT_EQ(worker.GetRvtpServer(0), nullptr);
    EXPECT_FALSE(server->IsThreadRunning());
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(RVProcWorkerTest, APipeThatCannotInitialiseIsReportedAndDestroyedOnStop)
{
    CLogCapture log;
    CTestVideoWorker worker;
    worker.SetPipeOutputName(L"../etc", 0);
    EXPECT_EQ(worker.StartRvtpServer(640, 360, 0), TYX_RVP_ERR_RECORD);
    EXPECT_TRUE(log.Contains(L"[WID=33619968] RVTP server(../etc) initializing failed!", 3));
    EXPECT_EQ(worker.StopRvtpServer(true, 0), 0);
    EXPECT_EQ(worker.GetRvtpServer(0), nullptr);
    EXPECT_EQ(worker.StopRvtpServer(true, 0), TYX_RVP_ERR_SERVER);
    EXPECT_TRUE(std::filesystem::is_empty(m_folder.Path()));
}

TEST_F(RVProcWorkerTest, DirectOutputsTakeCopiesOnlyWhileTheirServersRun)
{
    CTestVideoWorker worker;
    worker.SetPipeOutputName(L"Feed", 0);
    FramePackage frame;
    frame.width = 64;
    frame.height = 32;
    ASSERT_GT(CreateBlankVideoFramePackage(frame, stColorYuv{}), 0);
    EXPECT_EQ(worker.PushFrameToDirectOutputs(frame, 0), 0);
    ASSERT_EQ(worker.StartRvtpServer(64, 32, 0), 0);
    EXPECT_EQ(worker.PushFrameToDirectOutputs(frame, 0), 1); // the display is not enabled
    FreeFramePackage(frame);
    worker.unInitialize();
}

TEST_F(RVProcWorkerTest, MonitorsAreOwnedByOneWorkerNameAndTheLockIsFreeAfterARefusal)
{
    CLogCapture log;
    CTestVideoWorker first(false, L"workerA");
    CTestVideoWorker second(false, L"WorkerB");
    EXPECT_FALSE(first.EnableDirectOutput(DisplaySettings(TYX_DISPLAY_MONITOR, 9), 0));
    EXPECT_FALSE(first.EnableDirectOutput(DisplaySettings(TYX_DISPLAY_MONITOR, 0), 0));
    EXPECT_TRUE(first.EnableDirectOutput(DisplaySettings(TYX_DISPLAY_MONITOR, 2), 0));
    EXPECT_EQ(CTYXGVMS::MonitorAliases().at(2), L"workerA");
    EXPECT_FALSE(second.EnableDirectOutput(DisplaySettings(TYX_DISPLAY_MONITOR, 2), 0));
    EXPECT_TRUE(log.Contains(L"The required Monotor:2 is used by workerA already!", 3));

    // Another thread can take the registry lock at once.
    auto other = std::async(std::launch::async, [] {
        LockRendererSection();
        UnlockRendererSection();
        return true;
    });
    ASSERT_EQ(other.wait_for(std::chrono::seconds(5)), std::future_status::ready);

    CTestVideoWorker sameName(false, L"WORKERA");
    EXPECT_TRUE(sameName.EnableDirectOutput(DisplaySettings(TYX_DISPLAY_MONITOR, 2), 0));
    for (uint16_t number = 0; number <= 8; ++number)
        EXPECT_TRUE(first.IsValidMonitorNo(number));
    EXPECT_FALSE(first.IsValidMonitorNo(9));
}

TEST_F(RVProcWorkerTest, AMonitorIsGivenBackWhenItsOutputStopsOrItsWorkerGoes)
{
    auto split = std::make_unique<CTestVideoWorker>(true, L"SplitA");
    ASSERT_TRUE(split->AddOutputRecord(kWorkerId + 1, L"Out1"));
    ASSERT_TRUE(split->AddOutputRecord(kWorkerId + 2, L"Out2"));
    // The second output's display carries its own name, as a split's outputs do.
    split->SetDisplayOutputName(L"Out2", kWorkerId + 2);
    ASSERT_TRUE(split->EnableDirectOutput(DisplaySettings(TYX_DISPLAY_MONITOR, 2), kWorkerId + 1));
    ASSERT_TRUE(split->EnableDirectOutput(DisplaySettings(TYX_DISPLAY_MONITOR, 3), kWorkerId + 2));
    CTestVideoWorker other(false, L"WorkerB");
    EXPECT_FALSE(other.EnableDirectOutput(DisplaySettings(TYX_DISPLAY_MONITOR, 2), 0));

    // The output on monitor 2 stops: that monitor is free, the other output keeps its own.
    split->StopDirectOutput(kWorkerId + 1);
    EXPECT_EQ(CTYXGVMS::MonitorAliases().count(2), 0u);
    EXPECT_EQ(CTYXGVMS::MonitorAliases().at(3), L"Out2");
    EXPECT_TRUE(other.EnableDirectOutput(DisplaySettings(TYX_DISPLAY_MONITOR, 2), 0));
    EXPECT_EQ(CTYXGVMS::MonitorAliases().at(2), L"WorkerB");

    // The worker goes: its monitor is free, another worker's stays taken.
    split.reset();
    EXPECT_EQ(CTYXGVMS::MonitorAliases().count(3), 0u);
    EXPECT_EQ(CTYXGVMS::MonitorAliases().at(2), L"WorkerB");
    CTestVideoWorker third(false, L"WorkerC");
    EXPECT_TRUE(third.EnableDirectOutput(DisplaySettings(TYX_DISPLAY_MONITOR, 3), 0));
}

TEST_F(RVProcWorkerTest, WithoutAnXServerTheDisplayFailsToStartAndThePipeGoesOn)
{
    CLogCapture log;
    CTestVideoWorker worker;
    worker.SetPipeOutputName(L"Cam1", 0);
    ASSERT_TRUE(worker.EnableDirectOutput(DisplaySettings(TYX_DISPLAY_WINDOW), 0));
    EXPECT_EQ(worker.StartRvdoServer(640, 360, 0), TYX_RVP_ERR_RECORD);
    EXPECT_TRUE(log.Contains(L"[WID=33619968] RVDO server(VdcdCam1) initializing failed!", 3));
    EXPECT_EQ(worker.StartRvtpServer(640, 360, 0), 0);
    EXPECT_TRUE(worker.GetRvtpServer(0)->IsThreadRunning());
    worker.unInitialize();
    EXPECT_EQ(worker.GetRvdoServer(0), nullptr);
}

class RVProcClockTest : public RVProcWorkerTest
{
protected:
    void SetUp() override
    {
        RVProcWorkerTest::SetUp();
        ::setenv("TZ", "Asia/Shanghai", 1);
        ::tzset();
        m_writer = std::make_shared<COsdWriter>();
        stOsdFont font;
        font.height = 16;
        font.charSet = 134;
        font.faceName = L"Arial";
        m_writer->SetFrameSize(640, 360, 640, 320);
        m_writer->AddOsd(1, OSD_CONTENT_TIME, font, OSD_COLOR_WHITE, OSD_POS_LEFT_TOP, 0, 0, true);
        m_writer->AddOsd(2, OSD_CONTENT_DATETIME, font, OSD_COLOR_WHITE, OSD_POS_LEFT_TOP, 0, 20, true);
        m_writer->AddOsd(3, OSD_CONTENT_STATIC_TEXT, font, OSD_COLOR_WHITE, OSD_POS_LEFT_TOP, 0, 40, true);
        m_writer->SetOsdText(3, L"Cam 1");
    }
    void TearDown() override
    {
        ::unsetenv("TZ");
        ::tzset();
        m_writer.reset();
        RVProcWorkerTest::TearDown();
    }
    std::wstring Text(uint16_t number)
    {
        stOsdItem item;
        EXPECT_TRUE(m_writer->GetOsdItem(number, item));
        return item.text;
    }
    // 2024-01-05 00:03:09 UTC on the program clock (8 h ahead), plus some microseconds.
    static constexpr int64_t kProgramTimeUs = (1704412989LL + 28800LL) * 1000000LL + 250000LL;
    std::shared_ptr<COsdWriter> m_writer;
};

TEST_F(RVProcClockTest, ClockTextsShowTheHostsLocalTimeOncePerSecond)
{
    CTestVideoWorker worker;
    worker.SetOsdWriter(m_writer, TYX_OVERLAY_DIRECT_DISPLAY, 0);
    EXPECT_EQ(worker.PrepareTimeOsdInNeed(kProgramTimeUs, TYX_OVERLAY_OUTPUT), -2);
    EXPECT_EQ(worker.PrepareTimeOsdInNeed(kProgramTimeUs, TYX_OVERLAY_DIRECT_DISPLAY), 0); // overlay off
    worker.SetTimeOsd(true);
    EXPECT_EQ(worker.PrepareTimeOsdInNeed(kProgramTimeUs, TYX_OVERLAY_DIRECT_DISPLAY | TYX_OVERLAY_INPUT), 2);
    EXPECT_EQ(Text(1), L"08:03:09");
    EXPECT_EQ(Text(2), L"2024-1-5 08:03:09");
    EXPECT_EQ(Text(3), L"Cam 1");
    EXPECT_EQ(worker.PrepareTimeOsdInNeed(kProgramTimeUs + 500000, TYX_OVERLAY_DIRECT_DISPLAY), 0);
    EXPECT_EQ(worker.PrepareTimeOsdInNeed(kProgramTimeUs + 800000, TYX_OVERLAY_DIRECT_DISPLAY), 2);
    EXPECT_EQ(Text(1), L"08:03:10");
}

// The host's time steps after the start (NTP, an operator): the clock texts show the host's time
// as it reads now, though the pictures' program time goes on unmoved.
TEST_F(RVProcClockTest, ClockTextsFollowAStepOfTheHostsTime)
{
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    std::atomic<int64_t> wallUs{kProgramTimeUs - TYX_CLOCK_OFFSET_US};
    CTestVideoWorker worker;
    worker.SetClockSources([] { return kProgramTimeUs; }, nullptr, [&wallUs] { return wallUs.load(); });
    worker.SetTimeOsd(true);
    worker.SetOsdWriter(m_writer, TYX_OVERLAY_OUTPUT, 0);
    EXPECT_EQ(worker.PrepareTimeOsdInNeed(kProgramTimeUs, TYX_OVERLAY_OUTPUT), 2);
    EXPECT_EQ(Text(2), L"2024-1-5 00:03:09");
    wallUs += 60000000;
    EXPECT_EQ(worker.PrepareTimeOsdInNeed(kProgramTimeUs + 1000000, TYX_OVERLAY_OUTPUT), 2);
    EXPECT_EQ(Text(2), L"2024-1-5 00:04:10");
    wallUs -= 120000000;
    EXPECT_EQ(worker.PrepareTimeOsdInNeed(kProgramTimeUs + 2000000, TYX_OVERLAY_OUTPUT), 2);
    EXPECT_EQ(Text(2), L"2024-1-5 00:02:11");
}

TEST_F(RVProcClockTest, ClockTextsFollowTheHostsTimeZone)
{
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    CTestVideoWorker worker;
    worker.SetTimeOsd(true);
    worker.SetOsdWriter(m_writer, TYX_OVERLAY_OUTPUT, 0);
    EXPECT_EQ(worker.PrepareTimeOsdInNeed(kProgramTimeUs, TYX_OVERLAY_OUTPUT), 2);
    EXPECT_EQ(Text(2), L"2024-1-5 00:03:09");
}

} // namespace
