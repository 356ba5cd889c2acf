#include "platform/InstanceLock.h"

#include "platform/RuntimeFolder.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

CInstanceLock::~CInstanceLock()
{
    Release();
}

std::string CInstanceLock::LockFilePath(const std::string &name)
{
    return GetRuntimeFolder() + "/" + name + ".lock";
}

int32_t CInstanceLock::Acquire(const std::string &name)
{
    Release();
    const std::string path = LockFilePath(name);
    // The folder may be one that every user writes (/tmp): a link planted there must not make the
    // run truncate another file, and a file another user made must not decide over this run.
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return -errno;
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
        close(fd);
        return LOCK_FOREIGN_OWNER;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        return -error;
    }
    const std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        const int error = errno ? errno : EIO;
        close(fd);
        return -error;
    }
    m_fd = fd;
    m_path = path;
    return 0;
}

void CInstanceLock::Release()
{
    if (m_fd < 0)
        return;
    // The file stays: removing it would let a second starter lock a new file beside a holder.
    flock(m_fd, LOCK_UN);
    close(m_fd);
    m_fd = -1;
}

int32_t CInstanceLock::HolderOf(const std::string &name)
{
    const std::string path = LockFilePath(name);
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return 0;
    int32_t holder = 0;
    // A lock that can be taken has no holder, whatever the file says.
    if (flock(fd, LOCK_SH | LOCK_NB) != 0) {
        char text[32] = {};
        const ssize_t length = pread(fd, text, sizeof(text) - 1, 0);
        if (length > 0)
            holder = static_cast<int32_t>(std::strtol(text, nullptr, 10));
    } else {
        flock(fd, LOCK_UN);
    }
    close(fd);
    return holder > 0 ? holder : 0;
}
