#include "service/HostReport.h"

#include "platform/ProcessHandle.h"
#include "platform/ProcessAffinity.h"
#include "support/ChildTestSupport.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <map>

namespace {

// A host of processes and threads that exists only in the test.
class CFakeProcesses final : public IProcessAffinityHost
{
public:
    int32_t OwnProcessId() const override { return 100; }
    int32_t ListProcessIds(std::vector<int32_t> &pids) const override
    {
        pids.clear();
        for (const auto &[pid, tids] : threads)
            pids.push_back(pid);
        return listError;
    }
    bool IsKernelThread(int32_t pid) const override { return pid == 2 || pid == 3; }
    int32_t ListThreadIds(int32_t pid, std::vector<int32_t> &tids) const override
    {
        tids = threads.at(pid);
        return pid == 404 ? -ESRCH : 0;
    }
    int32_t GetSystemMask(uint64_t &mask) const override
    {
        mask = system;
        return systemError;
    }
    int32_t GetThreadAffinity(int32_t tid, uint64_t &mask) const override
    {
        mask = masks.count(tid) ? masks.at(tid) : system;
        return 0;
    }
    int32_t SetThreadAffinity(int32_t tid, uint64_t mask) override
    {
        if (tid == 501)
            return -EPERM; // another user's process
        masks[tid] = mask;
        return 0;
    }

    std::map<int32_t, std::vector<int32_t>> threads = {
        {1, {1}}, {2, {2}}, {3, {3}}, {100, {100, 101}}, {200, {200, 201, 202}}, {300, {300}}, {404, {}}, {500, {501}}};
    std::map<int32_t, uint64_t> masks;
    uint64_t system = 0xFFFF; // 16 processors
    int32_t listError = 0;
    int32_t systemError = 0;
};

TEST(OtherProcessesAffinityTest, EveryThreadOfOtherProcessesMovesOntoTheLowerProcessors)
{
    CFakeProcesses host;
    host.masks[300] = 0xFF; // already there
    CLogCapture log;
    EXPECT_EQ(SetOtherProcessesAffinity(8, host), 2); // processes 1 and 200
    EXPECT_EQ(host.masks[1], 0xFFu);
    for (const int32_t tid : {200, 201, 202})
        EXPECT_EQ(host.masks[tid], 0xFFu) << tid;
    EXPECT_FALSE(host.masks.count(100) || host.masks.count(101)); // its own process keeps everything
    EXPECT_FALSE(host.masks.count(2) || host.masks.count(3));     // kernel threads are left out
    EXPECT_TRUE(log.Contains(L"Process[500] affinity setting failed whih last error=1!", 6));
    EXPECT_TRUE(log.Contains(L"Process[404] open failed with last error=3!", 6));
    EXPECT_TRUE(log.Contains(L"Process[200] affinity was set to 255.", 7));
}

TEST(OtherProcessesAffinityTest, UnusableShiftsAndUnreadableHostsAreRefused)
{
    CFakeProcesses host;
    EXPECT_EQ(SetOtherProcessesAffinity(16, host), -32);
    EXPECT_EQ(SetOtherProcessesAffinity(-1, host), -32);
    EXPECT_TRUE(host.masks.empty());
    host.system = 0x8001; // a mask with holes: its bit length, not its bit count, bounds the shift
    EXPECT_EQ(SetOtherProcessesAffinity(15, host), 3);
    EXPECT_EQ(host.masks[1], 1u);
    host.systemError = -ENOENT;
    EXPECT_EQ(SetOtherProcessesAffinity(1, host), -16);
    host.listError = -EACCES;
    EXPECT_EQ(SetOtherProcessesAffinity(1, host), -8);
}

TEST(OtherProcessesAffinityTest, ARunStartedByHandLeavesOtherProcessesAlone)
{
    CChildEnvironment none("INVOCATION_ID", "");
    CLogCapture log;
    EXPECT_EQ(MoveOtherProcessesAtStartup(4), 0);
    EXPECT_TRUE(log.Contains(L"the program was not started by systemd", 5));
}

TEST(OtherProcessesAffinityTest, TheHostsAffinityOfAChildOfTheTestIsSetPerThread)
{
    CHostProcessAffinity host;
    uint64_t system = 0;
    ASSERT_EQ(host.GetSystemMask(system), 0);
    uint64_t own = 0;
    ASSERT_EQ(host.GetThreadAffinity(host.OwnProcessId(), own), 0);
    const uint64_t one = own & (~own + 1); // the lowest processor this test may use
    CTempDir dir;
    CReadyFifo ready(dir.File("ready"));
    CChildEnvironment environment("TYX_CHILD_READY", ready.Path().string());
    CProcessHandle child;
    ASSERT_EQ(child.Spawn({TestChildProgram().string()}, {}), 0);
    ASSERT_TRUE(ready.WaitReady());
    std::vector<int32_t> tids;
    ASSERT_EQ(host.ListThreadIds(child.Pid(), tids), 0);
    ASSERT_FALSE(tids.empty());
    ASSERT_EQ(host.SetThreadAffinity(tids[0], one), 0);
    uint64_t mask = 0;
    ASSERT_EQ(host.GetThreadAffinity(tids[0], mask), 0);
    EXPECT_EQ(mask, one);
    EXPECT_FALSE(host.IsKernelThread(child.Pid()));
    EXPECT_TRUE(host.IsKernelThread(2));
}

TEST(CpuListTest, KernelProcessorListsBecomeMasks)
{
    uint64_t mask = 0;
    ASSERT_EQ(ParseCpuList("0-3,8,10-11\n", mask), 0);
    EXPECT_EQ(mask, 0xD0Fu);
    EXPECT_EQ(ParseCpuList("5-2", mask), -EINVAL);
    EXPECT_EQ(ParseCpuList("", mask), -EINVAL);
    EXPECT_EQ(ParseCpuList("x", mask), -EINVAL);
}

} // namespace
