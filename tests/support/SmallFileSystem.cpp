#include "support/SmallFileSystem.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/mount.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char *kFillerName = "filler.bin";

// Writes size bytes at a time until the disk refuses them: true when it refused with ENOSPC.
bool WriteUntilFull(int fd, size_t size)
{
    const std::vector<char> block(size, 'f');
    for (;;) {
        const ssize_t written = write(fd, block.data(), block.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return errno == ENOSPC;
        if (written == 0)
            return false;
    }
}

} // namespace

CSmallFileSystem::CSmallFileSystem(const std::filesystem::path &where, size_t sizeBytes) : m_path(where)
{
    std::filesystem::create_directories(where);
    const std::string options = "size=" + std::to_string(sizeBytes) + ",mode=0777";
    m_mounted = geteuid() == 0 && mount("tmpfs", where.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

CSmallFileSystem::~CSmallFileSystem()
{
    if (m_mounted)
        umount2(m_path.c_str(), MNT_DETACH);
}

bool CSmallFileSystem::Fill()
{
    const int fd = open((m_path / kFillerName).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    // Large blocks first, then single bytes for what is left of the last page.
    const bool full = WriteUntilFull(fd, 65536) && WriteUntilFull(fd, 1);
    close(fd);
    return full;
}

void CSmallFileSystem::MakeRoom()
{
    unlink((m_path / kFillerName).c_str());
}
