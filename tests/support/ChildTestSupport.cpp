#include "support/ChildTestSupport.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

std::filesystem::path TestChildProgram()
{
    return TYX_TEST_CHILD_PATH;
}

void CopyTestChild(const std::filesystem::path &path)
{
    std::filesystem::create_directories(path.parent_path());
    std::filesystem::copy_file(TestChildProgram(), path, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all, std::filesystem::perm_options::add);
}

CReadyFifo::CReadyFifo(const std::filesystem::path &path) : m_path(path)
{
    if (mkfifo(path.c_str(), 0600) != 0)
        throw std::runtime_error("mkfifo failed");
    // Opened without blocking, and kept open, so that a child's open for writing never waits.
    m_fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    // A writer of our own keeps the FIFO from reporting a hang-up between two children.
    m_keepOpen = open(path.c_str(), O_WRONLY | O_NONBLOCK);
}

CReadyFifo::~CReadyFifo()
{
    if (m_keepOpen >= 0)
        close(m_keepOpen);
    if (m_fd >= 0)
        close(m_fd);
    std::error_code ignored;
    std::filesystem::remove(m_path, ignored);
}

bool CReadyFifo::WaitReady(int timeoutMs)
{
    pollfd entry{m_fd, POLLIN, 0};
    if (poll(&entry, 1, timeoutMs) <= 0 || !(entry.revents & POLLIN))
        return false;
    char line[16] = {};
    return read(m_fd, line, sizeof(line) - 1) > 0;
}

CChildEnvironment::CChildEnvironment(const std::vector<std::pair<std::string, std::string>> &values)
{
    for (const auto &[name, value] : values) {
        setenv(name.c_str(), value.c_str(), 1);
        m_names.push_back(name);
    }
}

CChildEnvironment::~CChildEnvironment()
{
    for (const std::string &name : m_names)
        unsetenv(name.c_str());
}

stChildRecord ReadChildRecord(const std::filesystem::path &file)
{
    stChildRecord record;
    std::ifstream in(file);
    std::getline(in, record.workingFolder);
    std::string line;
    while (std::getline(in, line))
        record.argv.push_back(line);
    return record;
}

std::string ReadTextFile(const std::filesystem::path &file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool ProcessIsGone(int pid)
{
    return kill(pid, 0) != 0 && errno == ESRCH;
}
