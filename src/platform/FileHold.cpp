#include "platform/FileHold.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

CFileHold::~CFileHold()
{
    Release();
}

bool CFileHold::Take(const std::string &path)
{
    Release();
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    // Waits out a look by IsHeld, which keeps its exclusive lock only for a moment.
    if (flock(fd, LOCK_SH) != 0) {
        close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

bool CFileHold::TakeAlone(const std::string &path)
{
    Release();
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

void CFileHold::Release()
{
    if (m_fd < 0)
        return;
    flock(m_fd, LOCK_UN);
    close(m_fd);
    m_fd = -1;
}

bool CFileHold::IsHeld(const std::string &path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    // An exclusive lock is refused while any shared one stands, whoever took it.
    const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    if (!held)
        flock(fd, LOCK_UN);
    close(fd);
    return held;
}
