#include "platform/ProcessHandle.h"

#include "support/ChildTestSupport.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <pthread.h>
#include <sys/wait.h>

namespace {

class ProcessHandleTest : public ::testing::Test
{
protected:
    CTempDir dir;
    CReadyFifo ready{dir.File("ready")};
    CChildEnvironment environment{{{"TYX_CHILD_RECORD", dir.File("record").string()},
                                   {"TYX_CHILD_SIGNALS", dir.File("signals").string()},
                                   {"TYX_CHILD_READY", ready.Path().string()}}};
};

TEST_F(ProcessHandleTest, HostileArgumentsReachTheChildOneEachInItsWorkingFolder)
{
    const auto folder = dir.Path() / "work dir \"$(touch pwned)\";x";
    std::filesystem::create_directories(folder);
    const std::vector<std::string> argv = {TestChildProgram().string(), "a b", "\"quoted\"", "$(touch pwned)",
                                           "x;rm -rf y", "`id`", ""};
    CProcessHandle child;
    stChildSpawnOptions options;
    options.workingFolder = folder.string();
    ASSERT_EQ(child.Spawn(argv, options), 0);
    ASSERT_TRUE(ready.WaitReady());
    const stChildRecord record = ReadChildRecord(dir.File("record"));
    EXPECT_EQ(record.workingFolder, folder.string());
    EXPECT_EQ(record.argv, argv);
    EXPECT_FALSE(std::filesystem::exists(folder / "pwned"));
    EXPECT_EQ(child.Stop(SIGTERM, 5000, 0, 5000), 0);
    EXPECT_EQ(ReadTextFile(dir.File("signals")), "TERM\n");
}

TEST_F(ProcessHandleTest, MissingProgramOrFolderIsAnErrorAndNothingRuns)
{
    CProcessHandle child;
    EXPECT_EQ(child.Spawn({(dir.Path() / "no such program").string()}, {}), -ENOENT);
    EXPECT_FALSE(child.IsStarted());
    stChildSpawnOptions options;
    options.workingFolder = (dir.Path() / "missing").string();
    EXPECT_LT(child.Spawn({TestChildProgram().string()}, options), 0);
    EXPECT_FALSE(child.IsStarted());
    EXPECT_EQ(child.Spawn({}, {}), -EINVAL);
}

TEST_F(ProcessHandleTest, BlockedSignalsOfTheParentDoNotReachTheChild)
{
    // The program blocks its signals for its signal descriptor; a child must still stop on SIGTERM.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    CProcessHandle child;
    const int32_t spawned = child.Spawn({TestChildProgram().string()}, {});
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ASSERT_EQ(spawned, 0);
    ASSERT_TRUE(ready.WaitReady());
    EXPECT_EQ(child.Stop(SIGINT, 5000, 5000, 5000), 0);
    EXPECT_EQ(ReadTextFile(dir.File("signals")), "INT\n");
}

TEST_F(ProcessHandleTest, StopEscalatesPastIgnoredSignalsAndReaps)
{
    CChildEnvironment ignore("TYX_CHILD_IGNORE", "INT,TERM");
    CProcessHandle child;
    ASSERT_EQ(child.Spawn({TestChildProgram().string()}, {}), 0);
    ASSERT_TRUE(ready.WaitReady());
    const int pid = child.Pid();
    EXPECT_EQ(child.Stop(SIGINT, 200, 200, 5000), 2);
    ASSERT_GE(child.WaitStatus(), 0);
    EXPECT_TRUE(WIFSIGNALED(child.WaitStatus()));
    EXPECT_TRUE(ProcessIsGone(pid));
    EXPECT_EQ(child.Stop(SIGINT, 10, 10, 10), -ESRCH);
}

TEST_F(ProcessHandleTest, DestructorStopsAndReapsARunningChild)
{
    int pid = 0;
    {
        CProcessHandle child;
        ASSERT_EQ(child.Spawn({TestChildProgram().string()}, {}), 0);
        ASSERT_TRUE(ready.WaitReady());
        pid = child.Pid();
        CProcessHandle moved(std::move(child)); // ownership travels with the object
        EXPECT_FALSE(child.IsStarted());
    }
    EXPECT_TRUE(ProcessIsGone(pid));
}

TEST_F(ProcessHandleTest, AChildThatEndsByItselfIsReapedAndAnAttachedOneIsOnlyObserved)
{
    CChildEnvironment quick("TYX_CHILD_EXIT", "3");
    CProcessHandle child;
    ASSERT_EQ(child.Spawn({TestChildProgram().string()}, {}), 0);
    ASSERT_EQ(child.WaitExit(10000), 0);
    EXPECT_FALSE(child.IsRunning());
    EXPECT_EQ(WEXITSTATUS(child.WaitStatus()), 3);

    unsetenv("TYX_CHILD_EXIT");
    CProcessHandle owner;
    ASSERT_EQ(owner.Spawn({TestChildProgram().string()}, {}), 0);
    ASSERT_TRUE(ready.WaitReady());
    {
        CProcessHandle observer;
        ASSERT_EQ(observer.Attach(owner.Pid()), 0);
        EXPECT_TRUE(observer.IsRunning());
    }
    EXPECT_TRUE(owner.IsRunning()); // the observer's end left it alone
    CProcessHandle observer;
    ASSERT_EQ(observer.Attach(owner.Pid()), 0);
    EXPECT_EQ(observer.Stop(SIGTERM, 5000, 0, 5000), 0);
    EXPECT_EQ(owner.WaitExit(5000), 0);
}

TEST(RunCommandTest, GivesTheExitCodeAndFindsProgramsOnThePath)
{
    EXPECT_EQ(RunCommand({"true"}, 10000), 0);
    EXPECT_EQ(RunCommand({"false"}, 10000), 1);
    EXPECT_EQ(RunCommand({"no-such-program-tyx"}, 10000), -ENOENT);
    EXPECT_EQ(RunCommand({"sleep", "30"}, 100), -ETIMEDOUT);
    EXPECT_FALSE(FindProgramOnPath("sh").empty());
    EXPECT_TRUE(FindProgramOnPath("no-such-program-tyx").empty());
}

} // namespace
