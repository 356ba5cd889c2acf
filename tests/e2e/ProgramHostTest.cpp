// The program's host as an operator meets it: its console through a pipe whose reader goes away, a
// log disk that fills up, configuration files that are missing or broken, a lock file that belongs
// to someone else, and Ctrl-C during a one-shot option.

#include "ProgramRunSupport.h"

#include "core/debuglog.h"
#include "support/SmallFileSystem.h"
#include "support/TempDir.h"
#include "support/TestMedia.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <regex>
#include <spawn.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace fs = std::filesystem;

namespace {

// What the waits look at reads the program's log: a few times a second is enough.
constexpr int kPollMs = 50;

// Each run takes an id of its own, so runs of the suites side by side do not meet on one lock.
int32_t TestTyxId(int32_t offset)
{
    return 300000 + (getpid() % 600000) + offset;
}

std::string SystemSettings(int32_t tyxId, int32_t debugLevel)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Config><General><GlobalTyxId>" + std::to_string(tyxId) +
           "</GlobalTyxId><DebugLevel>" + std::to_string(debugLevel) + "</DebugLevel></General></Config>\n";
}

// The program started with its standard output into a pipe that the test holds (standard error goes
// to "<name>.err" in the program folder). A child still running at the end is killed and reaped.
class CPipedProgram
{
public:
    CPipedProgram(const CProgramFolder &folder, const std::vector<std::string> &arguments, const std::string &name)
    {
        int fds[2] = {-1, -1};
        if (pipe2(fds, O_CLOEXEC) != 0)
            return;
        m_read = fds[0];
        m_write = fds[1];
        m_arguments = {folder.Program().string()};
        m_arguments.insert(m_arguments.end(), arguments.begin(), arguments.end());
        m_folder = folder.Path();
        m_errorFile = (folder.Path() / (name + ".err")).string();
    }
    ~CPipedProgram()
    {
        if (m_pid > 0 && !m_reaped) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &m_status, 0);
        }
        CloseRead();
        CloseWrite();
    }

    // Fills the pipe before the start, so that the program's first console write waits.
    bool FillPipe()
    {
        const int flags = fcntl(m_write, F_GETFL);
        fcntl(m_write, F_SETFL, flags | O_NONBLOCK);
        const std::string block(4096, 'p');
        while (write(m_write, block.data(), block.size()) > 0) {
        }
        const bool full = errno == EAGAIN;
        fcntl(m_write, F_SETFL, flags);
        return full;
    }

    bool Start()
    {
        if (m_read < 0)
            return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, m_write, 1);
        posix_spawn_file_actions_addopen(&actions, 2, m_errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addchdir_np(&actions, m_folder.c_str());
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t none;
        sigemptyset(&none);
        sigset_t all;
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &all);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
        std::vector<char *> argv;
        for (std::string &argument : m_arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        const int error = posix_spawn(&m_pid, argv[0], &actions, &attributes, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        CloseWrite();
        return error == 0;
    }

    // Reads what the program has written so far, without waiting.
    std::string ReadAvailable()
    {
        std::string text;
        char buffer[4096];
        for (;;) {
            pollfd entry{m_read, POLLIN, 0};
            if (poll(&entry, 1, 0) <= 0 || !(entry.revents & POLLIN))
                break;
            const ssize_t length = read(m_read, buffer, sizeof(buffer));
            if (length <= 0)
                break;
            text.append(buffer, static_cast<size_t>(length));
        }
        return text;
    }

    // The reader goes away, as tee does when it is stopped.
    void CloseRead()
    {
        if (m_read >= 0)
            close(m_read);
        m_read = -1;
    }

    int Signal(int number) const { return kill(m_pid, number); }

    // True while the program waits in a write to its standard output.
    bool IsWritingToConsole() const
    {
        std::ifstream file("/proc/" + std::to_string(m_pid) + "/syscall");
        std::string number;
        std::string descriptor;
        file >> number >> descriptor;
        return number == std::to_string(SYS_write) && descriptor == "0x1";
    }

    // Waits for the end: true once reaped.
    bool WaitExit(int timeoutMs)
    {
        return WaitUntil(
            [this] {
                if (!m_reaped && waitpid(m_pid, &m_status, WNOHANG) == m_pid)
                    m_reaped = true;
                return m_reaped;
            },
            timeoutMs, kPollMs);
    }
    int Status() const { return m_status; }

private:
    void CloseWrite()
    {
        if (m_write >= 0)
            close(m_write);
        m_write = -1;
    }

    std::vector<std::string> m_arguments;
    fs::path m_folder;
    std::string m_errorFile;
    int m_read = -1;
    int m_write = -1;
    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_status = -1;
};

std::string DescribeStatus(int status)
{
    if (WIFEXITED(status))
        return "exit code " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "ended by signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

class ProgramHostTest : public CTwoClipProgramTest
{
protected:
    // The log lines that hold the text.
    std::vector<std::string> LogLinesWith(const std::string &text) const
    {
        std::vector<std::string> lines;
        std::istringstream log(m_folder.LogText());
        for (std::string line; std::getline(log, line);) {
            if (line.find(text) != std::string::npos)
                lines.push_back(line);
        }
        return lines;
    }
};

TEST_F(ProgramHostTest, AConsolePipeWhoseReaderWentAwayTurnsScreenOutputOffAndTheRunEndsInOrder)
{
    m_folder.Write("SysConfig.xml", SystemSettings(TestTyxId(1), 6));
    m_folder.Write("StreamCfg.xml", TwoClipRecordingConfig(m_clip1, m_clip2, 60));
    // "TyxServiceMain -console | tee out.txt", and then tee is gone.
    CPipedProgram run(m_folder, {"-console"}, "console");
    ASSERT_TRUE(run.Start());
    std::string printed;
    ASSERT_TRUE(WaitUntil(
        [&] {
            printed += run.ReadAvailable();
            return m_folder.LogText().find("TYX is working and waiting command...") != std::string::npos;
        },
        60000, kPollMs))
        << printed;
    EXPECT_NE(printed.find("Lumo Starting in console mode..."), std::string::npos);
    run.CloseRead();

    // The status lines the run goes on printing find no reader: one line, and the run goes on.
    const char *failed = "Console output failed with error=32: screen output is turned off.";
    ASSERT_TRUE(WaitUntil([&] { return m_folder.LogText().find(failed) != std::string::npos; }, 60000, kPollMs))
        << "the run ended: " << (run.WaitExit(0) ? DescribeStatus(run.Status()) : "no");
    ASSERT_EQ(run.Signal(SIGTERM), 0);
    ASSERT_TRUE(run.WaitExit(60000));
    EXPECT_TRUE(WIFEXITED(run.Status()) && WEXITSTATUS(run.Status()) == 0) << DescribeStatus(run.Status());
    EXPECT_EQ(LogLinesWith(failed).size(), 1u);
    EXPECT_FALSE(LogLinesWith("TYX exited...").empty()) << "the shutdown ran";
    EXPECT_FALSE(LogLinesWith(" Lumo terminated normally.").empty());

    // The recording was closed: its index is there.
    const std::vector<fs::path> recordings = m_folder.Recordings();
    ASSERT_FALSE(recordings.empty());
    for (const fs::path &file : recordings) {
        const stRecordingFacts facts = ProbeRecording(file);
        EXPECT_TRUE(facts.opened) << file;
        EXPECT_GT(facts.videoPackets, 0) << file;
    }
}

TEST_F(ProgramHostTest, AFullLogDiskDropsMessagesAndCountsThemOnceThereIsRoomAgain)
{
    CSmallFileSystem disk(m_folder.Path() / "logs", 32 * 1024 * 1024);
    if (!disk.Mounted())
        GTEST_SKIP() << "no tmpfs can be mounted here (needs root): the full-disk case is not run";
    // The bundled sample (decode, mux, overlays, encode, record) on the test's clips: at level 8 its
    // mid-processor threads log hundreds of lines a second from their initialisation on.
    m_folder.Write("SysConfig.xml", SystemSettings(TestTyxId(2), 8));
    fs::copy_file(SourceDir() / "samples" / "StreamCfg.xml", m_folder.Path() / "StreamCfg.xml");
    fs::create_directories(m_folder.Path() / "media");
    fs::copy_file(m_clip1, m_folder.Path() / "media" / "sample1.mp4");
    fs::copy_file(m_clip2, m_folder.Path() / "media" / "sample2.mp4");
    // The day's log exists (it is appended to, so the log starts) and the disk is full before the
    // run begins: everything the start-up logs at level 8 meets a full disk.
    const time_t now = time(nullptr);
    std::tm today{};
    localtime_r(&now, &today);
    const fs::path logFile = BuildDebugLogFilePath((m_folder.Path() / "logs").wstring(), today);
    std::ofstream(logFile) << "\xEF\xBB\xBF[:1]-[00:00:00.000] earlier line(5)\n";
    ASSERT_TRUE(disk.Fill());

    CNotifySocket notify(m_folder.Path() / "notify");
    CProcessHandle run = m_folder.Start({"-silent"}, "full");
    ASSERT_TRUE(run.IsStarted());
    ASSERT_TRUE(WaitUntil([&] { return notify.Received("READY=1"); }, 60000, kPollMs)) << m_folder.Output("full");
    // Recording under way: the run has logged through its start-up and into its work.
    ASSERT_TRUE(WaitUntil([&] { return !m_folder.Recordings().empty() && fs::file_size(m_folder.Recordings()[0]) > 0; },
                          60000, kPollMs));
    EXPECT_EQ(m_folder.LogText().find("TYX is working and waiting command..."), std::string::npos)
        << "nothing of the run reached the full disk";

    disk.MakeRoom();
    const std::regex dropped("\\] ([0-9]+) log messages were dropped while the log file could not be written\\.-\\[");
    std::smatch match;
    std::string text;
    ASSERT_TRUE(WaitUntil(
        [&] {
            text = m_folder.LogText();
            return std::regex_search(text, match, dropped);
        },
        60000, kPollMs))
        << "the log writes again once there is room";
    EXPECT_GT(std::stoll(match[1]), 0);
    // What was queued up to the bound is written: the start of the run.
    EXPECT_NE(text.find("+++--------Lumo is starting...--------+++"), std::string::npos);

    ASSERT_EQ(run.Signal(SIGTERM), 0);
    ASSERT_EQ(run.WaitExit(60000), 0);
    EXPECT_EQ(ExitCodeOf(run), 0) << m_folder.Output("full");
    EXPECT_TRUE(m_folder.WaitForLog("TYX exited...", 10000));
}

TEST_F(ProgramHostTest, MissingOrBrokenConfigurationIsReportedAndTheRunGoesOnWithoutIt)
{
    // No "SysConfig.xml" (program id 0, log level 5) and a broken "StreamCfg.xml": an empty graph
    // that the remote control could fill.
    m_folder.Write("StreamCfg.xml", "<?xml version=\"1.0\"?><Config><MediaSources><MSCount>1");
    CProcessHandle run = m_folder.Start({"-console"}, "broken");
    ASSERT_TRUE(m_folder.WaitForLog("TYX is working and waiting command...", 60000)) << m_folder.Output("broken");
    for (const char *file : {"SysConfig.xml", "StreamCfg.xml"}) {
        const std::string named = (m_folder.Path() / file).string() + "] cannot be loaded (error=";
        const std::vector<std::string> lines = LogLinesWith(named);
        ASSERT_EQ(lines.size(), 1u) << file;
        EXPECT_TRUE(lines[0].ends_with("(2)")) << lines[0];
        EXPECT_NE(m_folder.Output("broken").find(named), std::string::npos) << m_folder.Output("broken");
    }
    EXPECT_FALSE(LogLinesWith("SysConfig.xml] cannot be loaded (error=-4: the file cannot be opened (No such file or "
                              "directory))")
                     .empty());
    EXPECT_TRUE(LogLinesWith("creating Media").empty()) << "no graph was built";
    ASSERT_EQ(run.Signal(SIGTERM), 0);
    ASSERT_EQ(run.WaitExit(60000), 0);
    EXPECT_EQ(ExitCodeOf(run), 0) << m_folder.Output("broken");

    // A "StreamCfg.xml" that is not there at all, with the system settings in place.
    m_folder.Write("SysConfig.xml", SystemSettings(TestTyxId(3), 5));
    fs::remove(m_folder.Path() / "StreamCfg.xml");
    CProcessHandle missing = m_folder.Start({"-silent"}, "missing");
    ASSERT_TRUE(WaitUntil([&] { return LogLinesWith("TYX is working and waiting command...").size() == 2; }, 60000,
                          kPollMs));
    EXPECT_EQ(LogLinesWith("StreamCfg.xml] cannot be loaded (error=-4: the file cannot be opened (No such file or "
                           "directory))")
                  .size(),
              1u);
    ASSERT_EQ(missing.Signal(SIGTERM), 0);
    ASSERT_EQ(missing.WaitExit(60000), 0);
    EXPECT_EQ(ExitCodeOf(missing), 0);
}

TEST_F(ProgramHostTest, ALockFileOfAnotherUserRefusesTheRunInOneLine)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can give a file to another user: the case is not run";
    const int32_t id = TestTyxId(4);
    m_folder.Write("SysConfig.xml", SystemSettings(id, 5));
    char name[64];
    std::snprintf(name, sizeof(name), "TYX_SERVICE_PROCESS_%06d.lock", id);
    const fs::path lock = m_folder.Path() / "run" / name;
    std::ofstream(lock) << "1\n";
    ASSERT_EQ(chown(lock.c_str(), 65534, 65534), 0);
    EXPECT_EQ(m_folder.Run({"-console"}, "foreign", 30000), 1);
    const std::string printed = m_folder.Output("foreign");
    EXPECT_NE(printed.find("The instance lock [" + lock.string() + "] belongs to another user: this run is refused."),
              std::string::npos)
        << printed;
    EXPECT_EQ(m_folder.LogText().find("Lumo is starting"), std::string::npos) << "no log was started";
}

TEST_F(ProgramHostTest, CtrlCEndsAOneShotOption)
{
    m_folder.Write("SysConfig.xml", SystemSettings(TestTyxId(5), 5));
    // The console is a pipe nobody reads: the option waits at its first line until it is stopped.
    CPipedProgram check(m_folder, {"-Checkenv"}, "checkenv");
    ASSERT_TRUE(check.FillPipe());
    ASSERT_TRUE(check.Start());
    // Once it waits in its write to the console, its start-up (where a run blocks the signals) is over.
    ASSERT_TRUE(WaitUntil([&] { return check.IsWritingToConsole(); }, 30000, kPollMs));
    ASSERT_EQ(check.Signal(SIGINT), 0);
    const bool ended = check.WaitExit(30000);
    // Let a program that waits on anyway finish, so that the test does not leave it behind.
    if (!ended) {
        while (!check.WaitExit(0))
            check.ReadAvailable();
    }
    EXPECT_TRUE(ended) << "SIGINT did not end it";
    EXPECT_TRUE(WIFSIGNALED(check.Status()) && WTERMSIG(check.Status()) == SIGINT) << DescribeStatus(check.Status());
}

} // namespace
