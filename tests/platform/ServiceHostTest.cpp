#include "platform/HostInfo.h"
#include "platform/InstanceLock.h"
#include "platform/ProcessTable.h"
#include "platform/SignalReader.h"
#include "platform/SystemdNotifier.h"

#include "support/ChildTestSupport.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Lock files go to the test's own runtime folder.
class InstanceLockTest : public ::testing::Test
{
protected:
    void SetUp() override { setenv("RUNTIME_DIRECTORY", m_dir.Path().c_str(), 1); }
    void TearDown() override { unsetenv("RUNTIME_DIRECTORY"); }

    CTempDir m_dir;
};

TEST_F(InstanceLockTest, OneHolderPerNameAndTheHolderIsKnown)
{
    CInstanceLock first;
    ASSERT_EQ(first.Acquire("TYX_SERVICE_PROCESS_000007"), 0);
    EXPECT_EQ(first.Path(), (m_dir.Path() / "TYX_SERVICE_PROCESS_000007.lock").string());
    CInstanceLock second;
    EXPECT_EQ(second.Acquire("TYX_SERVICE_PROCESS_000007"), -EWOULDBLOCK);
    EXPECT_EQ(CInstanceLock::HolderOf("TYX_SERVICE_PROCESS_000007"), getpid());
    CInstanceLock other;
    EXPECT_EQ(other.Acquire("TYX_SERVICE_PROCESS_000008"), 0) << "another id runs beside it";
    first.Release();
    EXPECT_EQ(CInstanceLock::HolderOf("TYX_SERVICE_PROCESS_000007"), 0) << "the stale pid in the file is not a holder";
    EXPECT_EQ(second.Acquire("TYX_SERVICE_PROCESS_000007"), 0);
}

TEST_F(InstanceLockTest, APlantedLinkOrAnotherUsersFileIsRefused)
{
    // A link in the lock file's place would let the run truncate the file it points at.
    const std::filesystem::path victim = m_dir.Path() / "victim.txt";
    std::ofstream(victim) << "keep me\n";
    std::filesystem::create_symlink(victim, m_dir.Path() / "TYX_SERVICE_PROCESS_000011.lock");
    CInstanceLock linked;
    EXPECT_EQ(linked.Acquire("TYX_SERVICE_PROCESS_000011"), -ELOOP);
    std::ifstream kept(victim);
    std::string text;
    std::getline(kept, text);
    EXPECT_EQ(text, "keep me");
    EXPECT_EQ(CInstanceLock::HolderOf("TYX_SERVICE_PROCESS_000011"), 0);

    if (geteuid() != 0)
        GTEST_SKIP() << "only root can give a file to another user: the foreign-owner case is not run";
    const std::filesystem::path foreign = m_dir.Path() / "TYX_SERVICE_PROCESS_000012.lock";
    std::ofstream(foreign) << "1\n";
    ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
    CInstanceLock refused;
    EXPECT_EQ(refused.Acquire("TYX_SERVICE_PROCESS_000012"), CInstanceLock::LOCK_FOREIGN_OWNER);
    EXPECT_FALSE(refused.Held());
}

TEST_F(InstanceLockTest, AChildProgramDoesNotKeepTheLock)
{
    auto lock = std::make_unique<CInstanceLock>();
    ASSERT_EQ(lock->Acquire("TYX_SERVICE_PROCESS_000009"), 0);
    const std::string child = TestChildProgram().string();
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execl(child.c_str(), child.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    // Once the child runs its own program, the descriptor it inherited is gone.
    while (ReadProcessExe(pid) != child)
        usleep(1000);
    lock.reset();
    CInstanceLock next;
    EXPECT_EQ(next.Acquire("TYX_SERVICE_PROCESS_000009"), 0);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

TEST(SignalReaderTest, BlockedStopSignalsArriveAsData)
{
    ASSERT_EQ(CSignalReader::BlockStopSignals(), 0);
    CSignalReader reader;
    ASSERT_TRUE(reader.IsOpen());
    EXPECT_EQ(reader.Wait(0), 0);
    kill(getpid(), SIGTERM);
    EXPECT_EQ(reader.Wait(1000), SIGTERM);
    kill(getpid(), SIGHUP);
    EXPECT_EQ(reader.Wait(1000), SIGHUP);
    EXPECT_EQ(reader.Wait(0), 0);
    CSignalReader::UnblockStopSignals();
}

// A datagram socket in the test folder stands in for systemd's.
class SystemdNotifierTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_path = (m_dir.Path() / "notify").string();
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", m_path.c_str());
        ASSERT_EQ(bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
    }
    void TearDown() override { close(m_fd); }

    std::string Receive()
    {
        char buffer[512];
        const ssize_t length = recv(m_fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        return length > 0 ? std::string(buffer, static_cast<size_t>(length)) : std::string();
    }

    CTempDir m_dir;
    std::string m_path;
    int m_fd = -1;
};

TEST_F(SystemdNotifierTest, StatesReachTheSocketAndStatusStaysOneLine)
{
    CSystemdNotifier notifier(m_path);
    ASSERT_TRUE(notifier.Active());
    EXPECT_EQ(notifier.Ready(), 0);
    EXPECT_EQ(Receive(), "READY=1");
    EXPECT_EQ(notifier.Status("Recording\nREADY=1"), 0);
    EXPECT_EQ(Receive(), "STATUS=Recording READY=1");
    EXPECT_EQ(notifier.Stopping(), 0);
    EXPECT_EQ(Receive(), "STOPPING=1");
}

TEST_F(SystemdNotifierTest, WithoutASocketNothingIsSent)
{
    unsetenv("NOTIFY_SOCKET");
    CSystemdNotifier none;
    EXPECT_FALSE(none.Active());
    EXPECT_EQ(none.Ready(), -ENOTCONN);
    EXPECT_EQ(CSystemdNotifier("relative/name").Ready(), -EINVAL);
}

// Peers drop notices without a serial, and tell units apart by it.
TEST(UnitSerialTest, TheMachineIdGivesTheSerialAndABrokenOneNone)
{
    CTempDir root;
    std::filesystem::create_directories(root.Path() / "etc");
    const auto write = [&root](const std::string &text) { std::ofstream(root.Path() / "etc" / "machine-id") << text; };
    EXPECT_EQ(ReadUnitSerial(root.Path().string()), "");
    write("0123456789abcdef0123456789abcdef\n");
    EXPECT_EQ(ReadUnitSerial(root.Path().string()), "0123456789ABCDE");
    write("0123456789abcd\n");
    EXPECT_EQ(ReadUnitSerial(root.Path().string()), "");
    write("uninitialized\n0123456789abcdef\n");
    EXPECT_EQ(ReadUnitSerial(root.Path().string()), "");
    write("0123456789a;cdef0123456789abcdef\n");
    EXPECT_EQ(ReadUnitSerial(root.Path().string()), "");
}

} // namespace
