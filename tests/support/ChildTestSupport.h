#pragma once

// Helpers for tests that start real child programs (the test child, tyx_test_child.cpp).

#include <filesystem>
#include <string>
#include <vector>

// The test child program.
std::filesystem::path TestChildProgram();
// A copy of the test child at path (made executable), so that a test can own a program file of
// its own, under a name and in a folder of its choice.
void CopyTestChild(const std::filesystem::path &path);

// A FIFO in a test folder that a child writes "ready" into.
class CReadyFifo
{
public:
    explicit CReadyFifo(const std::filesystem::path &path);
    ~CReadyFifo();
    CReadyFifo(const CReadyFifo &) = delete;
    CReadyFifo &operator=(const CReadyFifo &) = delete;

    const std::filesystem::path &Path() const { return m_path; }
    // True when a child wrote its line within timeoutMs.
    bool WaitReady(int timeoutMs = 10000);

private:
    std::filesystem::path m_path;
    int m_fd = -1;
    int m_keepOpen = -1;
};

// The environment variables a test child reads, set while the object lives.
class CChildEnvironment
{
public:
    explicit CChildEnvironment(const std::vector<std::pair<std::string, std::string>> &values);
    CChildEnvironment(const std::string &name, const std::string &value) : CChildEnvironment({{name, value}}) {}
    ~CChildEnvironment();
    CChildEnvironment(const CChildEnvironment &) = delete;
    CChildEnvironment &operator=(const CChildEnvironment &) = delete;

private:
    std::vector<std::string> m_names;
};

// What the child wrote into its record file: the working folder, then its arguments.
struct stChildRecord
{
    std::string workingFolder;
    std::vector<std::string> argv;
};
stChildRecord ReadChildRecord(const std::filesystem::path &file);
std::string ReadTextFile(const std::filesystem::path &file);
// True when the process no longer exists (it was reaped).
bool ProcessIsGone(int pid);
