#include "platform/HostControl.h"

#include "support/ChildTestSupport.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <ctime>

namespace {

using Commands = std::vector<std::vector<std::string>>;

CommandRunner Recorder(Commands &commands, int32_t result = 0)
{
    return [&commands, result](const std::vector<std::string> &argv) {
        commands.push_back(argv);
        return result;
    };
}

TEST(HostControlTest, PowerActionsGoThroughSystemctl)
{
    Commands commands;
    CSystemHostControl host(Recorder(commands));
    EXPECT_EQ(host.PowerOff(), 0);
    EXPECT_EQ(host.Reboot(), 0);
    EXPECT_EQ(commands, (Commands{{"systemctl", "poweroff"}, {"systemctl", "reboot"}}));
    CSystemHostControl refused(Recorder(commands, 1));
    EXPECT_EQ(refused.Reboot(), -1);
}

TEST(HostControlTest, UnderSystemdALaterStartIsATimerThatReplacesTheLastOne)
{
    CTempDir root;
    std::filesystem::create_directories(root.Path() / "run/systemd/system");
    Commands commands;
    CSystemHostControl host(Recorder(commands), root.Path().string());
    stScheduledStart start;
    start.argv = {"/opt/tyx dir/TyxServiceMain", "-silent"};
    start.now = 1000;
    start.startTime = 1031;
    ASSERT_EQ(host.ScheduleProgramStart(start), 0);
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[0][0], "systemctl");
    EXPECT_NE(std::find(commands[0].begin(), commands[0].end(), "stop"), commands[0].end());
    const std::vector<std::string> &run = commands[2];
    EXPECT_EQ(run[0], "systemd-run");
    EXPECT_NE(std::find(run.begin(), run.end(), "--on-active=31s"), run.end());
    EXPECT_NE(std::find(run.begin(), run.end(), "--unit=tyx-restart-task"), run.end());
    EXPECT_EQ(std::vector<std::string>(run.end() - 2, run.end()), start.argv);

    commands.clear();
    start.unitName = "tyxconsole.service";
    ASSERT_EQ(host.ScheduleProgramStart(start), 0);
    EXPECT_EQ(commands.back().back(), "tyxconsole.service");
    EXPECT_EQ(*(commands.back().end() - 2), "start");
}

TEST(HostControlTest, WithoutSystemdADetachedStarterRunsTheProgramAtItsTime)
{
    CTempDir dir;
    CReadyFifo ready(dir.File("ready"));
    CChildEnvironment environment({{"TYX_CHILD_READY", ready.Path().string()},
                                   {"TYX_CHILD_RECORD", dir.File("record").string()},
                                   {"TYX_CHILD_EXIT", "0"}});
    Commands commands;
    CSystemHostControl host(Recorder(commands), dir.Path().string());
    stScheduledStart start;
    start.argv = {TestChildProgram().string(), "-silent"};
    start.now = std::time(nullptr);
    start.startTime = start.now; // due at once: the test waits for the program, not for a clock
    start.latestStart = start.now + 300;
    ASSERT_EQ(host.ScheduleProgramStart(start), 0);
    EXPECT_TRUE(commands.empty());
    ASSERT_TRUE(ready.WaitReady());
    EXPECT_EQ(ReadChildRecord(dir.File("record")).argv, start.argv);
}

} // namespace
