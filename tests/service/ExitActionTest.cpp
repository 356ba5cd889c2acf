#include "service/ServiceMain.h"
#include "service/TYXMainExit.h"

#include "host/GlobalVars.h"
#include "platform/Event.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

namespace {

// Records what the run asked of the host instead of doing it.
class CFakeHost final : public IHostControl
{
public:
    int32_t PowerOff() override
    {
        ++powerOffs;
        return 0;
    }
    int32_t Reboot() override
    {
        ++reboots;
        return 0;
    }
    int32_t ScheduleProgramStart(const stScheduledStart &start) override
    {
        starts.push_back(start);
        return 0;
    }

    int powerOffs = 0;
    int reboots = 0;
    std::vector<stScheduledStart> starts;
};

constexpr int64_t kNow = 1800000000;

TEST(ExitActionTest, PowerOffRebootAndNothing)
{
    CFakeHost host;
    RunExitAction(TYX_EXIT_POWER_OFF, 0, kNow, host, "/opt/tyx/TyxServiceMain");
    RunExitAction(TYX_EXIT_REBOOT, 0, kNow, host, "/opt/tyx/TyxServiceMain");
    RunExitAction(TYX_EXIT_NONE, 50, kNow, host, "/opt/tyx/TyxServiceMain");
    RunExitAction(7, 50, kNow, host, "/opt/tyx/TyxServiceMain");
    RunExitAction(TYX_EXIT_RESTART, 0, kNow, host, "/opt/tyx/TyxServiceMain");
    EXPECT_EQ(host.powerOffs, 1);
    EXPECT_EQ(host.reboots, 1);
    EXPECT_TRUE(host.starts.empty());
}

TEST(ExitActionTest, ARestartNeedsMoreThan30SecondsAndFailuresAreLogged)
{
    CLogCapture log;
    CFakeHost host;
    RunExitAction(TYX_EXIT_RESTART, 30, kNow, host, "/opt/tyx/TyxServiceMain");
    EXPECT_TRUE(host.starts.empty());
    EXPECT_TRUE(log.Contains(L"TYX restarting setting failed with error=-1!", 3));
    RunExitAction(TYX_EXIT_RESTART, 31, kNow, host, "/opt/tyx/TyxServiceMain");
    ASSERT_EQ(host.starts.size(), 1u);
    EXPECT_EQ(host.starts[0].startTime, kNow + 31);
    EXPECT_TRUE(log.Contains(L"TYX will restarting after 31 seconds...", 5));
}

TEST(ExitActionTest, ARequestStoresTheActionBeforeItWakesTheRun)
{
    CTYXGVMS::ResetForTests();
    auto exitEvent = std::make_shared<CEvent>(false);
    CTYXGVMS::SetExitRequestEvent(exitEvent);
    RequestServiceExit(TYX_EXIT_RESTART, 45);
    EXPECT_EQ(exitEvent->Wait(0), TYX_WAIT_OBJECT_0);
    EXPECT_EQ(CTYXGVMS::ExitAction().load(), TYX_EXIT_RESTART);
    EXPECT_EQ(CTYXGVMS::ExitDelay().load(), 45);
    CTYXGVMS::ResetForTests();
}

TEST(ExitActionTest, GpuMemoryIsReportedOnlyPastAGrowthOf128MiB)
{
    uint64_t logged = 0;
    EXPECT_FALSE(GpuMemoryGrew(logged, 134217728));
    EXPECT_EQ(logged, 0u);
    EXPECT_TRUE(GpuMemoryGrew(logged, 134217729));
    EXPECT_EQ(logged, 134217729u);
    EXPECT_FALSE(GpuMemoryGrew(logged, 134217729 + 134217728));
    EXPECT_FALSE(GpuMemoryGrew(logged, 1000)) << "a shrink is not news";
}

TEST(ExitActionTest, TheLockNameCarriesTheIdInSixDigits)
{
    EXPECT_EQ(InstanceLockName(7), "TYX_SERVICE_PROCESS_000007");
    EXPECT_EQ(InstanceLockName(123456), "TYX_SERVICE_PROCESS_123456");
}

} // namespace

#include "service/CaptureDeviceList.h"
#include "support/TempDir.h"

#include <unistd.h>

namespace {

TEST(CaptureDeviceListTest, BothListsAreFramedEvenWhenEmpty)
{
    CTempDir devices;
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    {
        CConsoleOutput console(pipeFds[1]);
        ListCaptureDevices(console, devices.Path().string());
    }
    close(pipeFds[1]);
    std::string text;
    char buffer[4096];
    ssize_t length = 0;
    while ((length = read(pipeFds[0], buffer, sizeof(buffer))) > 0)
        text.append(buffer, static_cast<size_t>(length));
    close(pipeFds[0]);
    const size_t audio = text.find("+++Local fixed AUDIO Capture Device List:\r\n");
    const size_t video = text.find("+++Local fixed VIDEO Capture Device List:\r\n");
    ASSERT_NE(audio, std::string::npos);
    ASSERT_NE(video, std::string::npos);
    EXPECT_LT(audio, video);
    EXPECT_EQ(text.rfind("+---------------------------------------+\r\n"), text.size() - 43);
}

} // namespace
