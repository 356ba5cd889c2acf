#include "platform/FileSystem.h"

#include <cerrno>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

int32_t GetDiskSpace(const std::string &path, uint64_t &freeBytes, uint64_t &totalBytes)
{
    freeBytes = 0;
    totalBytes = 0;
    if (path.empty())
        return -ENOENT;
    struct statvfs info = {};
    if (statvfs(path.c_str(), &info) != 0)
        return -errno;
    // f_bavail, not f_bfree: the blocks kept for root are no use to a recording.
    const uint64_t unit = info.f_frsize ? info.f_frsize : info.f_bsize;
    freeBytes = static_cast<uint64_t>(info.f_bavail) * unit;
    totalBytes = static_cast<uint64_t>(info.f_blocks) * unit;
    return 0;
}

bool IsPathReadWritable(const std::string &path)
{
    return !path.empty() && access(path.c_str(), R_OK | W_OK) == 0;
}

stFileFacts GetFileFacts(const std::string &path)
{
    stFileFacts facts;
    struct stat info = {};
    if (path.empty() || lstat(path.c_str(), &info) != 0)
        return facts;
    if (S_ISREG(info.st_mode))
        facts.kind = EFileKind::File;
    else if (S_ISDIR(info.st_mode))
        facts.kind = EFileKind::Folder;
    else if (S_ISLNK(info.st_mode))
        facts.kind = EFileKind::Link;
    else
        facts.kind = EFileKind::Other;
    facts.modified = info.st_mtime;
    facts.device = static_cast<uint64_t>(info.st_dev);
    return facts;
}
