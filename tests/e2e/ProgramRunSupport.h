#pragma once

// The built program run as a child in a program folder of the test's own, and what it leaves.

#include "platform/ProcessHandle.h"
#include "support/TempDir.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// A program folder: the program, its configuration files, its logs and recordings, and a runtime
// folder of its own for the lock.
class CProgramFolder
{
public:
    CProgramFolder();

    const std::filesystem::path &Path() const { return m_dir.Path(); }
    std::filesystem::path Program() const { return Path() / "TyxServiceMain"; }
    void Write(const std::string &name, const std::string &text) const;
    // The settings with the program id (DebugLevel 6).
    void WriteSystemSettings(int32_t tyxId) const;
    // Remote control over HTTP on the port, for the user "admin" (password "pw") with every right.
    void WriteRemoteControl(uint16_t httpPort) const;

    // Starts the program with the arguments; its output goes to "<name>.out".
    CProcessHandle Start(const std::vector<std::string> &arguments, const std::string &name) const;
    // Runs the program to its end (at most timeoutMs): its exit code, 128 plus a signal, or -errno.
    int32_t Run(const std::vector<std::string> &arguments, const std::string &name, int32_t timeoutMs) const;
    std::string Output(const std::string &name) const;
    // The text of the day's log (all of the log folder's files).
    std::string LogText() const;
    // Waits until the day's log holds the text: false after timeoutMs.
    bool WaitForLog(const std::string &text, int32_t timeoutMs) const;
    // The recordings under "records", oldest name first.
    std::vector<std::filesystem::path> Recordings() const;

private:
    void LeaveFontconfigToItself() const;

    CTempDir m_dir;
};

// The notify socket of a supervising systemd, in the test folder, named to the programs the test
// starts (NOTIFY_SOCKET) while it lives.
class CNotifySocket
{
public:
    explicit CNotifySocket(const std::filesystem::path &path);
    ~CNotifySocket();
    CNotifySocket(const CNotifySocket &) = delete;
    CNotifySocket &operator=(const CNotifySocket &) = delete;
    // Whether any datagram received so far holds the text.
    bool Received(const std::string &text);

private:
    std::string m_path;
    std::string m_text;
    int m_fd = -1;
};

// The exit code of a reaped child, or -1 when it did not exit normally.
int32_t ExitCodeOf(const CProcessHandle &process);

// What libavformat and libavcodec find in a recording.
struct stRecordingFacts
{
    bool opened = false;
    int width = 0;
    int height = 0;
    double frameRate = 0.0;
    double durationSeconds = 0.0;
    int videoPackets = 0;
    bool firstIsKey = false;
    bool firstDecodes = false;
    // The decoded picture of the index asked for (the last one when the recording is shorter) as
    // I420 (width x height x 1.5 bytes), for content checks.
    std::vector<uint8_t> picture;
};
stRecordingFacts ProbeRecording(const std::filesystem::path &file, int pictureIndex = 0);
// Writes an I420 picture as a PNG (for a person to look at).
bool SavePng(const std::vector<uint8_t> &picture, int width, int height, const std::filesystem::path &file);

// Two file sources, "Cam1" and "Cam2", each playing its clip's video in a loop.
std::string TwoClipSources(const std::filesystem::path &clip1, const std::filesystem::path &clip2);
// The two clips, the first one's video recorded as it comes into "records" in segments of that length.
std::string TwoClipRecordingConfig(const std::filesystem::path &clip1, const std::filesystem::path &clip2,
                                   int segmentSeconds);

// A program run in a folder with a runtime folder of its own; a run still going at the end is
// asked to end (SIGTERM) and waited for. The log, the output and the configuration of a failed run
// are kept under "failed-runs" in the working folder: the folder goes with the test, and how a run
// started and stopped under load is told nowhere else.
class CProgramRunTest : public ::testing::Test
{
protected:
    explicit CProgramRunTest(int endWaitMs = 60000) : m_endWaitMs(endWaitMs) {}
    void SetUp() override;
    void TearDown() override;

    CProgramFolder m_folder;
    CProcessHandle m_run;

private:
    void KeepLogs() const;

    int m_endWaitMs;
};

// A program folder with a runtime folder of its own and two short generated clips (640x360, 4 s,
// no sound).
class CTwoClipProgramTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    CProgramFolder m_folder;
    CTestMediaSet m_media;
    std::filesystem::path m_clip1;
    std::filesystem::path m_clip2;
};
