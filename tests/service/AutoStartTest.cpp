#include "service/dGlobalFuncs.h"

#include "support/ChildTestSupport.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace fs = std::filesystem;

namespace {

using Commands = std::vector<std::vector<std::string>>;

// A host tree with systemd's run folder and unit folder, and systemctl replaced.
class AutoStartTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fs::create_directories(root.Path() / "run/systemd/system");
        fs::create_directories(UnitFolder());
        target.root = root.Path().string();
        target.programPath = "/opt/tyx dir/\"Lumo\" $(reboot);%n/TyxServiceMain";
        target.runner = [this](const std::vector<std::string> &argv) {
            commands.push_back(argv);
            return runnerResult;
        };
    }

    fs::path UnitFolder() const { return root.Path() / "etc/systemd/system"; }
    fs::path UnitFile() const { return UnitFolder() / "tyxconsole.service"; }
    std::vector<std::string> UnitLines(const std::string &prefix) const
    {
        std::vector<std::string> lines;
        std::istringstream text(ReadTextFile(UnitFile()));
        for (std::string line; std::getline(text, line);) {
            if (line.rfind(prefix, 0) == 0)
                lines.push_back(line);
        }
        return lines;
    }

    CTempDir root;
    stAutoStartTarget target;
    Commands commands;
    int32_t runnerResult = 0;
    CLogCapture log;
};

TEST_F(AutoStartTest, InstallingTwiceLeavesOneUnitThatRunsTheProgramSilent)
{
    ASSERT_EQ(SetAutoStartConsoleModule(false, L"-silent", target), 0);
    ASSERT_EQ(SetAutoStartConsoleModule(false, L"-silent", target), 0);
    // One word for the whole path: quotes escaped, "%" and "$" doubled so systemd expands nothing.
    EXPECT_EQ(UnitLines("ExecStart="),
              std::vector<std::string>{"ExecStart=\"/opt/tyx dir/\\\"Lumo\\\" $$(reboot);%%n/TyxServiceMain\" \"-silent\""});
    EXPECT_EQ(UnitLines("WantedBy="), std::vector<std::string>{"WantedBy=multi-user.target"});
    // The run reports to systemd and stops in order on its signal.
    EXPECT_EQ(UnitLines("Type="), std::vector<std::string>{"Type=notify"});
    EXPECT_EQ(UnitLines("KillSignal="), std::vector<std::string>{"KillSignal=SIGTERM"});
    std::vector<fs::path> files;
    for (const auto &entry : fs::directory_iterator(UnitFolder()))
        files.push_back(entry.path().filename());
    EXPECT_EQ(files, std::vector<fs::path>{"tyxconsole.service"});
    // Enabled under the given root; no reload of the real manager for a tree that is not the host's.
    const std::vector<std::string> enable = {"systemctl", "--root=" + target.root, "enable", "tyxconsole.service"};
    EXPECT_EQ(commands, (Commands{enable, enable}));
    EXPECT_TRUE(log.Contains(L"AutoRunKey-Item(TYXConsole) wrote successfully", 5));
}

TEST_F(AutoStartTest, RemovalStopsDisablesAndDeletesTheUnit)
{
    ASSERT_EQ(SetAutoStartConsoleModule(false, L"-silent", target), 0);
    commands.clear();
    // The unit runs until it is stopped.
    bool active = true;
    target.runner = [this, &active](const std::vector<std::string> &argv) {
        commands.push_back(argv);
        if (argv[2] == "disable" && argv[3] == "--now")
            active = false;
        return argv[2] == "is-active" ? (active ? 0 : 3) : 0;
    };
    testing::internal::CaptureStdout();
    EXPECT_EQ(SetAutoStartConsoleModule(true, nullptr, target), 0);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(fs::exists(UnitFile()));
    EXPECT_FALSE(active) << "a removed unit does not go on running";
    const std::vector<std::string> stop = {"systemctl", "--root=" + target.root, "disable", "--now", "tyxconsole.service"};
    EXPECT_NE(std::find(commands.begin(), commands.end(), stop), commands.end());
    EXPECT_NE(printed.find("Stopping Kestro-TYX-Service.\nKestro-TYX-Service stopped.\n"), std::string::npos) << printed;

    // A unit that does not stop is said to have failed to.
    ASSERT_EQ(SetAutoStartConsoleModule(false, L"-silent", target), 0);
    target.runner = [](const std::vector<std::string> &argv) { return argv[2] == "is-active" ? 0 : 1; };
    testing::internal::CaptureStdout();
    EXPECT_EQ(SetAutoStartConsoleModule(true, nullptr, target), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Kestro-TYX-Service failed to stop."), std::string::npos);
    EXPECT_TRUE(log.Contains(L"AutoRunKey-Item(TYXConsole) removed successfully", 5));
    EXPECT_EQ(SetAutoStartConsoleModule(true, nullptr, target), -4);
    EXPECT_TRUE(log.Contains(L"AutoRunKey-Item(TYXConsole) deleting failed with error=2!", 3));
}

TEST_F(AutoStartTest, FailuresLeaveNoUnitBehind)
{
    // Without systemd there is nothing to install into.
    CTempDir bare;
    stAutoStartTarget noSystemd = target;
    noSystemd.root = bare.Path().string();
    EXPECT_EQ(SetAutoStartConsoleModule(false, L"-silent", noSystemd), -4);
    EXPECT_TRUE(log.Contains(L"AutoRunKey-Folder opening failed with error=2!", 3));

    // A path with a line break would let the rest of it become unit settings.
    stAutoStartTarget injected = target;
    injected.programPath = "/opt/tyx\n[Service]\nExecStartPre=/bin/rm -rf /";
    EXPECT_EQ(SetAutoStartConsoleModule(false, L"-silent", injected), -1);
    EXPECT_FALSE(fs::exists(UnitFile()));

    // An unwritable unit (here: its temporary name taken by a folder) is reported and not enabled.
    fs::create_directories(UnitFolder() / "tyxconsole.service.tmp");
    EXPECT_EQ(SetAutoStartConsoleModule(false, L"-silent", target), -4);
    EXPECT_FALSE(fs::exists(UnitFile()));
    EXPECT_TRUE(commands.empty());
    fs::remove(UnitFolder() / "tyxconsole.service.tmp");

    // A refused enable is a failure, though the unit is written.
    runnerResult = 1;
    EXPECT_EQ(SetAutoStartConsoleModule(false, L"-silent", target), -4);
}

} // namespace
